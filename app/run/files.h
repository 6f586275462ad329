#pragma once
// Every file a run opens: the inputs, the output, the map and the first input's head read ahead
// of the run; the open flags, defined once by name; and beside them the identity checks that keep
// the output and the map off the inputs and off the program's own text.

#include <fcntl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/globals.h"
#include "g_file_io.h"

// Open flags of the files a run opens.
const uint32_t READ_ONLY = O_RDONLY;
const uint32_t WRITE_ONLY = O_WRONLY;
// Created when missing, never truncated by the open: an existing output or map is emptied only
// once every input is open (empty_output), so that a run that stops earlier keeps it.
const uint32_t CREATE_KEEP = O_CREAT;
const uint16_t NEW_FILE_MODE = g_file::DEFAULT_PERMISSIONS;  // 0644 less the umask

// Writes "[<name right-aligned in NAME_COLUMNS columns>] OK|FAIL" on standard error. 0 when open,
// else -1.
int print_file_open_status(g_file* file, const char* name);

// Opens the output (created when missing, kept as it is otherwise) and prints its status line.
// A failed open prints g_file's error line first. Returns 0 or -1.
int open_output(g_file& output, const char* out_name);

// Opens the inputs in order with a status line each, stopping at the first that fails (-1).
// When all are open, writes an empty line on standard error and returns 0.
int openFiles(g_file* files, const name_row* names, uint64_t count);

// openFiles without the empty line, for a caller that has more to say about the inputs first.
int open_inputs(g_file* files, const name_row* names, uint64_t count);

// Closes the output, then inputs 0 to count - 1.
void close_files(uint64_t count, g_file* files, g_file& output);

// Empties the output once every input has opened, so that a run that stops earlier leaves an
// existing output as it was. Only a regular file opened by name that holds something is
// truncated: a standard stream, a FIFO or a device has nothing to truncate, and truncating a file
// that is already empty is not free (on ext4 it has the file written back when it is closed).
// Returns 0, or -1 after an error line.
int empty_output(g_file& output, const char* out_name);

// empty_output for the map file of --map: a failure is reported by a "copyvote: ..." line.
int empty_map(g_file& map_file, const char* map_name);

// True when `file` is a regular file holding at least one byte.
bool holds_data(const g_file& file);

// Opens the map file of --map into `file` (created when missing, mode 0644 less the umask, kept as
// it is otherwise: it is emptied or replaced only once every input is open; "-", "con", "CON" name
// standard output) after refusing, before anything is truncated, a map that leads to one of the inputs, to
// the output (both on standard output counts) or to standard error when that is no terminal. Returns 0, or -1
// after a "copyvote: ..." error line.
int open_map_file(g_file& file, const char* map_name, const char* out_name, const name_row* names,
                  uint64_t count);

// Opens `name` for writing, created when missing and kept as it is otherwise (mode 0644 less the
// umask), without printing anything. Returns 0 or the errno value.
int open_kept(g_file& file, const char* name);

// Opens `name` for writing, created when missing and emptied at once (mode 0644 less the umask),
// without printing anything. Returns 0 or the errno value.
int open_emptied(g_file& file, const char* name);

// Opens the file that the open `file` (a regular file, opened for writing) is, for reading, into
// `reader`. Returns 0 or the errno value; prints nothing.
int reopen_for_reading(const g_file& file, g_file& reader);

// Reads the whole of the file `name` (a standard-stream name is a file name here) into `bytes`.
// Returns 0, the errno value of a failed open or read, or EFBIG when it holds more than `limit`
// bytes. Prints nothing.
int read_small_file(const char* name, std::string& bytes, uint64_t limit);

// Reads up to `size` bytes from the start of the regular file `name` into `buffer`, without waiting
// for a FIFO and without reporting anything. Returns the count, or 0 when the name is a standard
// stream, no regular file or cannot be read (opening it for the run reports why).
uint64_t read_head(const char* name, uint8_t* buffer, uint64_t size);

// Opens the regular file `name` for reading, silently, to look into it before the run opens
// anything (a FIFO is not waited for). Returns 0, or -1 for a standard stream, a file that is no
// regular file or one that cannot be opened (opening it for the run reports why).
int open_to_inspect(g_file& file, const char* name);

// Refuses, before anything is created, truncated or written, an output that is the same file
// as one of the inputs, or as standard error when that is not a terminal. Files are compared
// by identity (device and inode) where they exist, "-", "con" and "CON" standing for
// descriptor 0 as an input and descriptor 1 as the output; a missing output is compared by its
// absolute path with the inputs that are missing too. Only regular files, block devices and
// FIFOs count: a character device such as a terminal carries reading and writing apart.
// Prints an error line and returns -1 in that case, else 0.
int check_output_is_not_an_input(const char* out_name, const name_row* names, uint64_t count);

// Refuses, before anything is opened, a report (--report) or a picture (--picture) that leads to
// one of the inputs, to the output, to the map, to the other of the two or to standard error when
// that is a file: an error line ("copyvote: open <what> ..."), -1; else 0. `others` holds the
// output's, the map's and the other file's names (null where there is none).
int check_result_identity(const char* name, const char* what, const char* const others[3],
                          const name_row* names, uint64_t count);

// True when the output (or the map) is standard output: by a standard-stream name, or by identity
// under any other name (/dev/stdout, a file that standard output is redirected to). The program's
// own standard-output text must then go elsewhere.
bool output_is_standard_output(const char* out_name);

// Where opening the file `name` for writing puts the data: `path` gets the absolute path of the file
// it leads to, symbolic links followed (a dangling one to where it points), and `exists` whether
// that file is there. False when nothing could be written there (a missing folder on the way, a
// loop of links). Prints nothing.
bool locate_written_file(const char* name, std::string& path, bool& exists);

// True when `name` is one of the standard-stream names ("-", "con", "CON") while they are enabled.
bool names_standard_stream(const char* name);

// The names of the files in the folder `dir` that a whole-disc run may take as tracks: entries
// that are regular files (a symbolic link counts by what it leads to) and whose names do not
// begin with a dot (the temporary files of a run, hidden files), in byte order. Returns 0, or the
// errno value of a folder that cannot be listed (ENOTDIR for one that is no folder).
int list_track_files(const char* dir, std::vector<std::string>& names);

// Creates the folder `dir` (mode 0777 less the umask) unless it is one already. Returns 0 or the
// errno value.
int make_folder(const char* dir);

// Creates a new empty file in the folder `dir` named ".<stem>.copyvote-XXXXXX<suffix>"
// (exclusively, mode 0600) and closes it; `path` gets its name. Returns 0 or the errno value.
int make_scratch_file(const std::string& dir, const std::string& stem, const std::string& suffix,
                      std::string& path);

// Removes the file `path`; a missing file counts as removed. Returns 0 or the errno value.
int remove_file(const std::string& path);

// Puts the file `from` in the place of `to` (replacing it). Returns 0 or the errno value.
int move_file(const std::string& from, const std::string& to);
