#include "run/picture.h"

#include <algorithm>
#include <cstdio>

namespace {

const int BAR = 16;  // height of a bar within its row

double width_of(const picture_track& t) { return t.seconds > 0 ? t.seconds : 1.0; }

double total_seconds(const std::vector<picture_track>& tracks) {
    double total = 0;
    for (const picture_track& t : tracks) total += width_of(t);
    return total > 0 ? total : 1.0;
}

std::string number(double v) {
    char text[32];
    snprintf(text, sizeof text, "%.2f", v);
    return text;
}

// Text for XML: the five characters that would end or open markup are escaped.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string rect(double x, double y, double w, double h, const std::string& fill,
                 const std::string& extra = "") {
    return "<rect x=\"" + number(x) + "\" y=\"" + number(y) + "\" width=\"" + number(w) + "\" height=\"" +
           number(h) + "\" fill=\"" + fill + "\"" + extra + "/>\n";
}

std::string text(double x, double y, const std::string& s, const std::string& anchor = "start") {
    return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\">" +
           escaped(s) + "</text>\n";
}

const char* verdict_colour(const std::string& verdict) {
    if (verdict == "verified") return "#2ca02c";
    if (verdict == "not verified") return "#ff7f0e";
    if (verdict == "unchecked") return "#9ecae1";
    return "#7f7f7f";  // left out, failed
}

// One copy's row: its bar where it held a track, a hatched gap where it held nothing, and a mark
// for every second in which its value lost disputes (darker for more).
std::string copy_row(const std::vector<picture_track>& tracks, const picture_row& row, double y) {
    std::string out = text(PICTURE_LEFT - 8, y + 12, row.label, "end");
    for (size_t k = 0; k < tracks.size() && k < row.cells.size(); k++) {
        const double x0 = picture_x(tracks, k, 0), x1 = picture_x(tracks, k, width_of(tracks[k]));
        const picture_cell& c = row.cells[k];
        if (!c.held) {
            out += rect(x0, y, x1 - x0, BAR, "url(#nothing)", " stroke=\"#7f7f7f\" stroke-width=\"0.5\"");
            continue;
        }
        out += rect(x0, y, x1 - x0, BAR, "#e8e8e8");
        const double px = (x1 - x0) / width_of(tracks[k]);
        for (size_t second = 0; second < c.lost_per_second.size(); second++) {
            const uint32_t n = c.lost_per_second[second];
            if (n == 0) continue;
            const double opacity = std::min(1.0, 0.7 + n / 100.0);
            out += rect(x0 + second * px, y, std::max(px, 1.5), BAR, PICTURE_LOST_COLOUR,
                        " fill-opacity=\"" + number(opacity) + "\"");
        }
    }
    return out;
}

// The result's row: each track coloured by its verdict, a black tick at each place to listen to.
std::string result_row(const std::vector<picture_track>& tracks, double y) {
    std::string out = text(PICTURE_LEFT - 8, y + 12, "result", "end");
    for (size_t k = 0; k < tracks.size(); k++) {
        const double x0 = picture_x(tracks, k, 0), x1 = picture_x(tracks, k, width_of(tracks[k]));
        out += rect(x0, y, x1 - x0, BAR, verdict_colour(tracks[k].verdict));
        for (double at : tracks[k].listen) {
            out += rect(picture_x(tracks, k, at) - 1, y - 3, 2, BAR + 6, PICTURE_LISTEN_COLOUR);
        }
    }
    return out;
}

std::string track_heads(const std::vector<picture_track>& tracks) {
    std::string out;
    for (size_t k = 0; k < tracks.size(); k++) {
        const double x0 = picture_x(tracks, k, 0);
        out += text(x0 + 2, PICTURE_TOP - 8, tracks[k].label);
        if (k > 0) out += rect(x0 - 0.5, PICTURE_TOP - 20, 1, 10, "#000000");
    }
    return out;
}

std::string legend(double y) {
    struct item {
        const char* colour;
        const char* label;
    };
    const item items[] = {{PICTURE_LOST_COLOUR, "its value lost disputes"},
                          {"url(#nothing)", "held nothing"},
                          {PICTURE_LISTEN_COLOUR, "listen again"},
                          {"#2ca02c", "verified"},
                          {"#ff7f0e", "not verified"},
                          {"#9ecae1", "unchecked"},
                          {"#7f7f7f", "left out or failed"}};
    std::string out;
    double x = PICTURE_LEFT;
    for (const item& i : items) {
        out += rect(x, y, 12, 12, i.colour, " stroke=\"#7f7f7f\" stroke-width=\"0.5\"");
        out += text(x + 16, y + 10, i.label);
        x += 30 + 7.0 * static_cast<double>(std::string(i.label).size());
    }
    return out;
}

}  // namespace

double picture_x(const std::vector<picture_track>& tracks, size_t k, double at) {
    double before = 0;
    for (size_t j = 0; j < k && j < tracks.size(); j++) before += width_of(tracks[j]);
    return PICTURE_LEFT + (before + at) * PICTURE_WIDTH / total_seconds(tracks);
}

std::string damage_svg(const std::vector<picture_track>& tracks, const std::vector<picture_row>& rows) {
    const double result_y = PICTURE_TOP + static_cast<double>(rows.size()) * PICTURE_ROW;
    const int width = PICTURE_LEFT + PICTURE_WIDTH + 20;
    const int height = static_cast<int>(result_y) + PICTURE_ROW + 40;
    std::string svg =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
        std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
        std::to_string(width) + " " + std::to_string(height) +
        "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        "<defs><pattern id=\"nothing\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
        "<rect width=\"6\" height=\"6\" fill=\"#ffffff\"/>"
        "<path d=\"M0,6 L6,0\" stroke=\"#7f7f7f\" stroke-width=\"1\"/></pattern></defs>\n";
    svg += rect(0, 0, width, height, "#ffffff");
    svg += track_heads(tracks);
    for (size_t r = 0; r < rows.size(); r++) svg += copy_row(tracks, rows[r], PICTURE_TOP + r * PICTURE_ROW);
    svg += result_row(tracks, result_y);
    svg += legend(result_y + PICTURE_ROW + 10);
    return svg + "</svg>\n";
}
