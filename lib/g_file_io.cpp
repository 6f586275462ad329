#include "g_file_io.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "g_console.h"
#include "g_print.h"

bool g_file::default_silent = false;
bool g_file::disallow_stdio = false;
const uint32_t g_file::DELETE_ON_CLOSE;
const uint32_t g_file::IGNORED_FLAG;
const uint16_t g_file::DEFAULT_PERMISSIONS;

namespace {
const size_t kMessageChars = 512;

timespec zero_timespec() {
    timespec t;
    t.tv_sec = 0;
    t.tv_nsec = 0;
    return t;
}

// Block and character devices carry a device number; files, pipes and sockets do not.
bool is_device(const struct stat& st) { return st.st_rdev != 0; }

// Prints the two-line error of a failed open. The name goes in as data, byte for byte, so
// that neither '%' nor bytes outside the locale's character set can disturb the line.
void report_open_failure(const char* name, int code) {
    wchar_t message[kMessageChars];
    memset(message, 0, sizeof message);
    con_widen_append(message, kMessageChars, "open(");
    con_widen_append(message, kMessageChars, name ? name : "(null)");
    con_widen_append(message, kMessageChars, ")");
    print_format_inline(code, message);
}

// Runs an fcntl/flock style call until it is not interrupted: 0 or the errno value.
template <typename Call>
int32_t retry_on_eintr(Call call) {
    while (call() == -1) {
        if (errno != EINTR) return errno;
        errno = 0;
    }
    return 0;
}

void copy_fields(g_file& to, const g_file& from) {
    to.descriptor = from.descriptor;
    to.is_open = from.is_open;
    to.is_silent = from.is_silent;
    to.borrowed = from.borrowed;
    to.read_error = from.read_error;
    to.write_error = from.write_error;
    to.last_info = from.last_info;
}

int32_t fcntl_lock(int32_t fd, short type) {
    struct flock record;
    memset(&record, 0, sizeof record);
    record.l_type = type;
    record.l_whence = SEEK_SET;
    record.l_start = 0;
    record.l_len = 0;
    return retry_on_eintr([&] { return fcntl(fd, F_SETLKW, &record); });
}
}  // namespace

g_file::g_file() {
    destroy();
    is_silent = default_silent;
}

g_file::~g_file() {
    if (!is_open) return;
    is_open = false;
    if (!borrowed) ::close(descriptor);
}

int32_t g_file::open(const char* name, uint32_t access, uint32_t creation, uint32_t extra_flags,
                     uint16_t permissions) {
    if (is_open) return -1;
    uint32_t system_flags = extra_flags & ~(IGNORED_FLAG | DELETE_ON_CLOSE);
    if ((access & O_APPEND) && !(access & O_RDWR)) access |= O_WRONLY;
    mode_t mode = permissions == DEFAULT_PERMISSIONS ? 0644 : permissions;
    errno = 0;
    read_error = 0;

    if (!disallow_stdio && open_stdio(name, (access & (O_WRONLY | O_RDWR)) != 0) == 0) return 0;

    descriptor = ::open(name, static_cast<int>(system_flags | creation | access), mode);
    if (descriptor != -1) {
        is_open = true;
        // Only a failed dup of a standard stream can have left errno set by now.
        if (creation & O_CREAT) read_error = static_cast<uint32_t>(errno);
        if (extra_flags & DELETE_ON_CLOSE) unlink(name);
        return 0;
    }

    int e = errno;
    if ((creation & O_CREAT) && e == EEXIST)
        return open(name, access, creation & ~static_cast<uint32_t>(O_CREAT), system_flags,
                    DEFAULT_PERMISSIONS);
    if ((extra_flags & O_DIRECT) && e == EINVAL) {
        uint32_t cached = extra_flags & ~(static_cast<uint32_t>(O_DIRECT) | IGNORED_FLAG | DELETE_ON_CLOSE);
        return open(name, access, creation, cached, DEFAULT_PERMISSIONS);
    }
    if (!is_silent) report_open_failure(name, e);
    read_error = static_cast<uint32_t>(e);
    return e;
}

int64_t g_file::read(char* destination, uint64_t size) {
    ssize_t n = ::read(descriptor, destination, size);
    if (n == -1) {
        read_error = static_cast<uint32_t>(errno);
        return -1;
    }
    return n;
}

int64_t g_file::write(const char* source, uint64_t length) {
    uint64_t done = 0;
    do {
        ssize_t n = ::write(descriptor, source + done, length - done);
        if (n == -1) {
            if (errno == EINTR) continue;
            write_error = static_cast<uint32_t>(errno);
            return -1;
        }
        if (n == 0 && length > 0) {
            // The system took nothing and named no reason; asking again would spin forever.
            write_error = EIO;
            return -1;
        }
        done += static_cast<uint64_t>(n);
    } while (done < length);
    return static_cast<int64_t>(length);
}

int32_t g_file::close() {
    if (!is_open) return -1;
    is_open = false;
    if (borrowed)
        borrowed = false;
    else
        ::close(descriptor);
    descriptor = -1;
    return 0;
}

bool g_file::is_stdio(const char* name) {
    if (!name) return false;
    return strcmp(name, "-") == 0 || strcmp(name, "con") == 0 || strcmp(name, "CON") == 0;
}

int32_t g_file::open_stdio(const char* name, bool write) {
    if (is_open) return -1;
    if (!is_stdio(name)) return -1;
    if (write) {
        // The handle keeps the original standard output for the data; the process's own
        // standard-output text is sent to standard error from here on.
        fflush(stdout);
        descriptor = dup(1);
        if (descriptor == -1) return -1;
        is_open = true;
        dup2(2, 1);
        return 0;
    }
    fflush(stdin);
    descriptor = dup(0);
    if (descriptor == -1) return -1;
    is_open = true;
    return 0;
}

int32_t g_file::reopen(g_file* other, uint32_t access, uint32_t creation, uint32_t extra_flags) {
    if (is_open || !other) return -1;
    descriptor = dup(other->descriptor);
    if (descriptor == -1) {
        read_error = static_cast<uint32_t>(errno);
        return static_cast<int32_t>(read_error);
    }
    fcntl(descriptor, F_SETFL, access | creation | extra_flags);
    is_open = true;
    read_error = 0;
    return 0;
}

// Takes `other`'s descriptor and fields into the closed handle `self` for init_move and
// init_clone: 0, or -1 when `self` is open or `other` is not.
static int32_t take_over(g_file& self, g_file& other) {
    if (self.is_open || !other.is_open) return -1;
    copy_fields(self, other);
    self.is_open = true;
    self.read_error = 0;
    return 0;
}

int32_t g_file::init_move(g_file& other) {
    if (take_over(*this, other) != 0) return -1;
    other.destroy();
    return 0;
}

int32_t g_file::init_clone(g_file& other) {
    if (take_over(*this, other) != 0) return -1;
    borrowed = true;
    return 0;
}

void g_file::destroy() {
    descriptor = -1;
    is_open = false;
    is_silent = false;
    borrowed = false;
    read_error = 0;
    write_error = 0;
    memset(&last_info, 0, sizeof last_info);
}

int32_t g_file::seek(int64_t offset, uint32_t origin) {
    read_error = lseek(descriptor, offset, static_cast<int>(origin)) == -1 ? static_cast<uint32_t>(errno) : 0;
    return static_cast<int32_t>(read_error);
}

int64_t g_file::get_file_pointer() {
    off_t position = lseek(descriptor, 0, SEEK_CUR);
    read_error = position == -1 ? static_cast<uint32_t>(errno) : 0;
    return position;
}

int32_t g_file::set_eof() {
    off_t position = lseek(descriptor, 0, SEEK_CUR);
    if (position == -1) {
        read_error = static_cast<uint32_t>(errno);
        write_error = static_cast<uint32_t>(-1);
        return -1;
    }
    read_error = 0;
    if (ftruncate(descriptor, position) == -1) {
        write_error = static_cast<uint32_t>(errno);
        return static_cast<int32_t>(write_error);
    }
    return 0;
}

int64_t g_file::get_size_file() {
    struct stat st;
    if (fstat(descriptor, &st) == -1) {
        read_error = static_cast<uint32_t>(errno);
        return -1;
    }
    read_error = 0;
    if (st.st_size != 0) return st.st_size;
    return is_device(st) ? -1 : 0;
}

int64_t g_file::get_size_disk_volume() {
    struct stat st;
    if (fstat(descriptor, &st) == -1) {
        read_error = static_cast<uint32_t>(errno);
        return 0;
    }
    read_error = 0;
    if (st.st_size != 0) return st.st_size;
    if (is_device(st)) {
        uint64_t bytes = 0;
        int result = ioctl(descriptor, BLKGETSIZE64, &bytes);
        read_error = static_cast<uint32_t>(result);
        if (result == 0 && bytes != 0) return static_cast<int64_t>(bytes);
    }
    // Neither the inode nor the block layer knows a size: measure it from the end.
    off_t position = lseek(descriptor, 0, SEEK_CUR);
    if (position == -1) {
        read_error = static_cast<uint32_t>(errno);
        return 0;
    }
    off_t size = lseek(descriptor, 0, SEEK_END);
    lseek(descriptor, position, SEEK_SET);
    return size;
}

int64_t g_file::get_size() {
    struct stat st;
    if (fstat(descriptor, &st) == -1) {
        read_error = static_cast<uint32_t>(errno);
        return get_size_disk_volume();
    }
    read_error = 0;
    if (st.st_size != 0 && st.st_size != -1) return st.st_size;
    if (st.st_size == 0 && !is_device(st)) return 0;
    return get_size_disk_volume();
}

timespec g_file::get_time_created() {
    read_error = static_cast<uint32_t>(-1);
    return zero_timespec();
}

timespec g_file::get_time_modified() {
    struct stat st;
    if (fstat(descriptor, &st) == -1) {
        read_error = static_cast<uint32_t>(errno);
        return zero_timespec();
    }
    read_error = 0;
    return st.st_mtim;
}

int32_t g_file::lock(bool shared) { return fcntl_lock(descriptor, shared ? F_RDLCK : F_WRLCK); }

int32_t g_file::unlock() { return fcntl_lock(descriptor, F_UNLCK); }

int32_t g_file::lock_bsd(bool shared) {
    return retry_on_eintr([&] { return flock(descriptor, shared ? LOCK_SH : LOCK_EX); });
}

int32_t g_file::unlock_bsd() {
    return retry_on_eintr([&] { return flock(descriptor, LOCK_UN); });
}

int32_t g_file::set_readonly(bool readonly) {
    struct stat st;
    write_error = 0;
    if (fstat(descriptor, &st) == -1) {
        write_error = static_cast<uint32_t>(errno);
    } else if (!is_device(st)) {
        write_error = static_cast<uint32_t>(-1);
    } else {
        int value = readonly ? 1 : 0;
        if (ioctl(descriptor, BLKROSET, &value) == -1) write_error = static_cast<uint32_t>(errno);
    }
    return static_cast<int32_t>(write_error);
}

int32_t g_file::file_flush() {
    write_error = fsync(descriptor) == -1 ? static_cast<uint32_t>(errno) : 0;
    return static_cast<int32_t>(write_error);
}

int32_t g_file::volume_flush() {
    write_error = fsync(descriptor) == -1 ? static_cast<uint32_t>(errno) : 0;
    struct stat st;
    if (fstat(descriptor, &st) == -1) {
        write_error = static_cast<uint32_t>(errno);
    } else if (!is_device(st)) {
        write_error = static_cast<uint32_t>(-1);
    } else {
        write_error = ioctl(descriptor, BLKFLSBUF, 0) == -1 ? static_cast<uint32_t>(errno) : 0;
    }
    return static_cast<int32_t>(write_error);
}

int32_t g_file::volume_extended_access() {
    volume_flush();
    write_error = static_cast<uint32_t>(-1);
    return -1;
}

int32_t g_file::volume_dismount() {
    volume_flush();
    write_error = static_cast<uint32_t>(-1);
    return -1;
}

int32_t g_file::volume_unlock() {
    write_error = static_cast<uint32_t>(-1);
    return -1;
}

int32_t g_file::disk_offline(bool) {
    struct stat st;
    write_error = 0;
    if (fstat(descriptor, &st) == -1) {
        write_error = static_cast<uint32_t>(errno);
    } else if (!is_device(st)) {
        write_error = static_cast<uint32_t>(-1);
    } else if (ioctl(descriptor, BLKRRPART, 0) == -1) {
        write_error = static_cast<uint32_t>(errno);
    }
    return 0;
}

bool g_file::is_directory() {
    struct stat st;
    if (fstat(descriptor, &st) == -1) return false;
    return S_ISDIR(st.st_mode);
}

file_info* g_file::get_info() {
    struct stat st;
    if (fstat(descriptor, &st) == -1) {
        memset(&last_info, 0, sizeof last_info);
        return nullptr;
    }
    last_info.file_size = st.st_size;
    last_info.time_modified = st.st_mtim;
    last_info.is_dir = S_ISDIR(st.st_mode);
    return &last_info;
}
