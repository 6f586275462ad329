#include "g_print.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "g_console.h"

namespace {
int print_format(FILE* stream, int code, const wchar_t* context) {
    if (context) {
        con_put_wide(stream, context);
        fputc('\n', stream);
    }
    con_printf(stream, "   ^ERROR: %u, %s\n\n", static_cast<unsigned>(code), strerror(code));
    return code;
}

struct duration_split {
    int hours;
    unsigned long rest;
    int minutes;
    int seconds;
    long long millis;
};

duration_split split_ms(unsigned long ms) {
    duration_split d;
    d.hours = static_cast<int>(static_cast<uint16_t>(ms / 3600000));
    d.rest = ms - (ms / 3600000) * 3600000;
    d.minutes = static_cast<int>(d.rest / 60000);
    d.seconds = static_cast<int>((d.rest % 60000) / 1000);
    d.millis = static_cast<long long>(d.rest % 1000);
    return d;
}
}  // namespace

int print_format_inline(int code, const wchar_t* context) { return print_format(con_out(), code, context); }

int print_format_stderr(int code, const wchar_t* context) { return print_format(stderr, code, context); }

int print_format_message(int code, const wchar_t* text) {
    FILE* out = con_out();
    con_printf(out, "%u ", static_cast<unsigned>(code));
    con_put_wide(out, text);
    fputs(strerror(code), out);
    return code;
}

int print_time(unsigned long ms) {
    duration_split d = split_ms(ms);
    if (d.hours != 0)
        return con_printf(con_out(), "%2d:%02d:%02d.%03lld [hh:mm:ss.ms]", d.hours, d.minutes, d.seconds, d.millis);
    if (d.rest < 60000) return con_printf(con_out(), "%2d.%03lld s ", d.seconds, d.millis);
    return con_printf(con_out(), "%2d:%02d.%03lld [mm:ss.ms]", d.minutes, d.seconds, d.millis);
}

int print_time_short(unsigned long ms) {
    duration_split d = split_ms(ms);
    long long tenths = d.millis / 100;
    if (d.hours != 0) return con_printf(con_out(), "%2d:%02d:%02d.%lld ", d.hours, d.minutes, d.seconds, tenths);
    if (d.rest < 60000) return con_printf(con_out(), "%2d.%lld ", d.seconds, tenths);
    return con_printf(con_out(), "%2d:%02d.%lld ", d.minutes, d.seconds, tenths);
}

int redirect_stdout_to_stderr() {
    fflush(stdout);
    return dup2(fileno(stderr), 1);
}
