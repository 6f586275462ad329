#include "vote/cd/predictor.h"

#include <cmath>
#include <utility>

#include "base/cholesky.h"

namespace {

const unsigned TAPS = CD_PREDICTOR_TAPS;
const unsigned T = 2 * TAPS + 3;
const uint64_t CD_PREDICTOR_LEAST = 3 * T;
const uint64_t CD_PREDICTOR_REACH = 24;
const uint64_t WINDOW = sizeof(cd_scratch::agreed);

// The frame offset of tap i from the predicted sample, and whether it is the copy's own channel.
int offset_of(unsigned i) {
    return i < TAPS ? int(i) - int(TAPS) : i < 2 * TAPS ? int(i - TAPS) + 1 : int(i - 2 * TAPS) - 1;
}
bool own(unsigned i) { return i < 2 * TAPS; }

// Copy c's taps around the sample at q into x, in the order of cd_predictor::weight.
void taps_of(const cd_block& b, const cd_window& w, uint64_t c, uint64_t q, double* x) {
    const uint64_t step = cd_step(b);
    for (unsigned i = 0; i < TAPS; i++) {
        x[i] = cd_sample(b, c, q - (TAPS - i) * step);
        x[TAPS + i] = cd_sample(b, c, q + (i + 1) * step);
    }
    if (w.partner == 0) return;
    const uint64_t o = q + static_cast<uint64_t>(w.partner);
    x[2 * TAPS] = cd_sample(b, c, o - step);
    x[2 * TAPS + 1] = cd_sample(b, c, o);
    x[2 * TAPS + 2] = cd_sample(b, c, o + step);
}

// The rows of the n samples whose agreement `agreed` marks (`partner_agreed` the other channel's,
// or null): the samples whose taps are all agreed, as runs [from[r], to[r]). Returns the number
// of runs.
uint64_t rows_of(const uint8_t* agreed, const uint8_t* partner_agreed, uint64_t n, uint64_t* from,
                 uint64_t* to) {
    uint64_t runs = 0;
    if (n <= 2 * TAPS) return 0;
    bool open = false;
    unsigned count = 0;  // the agreed samples among k - TAPS .. k + TAPS, slid along
    for (uint64_t j = 0; j < 2 * TAPS; j++) count += agreed[j] != 0;
    for (uint64_t k = TAPS; k + TAPS < n; k++) {
        count += agreed[k + TAPS] != 0;
        bool all = count == 2 * TAPS + 1;
        if (partner_agreed) all = all && partner_agreed[k - 1] && partner_agreed[k] && partner_agreed[k + 1];
        if (all && !open) from[runs] = k, open = true;
        if (!all && open) to[runs++] = k, open = false;
        count -= agreed[k - TAPS] != 0;
    }
    if (open) to[runs++] = n - TAPS;
    return runs;
}

// Running sums of the products of the samples lag by lag: xx[m][lag] is the sum of
// x[m'] x[m' + lag] over m' < m (own channel by own); xy of x[m'] y[m' + lag] and yx of
// y[m'] x[m' + lag] (own by the other channel's and the other way round); yy of y by y. The lags
// of one m lie side by side (an even number of them), so that they are summed together.
const unsigned XX = 2 * TAPS + 2, XY = TAPS + 2, YY = 4, PAD = XX;
struct lagged {
    double xx[WINDOW + 1][XX];
    double xy[WINDOW + 1][XY];
    double yx[WINDOW + 1][XY];
    double yy[WINDOW + 1][YY];
};

// Fills sums[m][lag] for m <= n and every lag. REQUIRES: v holds 0 from n to n + LAGS.
template <unsigned LAGS>
void running(const double* __restrict u, const double* __restrict v, uint64_t n,
             double (*__restrict sums)[LAGS]) {
    // acc holds sums[m] while sums[m + 1] is written, so that the lags are summed side by side.
    double acc[LAGS];
    for (unsigned lag = 0; lag < LAGS; lag++) sums[0][lag] = acc[lag] = 0;
    for (uint64_t m = 0; m < n; m++) {
        const double um = u[m];
#pragma GCC unroll 32
        for (unsigned lag = 0; lag < LAGS; lag++) {
            acc[lag] += um * v[m + lag];
            sums[m + 1][lag] = acc[lag];
        }
    }
}

// The sum over the rows k (runs [from, to)) of u[k + a] v[k + c], u and v each the own channel's
// samples or the other channel's.
// Inlined where the loops over the taps call it, which settles its branches there.
__attribute__((always_inline)) inline double pair_sum(const lagged& s, const uint64_t* from,
                                                      const uint64_t* to, uint64_t runs, bool own_u, int a,
                                                      bool own_v, int c) {
    if (!own_u && own_v) {  // the same sum with u and v swapped
        own_u = true, own_v = false;
        std::swap(a, c);
    }
    const double* sums;
    unsigned width, lag;
    int base;
    if (own_u == own_v) {
        base = a < c ? a : c;
        lag = unsigned(a < c ? c - a : a - c);
        sums = own_u ? &s.xx[0][lag] : &s.yy[0][lag];
        width = own_u ? XX : YY;
    } else {
        base = c >= a ? a : c;
        lag = unsigned(c >= a ? c - a : a - c);
        sums = c >= a ? &s.xy[0][lag] : &s.yx[0][lag];
        width = XY;
    }
    double sum = 0;
    for (uint64_t i = 0; i < runs; i++) {
        sum += sums[(static_cast<int64_t>(to[i]) + base) * width] -
               sums[(static_cast<int64_t>(from[i]) + base) * width];
    }
    return sum;
}

// d[k] -= w src[k] for k < n.
void less_weighted(double* __restrict d, const double* __restrict src, double w, uint64_t n) {
    for (uint64_t k = 0; k < n; k++) d[k] -= w * src[k];
}

}  // namespace

void cd_fit_predictor(const cd_block& b, const cd_audio& r, const cd_scratch& sc, const cd_window& w,
                      cd_predictor& f) {
    f.known = false;
    f.taps = w.partner == 0 ? 2 * TAPS : T;
    const unsigned t = f.taps;
    const uint64_t step = cd_step(b), p = w.first + w.run_at * step;
    if (p < TAPS * step || !cd_is_audio(r, p - TAPS * step) ||
        !cd_is_audio(r, p + (w.frames + TAPS - 1) * step))
        return;
    // The samples within CD_PREDICTOR_REACH frames of the run and the taps around them: window
    // indices lo .. lo + n.
    const uint64_t lo = w.run_at > CD_PREDICTOR_REACH + TAPS ? w.run_at - CD_PREDICTOR_REACH - TAPS : 0;
    const uint64_t end = w.run_at + w.frames + CD_PREDICTOR_REACH + TAPS;
    const uint64_t n = (end < w.n ? end : w.n) - lo;
    uint64_t from[WINDOW], to[WINDOW];
    const uint64_t runs =
        rows_of(sc.agreed + lo, w.partner != 0 ? sc.partner_agreed + lo : nullptr, n, from, to);
    uint64_t rows = 0;
    for (uint64_t i = 0; i < runs; i++) rows += to[i] - from[i];
    if (rows < CD_PREDICTOR_LEAST) return;
    // Their samples (one that is not agreed enters no row's sums), and the other channel's beside
    // them in stereo.
    double x[WINDOW + PAD] = {}, y[WINDOW + PAD] = {};
    const uint64_t c0 = sc.who[0], first = w.first + lo * step;
    for (uint64_t k = 0; k < n; k++) x[k] = cd_sample(b, c0, first + k * step);
    if (w.partner != 0) {
        for (uint64_t k = 0; k < n; k++)
            y[k] = cd_sample(b, c0, first + k * step + static_cast<uint64_t>(w.partner));
    }
    // The least squares' sums of every product of two taps, or of a tap and the predicted sample,
    // over the rows, from running sums lag by lag: the same sums as row by row at a fraction of
    // the cost.
    lagged s;
    running<XX>(x, x, n, s.xx);
    if (w.partner != 0) {
        running<XY>(x, y, n, s.xy);
        running<XY>(y, x, n, s.yx);
        running<YY>(y, y, n, s.yy);
    }
    double a[T][T], v[T];
    for (unsigned i = 0; i < t; i++) {
        for (unsigned j = 0; j <= i; j++)
            a[i][j] = pair_sum(s, from, to, runs, own(i), offset_of(i), own(j), offset_of(j));
        v[i] = pair_sum(s, from, to, runs, own(i), offset_of(i), true, 0);
    }
    // A small ridge keeps silence and pure tones (singular sums) solvable.
    double trace = 0;
    for (unsigned i = 0; i < t; i++) trace += a[i][i];
    for (unsigned i = 0; i < t; i++) a[i][i] += 1e-6 * trace / t + 1;
    if (!cholesky_solve(a, v, t)) return;
    for (unsigned i = 0; i < t; i++) f.weight[i] = v[i];
    // The mean distance of a row's sample from its prediction.
    // Tap by tap over the span of the rows (each sample's terms in the order of the taps, as one
    // sample's sum would take them), then summed over the rows.
    const uint64_t lo_k = from[0], span = to[runs - 1] - lo_k;
    double d[WINDOW];
    for (uint64_t k = 0; k < span; k++) d[k] = x[lo_k + k];
    for (unsigned j = 0; j < t; j++)
        less_weighted(d, (own(j) ? x : y) + (static_cast<int64_t>(lo_k) + offset_of(j)), f.weight[j], span);
    double sum = 0;
    for (uint64_t i = 0; i < runs; i++) {
        for (uint64_t k = from[i]; k < to[i]; k++) sum += std::fabs(d[k - lo_k]);
    }
    f.scale = std::fmax(sum / static_cast<double>(rows), 0.5);
    f.known = true;
}

double cd_predicted_distance(const cd_block& b, const cd_window& w, const cd_predictor& f, uint64_t c) {
    const uint64_t step = cd_step(b);
    double x[T], sum = 0;
    for (uint64_t j = 0; j < w.frames; j++) {
        const uint64_t q = w.first + (w.run_at + j) * step;
        taps_of(b, w, c, q, x);
        double e = cd_sample(b, c, q);
        for (unsigned i = 0; i < f.taps; i++) e -= f.weight[i] * x[i];
        sum += std::fabs(e);
    }
    return sum / static_cast<double>(w.frames);
}
