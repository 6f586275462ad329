#include "vote/cd/model.h"

#include <cstring>

#include "vote/cd/cd_weights.h"

namespace {

constexpr bool same_name(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) a++, b++;
    return *a == *b;
}

// The fitted weights matched to the table by name: a feature the fit has not seen yet weighs 0,
// and a weight whose feature is gone is left out.
constexpr cd_model fitted_model() {
    cd_model m = {};
    for (unsigned i = 0; i < CD_FEATURE_COUNT; i++) {
        for (const cd_named_weight& w : CD_FITTED_WEIGHTS) {
            if (same_name(CD_FEATURES[i].name, w.name)) m.weight[i] = w.weight;
        }
    }
    m.bias = CD_FITTED_BIAS;
    return m;
}

}  // namespace

constexpr cd_model CD_MODEL = fitted_model();

int cd_feature_index(const char* name) {
    for (unsigned i = 0; i < CD_FEATURE_COUNT; i++) {
        if (strcmp(CD_FEATURES[i].name, name) == 0) return static_cast<int>(i);
    }
    return -1;
}

void cd_features_of(const cd_facts& x, double* f) {
    for (unsigned i = 0; i < CD_FEATURE_COUNT; i++) f[i] = CD_FEATURES[i].value(x);
}

double cd_score(const cd_model& m, const double* f) {
    double score = 0;
    for (unsigned i = 0; i < CD_FEATURE_COUNT; i++) score += m.weight[i] * f[i];
    return score;
}
