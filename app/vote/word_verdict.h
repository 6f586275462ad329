#pragma once
// What the vote decided at one disputed word, and the way a listener (the map, a test) hears it.

#include <cstdint>

// One disputed 8-byte word as the vote decided it.
struct word_verdict {
    uint64_t offset;        // output offset of the word's first byte (block start + offset in block)
    uint64_t count;         // number of inputs
    const uint64_t* words;  // every input's word, `count` entries, little-endian bytes
    uint64_t voted;         // the word written to the output
    uint8_t disputed;  // bit b: byte b is disputed (sample votes: both bytes of a sample counted as disputed)
    uint8_t guessed;   // bit b: byte b came from the best-scored copy because no two copies agreed
    uint16_t
        holders[8];  // byte b: how many copies held the chosen value (sample votes: of the copies counted)
    const uint8_t* absent;  // null, or per input: bit b set where the input lacks byte b (left out)
    uint64_t valid;  // bytes of the word that reach the output file (1..8; the last word of the last block
                     // may be short)
    // How surely --cd's model chose: bit b of `scored` set where it scored the groups at byte b,
    // and margin[b] then the chosen group's lead over the best other one in log-odds (below 0
    // where a rule kept a group the scores did not favour). Null `margin`: nothing was scored.
    uint8_t scored = 0;
    const float* margin = nullptr;
};

// A listener of the vote's verdicts: `heard(context, v)` is called for every disputed word in
// output order, while the vote runs (the verdict's `words` are valid only during the call).
// Empty (heard null) when nobody listens.
struct verdict_listener {
    void (*heard)(void* context, const word_verdict& v) = nullptr;
    void* context = nullptr;
    explicit operator bool() const { return heard != nullptr; }
    void operator()(const word_verdict& v) const { heard(context, v); }
};
