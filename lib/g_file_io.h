#pragma once
// g_file: a thin handle over one POSIX file descriptor.
//
// Adds to the bare descriptor the pseudo-names "-", "con" and "CON" for the standard
// streams, two retries of a failing open (exclusive create of an existing file; O_DIRECT
// refused with EINVAL), delete-on-close, the error line of a failed open, and two error
// fields that keep the errno value of the last failed reading-side and writing-side
// operation. Status values: 0 for success, an errno value for a failed system call, -1
// (0xFFFFFFFF in the unsigned fields) for a handle in the wrong state or an operation that
// is not supported.

#include <cstdint>
#include <ctime>

struct file_info {
    int64_t file_size;
    timespec time_modified;
    bool is_dir;
};

class g_file {
public:
    int32_t descriptor;    // -1 while the handle holds none
    bool is_open;
    bool is_silent;        // a failed open prints no error line
    bool borrowed;         // the descriptor belongs to another handle (init_clone)
    uint32_t read_error;   // code left by the reading-side operations
    uint32_t write_error;  // code left by the writing-side operations
    file_info last_info;   // filled by get_info()

    static bool default_silent;  // copied into is_silent by the constructor
    static bool disallow_stdio;  // when true, "-", "con" and "CON" are ordinary names

    // Bits of extra_flags that belong to the handle itself.
    static const uint32_t DELETE_ON_CLOSE = 0x04000000;
    static const uint32_t IGNORED_FLAG = 0x100;
    static const uint16_t DEFAULT_PERMISSIONS = 0xFFFF;  // means 0644

    g_file();
    ~g_file();
    g_file(const g_file&) = delete;
    g_file& operator=(const g_file&) = delete;

    // Opens `name` with open(2) flags access | creation | extra_flags. Returns 0, the errno
    // value of the failure (after printing the "open(name)" error line unless is_silent), or
    // -1 when the handle is already open. "-", "con", "CON" select the standard streams.
    int32_t open(const char* name, uint32_t access, uint32_t creation, uint32_t extra_flags,
                 uint16_t permissions);
    // One read(2) of up to `size` bytes: the count (0 at end of file) or -1 with errno in read_error.
    int64_t read(char* destination, uint64_t size);
    // Writes all `length` bytes (looping over partial writes and EINTR): returns `length`, or -1
    // with errno in write_error.
    int64_t write(const char* source, uint64_t length);
    // Closes (or, for a borrowed descriptor, forgets) the descriptor. -1 on a closed handle.
    int32_t close();

    // The standard-stream part of open(): 0 when `name` is a stdio name and was opened, else -1.
    // For writing, descriptor 1 then becomes a copy of standard error.
    int32_t open_stdio(const char* name, bool write);
    static bool is_stdio(const char* name);

    int32_t reopen(g_file* other, uint32_t access, uint32_t creation, uint32_t extra_flags);
    int32_t init_move(g_file& other);
    int32_t init_clone(g_file& other);
    void destroy();

    int32_t seek(int64_t offset, uint32_t origin);
    int64_t get_file_pointer();
    int32_t set_eof();
    int64_t get_size_file();
    int64_t get_size_disk_volume();
    int64_t get_size();
    timespec get_time_created();
    timespec get_time_modified();

    int32_t lock(bool shared);
    int32_t unlock();
    int32_t lock_bsd(bool shared);
    int32_t unlock_bsd();

    int32_t set_readonly(bool readonly);
    int32_t file_flush();
    int32_t volume_flush();
    int32_t volume_extended_access();
    int32_t volume_dismount();
    int32_t volume_unlock();
    int32_t disk_offline(bool offline);

    bool is_directory();
    file_info* get_info();
};
