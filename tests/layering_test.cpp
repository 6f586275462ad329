// The layering of app/ as app/README.md's table states it: every project include of every unit
// is one its folder may make, and every library header it uses is listed for that folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct folder_rules {
    std::set<std::string> may_include;  // "audio/" (a folder), "audio/track_checksums.h", "lib/"
    std::set<std::string> libraries;    // "<gcrypt.h>", "<FLAC/*>"
};

struct unit {
    std::string path;  // from app/, "vote/block_vote.cpp"
    std::string text;
};

std::vector<std::string> backticked(const std::string& cell) {
    std::vector<std::string> out;
    static const std::regex tick("`([^`]+)`");
    for (std::sregex_iterator m(cell.begin(), cell.end(), tick), end; m != end; ++m) out.push_back((*m)[1]);
    return out;
}

std::vector<std::string> cells(const std::string& row) {
    std::vector<std::string> out;
    size_t at = row.find('|');
    while (at != std::string::npos) {
        const size_t next = row.find('|', at + 1);
        if (next == std::string::npos) break;
        out.push_back(row.substr(at + 1, next - at - 1));
        at = next;
    }
    return out;
}

// The table's rows whose first cell names a folder: folder -> rules.
std::map<std::string, folder_rules> read_table(const std::string& readme) {
    std::map<std::string, folder_rules> rules;
    std::istringstream lines(readme);
    for (std::string row; std::getline(lines, row);) {
        const std::vector<std::string> c = cells(row);
        if (c.size() != 4) continue;
        const std::vector<std::string> name = backticked(c[0]);
        if (name.size() != 1 || name[0].back() != '/') continue;
        folder_rules& r = rules[name[0]];
        for (const std::string& s : backticked(c[2])) r.may_include.insert(s);
        for (const std::string& s : backticked(c[3])) r.libraries.insert(s);
    }
    return rules;
}

bool library_listed(const std::string& header, const std::set<std::string>& listed) {
    for (const std::string& l : listed) {
        if (l == header) return true;
        if (l.size() > 2 && l.compare(l.size() - 2, 2, "*>") == 0 &&
            header.compare(0, l.size() - 2, l, 0, l.size() - 2) == 0)
            return true;
    }
    return false;
}

// A header in angle brackets that belongs to a library rather than to the C/C++ library or the
// system: any listed in the table, or one in a folder of its own other than the system's.
bool is_library(const std::string& header, const std::set<std::string>& all_listed) {
    if (library_listed(header, all_listed)) return true;
    return header.find('/') != std::string::npos && header.compare(0, 5, "<sys/") != 0;
}

// "unit: include" for every include the table does not allow.
std::vector<std::string> violations(const std::map<std::string, folder_rules>& rules,
                                    const std::vector<unit>& units, const std::set<std::string>& lib_headers) {
    std::set<std::string> all_listed;
    for (const auto& r : rules) all_listed.insert(r.second.libraries.begin(), r.second.libraries.end());
    std::vector<std::string> bad;
    static const std::regex include("^#include ([<\"])([^>\"]+)[>\"]");
    for (const unit& u : units) {
        if (u.path.find('/') == std::string::npos) continue;  // main.cpp may include anything
        // The deepest folder of the table that holds the unit ("vote/cd/" before "vote/").
        std::string own = u.path.substr(0, u.path.find('/') + 1);
        for (const auto& r : rules)
            if (u.path.compare(0, r.first.size(), r.first) == 0 && r.first.size() > own.size()) own = r.first;
        const auto found = rules.find(own);
        if (found == rules.end()) {
            bad.push_back(u.path + ": folder " + own + " is not in the table");
            continue;
        }
        const folder_rules& r = found->second;
        std::istringstream lines(u.text);
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (!std::regex_search(line, m, include)) continue;
            const std::string name = m[2];
            bool ok;
            if (m[1] == "<") {
                const std::string header = "<" + name + ">";
                ok = !is_library(header, all_listed) || library_listed(header, r.libraries);
            } else if (name.find('/') == std::string::npos) {
                ok = lib_headers.count(name) != 0 && r.may_include.count("lib/") != 0;
            } else {
                const std::string folder = name.substr(0, name.find('/') + 1);
                ok = name.compare(0, own.size(), own) == 0 || r.may_include.count(folder) != 0 ||
                     r.may_include.count(name) != 0;
            }
            if (!ok) bad.push_back(u.path + ": " + line);
        }
    }
    return bad;
}

std::vector<unit> app_units(const fs::path& app) {
    std::vector<unit> units;
    for (const auto& e : fs::recursive_directory_iterator(app)) {
        const std::string ext = e.path().extension().string();
        if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
        units.push_back({fs::relative(e.path(), app).string(), testing_support::read_file(e.path().string())});
    }
    return units;
}

std::set<std::string> lib_headers(const fs::path& lib) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(lib))
        if (e.path().extension() == ".h") names.insert(e.path().filename().string());
    return names;
}

const fs::path SOURCE = COPYVOTE_SOURCE_DIR;

TEST(Layering, EveryIncludeOfAppIsOneItsFolderMayMake) {
    const auto rules = read_table(testing_support::read_file((SOURCE / "app/README.md").string()));
    ASSERT_GE(rules.size(), 6u) << "the folder table of app/README.md was not found";
    const std::vector<unit> units = app_units(SOURCE / "app");
    ASSERT_GT(units.size(), 50u);
    const std::vector<std::string> bad = violations(rules, units, lib_headers(SOURCE / "lib"));
    for (const std::string& b : bad) ADD_FAILURE() << b;
}

// The check itself finds what it is there to find.
TEST(Layering, FindsIncludesTheTableDoesNotAllow) {
    const std::string readme =
        "| folder | what | may include | third-party headers |\n"
        "|---|---|---|---|\n"
        "| `base/` | x | the C/C++ library, `lib/` | `<gcrypt.h>` |\n"
        "| `vote/` | x | `base/`, `audio/wav_header.h` | |\n";
    const std::vector<unit> units = {
        {"vote/a.cpp",
         "#include \"vote/a.h\"\n#include \"base/coding.h\"\n#include \"audio/wav_header.h\"\n#include <vector>\n"
         "#include <sys/stat.h>\n"},
        {"vote/b.cpp", "#include \"run/dispute_map.h\"\n#include \"audio/align.h\"\n#include <gcrypt.h>\n"
                       "#include <FLAC/metadata.h>\n#include \"g_file_io.h\"\n"},
        {"base/c.cpp", "#include \"g_file_io.h\"\n#include <gcrypt.h>\n#include \"g_missing.h\"\n"},
        {"disc/d.cpp", "#include \"base/coding.h\"\n"},
        {"main.cpp", "#include \"run/anything.h\"\n"},
    };
    const std::vector<std::string> expected = {
        "vote/b.cpp: #include \"run/dispute_map.h\"", "vote/b.cpp: #include \"audio/align.h\"",
        "vote/b.cpp: #include <gcrypt.h>",            "vote/b.cpp: #include <FLAC/metadata.h>",
        "vote/b.cpp: #include \"g_file_io.h\"",       "base/c.cpp: #include \"g_missing.h\"",
        "disc/d.cpp: folder disc/ is not in the table",
    };
    EXPECT_EQ(violations(read_table(readme), units, {"g_file_io.h"}), expected);
}

}  // namespace
