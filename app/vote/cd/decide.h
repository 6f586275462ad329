#pragma once
// The rule that decides a run of disputed samples (vote/cd_vote.h tells it): the copies split
// into groups of agreeing copies, the run is extended over the following samples of the channel
// that the copies split alike, each group is scored on the evidence, and the byte vote's choice
// stands unless the model's odds favour another group and none of the rules that hold whatever
// the scores forbids it. cd_decide_run (declared in vote/cd_vote.h) is the entry; the grouping
// is shared with the word vote, which votes the bytes outside the audio the same way.

#include <cstdint>

#include "base/globals.h"
#include "vote/cd/model.h"
#include "vote/cd_vote.h"

// Fills sc.label (the first copy, in the order of sc.who, holding each copy's value) and sc.size
// for the n copies' sample at p, or their byte at p with `bytes`. Returns the number of groups.
uint64_t cd_label_copies(const cd_block& b, cd_scratch& sc, uint64_t n, uint64_t p, bool bytes = false);

// The byte vote's choice among the labelled copies: the largest group, the lowest index among
// equal ones; where no two agree, the best-scored copy (by sc.totals). An index into sc.who.
uint64_t cd_byte_vote_choice(const cd_scratch& sc, uint64_t n);

// The group that the evidence puts in place of the byte vote's choice w (an index into sc.who),
// or w: the group whose score less w's group's, plus `bias`, is largest above 0, among those that
// the rules holding whatever the scores let overrule it. Reads sc.label, size, print, rarity and
// score of the groups' first copies, and the rip's outvoted counts.
uint64_t cd_overruling_group(const cd_scratch& sc, uint64_t n, uint64_t w, double bias);

// How surely the scores chose: for the byte vote's choice w kept (best == w), its score less the
// best other group's, less `bias` (below 0 where a rule kept it against the scores); for a group
// `best` that overruled w, its lead over w with `bias`. Reads sc.label and the groups' sc.score.
double cd_lead(const cd_scratch& sc, uint64_t n, uint64_t w, uint64_t best, double bias);

// A run the rule scored, as an observer sees it after the decision.
struct cd_scored_run {
    const cd_block* block;
    uint64_t p;       // the run's first sample, a block offset
    uint64_t frames;  // its samples in the channel, one frame apart
    uint64_t n;       // copies voting: sc->who[0 .. n), grouped by sc->label and sc->size
    const cd_scratch* sc;
    uint64_t choice;  // the byte vote's choice, an index into who (a group's first copy)
    uint64_t chosen;  // the group the rule took: choice, or the group that overruled it
};

// Told of every run the rule scores (set cd_scratch::observer): `make cd-fit` dumps them.
struct cd_observer {
    void (*scored)(void* context, const cd_scored_run& run);
    void* context;
    // The features of each group of the run told, at the index of its first copy in sc.who.
    double features[MAX_INPUTS][CD_FEATURE_COUNT];
};
