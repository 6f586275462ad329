#pragma once
// A picture of the damage as plain SVG: the tracks side by side on one timeline by their length,
// one row per copy (a rip of a disc, an input of a single run) marked where its value lost a
// dispute or where it held nothing, and one row for the result with each track coloured by its
// verdict and the places to listen to again marked, then a legend.

#include <cstdint>
#include <string>
#include <vector>

struct picture_track {
    std::string label;           // "1", "2", ...
    double seconds = 0;          // its length; a track of 0 seconds is drawn 1 second wide
    std::string verdict;         // "verified", "not verified", "unchecked", "left out" or "failed"
    std::vector<double> listen;  // the places to listen to again, in seconds from its start
};

// One copy's part in one track.
struct picture_cell {
    bool held = false;                      // the copy holds the track
    std::vector<uint32_t> lost_per_second;  // disputed samples where its value lost, per second
};

struct picture_row {
    std::string label;
    std::vector<picture_cell> cells;  // one per track, in track order
};

// Geometry, shared with the tests that look at the rendered picture.
const int PICTURE_LEFT = 140;   // x of the timeline's start; labels to the left of it
const int PICTURE_WIDTH = 960;  // pixels of the whole timeline
const int PICTURE_TOP = 30;     // y of the first copy's row
const int PICTURE_ROW = 24;     // height of a row, its bar 16 pixels of it
const char* const PICTURE_LOST_COLOUR = "#d62728";
const char* const PICTURE_LISTEN_COLOUR = "#000000";

// x of second `at` of track `k` on the timeline.
double picture_x(const std::vector<picture_track>& tracks, size_t k, double at);

// The SVG document. Row r (copies from 0, the result after them) lies at PICTURE_TOP + r *
// PICTURE_ROW.
std::string damage_svg(const std::vector<picture_track>& tracks, const std::vector<picture_row>& rows);
