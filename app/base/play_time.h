#pragma once
// The time at which a frame of audio plays, as the report lines print it.

#include <cstdint>
#include <cstdio>

struct play_time {
    char text[32];  // "mm:ss.mmm": minutes unbounded, milliseconds truncated
};

// The time of frame `frame` (0-based) at `rate` frames per second. REQUIRES: rate > 0.
inline play_time play_time_of(uint64_t frame, uint64_t rate) {
    const uint64_t ms = frame * 1000 / rate;
    play_time t;
    snprintf(t.text, sizeof t.text, "%02llu:%02llu.%03llu", static_cast<unsigned long long>(ms / 60000),
             static_cast<unsigned long long>(ms / 1000 % 60), static_cast<unsigned long long>(ms % 1000));
    return t;
}
