// disc_material: a whole disc ripped several times, as collectors keep it, for measuring
// `copyvote --disc` (scripts/disc_eval.sh) and for the examples of the documentation
// (scripts/examples.sh).
//
//   disc_material make [OPTIONS] OUTDIR SOURCE.wav...
//       cuts tracks of CD audio (44.1 kHz, 16-bit stereo, every track a whole number of 588-frame
//       sectors) from the SOURCE recordings (44.1 kHz 16-bit stereo WAV files), lays them one
//       after another as a disc, reads the disc with several drives, each damaging it its own way,
//       and writes into OUTDIR:
//         original/NN.wav        the disc's tracks as pressed (a 44-byte header, then the audio)
//         ripR/                  the rips: `NN - Title.flac` (tagged with the flac tool:
//                                TRACKNUMBER, TITLE, ARTIST, ALBUM) or `trackNN.cdda.wav`
//         resp.bin               a response file with the disc's right AccurateRip v1 and v2 sums
//                                and a second pressing's records
//         dBAR-NNN-...-....bin   the same bytes under the name rippers fetch it by
//         wrong.bin              a response file of the same disc ids whose sums are all wrong
//                                (each track's audio with one sample changed): it must never verify
//         disc.txt               the disc ids, the response file's name, the rips (folder, format,
//                                read offset, the track it lacks)
//         tracks.tsv             one row per track: number, first frame on the disc, frames,
//                                title, the names of its files, its v1 and v2 sums, and the bytes
//                                no rip holds right (`bound`), also for the rips without each one
//   disc_material score ORIGINAL.wav RESTORED.wav
//       prints the number of bytes in which RESTORED's audio (its WAV data chunk) differs from
//       ORIGINAL's; a missing or extra byte counts as one.
//   disc_material bytes SEED IN OUT...
//       writes copies of any file with bursts, single wrong bytes and misreads shared by two
//       copies (per MiB: 1, 4 and 0.5), as reads of a data disc come out.
//
// OPTIONS (frames: stereo sample pairs of 4 bytes):
//   --tracks N           tracks on the disc (default 10)
//   --seconds S          the disc's length, about (default 1302, 21.7 minutes)
//   --seed N             picks the cut, the titles and the damage (default 1)
//   --rips N             rips of the disc, at least 3 (default 5)
//   --offset-rip R       the rip whose drive reads K frames later than the others: each of its
//                        track files starts K frames late and holds the next track's first K
//                        frames at its end, its last track zeros past the disc's end; 0: none
//                        (default 5)
//   --offset K           K (default 420; negative: earlier, zeros before the disc's start)
//   --drive-offset S     every rip's files start S frames later in the disc's audio (signed; the
//                        offset every drive shares, which the response file can find; default 0)
//   --wav-rip R          the rip written as `trackNN.cdda.wav`; 0: every rip FLAC (default 2)
//   --missing R:T        rip R lacks track T (default: every rip holds every track)
//   --pressing-shift P   the second pressing's sums are of the disc's audio shifted by P frames
//                        (track k starts P frames later; default 150)
//   --damage X           every damage rate times X (default 1)
//   --jobs N             flac processes at once (default 2)
//
// The drives: rip R's drive conceals what it cannot read by interpolating (rips 1, 3), holding
// the sample before (rip 2), muting (rip 4), or now interpolating, now returning garbage (rip 5),
// repeating for more rips, so that two drives of one habit share their concealed values. Every
// rip gets bursts, single wrong bytes and concealed runs of its own; two rips share misreads; 2 to
// n - 1 drives fail at single samples, each covering them its own way; at scratch sites each
// drive reads right or conceals its way; in one bad stretch (a twelfth of the disc) every drive
// fails at a few sites, so that some bytes are held right by no rip, while most tracks can be
// restored whole.
// Damage lies on the disc as the drives read it: a scratch sits at one place of the disc for all.
//
// `bound` counts the bytes of a track that no rip holds with the original's value, each rip's
// files placed back at their true place on the disc (its known offset taken out); a place that
// no rip read at all counts unless the original byte there is 0 (silence fills such a place).

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/ar_response.h"
#include "audio/wav_header.h"
#include "damage.h"
#include "material.h"
#include "reference_checksums.h"

extern char** environ;

namespace {

const uint32_t RATE = 44100;
const uint64_t FRAME = 4;  // bytes of a stereo frame
const uint64_t SECTOR = 588;
const uint64_t AR_FIRST_SKIP = 2939;  // frames the first track leaves out of its sums
const uint64_t AR_LAST_SKIP = 2940;   // and the last track

struct options {
    uint32_t tracks = 10;
    double seconds = 1302;
    uint64_t seed = 1;
    uint32_t rips = 5;
    uint32_t offset_rip = 5;
    long offset = 420;
    long drive_offset = 0;
    uint32_t wav_rip = 2;
    uint32_t missing_rip = 0, missing_track = 0;
    long pressing_shift = 150;
    double damage = 1;
    unsigned jobs = 2;
};

struct track {
    uint64_t first = 0;  // first frame on the disc
    uint64_t frames = 0;
    std::string title;
};

struct disc {
    Bytes pcm;  // the disc's audio, 4 bytes a frame
    std::vector<track> tracks;
    uint64_t frames() const { return pcm.size() / FRAME; }
};

// ---- Reading the sources ----

// The audio of a 44.1 kHz 16-bit stereo WAV file, or empty after a message.
Bytes read_source(const char* path) {
    Bytes wav;
    if (!read_file(path, wav)) return Bytes();
    const wav_header h = parse_wav_header(wav.data(), wav.size());
    if (!wav_is_cd_audio(h) || h.data_offset >= wav.size()) {
        std::fprintf(stderr, "disc_material: %s is not a 44.1 kHz 16-bit stereo WAV file\n", path);
        return Bytes();
    }
    const uint64_t size = std::min<uint64_t>(wav.size() - h.data_offset, h.data_size) / FRAME * FRAME;
    if (size < RATE * FRAME) {
        std::fprintf(stderr, "disc_material: %s holds less than a second of audio\n", path);
        return Bytes();
    }
    return Bytes(wav.begin() + static_cast<long>(h.data_offset),
                 wav.begin() + static_cast<long>(h.data_offset + size));
}

// ---- Cutting the disc ----

const char* const TITLES[] = {"Morning Light",    "Paper Boats",    "Don't Skip",  "Glass Harbour",
                              "Seven Readings",   "The Quiet Part", "Lead-In",     "Northern Line",
                              "Scratch and Heal", "Slow Return",    "Last Sector", "Outro (Reprise)",
                              "Small Hours",      "Fieldnotes",     "Copper Wire", "Lantern"};

// Track lengths in whole sectors: about the disc's length split evenly, each track 0.55 to 1.45
// times the mean, at least 6 seconds (the sums leave out 5 sectors at each end of the disc).
std::vector<uint64_t> track_sectors(const options& o, Rng& rng) {
    const double mean = o.seconds * 75.0 / o.tracks;
    std::vector<uint64_t> sectors;
    for (uint32_t k = 0; k < o.tracks; k++) {
        const double s = mean * (0.55 + 0.9 * rng.unit());
        sectors.push_back(std::max<uint64_t>(6 * 75, static_cast<uint64_t>(std::llround(s))));
    }
    return sectors;
}

// `frames` frames of `src` from frame `from` on, looping over its end.
void append_looped(Bytes& pcm, const Bytes& src, uint64_t from, uint64_t frames) {
    const uint64_t n = src.size() / FRAME;
    for (uint64_t f = 0; f < frames; f++) {
        const uint64_t at = (from + f) % n * FRAME;
        pcm.insert(pcm.end(), src.begin() + static_cast<long>(at),
                   src.begin() + static_cast<long>(at + FRAME));
    }
}

// Scales frames [from, from + n) of `pcm` by a ramp from g0 to g1, rounding to the nearest value.
void ramp(Bytes& pcm, uint64_t from, uint64_t n, double g0, double g1) {
    for (uint64_t f = 0; f < n; f++) {
        const double g = g0 + (g1 - g0) * static_cast<double>(f) / static_cast<double>(n);
        for (uint64_t c = 0; c < 2; c++) {
            const size_t p = (from + f) * FRAME + 2 * c;
            damage::set_sample(pcm, p, static_cast<int16_t>(std::lround(damage::get_sample(pcm, p) * g)));
        }
    }
}

void silence(Bytes& pcm, uint64_t from, uint64_t n) {
    std::fill(pcm.begin() + static_cast<long>(from * FRAME),
              pcm.begin() + static_cast<long>((from + n) * FRAME), 0);
}

// The disc: each track a stretch of one source from a place picked at random. A fifth of the
// tracks continue the track before without a break (as a live album or a mix runs on); the others
// start from silence or a fade-in and end in a fade-out and silence, as most tracks do.
disc cut_disc(const options& o, const std::vector<Bytes>& sources, Rng& rng) {
    disc d;
    const std::vector<uint64_t> sectors = track_sectors(o, rng);
    std::vector<bool> runs_on(o.tracks, false);  // track k + 1 continues track k
    for (uint32_t k = 0; k + 1 < o.tracks; k++) runs_on[k] = rng.below(5) == 0;
    size_t src = rng.below(sources.size());
    uint64_t at = 0;  // where the next track starts in its source
    for (uint32_t k = 0; k < o.tracks; k++) {
        track t;
        t.first = d.frames();
        t.frames = sectors[k] * SECTOR;
        t.title = TITLES[(k + o.seed) % (sizeof TITLES / sizeof TITLES[0])];
        if (k == 0 || !runs_on[k - 1]) {
            src = (src + 1 + rng.below(sources.size())) % sources.size();
            const uint64_t n = sources[src].size() / FRAME;
            at = n > t.frames ? rng.below(n - t.frames) : 0;
        }
        append_looped(d.pcm, sources[src], at, t.frames);
        at += t.frames;
        if (k == 0 || !runs_on[k - 1]) {
            const uint64_t gap = std::min(t.frames / 8, rng.below(2) ? rng.between(RATE / 4, 2 * RATE) : 0);
            const uint64_t fade = std::min(t.frames / 4, rng.between(RATE / 10, 2 * RATE));
            silence(d.pcm, t.first, gap);
            ramp(d.pcm, t.first + gap, fade, 0, 1);
        }
        if (!runs_on[k]) {
            const uint64_t tail = std::min(t.frames / 8, rng.between(RATE / 4, 3 * RATE / 2));
            const uint64_t fade = std::min(t.frames / 4, rng.between(2 * RATE, 5 * RATE));
            const uint64_t end = t.first + t.frames;
            ramp(d.pcm, end - tail - fade, fade, 1, 0);
            silence(d.pcm, end - tail, tail);
        }
        d.tracks.push_back(t);
    }
    return d;
}

// ---- The drives ----

damage::drive_habit habit_of(uint32_t rip) {
    static const damage::drive_habit HABITS[] = {damage::CONCEALS_INTERPOLATING, damage::CONCEALS_HOLDING,
                                                 damage::CONCEALS_INTERPOLATING, damage::CONCEALS_MUTING,
                                                 damage::MIXED};
    return HABITS[(rip - 1) % 5];
}

const char* habit_name(damage::drive_habit h) {
    return h == damage::CONCEALS_INTERPOLATING ? "interpolates"
           : h == damage::CONCEALS_HOLDING     ? "holds"
           : h == damage::CONCEALS_MUTING      ? "mutes"
                                               : "interpolates or returns garbage";
}

// Single samples that 2 to n - 1 drives fail to read, `per_mib` of them: each drive covers the
// sample its own way, so that drives of one habit share the value they put there and a holding or
// muting drive never shows an interpolating drive's value.
void shared_failures(std::vector<Bytes>& reads, const Bytes& pcm, const damage::audio& a,
                     const std::vector<damage::drive_habit>& habits, double per_mib, Rng& rng) {
    const size_t n = reads.size();
    if (n < 3) return;
    for (uint64_t e = damage::events(per_mib, a.end - a.begin, rng); e > 0; e--) {
        const size_t p = damage::inner_run(a, 1, 3, rng);
        for (size_t c : damage::pick(n, rng.between(2, n - 1), rng))
            damage::drive_conceal(reads[c], pcm, a, habits[c], p, 1, rng);
    }
}

// Every rip's reading of the whole disc, damaged; all rates per MiB of audio.
std::vector<Bytes> read_disc(const options& o, const disc& d, Rng& rng) {
    std::vector<Bytes> reads(o.rips, d.pcm);
    const damage::audio a{0, d.pcm.size(), FRAME};
    damage::rates r;
    r.bursts = 0.4 * o.damage;
    r.byte_errors = 3 * o.damage;
    r.shared_misreads = 0.3 * o.damage;
    r.shared_concealed = 0;  // single samples several drives fail at: below, each drive its own way
    std::vector<damage::drive_habit> habits;
    for (uint32_t k = 1; k <= o.rips; k++) habits.push_back(habit_of(k));
    for (uint32_t k = 0; k < o.rips; k++) {
        damage::damage_copy(reads[k], d.pcm, a, rng, 0, r);
        // The runs each drive conceals by itself, its own way.
        const double lone = 1.5 * o.damage;
        if (habits[k] == damage::CONCEALS_INTERPOLATING || habits[k] == damage::MIXED) {
            damage::conceal_lone(reads[k], d.pcm, a, damage::INTERPOLATE, lone, rng);
        }
        if (habits[k] == damage::CONCEALS_HOLDING || habits[k] == damage::MIXED) {
            damage::conceal_lone(reads[k], d.pcm, a, damage::HOLD, lone, rng);
        }
        if (habits[k] == damage::CONCEALS_MUTING)
            damage::conceal_lone(reads[k], d.pcm, a, damage::MUTE, lone / 4, rng);
    }
    damage::damage_shared(reads, d.pcm, a, rng, r);
    shared_failures(reads, d.pcm, a, habits, 2 * o.damage, rng);
    damage::drive_scratches(reads, d.pcm, a, habits, 2.5 * o.damage, 0, 0.6, rng);
    // One bad stretch, a twelfth of the disc (a scratch along the spiral, a stain), where every
    // drive fails at some places: most tracks have every byte held right by some rip, a few not.
    const size_t zone = d.frames() / 12;
    const size_t at = rng.below(d.frames() - zone) * FRAME;
    const damage::audio bad{at, at + zone * FRAME, FRAME};
    damage::drive_scratches(reads, d.pcm, bad, habits, 0, 1.5 * o.damage, 0.6, rng);
    return reads;
}

// Where rip k's (0-based) track files start against the pressed tracks, in frames.
long rip_shift(const options& o, uint32_t k) {
    return o.drive_offset + (k + 1 == o.offset_rip ? o.offset : 0);
}

bool holds_track(const options& o, uint32_t k, uint32_t t) {
    return !(k + 1 == o.missing_rip && t + 1 == o.missing_track);
}

// Frames [from, from + n) of the disc as read into `pcm`, zeros outside the disc.
Bytes window(const Bytes& pcm, long from, uint64_t n) {
    Bytes out(n * FRAME, 0);
    const long frames = static_cast<long>(pcm.size() / FRAME);
    for (long f = std::max(0L, from); f < std::min(frames, from + static_cast<long>(n)); f++) {
        std::memcpy(out.data() + (f - from) * FRAME, pcm.data() + f * FRAME, FRAME);
    }
    return out;
}

// ---- Writing ----

Bytes wav_file(const Bytes& audio) {
    Bytes out;
    const uint32_t data = static_cast<uint32_t>(audio.size());
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put_le32(out, 36 + data);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    for (uint32_t v : {16u, 1u | 2u << 16, RATE, RATE * 4, 4u | 16u << 16}) put_le32(out, v);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put_le32(out, data);
    out.insert(out.end(), audio.begin(), audio.end());
    return out;
}

std::string two_digits(uint32_t n) {
    char s[16];
    std::snprintf(s, sizeof s, "%02u", n);
    return s;
}

std::string flac_name(const disc& d, uint32_t t) {
    return two_digits(t + 1) + " - " + d.tracks[t].title + ".flac";
}
std::string wav_name(uint32_t t) { return "track" + two_digits(t + 1) + ".cdda.wav"; }

// The flac tool, a few at a time: each job turns a WAV file into a tagged FLAC file and removes it.
class flac_jobs {
  public:
    explicit flac_jobs(unsigned most) : most_(std::max(1u, most)) {}

    bool add(const std::string& wav, const std::string& flac, const std::vector<std::string>& tags) {
        while (running_.size() >= most_) {
            if (!wait_one()) return false;
        }
        std::vector<std::string> args = {"flac", "-s", "-f", "-5"};
        for (const std::string& t : tags) args.push_back("--tag=" + t);
        args.push_back("-o");
        args.push_back(flac);
        args.push_back(wav);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_t pid;
        const int rc = posix_spawnp(&pid, "flac", nullptr, nullptr, argv.data(), environ);
        if (rc != 0) {
            std::fprintf(stderr, "disc_material: cannot run flac: %s\n", std::strerror(rc));
            return false;
        }
        running_.push_back({pid, wav});
        return true;
    }

    bool finish() {
        bool ok = true;
        while (!running_.empty()) ok = wait_one() && ok;
        return ok;
    }

  private:
    struct job {
        pid_t pid;
        std::string wav;
    };

    bool wait_one() {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, 0);
        for (size_t i = 0; i < running_.size(); i++) {
            if (running_[i].pid != pid) continue;
            std::remove(running_[i].wav.c_str());
            running_.erase(running_.begin() + static_cast<long>(i));
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
            std::fprintf(stderr, "disc_material: flac failed\n");
            return false;
        }
        return pid > 0;
    }

    unsigned most_;
    std::vector<job> running_;
};

bool make_dir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
    std::perror(path.c_str());
    return false;
}

bool write_rips(const options& o, const disc& d, const std::vector<Bytes>& reads, const std::string& out) {
    flac_jobs jobs(o.jobs);
    for (uint32_t k = 0; k < o.rips; k++) {
        const std::string dir = out + "/rip" + std::to_string(k + 1);
        if (!make_dir(dir)) return false;
        for (uint32_t t = 0; t < o.tracks; t++) {
            if (!holds_track(o, k, t)) continue;
            const track& tr = d.tracks[t];
            const Bytes wav =
                wav_file(window(reads[k], static_cast<long>(tr.first) + rip_shift(o, k), tr.frames));
            if (k + 1 == o.wav_rip) {
                if (!write_file((dir + "/" + wav_name(t)).c_str(), wav)) return false;
                continue;
            }
            // A hidden name, which a disc run passes over should one be left behind.
            const std::string tmp = dir + "/." + two_digits(t + 1) + ".tmp.wav";
            if (!write_file(tmp.c_str(), wav)) return false;
            if (!jobs.add(tmp, dir + "/" + flac_name(d, t),
                          {"TRACKNUMBER=" + std::to_string(t + 1), "TITLE=" + tr.title,
                           "ARTIST=The Test Pressings", "ALBUM=Five Rips"})) {
                return false;
            }
        }
    }
    return jobs.finish();
}

// ---- The response files ----

struct sums {
    uint32_t v1 = 0, v2 = 0;
    uint32_t sector450 = 0;  // a sum over the track's sector 450, as the database's files hold it
};

// The sums of track t (0-based) of `count` over the audio `pcm` of `frames` frames.
sums track_sums(const Bytes& pcm, uint32_t t, uint32_t count) {
    const std::string s(pcm.begin(), pcm.end());
    const uint64_t frames = pcm.size() / FRAME;
    const uint64_t first = t == 0 ? AR_FIRST_SKIP + 1 : 1;
    const uint64_t last = t + 1 == count ? (frames > AR_LAST_SKIP ? frames - AR_LAST_SKIP : 0) : frames;
    const testing_support::reference_sums r = testing_support::reference_track_sums(s, first, last);
    sums out{r.v1, r.v2, 0};
    if (frames >= 451 * SECTOR) {
        out.sector450 =
            testing_support::reference_track_sums(s.substr(450 * SECTOR * FRAME, SECTOR * FRAME), 1, SECTOR)
                .v1;
    }
    return out;
}

// One record: the track count, the three ids, then per track a confidence, a sum, the sector sum.
void put_record(Bytes& out, const ar_disc_ids& ids, const std::vector<sums>& s, bool v2, uint8_t confidence) {
    out.push_back(static_cast<uint8_t>(s.size()));
    put_le32(out, ids.id1);
    put_le32(out, ids.id2);
    put_le32(out, ids.id3);
    for (const sums& t : s) {
        out.push_back(confidence);
        put_le32(out, v2 ? t.v2 : t.v1);
        put_le32(out, t.sector450);
    }
}

// The sums of every track cut from `pcm` at the disc's places shifted by `shift` frames.
std::vector<sums> disc_sums(const disc& d, const Bytes& pcm, long shift) {
    std::vector<sums> s;
    for (uint32_t t = 0; t < d.tracks.size(); t++) {
        const Bytes audio = window(pcm, static_cast<long>(d.tracks[t].first) + shift, d.tracks[t].frames);
        s.push_back(track_sums(audio, t, static_cast<uint32_t>(d.tracks.size())));
    }
    return s;
}

bool write_responses(const options& o, const disc& d, const ar_disc_ids& ids, const std::string& out,
                     const std::string& name) {
    const std::vector<sums> right = disc_sums(d, d.pcm, 0);
    const std::vector<sums> other = disc_sums(d, d.pcm, o.pressing_shift);
    // The second pressing first: a reader that takes the first record alone is caught.
    Bytes resp;
    put_record(resp, ids, other, false, 3);
    put_record(resp, ids, right, false, 12);
    put_record(resp, ids, other, true, 2);
    put_record(resp, ids, right, true, 8);
    // Each track's audio with one sample one step off, in the middle of the track.
    Bytes changed = d.pcm;
    for (const track& t : d.tracks) {
        const size_t p = (t.first + t.frames / 2) * FRAME;
        changed[p] ^= 1;
    }
    const std::vector<sums> near = disc_sums(d, changed, 0);
    Bytes wrong;
    put_record(wrong, ids, near, false, 12);
    put_record(wrong, ids, near, true, 8);
    return write_file((out + "/resp.bin").c_str(), resp) && write_file((out + "/" + name).c_str(), resp) &&
           write_file((out + "/wrong.bin").c_str(), wrong);
}

// ---- What no rip holds ----

// The frames of the disc that rip k's files hold, at their true places.
std::vector<bool> coverage(const options& o, const disc& d, uint32_t k) {
    std::vector<bool> held(d.frames(), false);
    const long frames = static_cast<long>(d.frames());
    for (uint32_t t = 0; t < o.tracks; t++) {
        if (!holds_track(o, k, t)) continue;
        const long from = static_cast<long>(d.tracks[t].first) + rip_shift(o, k);
        for (long f = std::max(0L, from); f < std::min(frames, from + static_cast<long>(d.tracks[t].frames));
             f++) {
            held[static_cast<size_t>(f)] = true;
        }
    }
    return held;
}

// bound[t][0]: bytes of track t no rip holds right; bound[t][1 + k]: the same without rip k.
std::vector<std::vector<uint64_t>> bounds(const options& o, const disc& d, const std::vector<Bytes>& reads) {
    std::vector<std::vector<bool>> held;
    for (uint32_t k = 0; k < o.rips; k++) held.push_back(coverage(o, d, k));
    std::vector<std::vector<uint64_t>> out(o.tracks, std::vector<uint64_t>(o.rips + 1, 0));
    for (uint32_t t = 0; t < o.tracks; t++) {
        const track& tr = d.tracks[t];
        for (uint64_t q = tr.first * FRAME; q < (tr.first + tr.frames) * FRAME; q++) {
            uint32_t covered = 0, right = 0;
            for (uint32_t k = 0; k < o.rips; k++) {
                if (!held[k][q / FRAME]) continue;
                covered |= 1u << k;
                if (reads[k][q] == d.pcm[q]) right |= 1u << k;
            }
            const bool silent = d.pcm[q] == 0;
            out[t][0] += right == 0 && (covered != 0 || !silent);
            for (uint32_t k = 0; k < o.rips; k++) {
                const uint32_t without = ~(1u << k);
                out[t][1 + k] += (right & without) == 0 && ((covered & without) != 0 || !silent);
            }
        }
    }
    return out;
}

bool write_tables(const options& o, const disc& d, const std::vector<Bytes>& reads, const ar_disc_ids& ids,
                  const std::string& out, const std::string& name) {
    const std::vector<sums> right = disc_sums(d, d.pcm, 0);
    const std::vector<std::vector<uint64_t>> bound = bounds(o, d, reads);
    std::string tsv = "track\tfirst\tframes\ttitle\tflac_name\twav_name\tarv1\tarv2\tbound";
    for (uint32_t k = 0; k < o.rips; k++) tsv += "\tbound_without_rip" + std::to_string(k + 1);
    tsv += "\n";
    char hex[32];
    for (uint32_t t = 0; t < o.tracks; t++) {
        const track& tr = d.tracks[t];
        tsv += std::to_string(t + 1) + "\t" + std::to_string(tr.first) + "\t" + std::to_string(tr.frames) +
               "\t" + tr.title + "\t" + flac_name(d, t) + "\t" + wav_name(t);
        std::snprintf(hex, sizeof hex, "\t%08x\t%08x", right[t].v1, right[t].v2);
        tsv += hex;
        for (uint64_t b : bound[t]) tsv += "\t" + std::to_string(b);
        tsv += "\n";
    }
    std::string txt = "# a disc made by disc_material; frames are stereo sample pairs of 4 bytes\n";
    txt += "tracks\t" + std::to_string(o.tracks) + "\n";
    txt += "frames\t" + std::to_string(d.frames()) + "\n";
    txt += "accuraterip_id\t" + format_disc_ids(ids) + "\n";
    txt += "response_file_name\t" + name + "\n";
    txt += "drive_offset\t" + std::to_string(o.drive_offset) + "\n";
    txt += "pressing_shift\t" + std::to_string(o.pressing_shift) + "\n";
    txt +=
        "# rip, folder, format, offset (its frame p + offset holds the pressed disc's frame p), track it "
        "lacks, its drive\n";
    for (uint32_t k = 0; k < o.rips; k++) {
        const uint32_t lacks = k + 1 == o.missing_rip ? o.missing_track : 0;
        txt += "rip\t" + std::to_string(k + 1) + "\trip" + std::to_string(k + 1) + "\t" +
               (k + 1 == o.wav_rip ? "wav" : "flac") + "\t" + std::to_string(-rip_shift(o, k)) + "\t" +
               (lacks ? std::to_string(lacks) : "-") + "\t" + habit_name(habit_of(k + 1)) + "\n";
    }
    return write_file((out + "/tracks.tsv").c_str(), Bytes(tsv.begin(), tsv.end())) &&
           write_file((out + "/disc.txt").c_str(), Bytes(txt.begin(), txt.end()));
}

// ---- The commands ----

bool parse_make(int argc, char** argv, options& o, int& first_arg) {
    int i = 2;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (i + 1 >= argc) return false;
        const std::string n = argv[i];
        const char* v = argv[i + 1];
        if (n == "--tracks")
            o.tracks = static_cast<uint32_t>(std::atoi(v));
        else if (n == "--seconds")
            o.seconds = std::atof(v);
        else if (n == "--seed")
            o.seed = std::strtoull(v, nullptr, 10);
        else if (n == "--rips")
            o.rips = static_cast<uint32_t>(std::atoi(v));
        else if (n == "--offset-rip")
            o.offset_rip = static_cast<uint32_t>(std::atoi(v));
        else if (n == "--offset")
            o.offset = std::atol(v);
        else if (n == "--drive-offset")
            o.drive_offset = std::atol(v);
        else if (n == "--wav-rip")
            o.wav_rip = static_cast<uint32_t>(std::atoi(v));
        else if (n == "--missing") {
            if (std::sscanf(v, "%u:%u", &o.missing_rip, &o.missing_track) != 2) return false;
        } else if (n == "--pressing-shift")
            o.pressing_shift = std::atol(v);
        else if (n == "--damage")
            o.damage = std::atof(v);
        else if (n == "--jobs")
            o.jobs = static_cast<unsigned>(std::atoi(v));
        else
            return false;
    }
    first_arg = i;
    const bool ok = o.tracks >= 1 && o.tracks <= 99 && o.rips >= 3 && o.rips <= 16 &&
                    o.offset_rip <= o.rips && o.wav_rip <= o.rips && o.missing_rip <= o.rips &&
                    o.missing_track <= o.tracks && o.seconds >= 6.0 * o.tracks && o.seconds <= 4800 &&
                    std::labs(o.offset) <= 20000 && std::labs(o.drive_offset) <= 20000 && o.damage >= 0 &&
                    argc - i >= 2;
    if (!ok) std::fprintf(stderr, "disc_material make: an option is out of range\n");
    return ok;
}

int cmd_make(int argc, char** argv) {
    options o;
    int i;
    if (!parse_make(argc, argv, o, i)) return 2;
    const std::string out = argv[i];
    std::vector<Bytes> sources;
    for (int k = i + 1; k < argc; k++) {
        sources.push_back(read_source(argv[k]));
        if (sources.back().empty()) return 1;
    }
    Rng rng{o.seed};
    const disc d = cut_disc(o, sources, rng);
    sources.clear();
    const std::vector<Bytes> reads = read_disc(o, d, rng);
    std::vector<uint64_t> lengths;
    for (const track& t : d.tracks) lengths.push_back(t.frames);
    const ar_disc_ids ids = disc_ids_from_lengths(lengths);
    const std::string name = "dBAR-" + format_disc_ids(ids) + ".bin";
    if (!make_dir(out) || !make_dir(out + "/original")) return 1;
    for (uint32_t t = 0; t < o.tracks; t++) {
        const std::string path = out + "/original/" + two_digits(t + 1) + ".wav";
        if (!write_file(path.c_str(),
                        wav_file(window(d.pcm, static_cast<long>(d.tracks[t].first), d.tracks[t].frames)))) {
            return 1;
        }
    }
    if (!write_responses(o, d, ids, out, name) || !write_tables(o, d, reads, ids, out, name)) return 1;
    return write_rips(o, d, reads, out) ? 0 : 1;
}

// The audio bytes of a WAV file: its data chunk, as far as the file holds it.
bool wav_audio(const char* path, Bytes& audio) {
    Bytes wav;
    if (!read_file(path, wav)) return false;
    const wav_header h = parse_wav_header(wav.data(), wav.size());
    if (!h.valid || h.data_offset > wav.size()) {
        std::fprintf(stderr, "disc_material: %s is not a WAV file\n", path);
        return false;
    }
    const uint64_t size = std::min<uint64_t>(wav.size() - h.data_offset, h.data_size);
    audio.assign(wav.begin() + static_cast<long>(h.data_offset),
                 wav.begin() + static_cast<long>(h.data_offset + size));
    return true;
}

int cmd_score(int argc, char** argv) {
    if (argc != 4) return 2;
    Bytes original, restored;
    if (!wav_audio(argv[2], original) || !wav_audio(argv[3], restored)) return 1;
    const size_t common = std::min(original.size(), restored.size());
    uint64_t wrong = std::max(original.size(), restored.size()) - common;
    for (size_t q = 0; q < common; q++) wrong += original[q] != restored[q];
    std::printf("%llu\n", static_cast<unsigned long long>(wrong));
    return 0;
}

int cmd_bytes(int argc, char** argv) {
    if (argc < 6) return 2;
    Rng rng{std::strtoull(argv[2], nullptr, 10)};
    Bytes in;
    if (!read_file(argv[3], in) || in.size() < 4096) {
        std::fprintf(stderr, "disc_material bytes: %s: too short\n", argv[3]);
        return 1;
    }
    const damage::audio a{0, in.size(), 1};
    // A read of a data disc: a burst now and then, a few wrong bytes, misreads two reads share.
    damage::rates r;
    r.bursts = 1;
    r.byte_errors = 4;
    r.shared_misreads = 0.5;
    r.shared_concealed = 0;  // no samples here
    std::vector<Bytes> copies(static_cast<size_t>(argc - 4), in);
    for (Bytes& c : copies) damage::damage_copy(c, in, a, rng, 0, r);
    damage::damage_shared(copies, in, a, rng, r);
    for (size_t k = 0; k < copies.size(); k++) {
        if (!write_file(argv[4 + k], copies[k])) return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rc = 2;
    if (argc >= 2 && std::strcmp(argv[1], "make") == 0)
        rc = cmd_make(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "score") == 0)
        rc = cmd_score(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "bytes") == 0)
        rc = cmd_bytes(argc, argv);
    if (rc == 2) {
        std::fprintf(
            stderr,
            "usage: disc_material make [--tracks N] [--seconds S] [--seed N] [--rips N] [--offset-rip R]\n"
            "                          [--offset K] [--drive-offset S] [--wav-rip R] [--missing R:T]\n"
            "                          [--pressing-shift P] [--damage X] [--jobs N] OUTDIR SOURCE.wav...\n"
            "       disc_material score ORIGINAL.wav RESTORED.wav\n"
            "       disc_material bytes SEED IN OUT...\n");
    }
    return rc;
}
