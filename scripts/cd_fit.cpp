// cd_fit: the dump and the fit of `make cd-fit`, which make the weights of the --cd model
// (app/vote/cd/cd_weights.h) again from the tune set of `make audio-eval`.
//
//   cd_fit dump ORIGINAL DUMP COPY...
//       votes the copies by bytes and by --cd's rule with a model that never overrules, and
//       writes to DUMP every run the rule scores: each group's first copy, copies, fingerprint,
//       rarity, wrong bytes over the run (against ORIGINAL) and features (vote/cd/features.h),
//       and the wrong bytes that both votes leave in the whole file.
//   cd_fit fit HEADER DUMP...
//       fits the model on the dumps as vote/cd/model.h says and writes HEADER.
//   cd_fit check HEADER DUMP...
//       replays the decisions of HEADER's weights on the dumps (of other material: `make cd-fit`
//       with CD_FIT_CHECK=1 dumps the check set of `make audio-eval`) and prints, per damage kind
//       with 3 and with 5 or more copies, the bound, the byte vote's wrong bytes, --cd's, its false
//       overrules in samples and the wrong bytes left were every scored run decided for its best
//       group; and every row where --cd leaves more than the byte vote. With CD_FIT_WHY set in the
//       environment it also lists every run decided worse than its best group, with the features.
//
// Everything is fixed: the material, the order of the dumps (as given), the iterations and the
// printed digits, so that a run on any clone writes the committed header byte for byte.

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/cholesky.h"
#include "material.h"
#include "vote/cd/cd_weights.h"
#include "vote/cd/decide.h"
#include "vote/cd/model.h"
#include "vote_in_memory.h"

namespace {

const unsigned F = CD_FEATURE_COUNT;
const unsigned P = F + 1;  // the weights and the bias, which comes last

// Bytes in which `voted` differs from `original` (a missing or extra byte counts as one).
uint64_t wrong_bytes(const Bytes& original, const Bytes& voted) {
    const size_t common = original.size() < voted.size() ? original.size() : voted.size();
    uint64_t wrong = (original.size() > voted.size() ? original.size() : voted.size()) - common;
    for (size_t i = 0; i < common; i++) wrong += original[i] != voted[i];
    return wrong;
}

// ---- Dump ----

struct dumper {
    const Bytes* original;
    FILE* out;
};

// Copy c's wrong bytes over the run.
uint64_t run_wrong(const Bytes& original, const cd_scored_run& r, uint64_t c) {
    const uint64_t step = 2 * r.block->layout->channels;
    uint64_t wrong = 0;
    for (uint64_t j = 0; j < r.frames; j++) {
        const uint64_t q = r.p + j * step, at = r.block->block_start + q;
        for (uint64_t k = 0; k < 2; k++) {
            wrong += at + k >= original.size() || r.block->in_blocks[c][q + k] != original[at + k];
        }
    }
    return wrong;
}

void dump_run(void* context, const cd_scored_run& r) {
    const dumper& d = *static_cast<const dumper*>(context);
    const cd_scratch& sc = *r.sc;
    std::fprintf(d.out, "run %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", r.n, r.frames,
                 r.choice, sc.outvoted_prints, sc.outvoted_groups);
    for (uint64_t k = 0; k < r.n; k++) {
        if (sc.label[k] != k) continue;
        std::fprintf(d.out, "group %" PRIu64 " %u %u %.17g %" PRIu64, k, unsigned(sc.size[k]),
                     unsigned(sc.print[k]), sc.rarity[k], run_wrong(*d.original, r, sc.who[k]));
        for (unsigned i = 0; i < F; i++) std::fprintf(d.out, " %.17g", sc.observer->features[k][i]);
        std::fprintf(d.out, "\n");
    }
}

int cmd_dump(int argc, char** argv) {
    if (argc < 7) return 2;
    Bytes original;
    if (!read_file(argv[2], original)) return 1;
    std::vector<Bytes> copies(static_cast<size_t>(argc - 4));
    std::vector<const Bytes*> in;
    for (size_t i = 0; i < copies.size(); i++) {
        if (!read_file(argv[4 + i], copies[i])) return 1;
        in.push_back(&copies[i]);
    }
    FILE* out = std::fopen(argv[3], "w");
    if (!out) {
        std::perror(argv[3]);
        return 1;
    }
    std::fprintf(out, "copies %zu\nfeatures", copies.size());
    for (unsigned i = 0; i < F; i++) std::fprintf(out, " %s", CD_FEATURES[i].name);
    uint64_t bound = 0;  // bytes that no copy holds right
    for (size_t i = 0; i < original.size(); i++) {
        size_t c = 0;
        while (c < copies.size() && (i >= copies[c].size() || copies[c][i] != original[i])) c++;
        bound += c == copies.size();
    }
    std::fprintf(out, "\nbound %" PRIu64, bound);
    std::fprintf(out, "\nbyte_vote_wrong %" PRIu64 "\n",
                 wrong_bytes(original, vote_in_memory(in, memory_vote())));
    // The byte vote's choice always stands, so the dump does not depend on the weights in force.
    cd_model never = CD_MODEL;
    never.bias = -HUGE_VAL;
    dumper d = {&original, out};
    std::unique_ptr<cd_observer> observer(new cd_observer());
    observer->scored = dump_run;
    observer->context = &d;
    memory_vote how;
    how.cd = true;
    how.model = &never;
    how.observer = observer.get();
    const Bytes voted = vote_in_memory(in, how);
    std::fprintf(out, "cd_wrong %" PRIu64 "\n", wrong_bytes(original, voted));
    if (std::fclose(out) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}

// ---- The dumps read back ----

struct group {
    uint16_t k, size;
    uint8_t print;
    double rarity;
    uint64_t wrong;
    double f[F];
};

struct run {
    uint64_t n, frames, choice, outvoted_prints, outvoted_groups;
    size_t first, groups;  // its groups in tune::groups
    size_t choice_group;   // the group of the byte vote's choice
};

struct row {
    uint64_t copies, bound, byte_wrong, cd_wrong;  // cd_wrong: the byte vote's choice kept everywhere
    size_t first, runs;
    std::string damage;  // the damage kind, from the dump's name (NNN-KIND-CHANNELS-DAMAGE-N.dump)
};

struct tune {
    std::vector<group> groups;
    std::vector<run> runs;
    std::vector<row> rows;
};

bool fail(const char* path, const char* what) {
    std::fprintf(stderr, "cd_fit: %s: %s\n", path, what);
    return false;
}

// The damage kind in a dump's name as cd_fit.sh writes it, or "".
std::string damage_of(const char* path) {
    const char* base = std::strrchr(path, '/');
    std::string name = base ? base + 1 : path;
    size_t dash[4], found = 0;
    for (size_t i = 0; i < name.size() && found < 4; i++) {
        if (name[i] == '-') dash[found++] = i;
    }
    return found == 4 ? name.substr(dash[2] + 1, dash[3] - dash[2] - 1) : std::string();
}

bool read_dump(const char* path, tune& t) {
    FILE* in = std::fopen(path, "r");
    if (!in) return fail(path, std::strerror(errno));
    row r = {0, 0, 0, 0, t.runs.size(), 0, damage_of(path)};
    char word[64];
    bool ok = true;
    while (ok && std::fscanf(in, "%63s", word) == 1) {
        if (std::strcmp(word, "copies") == 0) {
            ok = std::fscanf(in, "%" SCNu64, &r.copies) == 1;
        } else if (std::strcmp(word, "features") == 0) {
            for (unsigned i = 0; i < F && ok; i++) {
                ok = std::fscanf(in, "%63s", word) == 1 && std::strcmp(word, CD_FEATURES[i].name) == 0;
            }
            if (!ok) fail(path, "made with other features than vote/cd/features.h lists");
        } else if (std::strcmp(word, "bound") == 0) {
            ok = std::fscanf(in, "%" SCNu64, &r.bound) == 1;
        } else if (std::strcmp(word, "byte_vote_wrong") == 0) {
            ok = std::fscanf(in, "%" SCNu64, &r.byte_wrong) == 1;
        } else if (std::strcmp(word, "cd_wrong") == 0) {
            ok = std::fscanf(in, "%" SCNu64, &r.cd_wrong) == 1;
        } else if (std::strcmp(word, "run") == 0) {
            run u = {0, 0, 0, 0, 0, t.groups.size(), 0, 0};
            ok = std::fscanf(in, "%" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64, &u.n, &u.frames,
                             &u.choice, &u.outvoted_prints, &u.outvoted_groups) == 5;
            t.runs.push_back(u);
            r.runs++;
        } else if (std::strcmp(word, "group") == 0 && !t.runs.empty()) {
            group g;
            unsigned k, size, print;
            ok = std::fscanf(in, "%u %u %u %lf %" SCNu64, &k, &size, &print, &g.rarity, &g.wrong) == 5;
            for (unsigned i = 0; i < F && ok; i++) ok = std::fscanf(in, "%lf", &g.f[i]) == 1;
            g.k = static_cast<uint16_t>(k), g.size = static_cast<uint16_t>(size),
            g.print = static_cast<uint8_t>(print);
            run& u = t.runs.back();
            if (g.k == u.choice) u.choice_group = t.groups.size();
            t.groups.push_back(g);
            u.groups++;
        } else {
            ok = fail(path, "not a dump of cd_fit");
        }
    }
    std::fclose(in);
    if (ok && r.copies < 3) ok = fail(path, "incomplete");
    t.rows.push_back(r);
    return ok;
}

// ---- Replay: the decisions a model makes on the dumped runs ----

// A false overrule: a smaller group taken over CD_STANDING_COPIES or more copies that held the
// genuine samples. It costs its wrong bytes twice in the fit's measure: it outvotes several rips
// that agree, and where no checksum covers the samples (a disc's last sectors) nothing catches it.
struct totals {
    uint64_t byte3, byte5, cd3, cd5;  // wrong bytes of the rows with 3, and with 5 or more copies
    uint64_t false3, false5;          // the wrong bytes of false overrules among them
    double share() const {            // the fit's measure: a share of the byte vote's, per goal
        return (byte3 ? double(cd3 + false3) / (0.1 * double(byte3)) : 0) +
               (byte5 ? double(cd5 + false5) / (0.05 * double(byte5)) : 0);
    }
};

// The group the rule takes in run u with model m, using the rule's own decision.
const group& decided(const tune& t, const run& u, const cd_model& m, cd_scratch& sc) {
    for (uint64_t k = 0; k < u.n; k++) sc.label[k] = 0;  // copies after a group's first
    for (size_t j = 0; j < u.groups; j++) {
        const group& g = t.groups[u.first + j];
        sc.label[g.k] = g.k;
        sc.size[g.k] = g.size;
        sc.print[g.k] = g.print;
        sc.rarity[g.k] = g.rarity;
        sc.score[g.k] = cd_score(m, g.f);
    }
    sc.outvoted_prints = u.outvoted_prints;
    sc.outvoted_groups = u.outvoted_groups;
    const uint64_t k = cd_overruling_group(sc, u.n, u.choice, m.bias);
    for (size_t j = 0; j < u.groups; j++) {
        if (t.groups[u.first + j].k == k) return t.groups[u.first + j];
    }
    return t.groups[u.choice_group];
}

// The totals over the tune set's rows, or over one half of them (`half` 0 or 1: the rows of
// even or odd index; 2: all).
totals replay(const tune& t, const cd_model& m, cd_scratch& sc, unsigned half = 2) {
    totals s = {0, 0, 0, 0, 0, 0};
    for (const row& r : t.rows) {
        if (half < 2 && size_t(&r - &t.rows[0]) % 2 != half) continue;
        int64_t wrong = static_cast<int64_t>(r.cd_wrong);
        uint64_t false_wrong = 0;
        for (size_t i = r.first; i < r.first + r.runs; i++) {
            const run& u = t.runs[i];
            const group &taken = decided(t, u, m, sc), &choice = t.groups[u.choice_group];
            wrong += static_cast<int64_t>(taken.wrong) - static_cast<int64_t>(choice.wrong);
            if (choice.size >= CD_STANDING_COPIES && choice.wrong == 0) false_wrong += taken.wrong;
        }
        (r.copies >= 5 ? s.byte5 : s.byte3) += r.byte_wrong;
        (r.copies >= 5 ? s.cd5 : s.cd3) += static_cast<uint64_t>(wrong);
        (r.copies >= 5 ? s.false5 : s.false3) += false_wrong;
    }
    return s;
}

// ---- The logistic regression ----

struct example {
    double x[P];  // the group's features less the byte vote's choice's, and 1 for the bias
    double y;     // 1 when the group holds fewer wrong bytes than the choice
    double weight;
};

std::vector<example> examples_of(const tune& t) {
    std::vector<example> out;
    for (const run& u : t.runs) {
        const group& c = t.groups[u.choice_group];
        for (size_t j = 0; j < u.groups; j++) {
            const group& g = t.groups[u.first + j];
            if (&g == &c || g.wrong == c.wrong) continue;
            example e;
            for (unsigned i = 0; i < F; i++) e.x[i] = g.f[i] - c.f[i];
            e.x[F] = 1;
            e.y = g.wrong < c.wrong;
            e.weight = g.wrong < c.wrong ? double(c.wrong - g.wrong) : double(g.wrong - c.wrong);
            // Overruling CD_STANDING_COPIES or more copies that hold the genuine samples would be
            // a false overrule, which the measure counts twice.
            if (c.size >= CD_STANDING_COPIES && c.wrong == 0) e.weight *= 2;
            out.push_back(e);
        }
    }
    return out;
}

const double PENALTY = 1;  // L2, on the weights, not the bias
const unsigned NEWTON_STEPS = 100;

// The weighted, penalised logistic regression by Newton's method, from all weights 0: at most
// NEWTON_STEPS steps, until no weight moves by 1e-10.
bool regress(const std::vector<example>& ex, double beta[P], unsigned& steps) {
    for (unsigned i = 0; i < P; i++) beta[i] = 0;
    for (steps = 1; steps <= NEWTON_STEPS; steps++) {
        double grad[P] = {}, hess[P][P] = {};
        for (const example& e : ex) {
            double z = 0;
            for (unsigned i = 0; i < P; i++) z += beta[i] * e.x[i];
            const double p = z >= 0 ? 1 / (1 + std::exp(-z)) : std::exp(z) / (1 + std::exp(z));
            const double r = e.weight * (p - e.y), c = e.weight * p * (1 - p);
            for (unsigned i = 0; i < P; i++) {
                grad[i] += r * e.x[i];
                for (unsigned j = 0; j <= i; j++) hess[i][j] += c * e.x[i] * e.x[j];
            }
        }
        for (unsigned i = 0; i < P; i++) {
            for (unsigned j = 0; j < i; j++) hess[j][i] = hess[i][j];
        }
        for (unsigned i = 0; i < F; i++) grad[i] += PENALTY * beta[i], hess[i][i] += PENALTY;
        if (!cholesky_solve(hess, grad, P)) return false;
        const double* step = grad;
        double most = 0;
        for (unsigned i = 0; i < P; i++) {
            beta[i] -= step[i];
            most = std::fabs(step[i]) > most ? std::fabs(step[i]) : most;
        }
        if (most < 1e-10) return true;
    }
    return true;
}

// ---- The model as printed ----

// Weights are kept to four decimals (as printed), so that the header holds the model measured.
double four_decimals(double x) {
    const double r = std::round(x * 1e4) / 1e4;
    return r == 0 ? 0 : r;  // no -0.0000
}

cd_model model_of(const double beta[P]) {
    cd_model m;
    for (unsigned i = 0; i < F; i++) m.weight[i] = four_decimals(beta[i]);
    m.bias = four_decimals(beta[F]);
    return m;
}

double& parameter(cd_model& m, unsigned i) { return i < F ? m.weight[i] : m.bias; }
const char* parameter_name(unsigned i) { return i < F ? CD_FEATURES[i].name : "bias"; }

const unsigned ROUNDS = 4;

// Moves each weight in turn, and the bias, by 30 % of its size (at least 0.05) up or down where
// that lowers the replayed share of wrong bytes on both halves of the rows (even and odd); ROUNDS
// rounds, the steps halved each round.
cd_model adjust(const tune& t, cd_model m, cd_scratch& sc) {
    double best = replay(t, m, sc).share();
    double best0 = replay(t, m, sc, 0).share(), best1 = replay(t, m, sc, 1).share();
    for (unsigned round = 0; round < ROUNDS; round++) {
        for (unsigned i = 0; i < P; i++) {
            const double was = parameter(m, i);
            const double step =
                (std::fabs(was) * 0.3 > 0.05 ? std::fabs(was) * 0.3 : 0.05) / double(1u << round);
            double keep = was;
            for (const double to : {four_decimals(was + step), four_decimals(was - step)}) {
                parameter(m, i) = to;
                // Kept only where it helps both halves of the rows: a gain on one half alone is
                // as likely the tune set's noise, which the check set does not share.
                const double s0 = replay(t, m, sc, 0).share(), s1 = replay(t, m, sc, 1).share();
                if (s0 < best0 && s1 < best1) best = replay(t, m, sc).share(), best0 = s0, best1 = s1, keep = to;
            }
            parameter(m, i) = keep;
        }
        std::printf("cd_fit: adjustment round %u: share %.6f\n", round + 1, best);
    }
    return m;
}

void print_heading() {
    std::printf("  %-34s %8s %8s %8s %8s  %s\n", "", "3 copies", "5 and 7", "all", "false", "share");
}

void print_totals(const char* what, const totals& s) {
    std::printf("  %-34s %8" PRIu64 " %8" PRIu64 " %8" PRIu64 " %8" PRIu64 "  %.6f\n", what, s.cd3, s.cd5,
                s.cd3 + s.cd5, s.false3 + s.false5, s.share());
}

// The names of the weights whose removal (a weight of 0) moves the tune set's wrong bytes by 5 %
// or more.
std::vector<std::string> weights_that_matter(const tune& t, const cd_model& m, cd_scratch& sc) {
    const totals with = replay(t, m, sc);
    const double all = double(with.cd3 + with.cd5);
    std::vector<std::string> names;
    std::printf("cd_fit: the tune set's wrong bytes with one weight removed:\n");
    print_heading();
    for (unsigned i = 0; i < F; i++) {
        cd_model without = m;
        without.weight[i] = 0;
        const totals s = replay(t, without, sc);
        const double moved = std::fabs(double(s.cd3 + s.cd5) - all) / all;
        char label[80];
        std::snprintf(label, sizeof label, "%s%s", CD_FEATURES[i].name, moved >= 0.05 ? " (guarded)" : "");
        print_totals(label, s);
        if (moved >= 0.05) names.push_back(CD_FEATURES[i].name);
    }
    return names;
}

bool write_header(const char* path, const cd_model& m, const totals& s,
                  const std::vector<std::string>& matter) {
    FILE* out = std::fopen(path, "w");
    if (!out) return fail(path, std::strerror(errno));
    std::fprintf(
        out,
        "#pragma once\n"
        "// The weights of the --cd model, by feature (vote/cd/features.h). Generated by `make cd-fit`\n"
        "// (scripts/cd_fit.sh, scripts/cd_fit.cpp) from the tune set of `make audio-eval`: do not edit,\n"
        "// refit. On the tune set they leave %" PRIu64 " wrong bytes with 3 copies and %" PRIu64
        " with 5 and 7\n"
        "// (the byte vote: %" PRIu64 " and %" PRIu64
        ").\n\n"
        "#include \"vote/cd/model.h\"\n\n"
        "// clang-format off\n"
        "constexpr cd_named_weight CD_FITTED_WEIGHTS[] = {\n",
        s.cd3, s.cd5, s.byte3, s.byte5);
    for (unsigned i = 0; i < F; i++)
        std::fprintf(out, "    {\"%s\", %.4f},\n", CD_FEATURES[i].name, m.weight[i]);
    std::fprintf(
        out,
        "};\n"
        "constexpr double CD_FITTED_BIAS = %.4f;\n\n"
        "// The weights whose removal (a weight of 0) moves the tune set's wrong bytes by 5 %% or more:\n"
        "// the guard test (tests/cd_model_test.cpp) must fail without each of them.\n"
        "constexpr const char* CD_WEIGHTS_THAT_MATTER[] = {\n",
        m.bias);
    for (const std::string& name : matter) std::fprintf(out, "    \"%s\",\n", name.c_str());
    std::fprintf(out, "    nullptr,\n};\n// clang-format on\n");
    if (std::fclose(out) != 0) return fail(path, std::strerror(errno));
    return true;
}

int cmd_fit(int argc, char** argv) {
    if (argc < 4) return 2;
    tune t;
    for (int i = 3; i < argc; i++) {
        if (!read_dump(argv[i], t)) return 1;
    }
    std::unique_ptr<cd_scratch> sc(new cd_scratch());
    const std::vector<example> ex = examples_of(t);
    std::printf("cd_fit: %zu rows, %zu scored runs, %zu groups, %zu examples\n", t.rows.size(), t.runs.size(),
                t.groups.size(), ex.size());
    double beta[P];
    unsigned steps = 0;
    if (!regress(ex, beta, steps)) {
        fail(argv[2], "the regression's matrix is not positive definite");
        return 1;
    }
    std::printf("cd_fit: logistic regression after %u Newton steps\n", steps);
    const cd_model first = model_of(beta);
    const cd_model fitted = adjust(t, first, *sc);
    cd_model never = first;
    never.bias = -HUGE_VAL;
    const totals s = replay(t, fitted, *sc);
    std::printf("cd_fit: the tune set's wrong bytes:\n");
    print_heading();
    print_totals("byte vote's choice kept", replay(t, never, *sc));
    print_totals("weights built into cd_fit", replay(t, CD_MODEL, *sc));
    print_totals("logistic regression", replay(t, first, *sc));
    print_totals("adjusted (written)", s);
    std::printf("cd_fit: %-22s %9s %9s\n", "weight", "regressed", "adjusted");
    for (unsigned i = 0; i < P; i++) {
        cd_model a = first, b = fitted;
        std::printf("  %-28s %9.4f %9.4f\n", parameter_name(i), parameter(a, i), parameter(b, i));
    }
    const std::vector<std::string> matter = weights_that_matter(t, fitted, *sc);
    if (!write_header(argv[2], fitted, s, matter)) return 1;
    std::printf("cd_fit: wrote %s\n", argv[2]);
    return 0;
}


// ---- The check: the weights in force replayed on dumps of other material ----

// Sums of one damage kind and copies count: the byte vote's wrong bytes, --cd's, and its false
// overrules in samples (as `audio_eval overrules` counts them).
struct kind_sums {
    uint64_t bound, byte, cd, false_samples, best;  // best: every scored run decided for its best group
};

// Prints each run the weights in force decide worse than the best group would: its groups, their
// wrong bytes and features.
void print_wrong_run(const tune& t, const run& u, const group& taken, const row& r, const cd_model& m) {
    std::printf("wrong %s n=%" PRIu64 " frames=%" PRIu64 " taken=%u choice=%u seen=%" PRIu64 "/%" PRIu64 "\n", r.damage.c_str(),
                u.n, u.frames, unsigned(taken.k), unsigned(u.choice), u.outvoted_prints, u.outvoted_groups);
    for (size_t j = 0; j < u.groups; j++) {
        const group& g = t.groups[u.first + j];
        std::printf("  k=%u size=%u print=%u rar=%.2f wrong=%" PRIu64 " score=%.3f |", unsigned(g.k),
                    unsigned(g.size), unsigned(g.print), g.rarity, g.wrong, cd_score(m, g.f));
        for (unsigned i = 0; i < F; i++) std::printf(" %s=%.3g", CD_FEATURES[i].name, g.f[i]);
        std::printf("\n");
    }
}

// Reads the weights of a header that `cd_fit fit` wrote into m (a feature it does not name weighs 0).
bool read_header(const char* path, cd_model& m) {
    FILE* in = std::fopen(path, "r");
    if (!in) return fail(path, std::strerror(errno));
    m = cd_model{};
    bool bias = false;
    char line[256], name[128];
    double w;
    while (std::fgets(line, sizeof line, in)) {
        if (std::sscanf(line, " {\"%127[^\"]\", %lf}", name, &w) == 2 && cd_feature_index(name) >= 0) {
            m.weight[cd_feature_index(name)] = w;
        } else if (std::sscanf(line, " constexpr double CD_FITTED_BIAS = %lf;", &w) == 1) {
            m.bias = w, bias = true;
        }
    }
    std::fclose(in);
    return bias || fail(path, "no CD_FITTED_BIAS: not a header of cd_fit");
}

int cmd_check(int argc, char** argv) {
    if (argc < 4) return 2;
    cd_model m;
    if (!read_header(argv[2], m)) return 1;
    tune t;
    for (int i = 3; i < argc; i++) {
        if (!read_dump(argv[i], t)) return 1;
    }
    const bool why = std::getenv("CD_FIT_WHY") != nullptr;
    std::unique_ptr<cd_scratch> sc(new cd_scratch());
    std::vector<std::string> kinds;
    std::vector<kind_sums> sums;  // per kind, 3 copies and 5 or more
    uint64_t worse_rows = 0;
    for (const row& r : t.rows) {
        int64_t wrong = static_cast<int64_t>(r.cd_wrong), best_wrong = wrong;
        uint64_t false_samples = 0;
        for (size_t i = r.first; i < r.first + r.runs; i++) {
            const run& u = t.runs[i];
            const group &taken = decided(t, u, m, *sc), &choice = t.groups[u.choice_group];
            wrong += static_cast<int64_t>(taken.wrong) - static_cast<int64_t>(choice.wrong);
            if (&taken != &choice && choice.size >= CD_STANDING_COPIES && choice.wrong == 0)
                false_samples += u.frames;
            uint64_t least = choice.wrong;
            for (size_t j = 0; j < u.groups; j++) least = std::min(least, t.groups[u.first + j].wrong);
            if (why && taken.wrong > least) print_wrong_run(t, u, taken, r, m);
            best_wrong += static_cast<int64_t>(least) - static_cast<int64_t>(choice.wrong);
        }
        size_t k = 0;
        while (k < kinds.size() && kinds[k] != r.damage) k++;
        if (k == kinds.size()) kinds.push_back(r.damage), sums.resize(2 * kinds.size(), {0, 0, 0, 0, 0});
        kind_sums& s = sums[2 * k + (r.copies >= 5)];
        s.bound += r.bound, s.byte += r.byte_wrong, s.cd += static_cast<uint64_t>(wrong), s.false_samples += false_samples;
        s.best += static_cast<uint64_t>(best_wrong);
        if (static_cast<uint64_t>(wrong) > r.byte_wrong) {
            worse_rows++;
            std::printf("cd_fit: row %zu (%s, %" PRIu64 " copies): --cd %" PRId64 " against the byte vote's %" PRIu64
                        "\n", size_t(&r - &t.rows[0]) + 1, r.damage.c_str(), r.copies, wrong, r.byte_wrong);
        }
    }
    std::printf("  %-8s %-6s %8s %10s %8s %8s %8s\n", "damage", "copies", "bound", "byte vote", "--cd", "false",
                "best");
    for (unsigned g = 0; g < 2; g++) {
        kind_sums all = {0, 0, 0, 0, 0};
        for (size_t k = 0; k < kinds.size(); k++) {
            const kind_sums& s = sums[2 * k + g];
            std::printf("  %-8s %-6s %8" PRIu64 " %10" PRIu64 " %8" PRIu64 " %8" PRIu64 " %8" PRIu64 "\n",
                        kinds[k].c_str(), g ? "5+7" : "3", s.bound, s.byte, s.cd, s.false_samples, s.best);
            all.bound += s.bound, all.byte += s.byte, all.cd += s.cd, all.false_samples += s.false_samples, all.best += s.best;
        }
        std::printf("  %-8s %-6s %8" PRIu64 " %10" PRIu64 " %8" PRIu64 " %8" PRIu64 " %8" PRIu64 "\n", "all",
                    g ? "5+7" : "3", all.bound, all.byte, all.cd, all.false_samples, all.best);
    }
    std::printf("cd_fit: %" PRIu64 " rows worse than the byte vote\n", worse_rows);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rc = 2;
    if (argc >= 2 && std::strcmp(argv[1], "dump") == 0)
        rc = cmd_dump(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "fit") == 0)
        rc = cmd_fit(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "check") == 0)
        rc = cmd_check(argc, argv);
    if (rc == 2) {
        std::fprintf(stderr,
                     "usage: cd_fit dump ORIGINAL DUMP COPY1 COPY2 COPY3 [COPY...]\n"
                     "       cd_fit fit HEADER DUMP...\n"
                     "       cd_fit check HEADER DUMP...\n");
    }
    return rc;
}
