#include "vote/cd/predictor.h"

#include <cmath>

namespace {

const unsigned T = 2 * CD_PREDICTOR_TAPS + 3;
const uint64_t CD_PREDICTOR_LEAST = 3 * T;

// Copy c's taps around the sample at q into x, in the order of cd_predictor::weight.
void taps_of(const cd_block& b, const cd_window& w, uint64_t c, uint64_t q, double* x) {
    const uint64_t step = cd_step(b);
    for (unsigned i = 0; i < CD_PREDICTOR_TAPS; i++) {
        x[i] = cd_sample(b, c, q - (CD_PREDICTOR_TAPS - i) * step);
        x[CD_PREDICTOR_TAPS + i] = cd_sample(b, c, q + (i + 1) * step);
    }
    if (w.partner == 0) return;
    const uint64_t o = q + static_cast<uint64_t>(w.partner);
    x[2 * CD_PREDICTOR_TAPS] = cd_sample(b, c, o - step);
    x[2 * CD_PREDICTOR_TAPS + 1] = cd_sample(b, c, o);
    x[2 * CD_PREDICTOR_TAPS + 2] = cd_sample(b, c, o + step);
}

// True when the window's samples k - taps .. k + taps are all agreed, and the other channel's
// beside k where it is used.
bool taps_agreed(const cd_scratch& sc, const cd_window& w, uint64_t k) {
    if (k < CD_PREDICTOR_TAPS || k + CD_PREDICTOR_TAPS >= w.n) return false;
    for (uint64_t j = k - CD_PREDICTOR_TAPS; j <= k + CD_PREDICTOR_TAPS; j++) {
        if (!sc.agreed[j]) return false;
    }
    return w.partner == 0 || (sc.partner_agreed[k - 1] && sc.partner_agreed[k] && sc.partner_agreed[k + 1]);
}

// Solves a x = y for the symmetric positive definite a (t x t) by Cholesky, in place; false if
// it is not.
bool solve(double a[T][T], double* y, unsigned t) {
    for (unsigned i = 0; i < t; i++) {
        for (unsigned j = 0; j <= i; j++) {
            double s = a[i][j];
            for (unsigned k = 0; k < j; k++) s -= a[i][k] * a[j][k];
            if (i == j) {
                if (s <= 0) return false;
                a[i][i] = std::sqrt(s);
            } else {
                a[i][j] = s / a[j][j];
            }
        }
    }
    for (unsigned i = 0; i < t; i++) {
        for (unsigned k = 0; k < i; k++) y[i] -= a[i][k] * y[k];
        y[i] /= a[i][i];
    }
    for (unsigned i = t; i-- > 0;) {
        for (unsigned k = i + 1; k < t; k++) y[i] -= a[k][i] * y[k];
        y[i] /= a[i][i];
    }
    return true;
}

}  // namespace

void cd_fit_predictor(const cd_block& b, const cd_audio& r, const cd_scratch& sc, const cd_window& w,
                      cd_predictor& f) {
    f.known = false;
    f.taps = w.partner == 0 ? 2 * CD_PREDICTOR_TAPS : T;
    const unsigned t = f.taps;
    const uint64_t step = cd_step(b), p = w.first + w.run_at * step;
    if (p < CD_PREDICTOR_TAPS * step || !cd_is_audio(r, p - CD_PREDICTOR_TAPS * step) ||
        !cd_is_audio(r, p + (w.frames + CD_PREDICTOR_TAPS - 1) * step))
        return;
    double a[T][T] = {}, y[T] = {}, x[T];
    uint64_t rows = 0;
    const uint64_t c0 = sc.who[0];
    for (uint64_t k = 0; k < w.n; k++) {
        if (!taps_agreed(sc, w, k)) continue;
        const uint64_t q = w.first + k * step;
        taps_of(b, w, c0, q, x);
        const double v = cd_sample(b, c0, q);
        for (unsigned i = 0; i < t; i++) {
            y[i] += x[i] * v;
            for (unsigned j = 0; j <= i; j++) a[i][j] += x[i] * x[j];
        }
        rows++;
    }
    if (rows < CD_PREDICTOR_LEAST) return;
    // A small ridge keeps silence and pure tones (singular sums) solvable.
    double trace = 0;
    for (unsigned i = 0; i < t; i++) trace += a[i][i];
    for (unsigned i = 0; i < t; i++) a[i][i] += 1e-6 * trace / t + 1;
    if (!solve(a, y, t)) return;
    for (unsigned i = 0; i < t; i++) f.weight[i] = y[i];
    double sum = 0;
    for (uint64_t k = 0; k < w.n; k++) {
        if (!taps_agreed(sc, w, k)) continue;
        const uint64_t q = w.first + k * step;
        taps_of(b, w, c0, q, x);
        double e = cd_sample(b, c0, q);
        for (unsigned i = 0; i < t; i++) e -= f.weight[i] * x[i];
        sum += std::fabs(e);
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
