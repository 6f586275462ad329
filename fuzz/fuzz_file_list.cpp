// Fuzz target: init_file_list on arbitrary argument vectors, within and beyond the limits of
// 384 names and 1024-byte rows, in a directory whose files let wildcards expand.
//
// Input: a flags byte, a repeat byte, then arguments separated by NUL bytes. The argument list
// is repeated 1 + repeat times, so that a short input can name more than 384 inputs. An
// argument that begins with byte 0x01 is stretched, by repeating the rest of it, to 1100
// bytes, past the length of a row.
//
// Each result is compared with a small model of the parse: which arguments are switches,
// names and wildcards, how -o consumes the next one, the refusal of a name longer than a row,
// the 384 limit with its skip messages, and the default output name beside the first input. Wildcards in the model
// are expanded through their own listing, so that the expansion's bookkeeping (directory part,
// skipped directories and "out.wav", the limit) is checked, not the match itself.

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/file_list.h"
#include "fuzz_check.h"
#include "g_dir.h"
#include "g_linux_crypt.h"
#include "base/globals.h"

namespace {

const size_t MAX_ARGS = 2000;
const size_t STRETCHED = 1100;

std::string work_dir;
int captured_stdout = -1;

// Runs `call` inside the work directory and comes back, so that libFuzzer's relative corpus
// paths keep working.
template <typename Call>
void in_work_dir(Call call) {
    const int home = open(".", O_RDONLY | O_DIRECTORY);
    if (home < 0 || chdir(work_dir.c_str()) != 0) abort();
    call();
    if (fchdir(home) != 0) abort();
    close(home);
}

void remove_work_dir() {
    if (work_dir.empty()) return;
    std::string cmd = "rm -rf '" + work_dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "fuzz_file_list: could not remove %s\n", work_dir.c_str());
}

void touch(const std::string& path) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) abort();
    close(fd);
}

// Works inside a directory of a few files, one of them the default output and one a
// directory whose name matches "*.wav", and sends standard output (skip messages, error
// lines) to a temporary file that each run reads back.
void set_up() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fuzz_file_list.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) abort();
    work_dir = buf.data();
    atexit(remove_work_dir);
    for (const char* f : {"1.wav", "2.wav", "3.wav", "out.wav", "a.b.wav", "B.wav", "track10.wav", "track2.wav"})
        touch(work_dir + "/" + f);
    if (mkdir((work_dir + "/sub.wav").c_str(), 0755) != 0) abort();
    for (const char* f : {"x.wav", "y.wav", "out.wav"}) touch(work_dir + "/sub.wav/" + f);

    fflush(stdout);
    FILE* sink = tmpfile();
    if (!sink) abort();
    captured_stdout = dup(fileno(sink));
    fclose(sink);
    if (captured_stdout < 0 || dup2(captured_stdout, 1) < 0) abort();
}

std::string read_captured() {
    fflush(stdout);
    std::string text;
    char chunk[4096];
    if (lseek(1, 0, SEEK_SET) < 0) abort();
    ssize_t n;
    while ((n = read(1, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    if (ftruncate(1, 0) != 0 || lseek(1, 0, SEEK_SET) < 0) abort();
    return text;
}

// Keeps wildcard listings inside the work directory: listings of /proc or /tmp may change
// between the parse and the model, and would only slow the fuzzer down.
std::string confine(std::string arg) {
    if (arg.find_first_of("*?") == std::string::npos || arg.find('/') == std::string::npos) return arg;
    if (arg[0] == '/') arg[0] = '_';
    for (size_t at; (at = arg.find("..")) != std::string::npos;) arg[at + 1] = '_';
    return arg;
}

std::vector<std::string> arguments_from(const uint8_t* data, size_t size) {
    std::vector<std::string> once;
    size_t start = 0;
    for (size_t i = 0; i <= size; i++) {
        if (i != size && data[i] != 0) continue;
        std::string arg(reinterpret_cast<const char*>(data + start), i - start);
        start = i + 1;
        if (!arg.empty() && arg[0] == '\x01') {
            std::string unit = arg.size() > 1 ? arg.substr(1) : std::string("x");
            arg.clear();
            while (arg.size() < STRETCHED) arg += unit;
        }
        once.push_back(confine(arg));
    }
    return once;
}

struct model_result {
    std::vector<std::string> names;
    std::string out_name;
    bool output_given = false;
    bool digest_requested = false;
    uint32_t alg_id = 2;
    bool audio = false;
    uint32_t read_flags = 0;
    std::string skip_text;
    bool refused = false;  // a name, or the default output name, does not fit in a row
};

bool model_add(model_result& m, const std::string& dir_part, const std::string& name) {
    if (m.names.size() >= MAX_INPUTS) {
        m.skip_text += "[" + name + "]\n\t^ skipped: maximum input files allowed 384\n\n";
        return false;
    }
    m.refused = dir_part.size() + name.size() >= NAME_SIZE;
    if (!m.refused) m.names.push_back(dir_part + name);
    return !m.refused;
}

void model_expand(model_result& m, const std::string& arg) {
    const size_t slash = arg.rfind('/');
    const std::string dir_part = slash == std::string::npos ? "" : arg.substr(0, slash + 1);
    const std::string pattern = slash == std::string::npos ? arg : arg.substr(slash + 1);
    g_dir listing(dir_part.empty() ? "." : dir_part.c_str());
    while (listing.next(pattern.c_str()) == 0) {
        const std::string name = listing.get_name();
        if (listing.is_directory() || name == "out.wav") continue;
        if (!model_add(m, dir_part, name)) break;
    }
}

uint32_t model_digest(const std::string& arg) {
    static const struct { const char* name; uint32_t id; } table[] = {
        {"-md2", 5}, {"-md4", 301}, {"-md5", 1}, {"-sha1", 2}, {"-sha256", 8}, {"-sha384", 9}, {"-sha512", 10}};
    for (const auto& d : table) {
        if (strcasecmp(arg.c_str(), d.name) == 0) return d.id;
    }
    return 0;
}

model_result model_parse(const std::vector<std::string>& args) {
    model_result m;
    for (size_t i = 0; i < args.size() && !m.refused; i++) {
        const std::string& arg = args[i];
        const std::string visible = arg.c_str();  // argv strings end at their first NUL
        if (uint32_t id = model_digest(visible)) {
            m.digest_requested = true;
            m.alg_id = id;
        } else if (visible.find_first_of("*?") != std::string::npos) {
            model_expand(m, visible);
        } else if (visible == "-a") {
            m.audio = true;
        } else if (visible == "-b") {
            m.read_flags = 0x4000;
        } else if (visible == "-o") {
            if (i + 1 >= args.size()) break;
            m.out_name = args[++i].c_str();
            m.output_given = true;
        } else {
            model_add(m, "", visible);
        }
    }
    if (!m.refused && m.output_given && m.out_name.size() >= NAME_SIZE) m.refused = true;
    if (!m.refused && m.names.size() >= MIN_INPUTS && !m.output_given) {
        const std::string& first = m.names[0];
        const size_t sep = first.find_last_of("/\\");
        const size_t dir_len = sep == std::string::npos ? 0 : sep + 1;
        m.refused = dir_len + sizeof "out.wav" > NAME_SIZE;
        if (!m.refused) m.out_name = first.substr(0, dir_len) + "out.wav";
    }
    return m;
}

bool row_is_zero(const char* row) {
    for (size_t i = 0; i < NAME_SIZE; i++) {
        if (row[i] != 0) return false;
    }
    return true;
}

name_row g_names[MAX_INPUTS];
char g_out_name[NAME_SIZE];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    if (work_dir.empty()) set_up();
    const std::vector<std::string> once = arguments_from(data + 2, size - 2);
    std::vector<std::string> args;
    const size_t repeat = 1 + data[1];
    for (size_t r = 0; r < repeat && args.size() < MAX_ARGS; r++) args.insert(args.end(), once.begin(), once.end());
    if (args.size() > MAX_ARGS) args.resize(MAX_ARGS);
    if (data[0] & 1) args.clear();  // no arguments at all

    std::vector<char*> argv;
    static char program[] = "copyvote";
    argv.push_back(program);
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    AUDIOCD_IGNORE_CORRECTED = false;
    DW_READ_FLAGS = 0;
    memset(g_names, 0x5A, sizeof g_names);  // whatever was there before must not show through
    memset(g_out_name, 0x5A, sizeof g_out_name);
    uint64_t count = 12345;
    G_CRYPT crypt;
    int result = 0;
    model_result m;
    in_work_dir([&] {
        result = init_file_list(g_names, count, g_out_name, static_cast<int>(argv.size() - 1), argv.data(), crypt);
        m = model_parse(args);
    });
    const std::string printed = read_captured();

    const bool enough = m.names.size() >= MIN_INPUTS;
    FUZZ_CHECK(count <= MAX_INPUTS);
    FUZZ_CHECK(AUDIOCD_IGNORE_CORRECTED == m.audio);
    FUZZ_CHECK(DW_READ_FLAGS == m.read_flags);
    FUZZ_CHECK(printed.compare(0, m.skip_text.size(), m.skip_text) == 0);
    FUZZ_CHECK(memchr(g_out_name, 0, NAME_SIZE) != nullptr);
    if (m.refused) {
        // Refused with an error line rather than cut: the names before it stay, nothing else is set.
        FUZZ_CHECK(result == LIST_REFUSED && !crypt.enabled);
        FUZZ_CHECK(count == m.names.size());
        FUZZ_CHECK(printed.size() > m.skip_text.size());
        FUZZ_CHECK(row_is_zero(g_out_name));
        return 0;
    }
    if (!enough) {
        FUZZ_CHECK(result == -1 && count == 0);
        FUZZ_CHECK(!crypt.enabled);
        FUZZ_CHECK(printed == m.skip_text);
        return 0;
    }
    FUZZ_CHECK(count == m.names.size());
    for (uint64_t i = 0; i < count; i++) {
        FUZZ_CHECK(memchr(g_names[i], 0, NAME_SIZE) != nullptr);
        FUZZ_CHECK(m.names[i] == g_names[i]);
    }
    for (uint64_t i = count; i < MAX_INPUTS; i++) FUZZ_CHECK(row_is_zero(g_names[i]));
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(m.out_name == g_out_name);
    if (!m.digest_requested) {
        FUZZ_CHECK(!crypt.enabled && printed == m.skip_text);
    } else if (crypt.enabled) {
        FUZZ_CHECK(crypt.alg_id == m.alg_id && crypt.count == count + 1);
        FUZZ_CHECK(printed == m.skip_text);
    } else {
        FUZZ_CHECK(printed.size() > m.skip_text.size());  // the failed set-up was reported
    }
    return 0;
}
