#pragma once
// G_TIME: a stamp on CLOCK_MONOTONIC_RAW, as a timespec and as one nanosecond count.
// G_TIMER: an interval between two stamps, split into days ... microseconds by calc(), with
// compact formatters on standard output.

#include <cstdint>
#include <ctime>

class G_TIME {
public:
    timespec ts;
    int64_t ns;

    static int64_t freq;  // ns units per second: 1000000000

    G_TIME();
    explicit G_TIME(long n);
    explicit G_TIME(timespec t);
    ~G_TIME();

    void update();
    // update(), then the stamp in whole milliseconds.
    int64_t get_tick_count();
    G_TIME operator-(G_TIME& other);
};

class G_TIMER {
public:
    G_TIME start;
    G_TIME end;
    int64_t elapsed_s;
    int64_t elapsed_frac_ns;
    int64_t elapsed_ns;
    uint8_t days;     // 8 bits
    uint8_t hours;    // 6 bits
    uint8_t minutes;  // 6 bits
    uint8_t seconds;  // 6 bits
    uint16_t ms;      // 10 bits
    uint16_t us;      // 10 bits

    G_TIMER();
    ~G_TIMER();

    void calc();
    int print();
    int print_100();
    int print_all();
    int print_b(unsigned long bytes);
    int print_bps(unsigned long bytes);
};
