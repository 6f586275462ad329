#include "g_dir.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

g_dir::g_dir() : entries(nullptr), entry_count(0), cursor(0), loaded(false), error(0), current(nullptr) {}

g_dir::g_dir(const char* path, entry_filter filter) : g_dir() { scan(path, filter); }

g_dir::~g_dir() { release(); }

void g_dir::scan(const char* path, entry_filter filter) {
    dirent** list = nullptr;
    entry_count = scandir(path, &list, filter, alphasort);
    if (entry_count == -1) {
        error = static_cast<uint32_t>(errno);
        return;
    }
    entries = list;
    loaded = true;
}

void g_dir::release() {
    if (!loaded) return;
    for (int32_t i = 0; i < entry_count; i++) {
        free(entries[i]);
        entries[i] = nullptr;
    }
    free(entries);
    entries = nullptr;
    entry_count = 0;
    cursor = 0;
    loaded = false;
    error = 0;
    current = nullptr;
}

int32_t g_dir::find(const char* path, entry_filter filter) {
    if (loaded) return -1;
    cursor = 0;
    current = nullptr;
    scan(path, filter);
    return loaded ? 0 : static_cast<int32_t>(error);
}

int32_t g_dir::next(const char* pattern) {
    if (!loaded) return -1;
    while (cursor < entry_count) {
        current = entries[cursor++];
        if (match(pattern)) return 0;
    }
    current = nullptr;
    error = 0;
    return -1;
}

int32_t g_dir::next() {
    if (!loaded) return -1;
    if (cursor < entry_count) {
        current = entries[cursor++];
        return 0;
    }
    current = nullptr;
    error = 0;
    return -1;
}

// A '*' only ever skips to the first occurrence of the byte that follows it; a later
// mismatch fails the whole match instead of retrying with a longer run. Expanded input
// lists depend on exactly this behaviour, so it must not grow into a backtracking glob.
bool g_dir::match(const char* pattern) {
    if (!current || !pattern) return false;
    const char* p = pattern;
    const char* n = current->d_name;
    for (;;) {
        if (*p == '\0') return *n == '\0';
        if (*p == *n) {  // also takes a '*' or '?' in the name as a literal
            p++;
            n++;
        } else if (*p == '?') {
            if (*n == '\0') return false;
            p++;
            n++;
        } else if (*p == '*') {
            char stop = p[1];
            if (stop == '\0') return true;
            if (*n == '\0') return false;
            const char* hit = strchr(n, stop);
            if (!hit) return false;
            n = hit + 1;
            p += 2;
        } else {
            return false;
        }
    }
}

bool g_dir::is_directory() { return current != nullptr && current->d_type == DT_DIR; }

const char* g_dir::get_name() { return current ? current->d_name : nullptr; }

int32_t g_dir::close() {
    release();
    return 0;
}

int64_t g_dir::get_size() { return 0; }

timespec g_dir::get_time_modified() {
    timespec zero;
    zero.tv_sec = 0;
    zero.tv_nsec = 0;
    return zero;
}

int g_dir::filter_is_directory(const dirent* entry) { return entry != nullptr && entry->d_type == DT_DIR; }

int g_dir::filter_is_not_directory(const dirent* entry) {
    return entry == nullptr || entry->d_type != DT_DIR;
}

int32_t g_dir::get_working_directory(char* buffer, uint64_t size) {
    if (!buffer) return -1;
    if (!getcwd(buffer, static_cast<size_t>(size))) return errno;
    return 0;
}

int32_t g_dir::set_working_directory(const char* path) {
    if (chdir(path) != 0) return errno;
    return 0;
}
