#pragma once
// The map of where the copies disagreed (--map FILE): a tab-separated table with one line per
// run of consecutive disputed output bytes, telling how many of them were guessed, how weak the
// weakest majority in it was, which inputs lost somewhere in it and, for WAV audio, when it
// plays. The vote hands over its disputed words in output order; the map merges them into runs,
// which may span words and blocks, and writes each run once it has ended.
//
// The file:
//   # copyvote <version>  <mode>  <count> inputs  0:<name>  1:<name> ...   (tab-separated)
//   offset  bytes  guessed  weakest  lost  time  cd
//   <one line per run>
//   # total  <disputed bytes>  <guessed bytes>  <runs>
// Control characters in names are written as '?', so every line stays one line.

#include <cstdint>

#include "audio/wav_header.h"
#include "base/globals.h"
#include "g_file_io.h"
#include "vote/word_verdict.h"

class dispute_map {
  public:
    g_file file;
    bool started;          // the two head lines are written
    bool finished;         // the total line is written; later calls change nothing
    uint32_t write_error;  // errno of the first failed write, 0 while none failed

    // Where time and cd columns come from (set_layout); `timed` is false for data that is not WAV.
    bool timed;
    bool cd_timed;
    uint64_t data_begin;   // output offset of the first audio byte
    uint64_t data_end;     // output offset just past the last audio byte
    uint64_t frame_bytes;  // bytes of one audio frame, all channels
    uint64_t frame_rate;   // audio frames per second

    // The run being extended: bytes [run_begin, run_end) of the output.
    bool in_run;
    uint64_t run_begin;
    uint64_t run_end;
    uint64_t run_guessed;
    uint64_t run_weakest;
    uint64_t run_lost[MAX_INPUTS / 64];  // bit i: input i held another value in the run
    uint64_t inputs;                     // highest input count seen, bounds the lost list

    uint64_t runs;
    uint64_t guessed_bytes;

    char* buffer;  // lines wait here until it is nearly full
    uint64_t buffered;

    dispute_map();
    ~dispute_map();
    dispute_map(const dispute_map&) = delete;
    dispute_map& operator=(const dispute_map&) = delete;

    // Takes over the open map file `opened` (which is left empty) and gets the line buffer.
    // Returns 0, or ENOMEM when the buffer cannot be had (nothing is printed; the file is then
    // closed). REQUIRES: not open.
    int open(g_file& opened);

    // Writes the comment line and the column names; `vote_name` names the vote ("byte vote",
    // "sample vote (-a)", "CD sample vote (--cd)"). REQUIRES: open.
    void start(const name_row* names, uint64_t count, const char* vote_name);

    // The layout of the output for the time and cd columns, from the first copy's header:
    // audio time for a valid WAV header with a frame rate, CD time for 44.1 kHz 16-bit stereo.
    // A data chunk size of 0 or 0xFFFFFFFF, which programs streaming the audio leave behind,
    // counts as reaching the end of the file. Anything else leaves both columns empty.
    void set_layout(const wav_header& h);

    // One disputed word. REQUIRES: called in output order, only for words with disputed != 0,
    // count <= MAX_INPUTS. Bytes at positions >= valid never reach the file and join no run.
    void add(const word_verdict& v);

    // A listener that hands every verdict to `map`'s add().
    static verdict_listener listener(dispute_map* map);

    // Writes "# <text>" on a line of its own after the runs so far (the run being extended ends
    // here). For what happened to the output after the vote. REQUIRES: started, not finished.
    void add_comment(const char* text);

    // Writes the last run and the total line: the statistics line's count (which also holds the
    // disputed bytes past the end of the file, up to 7, when the shortest input ends inside a
    // disputed word, so it can exceed the sum of the bytes column), the guessed bytes and the
    // number of runs. Then writes out everything buffered. Does nothing on a second call.
    void finish(uint64_t disputed_bytes);

    // Writes out what is buffered (without the total line when finish was not called) and closes
    // the file. Returns 0, or the errno value of the first write that failed during the run.
    uint32_t close();

  private:
    void end_run();
    void write_run_line();
    void flush();
    void put(const char* text, uint64_t length);
    void put_text(const char* text);
    void put_name(const char* name);
    void put_number(uint64_t n);
    char* append_time(char* at) const;
};
