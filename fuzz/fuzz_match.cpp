// Fuzz target: the wildcard match of g_dir on arbitrary patterns and names, and the listing
// that hands out the matching entries of a real directory.
//
// Input: one mode byte, then the pattern, a NUL, and the name (the whole rest is both pattern
// and name when there is no NUL). The name is placed in a dirent cut to its exact size, as
// scandir allocates them, so that a read past its terminator is caught.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "g_dir.h"

namespace {

// A dirent holding `name`, allocated to end right after the name's terminator.
struct exact_dirent {
    dirent* entry;
    explicit exact_dirent(const std::string& name) {
        const size_t size = offsetof(dirent, d_name) + name.size() + 1;
        entry = static_cast<dirent*>(malloc(size));
        memset(entry, 0, size);
        entry->d_type = DT_REG;
        memcpy(entry->d_name, name.c_str(), name.size() + 1);
    }
    ~exact_dirent() { free(entry); }
};

// The match of `pattern` (copied to a block of its exact size) against `name`.
bool match(const std::string& pattern, const std::string& name) {
    exact_dirent d(name);
    std::vector<char> p(pattern.c_str(), pattern.c_str() + pattern.size() + 1);
    g_dir dir;
    dir.current = d.entry;
    const bool result = dir.match(p.data());
    dir.current = nullptr;
    return result;
}

bool has_wildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

std::string fixture_dir;

void remove_fixture() {
    if (fixture_dir.empty()) return;
    std::string cmd = "rm -rf '" + fixture_dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "fuzz_match: could not remove %s\n", fixture_dir.c_str());
}

// A directory with names that exercise sorting and literal '*' and '?', and one subdirectory.
void make_fixture() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fuzz_match.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) abort();
    fixture_dir = buf.data();
    atexit(remove_fixture);
    const char* files[] = {"a.wav", "a.b.wav", "Track1.wav", "track10.wav", "track2.wav", "x*y", "q?", "out.wav"};
    for (const char* f : files) {
        int fd = open((fixture_dir + "/" + f).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0) abort();
        close(fd);
    }
    if (mkdir((fixture_dir + "/d.wav").c_str(), 0755) != 0) abort();
}

void check_match_properties(const std::string& pattern, const std::string& name) {
    const bool result = match(pattern, name);
    if (!has_wildcard(pattern)) {
        FUZZ_CHECK(result == (pattern == name));
        // A trailing '*' takes any rest, the empty one included, unless the name holds a '*'
        // right there, which the pattern's '*' then meets as a literal.
        bool prefix = name.compare(0, pattern.size(), pattern) == 0;
        if (prefix && name.size() > pattern.size() && name[pattern.size()] == '*')
            prefix = name.size() == pattern.size() + 1;
        FUZZ_CHECK(match(pattern + "*", name) == prefix);
    }
    // A lone '*' takes every name, except that a name beginning with '*' has that byte taken
    // as a literal: '*' matches "*" but not "*x".
    FUZZ_CHECK(match("*", name) == (name.size() < 2 || name[0] != '*'));
    // Equal bytes are consumed as literals first, so every name matches itself.
    FUZZ_CHECK(match(name, name));
    // Once the name is used up, a '?' has nothing left to take.
    FUZZ_CHECK(!match(name + "?" + pattern, name));

    g_dir empty;
    FUZZ_CHECK(!empty.match(pattern.c_str()));
    exact_dirent d(name);
    empty.current = d.entry;
    FUZZ_CHECK(!empty.match(nullptr));
    empty.current = nullptr;
}

// A name that can be created in the fixture directory: no '/', not "." or "..", not empty.
std::string file_name_from(const std::string& raw) {
    std::string name = raw.substr(0, 255);
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    if (name.empty() || name == "." || name == "..") name = "n" + name;
    return name.substr(0, 255);
}

// Lists the fixture directory with an extra file and walks it with `pattern`: the entries
// handed out are exactly the matching ones, in listing order, and the walk ends cleanly.
void check_listing(const std::string& pattern, const std::string& raw_name) {
    const std::string name = file_name_from(raw_name);
    const std::string path = fixture_dir + "/" + name;
    struct stat st;
    const bool created = lstat(path.c_str(), &st) != 0;
    if (created) {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0) return;  // a name the file system refuses
        close(fd);
    }

    g_dir all(fixture_dir.c_str());
    FUZZ_CHECK(all.loaded && all.entry_count >= 2);
    std::vector<std::string> listed;
    std::vector<std::string> expected;
    bool saw_name = false;
    while (all.next() == 0) {
        const std::string entry = all.get_name();
        if (!listed.empty()) FUZZ_CHECK(strcmp(listed.back().c_str(), entry.c_str()) < 0);
        listed.push_back(entry);
        if (entry == name) saw_name = true;
        if (entry == "d.wav" || entry == "." || entry == "..") FUZZ_CHECK(all.is_directory());
        if (entry == name && created) FUZZ_CHECK(!all.is_directory());
        if (all.match(pattern.c_str())) expected.push_back(entry);
    }
    FUZZ_CHECK(saw_name);
    FUZZ_CHECK(listed.size() == static_cast<size_t>(all.entry_count));

    g_dir walk(fixture_dir.c_str());
    std::vector<std::string> handed;
    while (walk.next(pattern.c_str()) == 0) handed.push_back(walk.get_name());
    FUZZ_CHECK(handed == expected);
    FUZZ_CHECK(walk.current == nullptr && walk.get_name() == nullptr && !walk.is_directory());
    FUZZ_CHECK(walk.next(pattern.c_str()) == -1 && walk.current == nullptr && walk.error == 0);

    g_dir self(fixture_dir.c_str());
    bool found = false;
    while (self.next(name.c_str()) == 0) found = found || name == self.get_name();
    FUZZ_CHECK(found);
    FUZZ_CHECK(self.close() == 0 && !self.loaded && self.entries == nullptr);

    if (created) unlink(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const size_t nul = rest.find('\0');
    const std::string pattern = rest.substr(0, nul);
    std::string name = nul == std::string::npos ? rest : rest.substr(nul + 1);
    name = name.substr(0, name.find('\0')).substr(0, 255);  // a d_name holds at most 255 bytes

    check_match_properties(pattern, name);
    if (mode & 1) {
        if (fixture_dir.empty()) make_fixture();
        check_listing(pattern, name);
    }
    return 0;
}
