#pragma once
// Votes whole copies held in memory as a run of copyvote votes files: block by block through
// block_vote, in blocks of word_scan::SPAN bytes, each input's block holding what a read of it
// delivers and zeros after (up to the block length rounded up to 8, which is all the vote reads),
// the output as long as the shortest copy. With --cd's rule, the model
// and the observer of the rule can be chosen. Shared by the --cd model's guard test and by
// `make cd-fit` (scripts/cd_fit.cpp), which must see the runs that a real run sees.

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "vote/block_vote.h"
#include "vote/cd/decide.h"
#include "vote/cd/model.h"

struct memory_vote {
    bool cd = false;                  // --cd's rule, else the byte vote
    const cd_model* model = nullptr;  // with cd: null for the fitted model
    cd_observer* observer = nullptr;  // with cd: null, or told of every run scored
};

// The voted bytes of `copies` (at least three). The progress glyphs go nowhere.
inline std::vector<uint8_t> vote_in_memory(const std::vector<const std::vector<uint8_t>*>& copies,
                                           const memory_vote& how) {
    const uint64_t n = copies.size(), span = word_scan::SPAN;
    uint64_t len = UINT64_MAX;
    for (const std::vector<uint8_t>* c : copies) len = c->size() < len ? c->size() : len;
    const uint64_t room = ((len < span ? len : span) + 7) / 8 * 8;
    std::vector<std::vector<uint8_t>> blocks(n, std::vector<uint8_t>(room));
    std::vector<uint8_t*> in(n);
    for (uint64_t i = 0; i < n; i++) in[i] = blocks[i].data();
    std::vector<uint8_t> out;
    FILE* sink = fopen("/dev/null", "w");
    if (!sink) return out;
    {
        glyph_writer glyphs(sink);
        std::unique_ptr<block_vote> v(new block_vote);
        v->start(n, in.data(), false, &glyphs);
        cd_layout layout;
        if (how.cd) {
            cd_layout_from_header(copies[0]->data(), copies[0]->size() < span ? copies[0]->size() : span,
                                  layout);
            v->use_cd(&layout);
            v->cd_tables->model = how.model;
            v->cd_tables->observer = how.observer;
        }
        for (uint64_t at = 0; at < len; at += span) {
            v->begin_block();
            for (uint64_t i = 0; i < n; i++) {
                const uint64_t got = copies[i]->size() - at < room ? copies[i]->size() - at : room;
                memcpy(in[i], copies[i]->data() + at, got);
                memset(in[i] + got, 0, room - got);
            }
            const uint64_t block_len = len - at < span ? len - at : span;
            v->in0_start = at;
            v->vote(block_len);
            out.insert(out.end(), in[0], in[0] + block_len);
        }
    }
    fclose(sink);
    return out;
}
