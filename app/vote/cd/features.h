#pragma once
// The features of the --cd model as one table: each row names a feature and says how it is
// computed from what is known of a group over a run (cd_facts). A feature's weight is the entry
// of its name in cd_weights.h, which `make cd-fit` writes; a feature that has none yet weighs 0.
// A new feature is a row here and a run of `make cd-fit`, nothing else: the rule, the dump and
// the fit all go through this table.

#include <cmath>
#include <cstdint>

#include "vote/cd/evidence.h"
#include "vote/cd_vote.h"

// What is known of a group over the run.
struct cd_group_view {
    cd_print print;
    uint64_t len;        // the fingerprint's length
    double rarity;       // ln of the share of genuine samples that show the fingerprint
    uint64_t size;       // copies in the group
    double max_linear;   // largest distance of a run sample from its neighbours' floor mean
    double mean_cubic;   // mean distance of the run samples from their cubic prediction
    double edge;         // the same distances, summed, of the samples just outside the run
    bool cubic;          // false where the run lies too near the audio's edge for the cubic
    bool two_bytes;      // a run sample differs from the byte vote's choice in both of its bytes
    uint64_t noise;      // a lone copy: bytes near the run where it differs from the rest
    double shared;       // ln of the share of this rip's outvoted groups that show a line or hold
    uint64_t mute_span;  // a muted group: the frames of the stretch of zeros that holds the run
    double span_rarity;  // ... and ln of the share of the genuine audio silent over as many frames
    double lone_share;   // a lone copy with a fingerprint: ln of the share of this rip's outvoted
                         // lone copies that showed the same
    double group_share;  // a group of two or more with a fingerprint: the same among its outvoted
                         // groups of two or more copies
    double habit;        // the mean over its copies of ln of the share of the copy's own outvoted
                         // values that showed the group's fingerprint (or none)
    bool side_known;     // the other channel predicts the run (cd_side_distance)
    double side;         // ... and the mean distance of the group's side signal from its line
    bool pred_known;     // the window gives a two-sided linear predictor (vote/cd/predictor.h)
    double pred_off;     // ... and the mean distance of the run samples from its predictions, in
                         // units of the window's (pred_scale)
    double pred_scale;
};

// What the features are computed from: the group's view and the run it is seen over.
struct cd_facts {
    cd_group_view g;
    uint64_t voting;  // copies voting
    double copies;    // the group's copies beyond the first
    double frames;    // the run's length
    bool print;       // the group shows a fingerprint
    double scale;     // the window's mean distance from the floor mean (cd_window::scale)
    double scale3;    // ... from the cubic prediction (cd_window::scale3)
    // Log-likelihoods of the run as genuine audio, as Laplace densities with the window's scales:
    double lin;         // of its largest distance from the floor mean
    double cub;         // of its distances from the cubic prediction (lin where the cubic cannot be had)
    double edge;        // what the samples just outside the run add to cub
    double side_scale;  // the window's mean distance of the side signal (cd_window::side_scale)
    double step_scale;  // ... of a sample from the one before (cd_window::step_scale)
};

// The facts of group g over a run of `frames` samples among n voting copies, with window w.
inline cd_facts cd_facts_of(const cd_group_view& g, uint64_t n, uint64_t frames, const cd_window& w) {
    cd_facts x;
    x.g = g;
    x.voting = n;
    x.copies = static_cast<double>(g.size - 1);
    x.frames = static_cast<double>(frames);
    x.print = g.print != CD_PRINT_NONE;
    x.scale = w.scale;
    x.scale3 = w.scale3;
    x.lin = -std::log(2 * w.scale) - g.max_linear / w.scale;
    x.cub = g.cubic ? -x.frames * std::log(2 * w.scale3) - x.frames * g.mean_cubic / w.scale3 : x.lin;
    x.edge = g.cubic ? -g.edge / w.scale3 : 0;
    x.side_scale = w.side_scale;
    x.step_scale = w.step_scale;
    return x;
}

// The share of genuine samples that the Laplace density of the robust likelihoods leaves to any
// value at all (a transient, a click): 10^-4.75 spread over the 65536 values.
const double CD_FLOOR = 1.7783e-5;

// ln((1 - floor) e^(x / frames) + floor / 65536), per frame, times frames: a log-likelihood per
// sample that no implausible sample can take below the floor.
inline double cd_robust(double x, double frames) {
    const double per = x / frames < -700 ? -700 : (x / frames > 0 ? 0 : x / frames);
    return frames * std::log((1 - CD_FLOOR) * std::exp(per) + CD_FLOOR / 65536);
}

// ln C(n, k): how many ways k copies could be chosen among n.
inline double cd_log_subsets(uint64_t n, uint64_t k) {
    return std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(static_cast<double>(n - k) + 1.0);
}

struct cd_feature {
    const char* name;                    // the name of its weight in cd_weights.h
    double (*value)(const cd_facts& x);  // how it is computed
};

// clang-format off
constexpr cd_feature CD_FEATURES[] = {
    // copies beyond the first of a muted group, of a held group
    {"mute_copies", [](const cd_facts& x) { return x.g.print == CD_PRINT_MUTE ? x.copies : 0.0; }},
    {"hold_copies", [](const cd_facts& x) { return x.g.print == CD_PRINT_HOLD ? x.copies : 0.0; }},
    // ln(1 + the mean cubic distance), also in units of the window's
    {"log_cubic", [](const cd_facts& x) { return std::log1p(x.g.mean_cubic); }},
    {"log_cubic_scaled", [](const cd_facts& x) { return std::log1p(x.g.mean_cubic / x.scale3); }},
    // ln(1 + the edge's cubic distances in units of the window's)
    {"log_edge", [](const cd_facts& x) { return std::log1p(x.g.edge / x.scale3); }},
    // ln(1 + the largest linear distance), also in units of the window's
    {"log_linear", [](const cd_facts& x) { return std::log1p(x.g.max_linear); }},
    {"log_linear_scaled", [](const cd_facts& x) { return std::log1p(x.g.max_linear / x.scale); }},
    // ln(1 + noise) of a lone copy: a copy inside a burst of read errors
    {"noise_lone", [](const cd_facts& x) {
        return x.g.size == 1 ? std::log1p(static_cast<double>(x.g.noise)) : 0.0; }},
    // the group shows a fingerprint; its rarity (ln share, at most 0)
    {"print", [](const cd_facts& x) { return x.print ? 1.0 : 0.0; }},
    {"print_rarity", [](const cd_facts& x) { return x.print ? x.g.rarity : 0.0; }},
    // copies beyond the first of a group with a fingerprint, of one without
    {"print_copies", [](const cd_facts& x) { return x.print ? x.copies : 0.0; }},
    {"plain_copies", [](const cd_facts& x) { return x.print ? 0.0 : x.copies; }},
    // ln C(copies voting, group size), with a fingerprint: drives that conceal a place tend to do
    // so in several copies
    {"print_subsets", [](const cd_facts& x) { return x.print ? cd_log_subsets(x.voting, x.g.size) : 0.0; }},
    // the log-likelihood of the run as genuine (linear, Laplace with a floor), the same with the
    // cubic prediction, and what the samples just outside the run add to it
    {"robust_linear", [](const cd_facts& x) { return cd_robust(x.lin, x.frames); }},
    {"robust_cubic", [](const cd_facts& x) { return cd_robust(x.cub, x.frames); }},
    {"robust_edge", [](const cd_facts& x) {
        return cd_robust(x.cub + x.edge, x.frames) - cd_robust(x.cub, x.frames); }},
    // both bytes of a sample differ from the byte vote's choice's (false for the choice)
    {"two_bytes", [](const cd_facts& x) { return x.g.two_bytes ? 1.0 : 0.0; }},
    // ... by a group with a fingerprint: between two concealments (a muting and a line through
    // small samples of either sign) both bytes differ without any read error
    {"two_bytes_print", [](const cd_facts& x) { return x.g.two_bytes && x.print ? 1.0 : 0.0; }},
    // the fingerprint is a hold, a mute
    {"hold", [](const cd_facts& x) { return x.g.print == CD_PRINT_HOLD ? 1.0 : 0.0; }},
    {"mute", [](const cd_facts& x) { return x.g.print == CD_PRINT_MUTE ? 1.0 : 0.0; }},
    // a fingerprint where three copies vote; copies beyond the first of a group without one, of three
    {"print_of_three", [](const cd_facts& x) { return x.print && x.voting == 3 ? 1.0 : 0.0; }},
    {"plain_copies_of_three", [](const cd_facts& x) { return !x.print && x.voting == 3 ? x.copies : 0.0; }},
    // ln C(copies voting, group size), without a fingerprint
    {"plain_subsets", [](const cd_facts& x) { return x.print ? 0.0 : cd_log_subsets(x.voting, x.g.size); }},
    // copies beyond the first of a line or a hold, times ln of how often this rip's outvoted
    // groups show one
    {"shared_copies", [](const cd_facts& x) {
        return x.g.print == CD_PRINT_LINE || x.g.print == CD_PRINT_HOLD ? x.copies * x.g.shared : 0.0; }},
    // a line: ln of the share of genuine samples on it that the window's scale predicts (a
    // sample lies on its neighbours' floor mean about once in 2 x scale + 1), per sample of the
    // line: steadier than the count of agreed samples on a line, which sees one or two
    {"line_scale_rarity", [](const cd_facts& x) {
        return x.g.print == CD_PRINT_LINE ? -double(x.g.len) * std::log1p(2 * x.scale) : 0.0; }},
    // a hold: the same, a sample repeating the one before about once in 2 x the mean step + 1
    {"hold_scale_rarity", [](const cd_facts& x) {
        return x.g.print == CD_PRINT_HOLD ? -double(x.g.len) * std::log1p(2 * x.step_scale) : 0.0; }},
    // a muted group: ln of how far its stretch of zeros reaches beyond the run (a drive mutes 2 to
    // 32 frames at once, genuine quiet audio seldom stays zero so long), and the rarity of that
    // stretch in the genuine audio
    {"mute_reach", [](const cd_facts& x) {
        return x.g.print == CD_PRINT_MUTE ? std::log(double(x.g.mute_span) / x.frames) : 0.0; }},
    {"mute_span_rarity", [](const cd_facts& x) { return x.g.print == CD_PRINT_MUTE ? x.g.span_rarity : 0.0; }},
    // a lone copy's fingerprint: ln of how often this rip's outvoted lone copies show it (a drive
    // that conceals so alone shows it often; a genuine sample shows it by chance)
    {"lone_print_share", [](const cd_facts& x) { return x.g.lone_share; }},
    // the same for a group of two or more copies, among this rip's outvoted groups of as many
    {"group_print_share", [](const cd_facts& x) { return x.g.group_share; }},
    // stereo: how far the group's samples less the other channel's lie from the line of the side
    // signal around the run, in units of the window's (channels move together)
    {"log_side_scaled", [](const cd_facts& x) { return x.g.side_known ? std::log1p(x.g.side / x.side_scale) : 0.0; }},
    // ... off the side signal's line where the channels around agree as in a mono recording
    {"side_off_mono", [](const cd_facts& x) {
        return x.g.side_known && x.side_scale <= 0.5 && x.g.side > 0 ? 1.0 : 0.0; }},
    // a run of several samples: ln of its length for a muted group, a held one, any fingerprint,
    // and times the copies beyond the first (one concealment covers a run at once, a read error
    // seldom spans several samples alike in several copies)
    {"mute_frames", [](const cd_facts& x) { return x.g.print == CD_PRINT_MUTE ? std::log(x.frames) : 0.0; }},
    {"hold_frames", [](const cd_facts& x) { return x.g.print == CD_PRINT_HOLD ? std::log(x.frames) : 0.0; }},
    {"copies_frames", [](const cd_facts& x) { return x.copies * std::log(x.frames); }},
    // a lone copy muted, on a line
    {"mute_lone", [](const cd_facts& x) { return x.g.print == CD_PRINT_MUTE && x.g.size == 1 ? 1.0 : 0.0; }},
    {"line_lone", [](const cd_facts& x) { return x.g.print == CD_PRINT_LINE && x.g.size == 1 ? 1.0 : 0.0; }},
    {"print_frames", [](const cd_facts& x) { return x.print ? std::log(x.frames) : 0.0; }},
    // a muted group, by ln(1 + the window's scale): zeros are plausible in quiet audio only
    {"mute_quiet", [](const cd_facts& x) { return x.g.print == CD_PRINT_MUTE ? std::log1p(x.scale) : 0.0; }},
    // each copy's own habit (a drive conceals its own way): the mean over the group's copies of ln
    // of the share of the copy's outvoted values that showed the group's fingerprint (or none),
    // for a lone copy and a group, with a fingerprint and without
    {"habit_lone_print", [](const cd_facts& x) { return x.g.size == 1 && x.print ? x.g.habit : 0.0; }},
    {"habit_lone_plain", [](const cd_facts& x) { return x.g.size == 1 && !x.print ? x.g.habit : 0.0; }},
    {"habit_group_print", [](const cd_facts& x) { return x.g.size > 1 && x.print ? x.g.habit : 0.0; }},
    {"habit_group_plain", [](const cd_facts& x) { return x.g.size > 1 && !x.print ? x.g.habit : 0.0; }},
    // a lone copy where three copies vote, where more do
    {"lone_of_three", [](const cd_facts& x) { return x.g.size == 1 && x.voting == 3 ? 1.0 : 0.0; }},
    {"lone_of_many", [](const cd_facts& x) { return x.g.size == 1 && x.voting > 3 ? 1.0 : 0.0; }},
    // ln(1 + the mean cubic distance in units of the window's), times the copies beyond the first,
    // and for a lone copy: how far a group's samples stray weighs otherwise by its size
    {"copies_cubic", [](const cd_facts& x) { return x.copies * std::log1p(x.g.mean_cubic / x.scale3); }},
    {"lone_cubic", [](const cd_facts& x) { return x.g.size == 1 ? std::log1p(x.g.mean_cubic / x.scale3) : 0.0; }},
    // how far the group's samples lie from the two-sided linear predictor fitted on the window, in
    // units of the window's distances: ln(1 + it), and the log-likelihood of the run as genuine
    // (Laplace with a floor, as robust_cubic)
    {"log_predicted", [](const cd_facts& x) { return x.g.pred_known ? std::log1p(x.g.pred_off) : 0.0; }},
    {"robust_predicted", [](const cd_facts& x) {
        return x.g.pred_known ? cd_robust(-x.frames * (std::log(2 * x.g.pred_scale) + x.g.pred_off), x.frames) : 0.0; }},
    // ... ln(1 + it) for a lone copy: a read error strays from the prediction alone
    {"lone_predicted", [](const cd_facts& x) {
        return x.g.pred_known && x.g.size == 1 ? std::log1p(x.g.pred_off) : 0.0; }},
};
// clang-format on

constexpr unsigned CD_FEATURE_COUNT = sizeof CD_FEATURES / sizeof CD_FEATURES[0];
