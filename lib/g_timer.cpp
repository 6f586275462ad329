#include "g_timer.h"

#include "g_console.h"

int64_t G_TIME::freq = 1000000000;

namespace {
const int64_t NS_PER_S = 1000000000;
const int64_t NS_PER_DAY = 86400 * NS_PER_S;

// The low `bits` bits of v, in two's complement: the split fields are narrow on purpose and
// wrap rather than saturate.
unsigned low_bits(int64_t v, unsigned bits) {
    return static_cast<unsigned>(static_cast<uint64_t>(v) & ((uint64_t(1) << bits) - 1));
}

// a - b, wrapping instead of overflowing for stamps far apart.
int64_t difference(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
}  // namespace

G_TIME::G_TIME() : ts(), ns(0) {}

G_TIME::G_TIME(long n) : ts(), ns(n) {
    ts.tv_sec = n / NS_PER_S;
    ts.tv_nsec = n - ts.tv_sec * NS_PER_S;
}

G_TIME::G_TIME(timespec t) : ts(t), ns(t.tv_sec * NS_PER_S + t.tv_nsec) {}

G_TIME::~G_TIME() {}

void G_TIME::update() {
    // A failing clock leaves the stamp as the call left it; the interval is then meaningless
    // but harmless, so the result is not checked.
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    ns = ts.tv_sec * NS_PER_S + ts.tv_nsec;
}

int64_t G_TIME::get_tick_count() {
    update();
    return ns / 1000000;
}

G_TIME G_TIME::operator-(G_TIME& other) { return G_TIME(static_cast<long>(difference(ns, other.ns))); }

G_TIMER::G_TIMER()
    : start(),
      end(),
      elapsed_s(0),
      elapsed_frac_ns(0),
      elapsed_ns(0),
      days(0),
      hours(0),
      minutes(0),
      seconds(0),
      ms(0),
      us(0) {}

G_TIMER::~G_TIMER() {}

void G_TIMER::calc() {
    elapsed_ns = difference(end.ns, start.ns);
    elapsed_s = elapsed_ns / NS_PER_S;
    elapsed_frac_ns = elapsed_ns - elapsed_s * NS_PER_S;
    ms = static_cast<uint16_t>(low_bits(elapsed_frac_ns / 1000000, 10));
    us = static_cast<uint16_t>(low_bits((elapsed_frac_ns - int64_t(ms) * 1000000) / 1000, 10));
    days = static_cast<uint8_t>(low_bits(elapsed_ns / NS_PER_DAY, 8));
    int64_t s1 = elapsed_s - int64_t(days) * 86400;
    hours = static_cast<uint8_t>(low_bits(s1 / 3600, 6));
    int64_t s2 = s1 - int64_t(hours) * 3600;
    minutes = static_cast<uint8_t>(low_bits(s2 / 60, 6));
    seconds = static_cast<uint8_t>(low_bits(s2 % 60, 6));
}

int G_TIMER::print() {
    FILE* out = con_out();
    unsigned d = days, h = hours, m = minutes, s = seconds, msec = ms, usec = us;
    if (d != 0) return con_printf(out, " %u/%2u:%02u:%02u ", d, h, m, s);
    if (h != 0) return con_printf(out, " %2u:%02u:%02u hh:mm:ss ", h, m, s);
    if (m != 0) return con_printf(out, " %2u:%02u.%03u mm:ss.ms ", m, s, msec);
    if (s != 0) return con_printf(out, " %2u.%03u s ", s, msec);
    if (msec != 0) return con_printf(out, " %3u %03u us ", msec, usec);
    return con_printf(out, " %3u us ", usec);
}

int G_TIMER::print_100() {
    FILE* out = con_out();
    unsigned d = days, h = hours, m = minutes, s = seconds, tenths = ms / 100u;
    if (d != 0) return con_printf(out, " %u/%2u:%02u:%02u ", d, h, m, s);
    if (h != 0) return con_printf(out, " %2u:%02u:%02u hh:mm:ss ", h, m, s);
    if (m != 0) return con_printf(out, " %2u:%02u.%u mm:ss ", m, s, tenths);
    return con_printf(out, " %2u.%u s ", s, tenths);
}

int G_TIMER::print_all() {
    return con_printf(con_out(), "[%u d] [%2u h]:[%02u m]:[%02u s].[%03u ms]", unsigned(days),
                      unsigned(hours), unsigned(minutes), unsigned(seconds), unsigned(ms));
}

int G_TIMER::print_b(unsigned long bytes) {
    FILE* out = con_out();
    unsigned tb = static_cast<unsigned>(bytes >> 40);
    unsigned gb = static_cast<unsigned>((bytes >> 30) & 1023);
    unsigned mb = static_cast<unsigned>((bytes >> 20) & 1023);
    unsigned kb = static_cast<unsigned>((bytes >> 10) & 1023);
    unsigned b = static_cast<unsigned>(bytes & 1023);
    if (tb != 0) return con_printf(out, "[%3u TB %4u GB %4u MB]", tb, gb, mb);
    if (gb != 0) return con_printf(out, "[%3u GB %4u MB]", gb, mb);
    if (mb != 0) return con_printf(out, "[%3u MB]", mb);
    if (kb != 0) return con_printf(out, "[%3u KB]", kb);
    return con_printf(out, "[%3u B]", b);
}

int G_TIMER::print_bps(unsigned long bytes) {
    if (elapsed_ns < 1000000) return 0;
    uint64_t millis = static_cast<uint64_t>(elapsed_ns / 1000000);
    uint64_t rate = (static_cast<uint64_t>(bytes) * 1000) / millis;
    FILE* out = con_out();
    if (rate / (1u << 20) > 8) return con_printf(out, "[%4u MB/s]", static_cast<unsigned>(rate >> 20));
    if (rate / (1u << 10) > 8) return con_printf(out, "[%4u KB/s]", static_cast<unsigned>(rate >> 10));
    return con_printf(out, "[%4u B/s]", static_cast<unsigned>(rate));
}
