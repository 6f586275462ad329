#pragma once
// g_dir: one directory read at once with scandir(), sorted by alphasort (byte order under
// the POSIX locale), handed out entry by entry, optionally only the entries whose name
// matches a '*'/'?' wildcard pattern.

#include <dirent.h>

#include <cstdint>
#include <ctime>

class g_dir {
public:
    typedef int (*entry_filter)(const dirent*);

    dirent** entries;     // scandir's result; the array and each entry are heap blocks we free
    int32_t entry_count;  // -1 after a failed scan
    int32_t cursor;       // index of the next entry to hand out
    bool loaded;
    uint32_t error;       // errno of a failed scan; 0 after an iteration ran past the end
    dirent* current;      // the entry handed out last, or null

    g_dir();
    // Lists `path` at once; a null filter keeps every entry ("." and ".." included).
    explicit g_dir(const char* path, entry_filter filter = nullptr);
    ~g_dir();
    g_dir(const g_dir&) = delete;
    g_dir& operator=(const g_dir&) = delete;

    // Scans `path` into an empty object: 0, the errno value of a failed scan, or -1 when loaded.
    int32_t find(const char* path, entry_filter filter);
    // Moves to the next entry whose name matches `pattern`: 0, or -1 when not loaded or none is left.
    int32_t next(const char* pattern);
    // Moves to the next entry whatever its name: 0, or -1 when not loaded or past the end.
    int32_t next();
    // Wildcard test of the current name: '?' takes one byte, '*' the shortest run up to the
    // byte after it, without backtracking; a literal match is tried first.
    bool match(const char* pattern);
    // True when the current entry's d_type is DT_DIR (no stat() is made).
    bool is_directory();
    // The current entry's bare name, valid until the listing is released; null when none.
    const char* get_name();
    // Releases the listing, if any. Always 0.
    int32_t close();

    int64_t get_size();          // always 0: the listing keeps no sizes
    timespec get_time_modified();  // always zero: the listing keeps no times

    static int filter_is_directory(const dirent* entry);
    static int filter_is_not_directory(const dirent* entry);
    static int32_t get_working_directory(char* buffer, uint64_t size);
    static int32_t set_working_directory(const char* path);

private:
    void scan(const char* path, entry_filter filter);
    void release();
};
