#pragma once
// A two-sided linear predictor of a sample from the CD_PREDICTOR_TAPS samples each way of it,
// fitted by least squares on the window's agreed samples (the genuine audio around a run). Music
// is predictable from its own recent past and near future far better than the fixed cubic
// prediction does it: a genuine sample lies near the prediction, a concealment (the neighbours'
// line) or a read error lies where the predictor did not expect it.

#include <cstdint>

#include "vote/cd/evidence.h"
#include "vote/cd/samples.h"
#include "vote/cd_vote.h"

const unsigned CD_PREDICTOR_TAPS = 8;

struct cd_predictor {
    bool known;  // false where the window holds too few agreed stretches to fit it
    // The weights of the samples CD_PREDICTOR_TAPS .. 1 before and 1 .. CD_PREDICTOR_TAPS after,
    // then, in stereo where every copy holds the other channel alike around the run (w.partner),
    // of the other channel's sample of the frame before, the same frame and the frame after:
    // channels move together.
    double weight[2 * CD_PREDICTOR_TAPS + 3];
    unsigned taps;  // the weights in use
    double scale;   // the mean distance of an agreed sample from its prediction
};

// Fits f on the agreed samples of window w (sc.agreed, as cd_measure_window marked them). f.known
// is false where fewer than CD_PREDICTOR_LEAST agreed samples have all their taps agreed, or the
// run lies too near the edge of the audio (r) for the taps.
void cd_fit_predictor(const cd_block& b, const cd_audio& r, const cd_scratch& sc, const cd_window& w,
                      cd_predictor& f);

// The mean distance of copy c's samples of the run of w from their predictions by f from copy c's
// own neighbours. REQUIRES: f.known.
double cd_predicted_distance(const cd_block& b, const cd_window& w, const cd_predictor& f, uint64_t c);
