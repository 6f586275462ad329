#include "base/app_error.h"

#include <gcrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "g_console.h"

void app_error(const char* action, const char* file, const char* reason) {
    fflush(con_out());  // whatever the program said before comes first
    if (file && file[0] != '\0') {
        con_printf(stderr, "copyvote: %s %s: %s\n", action, file, reason);
    } else {
        con_printf(stderr, "copyvote: %s: %s\n", action, reason);
    }
    fflush(stderr);
}

void app_error_errno(const char* action, const char* file, int code) {
    app_error(action, file, strerror(code));
}

void app_error_gcrypt(const char* action, const char* file, unsigned int code) {
    app_error(action, file, gcry_strerror(static_cast<gcry_error_t>(code)));
}

int report_lost_standard_output() {
    static bool reported = false;
    errno = 0;
    const bool flushed = fflush(stdout) == 0;
    if (flushed && !ferror(stdout)) return 0;
    if (reported) return -1;
    reported = true;
    const int code = !flushed && errno != 0 ? errno : EIO;
    app_error("write", "standard output", strerror(code));
    return -1;
}
