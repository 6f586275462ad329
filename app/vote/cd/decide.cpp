#include "vote/cd/decide.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vote/cd/evidence.h"
#include "vote/cd/fingerprints.h"
#include "vote/cd/predictor.h"
#include "vote/vote_rules.h"

uint64_t cd_label_copies(const cd_block& b, cd_scratch& sc, uint64_t n, uint64_t p, bool bytes) {
    const auto value = [&](uint64_t k) -> uint16_t {
        return bytes ? b.in_blocks[sc.who[k]][p] : cd_key(cd_sample(b, sc.who[k], p));
    };
    uint64_t groups = 0;
    if (n <= CD_PAIRWISE_COPIES) {
        // Few copies: compared pair by pair, which saves the table's cache misses.
        uint16_t v[CD_PAIRWISE_COPIES];
        for (uint64_t k = 0; k < n; k++) v[k] = value(k);
        for (uint64_t k = 0; k < n; k++) {
            uint64_t first = k, size = 0;
            for (uint64_t j = 0; j < n; j++) {
                if (v[j] != v[k]) continue;
                first = j < first ? j : first;
                size++;
            }
            sc.label[k] = static_cast<uint16_t>(first);
            sc.size[k] = static_cast<uint16_t>(size);
            groups += first == k;
        }
        return groups;
    }
    for (uint64_t k = 0; k < n; k++) {
        const uint16_t v = value(k);
        if (sc.first_plus1[v] == 0) {
            sc.first_plus1[v] = static_cast<uint16_t>(k + 1);
            groups++;
        }
        sc.label[k] = static_cast<uint16_t>(sc.first_plus1[v] - 1);
    }
    for (uint64_t k = 0; k < n; k++) sc.size[k] = 0;
    for (uint64_t k = 0; k < n; k++) sc.size[sc.label[k]]++;
    for (uint64_t k = 0; k < n; k++) {
        sc.size[k] = sc.size[sc.label[k]];
        sc.first_plus1[value(k)] = 0;
    }
    return groups;
}

uint64_t cd_byte_vote_choice(const cd_scratch& sc, uint64_t n) {
    uint64_t w = 0;
    for (uint64_t k = 1; k < n; k++) {
        if (sc.size[k] > sc.size[w]) w = k;
    }
    return sc.size[w] > 1 ? w : best_scored(sc.totals, n);
}

namespace {

// The mean over the copies of the group whose first copy is sc.who[k] of ln of the share of the
// copy's own outvoted values that showed `print` (half a value with it and two in all counted
// before the first): a drive conceals its own way, so a copy that interpolates where it is
// outvoted shows a line again where it is wrong.
double habit_of(const cd_scratch& sc, uint64_t n, uint64_t k, cd_print print) {
    double sum = 0;
    for (uint64_t j = k; j < n; j++) {
        if (sc.label[j] != k) continue;
        const uint16_t c = sc.who[j];
        sum += std::log((sc.copy_outvoted_prints[c][print] + 0.5) / (sc.copy_outvoted[c] + 2.0));
    }
    return sum / static_cast<double>(sc.size[k]);
}

// What is known of the group whose first copy is sc.who[k] over the run at p.
cd_group_view view_of(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, uint64_t p,
                      const cd_window& w, uint64_t k, uint64_t gw, cd_rarities& known,
                      const cd_predictor& f) {
    const uint64_t c = sc.who[k], step = cd_step(b);
    cd_group_view g;
    g.print = cd_fingerprint_in(b, r, c, p, w.frames, g.len);
    g.rarity = g.print != CD_PRINT_NONE ? known.of(b, r, sc, n, w, g.print, g.len) : 0;
    g.size = sc.size[k];
    g.max_linear = cd_run_distance(b, c, p, w.frames);
    g.cubic = p >= 2 * step && cd_is_audio(r, p - 2 * step) && cd_is_audio(r, p + (w.frames + 1) * step);
    g.mean_cubic = 0;
    g.edge = 0;
    if (g.cubic) {
        for (uint64_t j = 0; j < w.frames; j++) g.mean_cubic += cd_cubic_distance(b, c, p + j * step);
        g.mean_cubic /= static_cast<double>(w.frames);
        g.edge = cd_cubic_distance(b, c, p - step) + cd_cubic_distance(b, c, p + w.frames * step);
    }
    // Against the byte vote's choice: a group that differs from it in one byte of each sample
    // may hold a read error, one that differs in both rarely does. The choice itself gets false,
    // whatever the order of the copies.
    g.two_bytes = k != gw && cd_both_bytes_differ(b, c, sc.who[gw], p, w.frames);
    g.noise = g.size == 1 ? sc.noise[k] : 0;  // counts for lone copies only
    g.shared = std::log((sc.outvoted_prints + 1.0) / (sc.outvoted_groups + 2.0));
    g.mute_span = g.print == CD_PRINT_MUTE ? cd_mute_span(b, r, c, p, w.frames) : 0;
    g.span_rarity = g.mute_span > w.frames ? known.of(b, r, sc, n, w, CD_PRINT_MUTE, g.mute_span) : g.rarity;
    g.lone_share = g.size == 1 && g.print != CD_PRINT_NONE
                       ? std::log((sc.outvoted_lone_prints[g.print] + 0.5) / (sc.outvoted_lone + 2.0))
                       : 0;
    g.group_share = g.size >= 2 && g.print != CD_PRINT_NONE
                        ? std::log((sc.outvoted_group_prints[g.print] + 0.5) / (sc.outvoted_groups + 2.0))
                        : 0;
    g.habit = habit_of(sc, n, k, g.print);
    g.side = 0;
    g.side_known = cd_side_distance(b, sc, w, c, g.side);
    g.pred_known = f.known;
    g.pred_off = f.known ? cd_predicted_distance(b, w, f, c) / f.scale : 0;
    g.pred_scale = f.known ? f.scale : 0;
    return g;
}

// The scores of every group by model m, at sc.score[its first copy].
void score_groups(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, uint64_t p,
                  const cd_window& w, uint64_t gw, const cd_model& m) {
    bool lone = false;  // the burst counts serve lone copies only
    for (uint64_t k = 0; k < n && !lone; k++) lone = sc.size[k] == 1;
    if (lone) cd_count_noise(b, r, sc, n, p, w.frames);
    cd_rarities known;
    cd_predictor f;
    cd_fit_predictor(b, r, sc, w, f);
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] != k) continue;
        const cd_group_view g = view_of(b, r, sc, n, p, w, k, gw, known, f);
        sc.print[k] = static_cast<uint8_t>(g.print);
        sc.rarity[k] = g.rarity;
        double own[CD_FEATURE_COUNT];
        double* f = sc.observer ? sc.observer->features[k] : own;
        cd_features_of(cd_facts_of(g, n, w.frames, w), f);
        sc.score[k] = cd_score(m, f);
    }
}

// How many samples of the channel from p the copies split as they split p (p's labels are in
// sc.label), up to `most`.
uint64_t run_length(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, uint64_t p,
                    uint64_t most) {
    for (uint64_t k = 0; k < n; k++) sc.run_label[k] = sc.label[k];
    uint64_t frames = 1;
    for (uint64_t q = p + cd_step(b); frames < most && cd_is_audio(r, q); q += cd_step(b), frames++) {
        cd_label_copies(b, sc, n, q);
        if (memcmp(sc.label, sc.run_label, n * sizeof sc.label[0]) != 0) break;
    }
    // Put p's groups back.
    for (uint64_t k = 0; k < n; k++) sc.label[k] = sc.run_label[k];
    for (uint64_t k = 0; k < n; k++) sc.size[k] = 0;
    for (uint64_t k = 0; k < n; k++) sc.size[sc.label[k]]++;
    for (uint64_t k = 0; k < n; k++) sc.size[k] = sc.size[sc.label[k]];
    return frames;
}

// True while the groups of two or more copies outvoted so far show a line or a hold often enough:
// a share of CD_SHARED_LEAST, counting half a group with one and five without before the first
// (so it holds at the start of a rip, until five such groups or so have shown none).
bool shared_concealment_seen(const cd_scratch& sc) {
    return (sc.outvoted_prints + 0.5) / (sc.outvoted_groups + 5.0) >= CD_SHARED_LEAST;
}

// Counts the groups of two or more copies (with `lone`, the lone copies instead) that the byte
// vote's choice (its first copy at gw) outvotes at p, by the fingerprint they show.
void count_outvoted(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, uint64_t p, uint64_t gw,
                    bool lone) {
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] != k || k == gw || (sc.size[k] < 2) != lone) continue;
        uint64_t len;
        const cd_print print = cd_fingerprint_in(b, r, sc.who[k], p, 1, len);
        for (uint64_t j = k; j < n; j++) {  // each copy's own habit
            if (sc.label[j] != k) continue;
            sc.copy_outvoted[sc.who[j]]++;
            sc.copy_outvoted_prints[sc.who[j]][print]++;
        }
        if (lone) {
            sc.outvoted_lone++;
            sc.outvoted_lone_prints[print]++;
            continue;
        }
        sc.outvoted_groups++;
        sc.outvoted_prints += print == CD_PRINT_LINE || print == CD_PRINT_HOLD;
        sc.outvoted_group_prints[print]++;
    }
}

}  // namespace

uint64_t cd_overruling_group(const cd_scratch& sc, uint64_t n, uint64_t w, double bias) {
    uint64_t best = w;
    double margin = 0;
    const uint64_t gw = sc.label[w];
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] != k || k == gw) continue;
        // A group of CD_STANDING_COPIES or more is wrong only where its copies share a
        // concealment. While this rip has shown next to none, neither a lone copy nor a muted
        // group overrules it; and zeros in every channel, where the recording around is seldom
        // silent and a larger group holds something else, are a muting drive's.
        const bool large = sc.size[gw] >= CD_STANDING_COPIES;
        const bool muted = sc.print[k] == CD_PRINT_MUTE && sc.size[k] < sc.size[gw];
        const bool seen = shared_concealment_seen(sc);
        if (large && sc.size[k] == 1 && !seen) continue;
        if (large && muted && (!seen || sc.rarity[k] < CD_SILENCE_RARITY)) continue;
        const double m = sc.score[k] - sc.score[gw] + bias;
        if (m > margin) best = k, margin = m;
    }
    return best;
}

cd_run_decision cd_decide_run(const cd_block& b, uint64_t p, uint64_t n, bool extend, cd_scratch& sc) {
    const cd_audio r = cd_audio_of_block(b);
    const uint64_t groups = cd_label_copies(b, sc, n, p);
    const uint64_t choice = cd_byte_vote_choice(sc, n);
    if (groups >= 2) count_outvoted(b, r, sc, n, p, sc.label[choice], false);
    if (sc.size[choice] >= CD_STANDING_COPIES && !cd_may_show_print(b, r, sc.who[choice], p)) {
        for (uint64_t k = 0; k < n; k++) sc.hits[k] = sc.size[k] - 1u;
        return {sc.who[choice], CD_MAJORITY, 0, 1};
    }
    uint64_t most = 1;
    if (extend) {
        const uint64_t channels = b.layout->channels;
        most = channels * CD_MAX_RUN <= cd_scratch::CACHE ? CD_MAX_RUN : cd_scratch::CACHE / channels;
    }
    cd_run_decision d = {0, CD_MAJORITY, 0, most > 1 ? run_length(b, r, sc, n, p, most) : 1};
    const uint64_t w = cd_byte_vote_choice(sc, n);
    for (uint64_t k = 0; k < n; k++) sc.hits[k] = sc.size[k] - 1u;
    d.winner = sc.who[w];
    d.outcome = sc.size[w] > 1 ? CD_MAJORITY : CD_BEST_SCORED;
    // Where the copies agree, or the run lies too near the edge of the block's audio for the
    // cubic prediction, the byte vote's choice stands; so does a majority of CD_STANDING_COPIES
    // or more that shows no fingerprint.
    const uint64_t step = cd_step(b);
    if (groups < 2 || p < 2 * step || !cd_is_audio(r, p - 2 * step) ||
        !cd_is_audio(r, p + (d.frames + 1) * step))
        return d;
    uint64_t len;
    if (sc.size[w] >= CD_STANDING_COPIES &&
        cd_fingerprint_in(b, r, sc.who[w], p, d.frames, len) == CD_PRINT_NONE)
        return d;
    // The lone copies are counted only where runs are scored: most disputes are a lone copy's,
    // settled before this, and its fingerprint would cost more than the vote.
    count_outvoted(b, r, sc, n, p, sc.label[w], true);
    cd_window win;
    cd_measure_window(b, r, sc, n, p, d.frames, win);
    const cd_model& model = sc.model ? *sc.model : CD_MODEL;
    score_groups(b, r, sc, n, p, win, sc.label[w], model);
    const uint64_t best = cd_overruling_group(sc, n, w, model.bias);
    if (sc.observer) sc.observer->scored(sc.observer->context, {&b, p, d.frames, n, &sc, w, best});
    d.scored = true;
    d.margin = static_cast<float>(cd_lead(sc, n, w, best, model.bias));
    if (best == w) return d;
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] == sc.label[w]) sc.hits[k] = 0;
    }
    d.winner = sc.who[best];
    d.outcome = CD_OVERRULED;
    d.loser = sc.who[w];
    return d;
}

double cd_lead(const cd_scratch& sc, uint64_t n, uint64_t w, uint64_t best, double bias) {
    const uint64_t gw = sc.label[w];
    if (best != w) return sc.score[best] - sc.score[gw] + bias;
    double lead = HUGE_VAL;
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] == k && k != gw) lead = std::min(lead, sc.score[gw] - sc.score[k] - bias);
    }
    return lead;
}
