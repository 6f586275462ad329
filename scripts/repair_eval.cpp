// repair_eval: the damage, the reference checksums and the judging of `make repair-eval`.
//
//   repair_eval sums TRACK.wav N/M
//       prints the CRC32 and the AccurateRip v1 and v2 sums of the WAV file's audio as track N of
//       M (0/0: a track in the middle of a disc), computed here from their definitions, then the
//       offset and length of the audio in the file.
//   repair_eval damage KIND SEED WRONG N/M ORIGINAL.wav COPY...
//       writes damaged copies of ORIGINAL (16-bit stereo 44.1 kHz) with WRONG places the vote
//       cannot get right by itself; KIND is guess, conceal, unreach or crowdD (D places where
//       the vote is right but the copies disagree as much as at the wrong ones, besides 2000
//       places where one copy is wrong) or rightD (as crowdD, every place on the right channel and
//       the first wrong one out of every copy's reach in every other set). The places lie in the
//       frames that track N/M counts.
//   repair_eval response FILE N/M SUM
//       writes an AccurateRip response file of two pressings: one whose entry N is SUM and one
//       whose entries are all other values.
//   repair_eval inspect VARIANT N/M ORIGINAL.wav PLAIN.wav COPY...
//       prints "WRONG DOUBTFUL REACH" for the voted PLAIN: its wrong frames, the frames where the
//       copies disagree, and whether the original is within the repair's documented reach under
//       VARIANT (crc32, arv2, both, md5, response1 or response2: a response file whose right
//       value is the v1 or the v2 sum): "yes", "no" or "-" (nothing to repair).
//
// All damage comes from a fixed-seed generator, so every run makes the same copies.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "material.h"

namespace {

// ---- WAV audio ----

uint32_t le32(const Bytes& b, size_t p) {
    return static_cast<uint32_t>(b[p] | b[p + 1] << 8 | b[p + 2] << 16) | static_cast<uint32_t>(b[p + 3]) << 24;
}

uint16_t le16(const Bytes& b, size_t p) { return static_cast<uint16_t>(b[p] | b[p + 1] << 8); }

// Where the audio of a 16-bit stereo 44.1 kHz WAV file lies: the data chunk, whole frames only.
struct audio {
    size_t begin = 0;
    uint64_t frames = 0;
};

bool audio_of(const Bytes& wav, const char* path, audio& a) {
    bool format_ok = false;
    if (wav.size() >= 12 && std::memcmp(wav.data(), "RIFF", 4) == 0 && std::memcmp(wav.data() + 8, "WAVE", 4) == 0) {
        for (size_t p = 12; p + 8 <= wav.size();) {
            const uint32_t size = le32(wav, p + 4);
            if (std::memcmp(wav.data() + p, "fmt ", 4) == 0 && size >= 16 && p + 24 <= wav.size()) {
                format_ok = le16(wav, p + 10) == 2 && le32(wav, p + 12) == 44100 && le16(wav, p + 22) == 16;
            } else if (std::memcmp(wav.data() + p, "data", 4) == 0 && format_ok) {
                a.begin = p + 8;
                a.frames = std::min<uint64_t>(size, wav.size() - a.begin) / 4;
                return a.frames > 4 * 2940;
            }
            p += 8 + size + (size & 1);
        }
    }
    std::fprintf(stderr, "%s: not 16-bit stereo 44.1 kHz WAV audio of at least 12000 frames\n", path);
    return false;
}

uint32_t frame_word(const Bytes& b, const audio& a, uint64_t index) { return le32(b, a.begin + 4 * (index - 1)); }

int16_t sample(const Bytes& b, const audio& a, uint64_t index, unsigned channel) {
    return static_cast<int16_t>(le16(b, a.begin + 4 * (index - 1) + 2 * channel));
}

void set_sample(Bytes& b, const audio& a, uint64_t index, unsigned channel, uint16_t v) {
    const size_t p = a.begin + 4 * (index - 1) + 2 * channel;
    b[p] = static_cast<uint8_t>(v);
    b[p + 1] = static_cast<uint8_t>(v >> 8);
}

bool load(const char* path, Bytes& b, audio& a) { return read_file(path, b) && audio_of(b, path, a); }

// ---- The reference checksums, straight from their definitions ----

struct position {
    uint32_t number = 0, count = 0;
};

bool parse_position(const char* s, position& p) {
    unsigned n, m;
    if (std::sscanf(s, "%u/%u", &n, &m) != 2 || n > m) return false;
    p.number = n;
    p.count = m;
    return true;
}

// The frames that count in the AccurateRip sums: the first track leaves out frames 1..2939, the
// last its last 2940.
void counted(const position& pos, uint64_t frames, uint64_t& first, uint64_t& last) {
    first = pos.number == 1 ? 2940 : 1;
    last = pos.count != 0 && pos.number == pos.count ? frames - 2940 : frames;
}

// Bit by bit, the reflected polynomial, initial value and final XOR all ones.
uint32_t crc32_bitwise(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

struct sums {
    uint32_t crc32 = 0, v1 = 0, v2 = 0;
};

sums reference_sums(const Bytes& wav, const audio& a, const position& pos) {
    sums s;
    s.crc32 = crc32_bitwise(wav.data() + a.begin, a.frames * 4);
    uint64_t first, last;
    counted(pos, a.frames, first, last);
    for (uint64_t i = first; i <= last; i++) {
        const uint64_t p = i * frame_word(wav, a, i);
        s.v1 += static_cast<uint32_t>(p);
        s.v2 += static_cast<uint32_t>(p) + static_cast<uint32_t>(p >> 32);
    }
    return s;
}

int cmd_sums(int argc, char** argv) {
    position pos;
    if (argc != 4 || !parse_position(argv[3], pos)) return 2;
    Bytes wav;
    audio a;
    if (!load(argv[2], wav, a)) return 1;
    const sums s = reference_sums(wav, a, pos);
    std::printf("%08x %08x %08x %zu %llu\n", s.crc32, s.v1, s.v2, a.begin, static_cast<unsigned long long>(a.frames * 4));
    return 0;
}

// ---- Damage ----

// What a drive writes for a sample it cannot read: the floor mean of the same channel's
// neighbours.
uint16_t concealed(const Bytes& b, const audio& a, uint64_t index, unsigned channel) {
    const int32_t sum = sample(b, a, index - 1, channel) + sample(b, a, index + 1, channel);
    return static_cast<uint16_t>(static_cast<int16_t>((sum - (sum & 1)) / 2));
}

// A misread: some bits of the low byte and maybe of the high byte flipped.
uint16_t misread(uint16_t truth, Rng& rng) {
    const uint16_t high = rng.below(2) ? static_cast<uint16_t>(rng.below(256) << 8) : 0;
    return static_cast<uint16_t>(truth ^ (high | rng.nonzero_byte()));
}

uint8_t low(uint16_t v) { return static_cast<uint8_t>(v); }

// `count` wrong values for one sample whose low bytes differ from the truth's and from each other,
// so that no byte vote can build the truth from them and none of them agree on the low byte; the
// first is the concealment when `conceal` (empty when the concealment's low byte is right there).
std::vector<uint16_t> wrong_values(uint16_t truth, uint16_t concealment, bool conceal, unsigned count, Rng& rng) {
    std::vector<uint16_t> v;
    if (conceal) {
        if (low(concealment) == low(truth)) return v;
        v.push_back(concealment);
    }
    // Two wrong values sharing a high byte other than the truth's would outvote it there, and
    // the place would be wrong for another reason than the one it stands for.
    while (v.size() < count) {
        const uint16_t w = misread(truth, rng);
        bool clash = false;
        for (uint16_t x : v) clash |= low(x) == low(w) || ((x >> 8) == (w >> 8) && (w >> 8) != (truth >> 8));
        if (!clash) v.push_back(w);
    }
    return v;
}

struct damage_plan {
    std::string kind;
    unsigned wrong = 0;
    unsigned crowd = 0;  // same-rank places where the vote is right
    position pos;
};

// Picks frames for the damage: inside the counted range, none adjacent to another (a concealment
// is computed from true neighbours), the first on the edge of the counted range when `edge`.
struct frame_picker {
    uint64_t first, last;
    std::set<uint64_t> used;
    uint64_t pick(Rng& rng) {
        for (;;) {
            const uint64_t f = rng.between(first, last);
            if (take(f)) return f;
        }
    }
    bool take(uint64_t f) {
        if (used.count(f) || used.count(f - 1) || used.count(f + 1)) return false;
        used.insert(f);
        return true;
    }
};

// Gives copy c the value vals[c] at (frame, channel).
void place(std::vector<Bytes>& copies, const audio& a, uint64_t f, unsigned ch, const std::vector<uint16_t>& vals) {
    for (size_t c = 0; c < copies.size(); c++) set_sample(copies[c], a, f, ch, vals[c]);
}

void shuffle(std::vector<uint16_t>& v, size_t from, Rng& rng) {
    for (size_t i = from; i + 1 < v.size(); i++) std::swap(v[i], v[i + rng.below(v.size() - i)]);
}

// One sample the vote gets wrong. Three copies: all differ, the truth in one (not the first in a
// crowd, where the first copy is the one the vote follows) or in none. Five copies: two hold the
// concealment, the truth is in one or none, the rest are misreads.
bool place_wrong(std::vector<Bytes>& copies, const Bytes& orig, const audio& a, uint64_t f, unsigned ch,
                 bool reachable, bool truth_not_first, Rng& rng) {
    const uint16_t truth = static_cast<uint16_t>(sample(orig, a, f, ch));
    const size_t n = copies.size();
    std::vector<uint16_t> wrong = wrong_values(truth, concealed(orig, a, f, ch), true, n == 3 ? 3 : 4, rng);
    if (wrong.empty()) return false;
    std::vector<uint16_t> vals;
    if (n == 3) {
        vals.assign(wrong.begin(), wrong.begin() + (reachable ? 2 : 3));
        if (reachable) vals.push_back(truth);
        shuffle(vals, 0, rng);
        if (reachable && truth_not_first && vals[0] == truth) std::swap(vals[0], vals[1 + rng.below(2)]);
    } else {
        vals = {wrong[0], wrong[0], wrong[1], wrong[2], reachable ? truth : wrong[3]};
        shuffle(vals, 0, rng);
    }
    place(copies, a, f, ch, vals);
    return true;
}

// One sample where the copies disagree as much as at a wrong one but the vote is right: with three
// copies all differ and the first, the one the vote follows where none agree, holds the truth;
// with five the truth is in two, the concealment in one and two misreads in the rest.
void place_crowd(std::vector<Bytes>& copies, const Bytes& orig, const audio& a, uint64_t f, unsigned ch, Rng& rng) {
    const uint16_t truth = static_cast<uint16_t>(sample(orig, a, f, ch));
    std::vector<uint16_t> wrong = wrong_values(truth, 0, false, 3, rng);
    std::vector<uint16_t> vals;
    if (copies.size() == 3) {
        vals = {truth, wrong[0], wrong[1]};
        shuffle(vals, 1, rng);
    } else {
        vals = {truth, truth, wrong[0], wrong[1], wrong[2]};
        shuffle(vals, 0, rng);
    }
    place(copies, a, f, ch, vals);
}

// One copy (not the first) wrong at one sample, as a scratch in one rip leaves it.
void place_lone(std::vector<Bytes>& copies, const Bytes& orig, const audio& a, uint64_t f, unsigned ch, Rng& rng) {
    const uint16_t truth = static_cast<uint16_t>(sample(orig, a, f, ch));
    set_sample(copies[1 + rng.below(copies.size() - 1)], a, f, ch, misread(truth, rng));
}

bool parse_plan(int argc, char** argv, damage_plan& p) {
    if (argc < 9 || !parse_position(argv[5], p.pos)) return false;
    p.kind = argv[2];
    p.wrong = static_cast<unsigned>(std::atoi(argv[4]));
    for (const char* prefix : {"crowd", "right"}) {
        const size_t n = std::strlen(prefix);
        if (p.kind.compare(0, n, prefix) != 0) continue;
        p.crowd = static_cast<unsigned>(std::atoi(p.kind.c_str() + n));
        p.kind = prefix;
    }
    const bool known = p.kind == "guess" || p.kind == "conceal" || p.kind == "unreach" || p.kind == "crowd" ||
                       p.kind == "right";
    return known && p.wrong >= 1 && p.wrong <= 8 && p.crowd <= 20000;
}

int cmd_damage(int argc, char** argv) {
    damage_plan plan;
    if (!parse_plan(argc, argv, plan)) return 2;
    Rng rng{std::strtoull(argv[3], nullptr, 10)};
    Bytes orig;
    audio a;
    if (!load(argv[6], orig, a)) return 1;
    std::vector<Bytes> copies(static_cast<size_t>(argc - 7), orig);
    if (copies.size() != 3 && copies.size() != 5) {
        std::fprintf(stderr, "repair_eval damage: 3 or 5 copies\n");
        return 2;
    }
    frame_picker picker;
    counted(plan.pos, a.frames, picker.first, picker.last);
    picker.first = std::max<uint64_t>(picker.first, 2);
    picker.last = std::min<uint64_t>(picker.last, a.frames - 1);
    // right: every damage on the right channel (a disc whose right samples alone were misread), the
    // first wrong place out of every copy's reach in every other set.
    const bool right = plan.kind == "right";
    const bool crowd = plan.kind == "crowd" || right;
    const bool first_unreachable = plan.kind == "unreach" || (right && rng.below(2) == 0);
    auto channel = [&] { return right ? 1u : static_cast<unsigned>(rng.below(2)); };
    // Every other set puts its first wrong place on the first or last frame the sums count.
    if (rng.below(2) && plan.pos.number == 1) picker.take(picker.first);
    else if (rng.below(2) && plan.pos.count != 0 && plan.pos.number == plan.pos.count) picker.take(picker.last);
    std::vector<uint64_t> edge(picker.used.begin(), picker.used.end());
    unsigned edge_failures = 0;
    for (unsigned w = 0; w < plan.wrong;) {
        const uint64_t f = w < edge.size() ? edge[w] : picker.pick(rng);
        const unsigned ch = channel();
        // An out-of-reach set has its first wrong place out of reach and the rest in reach.
        if (place_wrong(copies, orig, a, f, ch, !first_unreachable || w > 0, crowd, rng)) {
            w++;
        } else if (w < edge.size() && ++edge_failures == 16) {
            edge.clear();  // no channel of this edge frame takes a wrong value (silence): elsewhere
        }
        // Now and then both samples of a frame, the right frame then a mix of two copies'.
        if (plan.kind == "guess" && rng.below(3) == 0) place_wrong(copies, orig, a, f, 1 - ch, true, crowd, rng);
    }
    if (crowd) {
        for (unsigned i = 0; i < plan.crowd; i++) place_crowd(copies, orig, a, picker.pick(rng), channel(), rng);
        // Lone misreads anywhere, the first and last frames included.
        for (unsigned i = 0; i < 2000; i++) place_lone(copies, orig, a, rng.between(1, a.frames), channel(), rng);
    }
    for (size_t i = 0; i < copies.size(); i++) {
        if (!write_file(argv[7 + i], copies[i])) return 1;
    }
    return 0;
}

// ---- A response file ----

int cmd_response(int argc, char** argv) {
    position pos;
    if (argc != 5 || !parse_position(argv[3], pos) || pos.number == 0) return 2;
    const uint32_t sum = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 16));
    Rng rng{sum};
    Bytes out;
    for (int record = 0; record < 2; record++) {
        out.push_back(static_cast<uint8_t>(pos.count));
        for (int id = 0; id < 3; id++) put_le32(out, static_cast<uint32_t>(rng.next()));
        for (uint32_t t = 1; t <= pos.count; t++) {
            const bool ours = record == 1 && t == pos.number;
            out.push_back(static_cast<uint8_t>(ours ? 9 : 20));
            uint32_t other = static_cast<uint32_t>(rng.next());
            if (other == sum) other++;
            put_le32(out, ours ? sum : other);
            put_le32(out, static_cast<uint32_t>(rng.next()));
        }
    }
    return write_file(argv[2], out) ? 0 : 1;
}

// ---- Reach: what the repair's documented search covers ----
//
// A frame is doubtful when the copies differ in it. Ranked as the manual page says: frames where
// no two copies agreed first, then the narrowest majorities, in track order within a rank; each
// frame's candidates are the copies' frames and the mixes of their left and right samples. The
// search compares combinations of 1, 2, 3 ... frames, each size taking the longest run of
// best-ranked frames whose combinations' summed chance of an accidental match fits half of what
// is left of the bound (10^-6).

struct doubtful {
    unsigned rank;
    uint64_t index;
    unsigned left, right;  // candidates other than the voted frame: changing the left sample, only the right
    bool wrong, reachable;
    bool truth_left;  // the true word differs from the voted one in the left sample
    unsigned truth_v2;  // the bits of v2 the true change reaches (v1's and the high halves')
    std::vector<uint8_t> v2;  // the bits of v2 each candidate reaches
};

// Per byte of the file: how many copies hold the voted byte, and whether no two copies agree.
struct byte_tally {
    bool disputed, guessed;
    unsigned holders;
};

byte_tally tally(const std::vector<Bytes>& copies, const Bytes& plain, size_t p) {
    byte_tally t{false, true, 0};
    for (size_t i = 0; i < copies.size(); i++) {
        t.holders += copies[i][p] == plain[p];
        t.disputed |= copies[i][p] != copies[0][p];
        for (size_t j = i + 1; j < copies.size(); j++) t.guessed &= copies[i][p] != copies[j][p];
    }
    return t;
}

// The candidates of one frame: the copies' frames, then the mixes of their left and right samples,
// at most 16, without the voted frame.
std::vector<uint32_t> candidates(const std::vector<Bytes>& copies, const audio& a, uint64_t index, uint32_t voted) {
    std::vector<uint32_t> words;
    std::vector<uint16_t> left{static_cast<uint16_t>(voted)}, right{static_cast<uint16_t>(voted >> 16)};
    auto add = [&](uint32_t w) {
        if (w != voted && words.size() < 16 && std::find(words.begin(), words.end(), w) == words.end()) words.push_back(w);
    };
    auto add_sample = [](std::vector<uint16_t>& set, uint16_t v) {
        if (std::find(set.begin(), set.end(), v) == set.end()) set.push_back(v);
    };
    for (const Bytes& c : copies) {
        const uint32_t w = frame_word(c, a, index);
        add(w);
        add_sample(left, static_cast<uint16_t>(w));
        add_sample(right, static_cast<uint16_t>(w >> 16));
    }
    for (uint16_t l : left) {
        for (uint16_t r : right) add(static_cast<uint32_t>(r) << 16 | l);
    }
    return words;
}

// The frame's rank: 0 where a byte of it had no two copies agreeing, else the fewest copies
// behind a disputed byte of the 8-byte word it lies in (the vote's unit).
unsigned rank_of(const std::vector<Bytes>& copies, const Bytes& plain, size_t frame_at) {
    unsigned weakest = UINT32_MAX;
    for (size_t p = frame_at; p < frame_at + 4; p++) {
        if (tally(copies, plain, p).guessed) return 0;
    }
    const size_t word = frame_at / 8 * 8;
    for (size_t p = word; p < word + 8 && p < plain.size(); p++) {
        const byte_tally t = tally(copies, plain, p);
        if (t.disputed) weakest = std::min(weakest, t.holders);
    }
    return weakest;
}

// The bits of AccurateRip v1 a change of frame `index` reaches: 32 with the left sample, 16 with the
// right one alone, less the index's low zero bits either way.
unsigned v1_reach(uint64_t index, bool left) {
    unsigned zeros = 0;
    while (zeros < 64 && !(index >> zeros & 1)) zeros++;
    const unsigned top = left ? 32 : 16;
    return zeros >= top ? 0 : top - zeros;
}

// The bits of v2 that a change of frame `index` from `from` to `to` reaches: v2 is v1 plus the sum
// of the products' high halves, which the change moves by at most index * |to - from| / 2^32 + 1.
unsigned v2_reach(uint64_t index, uint32_t from, uint32_t to, bool left) {
    const uint64_t delta = from < to ? to - from : from - to;
    const uint64_t most = static_cast<uint64_t>((static_cast<unsigned __int128>(index) * delta) >> 32) + 1;
    unsigned high = 0;
    while ((2 * most + 1) >> (high + 1)) high++;
    return std::min(32u, v1_reach(index, left) + high);
}

// What an expectation lets match, as the manual page counts chances: each combination compared has
// a chance of 2^-bits per value it may match, the bits of CRC32 and AccurateRip added up; CRC32
// reaches 32 bits, v1 what v1_reach says of the combination's most-reaching frame, v2 alone what
// v2_reach says of it (v1's bits and the high halves'). A response file's two values are each tried
// as v2 and as v1, where a combination reaches at least the floor of that sum (a comparison within a
// tenth of the bound). The pairs of a pressing's v1 and v2 that the repair also tries, and the
// shares of the bound it gives each way, are left out: the model follows the rules of reach and
// chance, not every choice of the search.
struct chance_model {
    bool crc = false;
    double per_combination = 0;  // the chance every combination has (CRC32, v2)
    double v1_values = 0;        // values tried as v1
    unsigned v1_floor = 33;
    bool truth_v1 = false;  // the right value is a v1 sum
    unsigned v2_floor = 0;  // the fewest bits of v2 a change must reach to be compared on v2 alone
    double v2_values = 0;   // values tried as v2 alone, each at the bits the combination reaches
};

bool model_of(const std::string& v, chance_model& m) {
    m.crc = v == "crc32" || v == "both" || v == "md5";  // md5 comes with a CRC32
    const bool response = v == "response1" || v == "response2";
    m.per_combination = std::ldexp(response ? 2.0 : 1.0, v == "both" ? -64 : -32);
    if (response) {
        m.v1_values = 2;
        m.v1_floor = 25;  // 2 * 2^-25 is within 10^-7, 2 * 2^-24 is not
        m.truth_v1 = v == "response1";
    }
    // v2 alone: 2^-24 is within 10^-7, 2^-23 is not (2^-25 with a response file's two values).
    if (v == "arv2" || response) {
        m.v2_floor = response ? 25 : 24;
        m.v2_values = response ? 2 : 1;
        m.per_combination = 0;  // counted by the bits of v2 each combination reaches
    }
    return m.crc || v == "arv2" || response;
}

// e_k of the candidate counts of the first `frames` frames, counting only candidates whose v1 reach
// is at most `most` (all of them when `most` is 32).
double combinations(const std::vector<doubtful>& d, size_t frames, unsigned k, unsigned most) {
    std::vector<double> e(k + 1, 0.0);
    e[0] = 1;
    for (size_t s = 0; s < frames; s++) {
        const double words = (v1_reach(d[s].index, true) <= most ? d[s].left : 0) +
                             (v1_reach(d[s].index, false) <= most ? d[s].right : 0);
        for (unsigned j = k; j >= 1; j--) e[j] += e[j - 1] * words;
    }
    return e[k];
}

// e_k of the candidate counts of the first `frames` frames, counting only candidates that reach at
// most `most` bits of v2.
double combinations_v2(const std::vector<doubtful>& d, size_t frames, unsigned k, unsigned most) {
    std::vector<double> e(k + 1, 0.0);
    e[0] = 1;
    for (size_t s = 0; s < frames; s++) {
        const double words = static_cast<double>(
            std::count_if(d[s].v2.begin(), d[s].v2.end(), [&](uint8_t r) { return r <= most; }));
        for (unsigned j = k; j >= 1; j--) e[j] += e[j - 1] * words;
    }
    return e[k];
}

// The summed chance of the combinations of k frames among the first `frames`.
double chance(const std::vector<doubtful>& d, size_t frames, unsigned k, const chance_model& m) {
    double sum = m.per_combination * combinations(d, frames, k, 32);
    // v2 alone: a combination reaches the most of its changes' reaches, and is compared only from
    // the floor on.
    for (unsigned r = std::max(1u, m.v2_floor); m.v2_values > 0 && r <= 32; r++) {
        const double exactly = combinations_v2(d, frames, k, r) - combinations_v2(d, frames, k, r - 1);
        sum += m.v2_values * std::ldexp(exactly, -static_cast<int>(r));
    }
    for (unsigned r = m.v1_floor; r <= 32; r++) {
        const double exactly = combinations(d, frames, k, r) - combinations(d, frames, k, r - 1);
        sum += m.v1_values * std::ldexp(exactly, -static_cast<int>(r));
    }
    return sum;
}

bool in_reach(const std::vector<doubtful>& d, const chance_model& m) {
    size_t deepest = 0;
    unsigned wrong = 0, reach = 0, reach2 = 0;
    for (size_t i = 0; i < d.size(); i++) {
        if (!d[i].wrong) continue;
        if (!d[i].reachable) return false;
        wrong++;
        deepest = i + 1;
        reach = std::max(reach, v1_reach(d[i].index, d[i].truth_left));
        reach2 = std::max(reach2, d[i].truth_v2);
    }
    if (m.truth_v1 && reach < m.v1_floor) return false;  // v1 cannot settle the true change
    if (!m.truth_v1 && reach2 < m.v2_floor) return false;  // nor v2, given the high halves' reach
    double spent = 0;
    for (unsigned k = 1; k <= wrong; k++) {
        const double budget = (1e-6 - spent) / 2;
        size_t frames = 0;
        while (frames < d.size() && chance(d, frames + 1, k, m) <= budget) frames++;
        if (frames < k) return false;
        if (k == wrong) return frames >= deepest;
        spent += chance(d, frames, k, m);
    }
    return false;
}

int cmd_inspect(int argc, char** argv) {
    position pos;
    chance_model model;
    if (argc < 9 || !parse_position(argv[3], pos) || !model_of(argv[2], model)) return 2;
    Bytes orig, plain;
    audio a, pa;
    if (!load(argv[4], orig, a) || !load(argv[5], plain, pa)) return 1;
    std::vector<Bytes> copies(static_cast<size_t>(argc - 6));
    for (size_t i = 0; i < copies.size(); i++) {
        audio ca;
        if (!load(argv[6 + i], copies[i], ca)) return 1;
    }
    uint64_t first, last, wrong = 0;
    counted(pos, a.frames, first, last);
    std::vector<doubtful> d;
    for (uint64_t i = 1; i <= a.frames; i++) {
        const size_t at = a.begin + 4 * (i - 1);
        const uint32_t voted = frame_word(plain, a, i), truth = frame_word(orig, a, i);
        wrong += voted != truth;
        bool differ = false;
        for (const Bytes& c : copies) differ |= frame_word(c, a, i) != frame_word(copies[0], a, i);
        // Only AccurateRip checked: a frame it does not count cannot be told changed.
        if (!differ || (!model.crc && (i < first || i > last))) continue;
        const std::vector<uint32_t> words = candidates(copies, a, i, voted);
        const bool reachable = std::find(words.begin(), words.end(), truth) != words.end();
        unsigned left = 0;
        std::vector<uint8_t> v2;
        for (uint32_t w : words) {
            left += ((w ^ voted) & 0xFFFF) != 0;
            v2.push_back(static_cast<uint8_t>(v2_reach(i, voted, w, ((w ^ voted) & 0xFFFF) != 0)));
        }
        d.push_back(doubtful{rank_of(copies, plain, at), i, left, static_cast<unsigned>(words.size()) - left,
                             voted != truth, reachable, ((truth ^ voted) & 0xFFFF) != 0,
                             v2_reach(i, voted, truth, ((truth ^ voted) & 0xFFFF) != 0), v2});
    }
    std::stable_sort(d.begin(), d.end(), [](const doubtful& x, const doubtful& y) { return x.rank < y.rank; });
    std::printf("%llu %zu %s\n", static_cast<unsigned long long>(wrong), d.size(),
                wrong == 0 ? "-" : in_reach(d, model) ? "yes" : "no");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rc = 2;
    const std::string cmd = argc >= 2 ? argv[1] : "";
    if (cmd == "sums") rc = cmd_sums(argc, argv);
    else if (cmd == "damage") rc = cmd_damage(argc, argv);
    else if (cmd == "response") rc = cmd_response(argc, argv);
    else if (cmd == "inspect") rc = cmd_inspect(argc, argv);
    if (rc == 2) {
        std::fprintf(stderr, "usage: repair_eval sums TRACK.wav N/M\n"
                             "       repair_eval damage guess|conceal|unreach|crowdD|rightD SEED WRONG N/M ORIGINAL.wav COPY...\n"
                             "       repair_eval response FILE N/M SUM\n"
                             "       repair_eval inspect crc32|arv2|both|md5|response1|response2 N/M ORIGINAL.wav PLAIN.wav COPY...\n");
    }
    return rc;
}
