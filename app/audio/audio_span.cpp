#include "audio/audio_span.h"

#include <cstdlib>
#include <cstring>

const char SPAN_SIGNATURE[] = "copyvote span 1\n";
static_assert(sizeof SPAN_SIGNATURE - 1 == SPAN_SIGNATURE_SIZE, "the signature's size");

namespace {

const uint64_t MAX_VALUE = 1ull << 40;  // far above any count of frames

// Reads a decimal number at text[at] up to a blank, a colon or a newline.
bool take_number(const std::string& text, size_t& at, uint64_t& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + static_cast<uint64_t>(text[at++] - '0');
        if (value > MAX_VALUE) return false;
    }
    return at > start;
}

bool take_char(const std::string& text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    at++;
    return true;
}

bool take_word(const std::string& text, size_t& at, const char* word) {
    const size_t n = strlen(word);
    if (text.compare(at, n, word) != 0) return false;
    at += n;
    return true;
}

// "N:PATH\n".
bool take_path(const std::string& text, size_t& at, std::string& path) {
    uint64_t n = 0;
    if (!take_number(text, at, n) || !take_char(text, at, ':') || n == 0 || at + n > text.size())
        return false;
    path = text.substr(at, n);
    at += n;
    return take_char(text, at, '\n');
}

std::string path_field(const std::string& path) { return std::to_string(path.size()) + ":" + path + "\n"; }

bool take_piece(const std::string& text, size_t& at, audio_span& span) {
    uint64_t first = 0, frames = 0;
    std::string path;
    if (take_word(text, at, "absent ")) {
        if (!take_number(text, at, frames) || !take_char(text, at, '\n')) return false;
        span.pieces.push_back(span_piece{"", 0, frames});
        return true;
    }
    if (!take_word(text, at, "file ") || !take_number(text, at, first) || !take_char(text, at, ' ') ||
        !take_number(text, at, frames) || !take_char(text, at, ' ') || !take_path(text, at, path))
        return false;
    span.pieces.push_back(span_piece{path, first, frames});
    return true;
}

}  // namespace

uint64_t audio_span::frames() const {
    uint64_t n = 0;
    for (const span_piece& p : pieces) n += p.frames;
    return n;
}

void audio_span::add(const std::string& path, uint64_t first, uint64_t n) {
    if (n == 0) return;
    if (!pieces.empty()) {
        span_piece& last = pieces.back();
        if (last.path == path && (path.empty() || last.first + last.frames == first)) {
            last.frames += n;
            return;
        }
    }
    pieces.push_back(span_piece{path, first, n});
}

bool has_span_signature(const uint8_t* bytes, uint64_t n) {
    return n >= SPAN_SIGNATURE_SIZE && memcmp(bytes, SPAN_SIGNATURE, SPAN_SIGNATURE_SIZE) == 0;
}

std::string span_text(const audio_span& span) {
    std::string text = SPAN_SIGNATURE;
    text += "rate " + std::to_string(span.rate) + "\nchannels " + std::to_string(span.channels) + "\n";
    if (!span.tags_from.empty()) text += "tags " + path_field(span.tags_from);
    for (const span_piece& p : span.pieces) {
        if (p.path.empty()) {
            text += "absent " + std::to_string(p.frames) + "\n";
        } else {
            text +=
                "file " + std::to_string(p.first) + " " + std::to_string(p.frames) + " " + path_field(p.path);
        }
    }
    return text;
}

int parse_span_text(const std::string& text, audio_span& span, const char** why) {
    span = audio_span();
    size_t at = SPAN_SIGNATURE_SIZE;
    uint64_t rate = 0, channels = 0;
    *why = "not a span file of this version";
    if (!has_span_signature(reinterpret_cast<const uint8_t*>(text.data()), text.size())) return -1;
    *why = "its rate or channels line is missing or wrong";
    if (!take_word(text, at, "rate ") || !take_number(text, at, rate) || !take_char(text, at, '\n') ||
        !take_word(text, at, "channels ") || !take_number(text, at, channels) || !take_char(text, at, '\n') ||
        rate == 0 || channels == 0 || channels > 8)
        return -1;
    span.rate = static_cast<uint32_t>(rate);
    span.channels = static_cast<uint32_t>(channels);
    *why = "its tags line is wrong";
    if (take_word(text, at, "tags ") && !take_path(text, at, span.tags_from)) return -1;
    *why = "a piece line is wrong";
    while (at < text.size()) {
        if (!take_piece(text, at, span)) return -1;
    }
    *why = "it holds no audio";
    if (span.frames() == 0) return -1;
    return 0;
}
