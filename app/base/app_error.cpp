#include "base/app_error.h"

#include <gcrypt.h>

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
