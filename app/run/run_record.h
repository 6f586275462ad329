#pragma once
// What a run came to, as one record: its inputs, the track it restored (disputes, guesses,
// overrules, what no copy held, the checksums, the verdict and the repair) and its timing. The
// run fills it as it goes; the hit-score report prints from it, --report writes it as JSON, and a
// whole disc reads each track's run back from that JSON. The JSON's key names live in
// run_record.cpp only, for the writer and the reader alike.

#include <cstdint>
#include <string>
#include <vector>

#include "audio/wav_header.h"
#include "vote/doubt_list.h"
#include "vote/word_verdict.h"

struct input_record {
    std::string name;
    std::string format = "raw";             // "flac", "wav" or "raw"
    bool placed = true;                     // false: the copy sat out (--align found no place for it)
    int64_t shift_bytes = 0;                // its first segment's shift (--align), when placed
    uint64_t samples_lost = 0;              // 16-bit samples its file lacked (lost FLAC frames, an early end)
    uint64_t hits = 0;                      // its hit score
    uint64_t disputes_lost = 0;             // disputed 16-bit samples of the audio where its value lost
    std::vector<uint32_t> lost_per_second;  // of them, in each second of the audio
};

// A place in the track worth listening to again.
struct suspicious_place {
    std::string time;  // "mm:ss.mmm"
    uint64_t sample;   // the frame's index from the track's start
    std::string why;   // "no-copy", "lone-overrule", "narrow-majority" or "guess"
};

// A frame of a track that did not verify, among those the vote was least sure of, with the other
// words the copies' samples give it: a whole disc tries them when it looks for its true offset.
struct doubtful_frame {
    uint64_t frame = 0;           // the frame's index from the track's start
    uint32_t voted = 0;           // the word the vote wrote (left sample in the low half)
    std::vector<uint32_t> words;  // other words it could hold, most likely first
};

// The doubtful frames a record keeps at most, and the other words of each.
const size_t MOST_DOUBTFUL_FRAMES = 64;
const size_t MOST_DOUBTFUL_WORDS = 4;

struct track_record {
    uint32_t number = 0;  // the track's number (--track), 0 when not known
    std::string file;     // the output's name
    uint64_t copies = 0;
    uint64_t disputed_samples = 0;   // 16-bit samples of the audio where the copies disagreed
    uint64_t guessed_samples = 0;    // of them, those where no two copies agreed
    uint64_t overruled_samples = 0;  // of them, those whose value fewer copies held than another
    uint64_t no_copy_samples = 0;    // 16-bit samples of the audio that no copy held
    uint64_t disputed_bytes = 0;     // the statistics line's count (the whole file, header included)
    uint64_t frames = 0;             // the audio's length in frames, 0 when not known
    uint32_t rate = 0;               // frames per second, 0 when the output is not WAV
    bool has_sums = false;           // the AccurateRip sums and CRC32 apply to this audio
    uint32_t arv1 = 0, arv2 = 0, crc32 = 0;
    std::string verdict = "unchecked";  // "verified", "not verified" or "unchecked"
    std::string note;                   // why, as the verdict line says it after its colon
    uint32_t confidence = 0;            // the AccurateRip confidence matched, 0 without a match
    bool has_pressing = false;
    uint32_t pressing = 0;  // the matching record's index in the response file
    uint64_t repaired_samples = 0;
    std::string repair;  // the repair line's text after "[name] ", or empty
    std::vector<suspicious_place> suspicious;
    std::vector<doubtful_frame> doubtful;  // when it did not verify: its most doubtful frames
};

// The most doubtful frames of the audio [audio_begin, audio_end) of the output, as the doubt list
// ranks them, for the record of a track that did not verify.
std::vector<doubtful_frame> doubtful_frames(const doubt_list& doubts, uint64_t audio_begin,
                                            uint64_t audio_end);

// One rip folder of a disc, over every track it took part in.
struct rip_record {
    std::string folder;
    std::string format = "wav";  // the format most of its tracks have: "flac", "wav" or "raw"
    bool has_offset = true;      // false: no convincing read offset was found and it sat out
    int64_t offset_samples = 0;  // its read offset against the reference, in frames
    uint64_t tracks_held = 0;
    uint64_t samples_lost = 0;   // 16-bit samples its files lacked
    uint64_t disputes_lost = 0;  // disputed 16-bit samples where its value lost
    uint64_t disputes_seen = 0;  // disputed 16-bit samples of the tracks it took part in
};

struct run_record {
    std::string version;
    std::string command;  // the command line, shell-quoted
    // A whole disc: its ids and the response file's name to fetch, and its rips instead of inputs.
    bool is_disc = false;
    std::string accuraterip_id;  // "NNN-xxxxxxxx-xxxxxxxx-xxxxxxxx", empty when not known
    std::string response_file_name;
    std::vector<rip_record> rips;
    std::vector<input_record> inputs;
    std::vector<track_record> tracks;  // a single run: one
    int status = -1;                   // the exit status it ends with (0, 1, or -1 for 255)
    double seconds = 0;                // wall time of the block loop
};

// The command line as one string a POSIX shell reads back as the same arguments.
std::string shell_quoted(int argc, const char* const* argv);

// The record as JSON text (ending in a line break).
std::string run_record_json(const run_record& r);

// Reads a record written by run_record_json. Returns 0, or -1 when `text` is not such a record.
int read_run_record(const std::string& text, run_record& r);

// The kinds of places worth listening to again, most likely wrong first.
enum class doubt_kind { no_copy, lone_overrule, narrow_majority, guess, kinds };

// The word a place is known by ("no-copy", "lone-overrule", "narrow-majority", "guess").
const char* doubt_word(doubt_kind k);

// One place, before it is ranked: the first sample of a stretch of one kind.
struct doubt_place {
    uint64_t offset;  // output offset of its frame
    uint64_t frame;   // the frame's index from the audio's start
    doubt_kind kind;
    int64_t margin;  // within a kind, smaller is more doubtful
};

// Counts what the vote's verdicts say about the audio of a track: disputed, guessed and
// overruled 16-bit samples, and the places worth listening to again: a lone copy's value that
// overruled a group of several copies, a majority won by at most one copy over another group of
// several, and samples no two copies agreed on, each stretch of one kind as one place (at most
// MOST_PLACES of each kind). Hears the vote through listener().
struct verdict_tally {
    uint64_t audio_begin = 0;  // output offsets of the audio; nothing counted without a layout
    uint64_t audio_end = 0;
    uint64_t frame_bytes = 0;
    uint64_t rate = 0;
    uint64_t disputed = 0, guessed = 0, overruled = 0;
    std::vector<doubt_place> places;
    std::vector<uint64_t> lost;                       // per input: disputed samples where its value lost
    std::vector<std::vector<uint32_t>> lost_seconds;  // per input: of them, in each second
    uint64_t kept[static_cast<int>(doubt_kind::kinds)] = {};
    uint64_t last[static_cast<int>(doubt_kind::kinds)];  // the last sample of each kind, + 1
    static const uint64_t MOST_PLACES = 10000;

    verdict_tally();
    // The audio's place from the output's header (a file that is not WAV: all of it, as samples).
    void set_layout(const wav_header& h);
    void add(const word_verdict& v);
    // Counts a loss for every present copy whose sample at bytes b, b + 1 is not the one written.
    void note_losers(const word_verdict& v, unsigned b, uint64_t s);
    // A place of `kind` at 16-bit sample `s` of the audio (stretches join).
    void note(doubt_kind kind, uint64_t s, int64_t margin);
    // A place of `kind` at frame `frame` of the audio, of a stretch its caller found.
    void note_frame(doubt_kind kind, uint64_t frame);
    // The places, most doubtful first: by kind, then by margin, then in time.
    std::vector<doubt_place> ranked() const;
    // The ranked places as the record lists them.
    std::vector<suspicious_place> suspicious() const;
    static verdict_listener listener(verdict_tally* tally);
};

// The record as a picture of the damage (run/picture.h): one track, a row per input.
std::string run_picture(const run_record& r);

// A track's part of the picture: its length, verdict and places to listen to again.
struct picture_track;
picture_track track_picture(const track_record& t, const std::string& label);
