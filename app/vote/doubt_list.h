#pragma once
// The doubtful places of a run, noted while it votes for the repair of a track that does not match
// what was expected: every disputed word as the vote decided it (the map's view of it), with the
// distinct words the copies held and how surely the vote chose at each of its two frames.

#include <cstdint>
#include <vector>

#include "audio/repair_search.h"
#include "vote/word_verdict.h"

// The disputed words of a run, as the vote decided them, with the distinct values the copies held.
class doubt_list {
  public:
    static const unsigned MAX_VALUES = 8;  // distinct words of the copies kept per disputed word
    struct word {
        uint64_t offset;  // output offset of the word's first byte
        uint64_t voted;
        uint8_t disputed;  // bit b: byte b was disputed
        uint8_t count;     // distinct values in `values`
        // How surely each frame (4 bytes) was chosen, lower for more doubt (confidence_of): the
        // least sure of its disputed bytes.
        float confidence[2];
        uint64_t values[MAX_VALUES];  // by the copies behind them, most first, then input order
    };
    std::vector<word> words;
    uint64_t limit = 0;       // most words kept; 0 until start()
    bool overflowed = false;  // more words were disputed than kept

    // Keeps up to `most` words (room is taken now: nothing is allocated while the vote runs).
    void start(uint64_t most);

    // One disputed word, in output order.
    void add(const word_verdict& v);

    // The frames of the audio [audio_begin, audio_end) that the words touch, least confident first
    // (the order of the words among equals), each with the words the copies' samples give it;
    // `offsets` gets each frame's output offset. Frames are 4 bytes from audio_begin.
    void frames(uint64_t audio_begin, uint64_t audio_end, std::vector<repair_frame>& out,
                std::vector<uint64_t>& offsets) const;
};

// How surely the vote chose a disputed byte, as one scale where less is more doubtful: no two
// copies agreed (guessed) lowest; then where --cd's model scored the groups, its margin in
// log-odds; then the byte vote's lead, `holders` copies behind the value against `runner_up`
// behind the next one (a larger lead, then more holders, is surer). The model's margins all lie
// below the leads: the model is asked only where a rule alone does not settle the place.
float confidence_of(bool guessed, bool scored, float margin, unsigned holders, unsigned runner_up);
