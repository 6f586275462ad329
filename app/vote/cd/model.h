#pragma once
// The --cd model: a logistic model of "this group holds the genuine samples rather than the byte
// vote's choice". A group's score is the weighted sum of its features (vote/cd/features.h); the
// difference of two scores plus the bias is the log-odds that the first group, rather than the
// byte vote's choice, holds the genuine samples.
//
// How the weights are made (`make cd-fit`: scripts/cd_fit.sh and scripts/cd_fit.cpp, which write
// cd_weights.h): the 126 rows of the tune set of scripts/audio_eval.sh are voted with a model
// that never overrules, and every run that reaches the scores is written out with every group's
// features and wrong bytes over the run (about 70,000 runs). Each group other than the byte
// vote's choice whose wrong bytes differ from the choice's gives one example: the difference of
// the two feature vectors (and 1 for the bias), labelled by which of the two is right and weighted
// by how many bytes the two differ in wrong bytes, twice that where the choice is a group of
// CD_STANDING_COPIES or more holding the genuine samples (taking the other would be a false
// overrule, which the measure below counts twice). A logistic regression with an L2 penalty of 1
// on the weights (not the bias), solved by Newton's method from all weights 0, gives the first
// weights, rounded to four decimals; then each weight in turn, and the bias, is moved by 30 % of
// its size (at least 0.05) up or down where that lowers the tune set's wrong bytes with the rule's
// own decision (cd_overruling_group) replayed on the dump, summed as a share of the byte vote's
// (3 copies against 0.1 of it, 5 and 7 against 0.05), the wrong bytes of a false overrule (a
// smaller group taken over CD_STANDING_COPIES or more copies that held the genuine samples)
// counted twice, on both halves of the rows (even and odd) at once: a move that helps one half
// only is the tune set's noise (kept, such moves cost the check set more than they gained); four
// rounds, the steps halved each round. The check set (other recordings, other damage) is kept
// apart to measure the result (`CD_FIT_CHECK=1 make cd-fit` replays it on the new weights).

#include "vote/cd/features.h"

struct cd_model {
    double weight[CD_FEATURE_COUNT];  // in the order of CD_FEATURES
    double bias;                      // added to the difference of two scores
};

// A weight of cd_weights.h, under the name of its feature.
struct cd_named_weight {
    const char* name;
    double weight;
};

// The model --cd votes with: the weights `make cd-fit` wrote into cd_weights.h.
extern const cd_model CD_MODEL;

// The index of the feature called `name` in CD_FEATURES, or -1.
int cd_feature_index(const char* name);

// Computes the features of x into f, in the order of CD_FEATURES.
void cd_features_of(const cd_facts& x, double* f);

// The score of a group with features f: the weighted sum.
double cd_score(const cd_model& m, const double* f);
