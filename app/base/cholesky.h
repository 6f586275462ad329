#pragma once
// Solves a x = y for a symmetric positive definite matrix by its Cholesky factor, in place: the
// --cd predictor's least squares and the Newton steps of the --cd model's fit (scripts/cd_fit.cpp).

#include <cmath>

// Solves the n x n system at the top left of a (its lower triangle is read and becomes the
// factor) for the right-hand side y, which becomes the solution. False if a is not positive
// definite.
template <unsigned N>
bool cholesky_solve(double (&a)[N][N], double* y, unsigned n) {
    for (unsigned i = 0; i < n; i++) {
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
    for (unsigned i = 0; i < n; i++) {
        for (unsigned k = 0; k < i; k++) y[i] -= a[i][k] * y[k];
        y[i] /= a[i][i];
    }
    for (unsigned i = n; i-- > 0;) {
        for (unsigned k = i + 1; k < n; k++) y[i] -= a[k][i] * y[k];
        y[i] /= a[i][i];
    }
    return true;
}
