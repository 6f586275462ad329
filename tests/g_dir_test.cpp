#include "g_dir.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// A heap entry cut to the length of its name, as scandir() makes them, so that a matcher
// reading past the name's end is caught by the address sanitizer.
std::unique_ptr<dirent, FreeDeleter> make_entry(const char* name, unsigned char type = DT_REG) {
    size_t size = offsetof(dirent, d_name) + strlen(name) + 1;
    dirent* d = static_cast<dirent*>(calloc(1, size < sizeof(dirent) ? size : sizeof(dirent)));
    d->d_type = type;
    memcpy(d->d_name, name, strlen(name) + 1);
    return std::unique_ptr<dirent, FreeDeleter>(d);
}

// The pattern in a heap block of exactly its length, for the same reason.
bool matches(const char* pattern, const char* name) {
    auto entry = make_entry(name);
    std::unique_ptr<char[]> p(new char[strlen(pattern) + 1]);
    memcpy(p.get(), pattern, strlen(pattern) + 1);
    g_dir dir;
    dir.current = entry.get();
    bool result = dir.match(p.get());
    dir.current = nullptr;
    return result;
}

std::vector<std::string> names_matching(g_dir& dir, const char* pattern) {
    std::vector<std::string> names;
    while (dir.next(pattern) == 0) names.push_back(dir.get_name());
    return names;
}

std::vector<std::string> all_names(g_dir& dir) {
    std::vector<std::string> names;
    while (dir.next() == 0) names.push_back(dir.get_name());
    return names;
}

}  // namespace

TEST(GDirMatchTest, WildcardTable) {
    EXPECT_TRUE(matches("*", "anything.wav"));
    EXPECT_TRUE(matches("*", "."));
    EXPECT_TRUE(matches("*", ".."));
    EXPECT_TRUE(matches("*.wav", "track01.wav"));
    EXPECT_FALSE(matches("*.wav", "a.b.wav"));  // the '*' stops at the first '.'
    EXPECT_TRUE(matches("a*b*c", "aXbYc"));
    EXPECT_FALSE(matches("a*bc", "abxbc"));  // no second try with a longer run
    EXPECT_TRUE(matches("abc*", "abc"));
    EXPECT_TRUE(matches("a?c", "abc"));
    EXPECT_FALSE(matches("a?c", "ac"));
    EXPECT_FALSE(matches("track?.wav", "Track1.wav"));
}

TEST(GDirMatchTest, LiteralComparisonComesFirst) {
    EXPECT_FALSE(matches("*", "*x"));  // the '*' is used up by the literal '*'
    EXPECT_FALSE(matches("a*", "a*b"));
    EXPECT_TRUE(matches("a*", "a*"));
    EXPECT_TRUE(matches("a?", "a?"));
    EXPECT_TRUE(matches("?", "?"));
}

TEST(GDirMatchTest, StarStopsAtTheNextByteTakenLiterally) {
    EXPECT_TRUE(matches("a**", "ab*"));  // stop byte '*' is literal; then the pattern ends
    EXPECT_FALSE(matches("a**", "abc"));
    EXPECT_TRUE(matches("x*?", "xab?"));  // stop byte '?' is literal, not "any byte"
    EXPECT_FALSE(matches("x*?", "xab"));
    EXPECT_TRUE(matches("*.", "abc."));
    EXPECT_FALSE(matches("*.", "abc"));
    EXPECT_TRUE(matches("*a", "a"));  // the run before the stop byte may be empty
}

TEST(GDirMatchTest, EndsOfPatternAndName) {
    EXPECT_TRUE(matches("", ""));
    EXPECT_FALSE(matches("", "a"));
    EXPECT_FALSE(matches("a", ""));
    EXPECT_TRUE(matches("*", ""));
    EXPECT_TRUE(matches("abc*", "abcdef"));  // a final '*' takes any rest
    EXPECT_FALSE(matches("?", ""));          // '?' needs one byte
    EXPECT_FALSE(matches("ab?", "ab"));
    EXPECT_FALSE(matches("a*b", "a"));  // nothing left for the stop byte
    EXPECT_FALSE(matches("abc", "abcd"));
    EXPECT_FALSE(matches("abcd", "abc"));
}

TEST(GDirMatchTest, NullPatternOrNoCurrentEntryNeverMatches) {
    auto entry = make_entry("a.wav");
    g_dir dir;
    EXPECT_FALSE(dir.match("*"));
    dir.current = entry.get();
    EXPECT_FALSE(dir.match(nullptr));
    EXPECT_TRUE(dir.match("*"));
    dir.current = nullptr;
}

TEST(GDirMatchTest, QueriesOnASingleEntry) {
    auto file = make_entry("a.wav", DT_REG);
    auto sub = make_entry("sub", DT_DIR);
    auto unknown = make_entry("mystery", DT_UNKNOWN);
    g_dir dir;
    EXPECT_FALSE(dir.is_directory());
    EXPECT_EQ(nullptr, dir.get_name());
    dir.current = sub.get();
    EXPECT_TRUE(dir.is_directory());
    EXPECT_STREQ("sub", dir.get_name());
    dir.current = unknown.get();  // no stat() is made to find out
    EXPECT_FALSE(dir.is_directory());
    dir.current = file.get();
    EXPECT_FALSE(dir.is_directory());
    dir.current = nullptr;

    EXPECT_NE(0, g_dir::filter_is_directory(sub.get()));
    EXPECT_EQ(0, g_dir::filter_is_directory(file.get()));
    EXPECT_EQ(0, g_dir::filter_is_directory(nullptr));
    EXPECT_EQ(0, g_dir::filter_is_not_directory(sub.get()));
    EXPECT_NE(0, g_dir::filter_is_not_directory(file.get()));
    EXPECT_NE(0, g_dir::filter_is_not_directory(nullptr));
}

class GDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"b.wav", "a.wav", "C.wav", "track2.wav", "track10.wav", "a.b.wav", "notes.txt"})
            write_file(tmp.file(name), "x");
        ASSERT_EQ(0, mkdir(tmp.file("sub").c_str(), 0755));
        ASSERT_EQ(0, mkdir(tmp.file("sub.wav").c_str(), 0755));
        ASSERT_EQ(0, symlink("sub", tmp.file("link").c_str()));
    }

    ScopedTempDir tmp;
};

TEST_F(GDirTest, ListsInByteOrderOfTheNames) {
    g_dir dir(tmp.path().c_str());
    ASSERT_TRUE(dir.loaded);
    EXPECT_EQ(12, dir.entry_count);
    EXPECT_EQ(0u, dir.error);
    EXPECT_EQ(std::vector<std::string>({".", "..", "C.wav", "a.b.wav", "a.wav", "b.wav", "link", "notes.txt",
                                        "sub", "sub.wav", "track10.wav", "track2.wav"}),
              all_names(dir));
}

TEST_F(GDirTest, PatternSelectsInListingOrder) {
    g_dir dir(tmp.path().c_str());
    EXPECT_EQ(std::vector<std::string>({"C.wav", "a.wav", "b.wav"}), names_matching(dir, "?.wav"));
    g_dir again(tmp.path().c_str());
    EXPECT_EQ(std::vector<std::string>({"C.wav", "a.wav", "b.wav", "sub.wav", "track10.wav", "track2.wav"}),
              names_matching(again, "*.wav"));
    g_dir tracks(tmp.path().c_str());
    EXPECT_EQ(std::vector<std::string>({"track10.wav", "track2.wav"}), names_matching(tracks, "track*"));
}

TEST_F(GDirTest, StarListsDotEntriesAsDirectories) {
    g_dir dir(tmp.path().c_str());
    ASSERT_EQ(0, dir.next("*"));
    EXPECT_STREQ(".", dir.get_name());
    EXPECT_TRUE(dir.is_directory());
    ASSERT_EQ(0, dir.next("*"));
    EXPECT_STREQ("..", dir.get_name());
    EXPECT_TRUE(dir.is_directory());
    ASSERT_EQ(0, dir.next("*"));
    EXPECT_STREQ("C.wav", dir.get_name());
    EXPECT_FALSE(dir.is_directory());
}

TEST_F(GDirTest, SymlinkToDirectoryIsNoDirectory) {
    g_dir dir(tmp.path().c_str());
    ASSERT_EQ(0, dir.next("sub"));
    EXPECT_TRUE(dir.is_directory());
    g_dir link(tmp.path().c_str());
    ASSERT_EQ(0, link.next("link"));
    EXPECT_EQ(DT_LNK, link.current->d_type);
    EXPECT_FALSE(link.is_directory());
}

TEST_F(GDirTest, IterationPastTheEndStaysThere) {
    g_dir dir(tmp.path().c_str());
    ASSERT_EQ(0, dir.next("b.wav"));
    dir.error = 99;
    EXPECT_EQ(-1, dir.next("b.wav"));  // the only b.wav was handed out already
    EXPECT_EQ(nullptr, dir.current);
    EXPECT_EQ(0u, dir.error);
    EXPECT_EQ(dir.entry_count, dir.cursor);
    EXPECT_EQ(-1, dir.next("*"));
    EXPECT_EQ(-1, dir.next());
    EXPECT_EQ(nullptr, dir.current);
    EXPECT_EQ(nullptr, dir.get_name());
    EXPECT_FALSE(dir.is_directory());
}

TEST_F(GDirTest, NullPatternFindsNothing) {
    g_dir dir(tmp.path().c_str());
    EXPECT_EQ(-1, dir.next(nullptr));
    EXPECT_EQ(nullptr, dir.current);
    EXPECT_EQ(-1, dir.next("*"));  // the cursor does not go back
}

TEST_F(GDirTest, MissingDirectoryIsAnEmptyListing) {
    g_dir dir(tmp.file("missing").c_str());
    EXPECT_FALSE(dir.loaded);
    EXPECT_EQ(-1, dir.entry_count);
    EXPECT_EQ(static_cast<uint32_t>(ENOENT), dir.error);
    EXPECT_EQ(nullptr, dir.entries);
    EXPECT_EQ(-1, dir.next("*"));
    EXPECT_EQ(-1, dir.next());
    EXPECT_EQ(nullptr, dir.current);
    EXPECT_EQ(static_cast<uint32_t>(ENOENT), dir.error);  // a refused next changes nothing
    EXPECT_EQ(0, dir.close());
}

TEST_F(GDirTest, FileIsNoDirectoryToList) {
    g_dir dir(tmp.file("a.wav").c_str());
    EXPECT_FALSE(dir.loaded);
    EXPECT_EQ(-1, dir.entry_count);
    EXPECT_EQ(static_cast<uint32_t>(ENOTDIR), dir.error);
}

TEST_F(GDirTest, FindLoadsOnlyAnEmptyObject) {
    g_dir dir;
    EXPECT_FALSE(dir.loaded);
    EXPECT_EQ(-1, dir.next());
    EXPECT_EQ(ENOENT, dir.find(tmp.file("missing").c_str(), nullptr));
    EXPECT_FALSE(dir.loaded);
    EXPECT_EQ(static_cast<uint32_t>(ENOENT), dir.error);
    ASSERT_EQ(0, dir.find(tmp.path().c_str(), nullptr));
    EXPECT_TRUE(dir.loaded);
    EXPECT_EQ(12, dir.entry_count);
    ASSERT_EQ(0, dir.next("a.wav"));
    EXPECT_EQ(-1, dir.find(tmp.path().c_str(), nullptr));
    EXPECT_STREQ("a.wav", dir.get_name());  // the refused find kept the listing and the position
    EXPECT_EQ(0, dir.close());
    ASSERT_EQ(0, dir.find(tmp.path().c_str(), g_dir::filter_is_directory));
    EXPECT_EQ(0, dir.cursor);
    EXPECT_EQ(std::vector<std::string>({".", "..", "sub", "sub.wav"}), all_names(dir));
}

TEST_F(GDirTest, FiltersSplitDirectoriesFromTheRest) {
    g_dir dirs(tmp.path().c_str(), g_dir::filter_is_directory);
    EXPECT_EQ(std::vector<std::string>({".", "..", "sub", "sub.wav"}), all_names(dirs));
    g_dir others(tmp.path().c_str(), g_dir::filter_is_not_directory);
    EXPECT_EQ(std::vector<std::string>(
                  {"C.wav", "a.b.wav", "a.wav", "b.wav", "link", "notes.txt", "track10.wav", "track2.wav"}),
              all_names(others));
}

TEST_F(GDirTest, CloseEmptiesTheObject) {
    g_dir dir(tmp.path().c_str());
    ASSERT_EQ(0, dir.next("a.wav"));
    EXPECT_EQ(0, dir.close());
    EXPECT_FALSE(dir.loaded);
    EXPECT_EQ(nullptr, dir.entries);
    EXPECT_EQ(nullptr, dir.current);
    EXPECT_EQ(0, dir.entry_count);
    EXPECT_EQ(0, dir.cursor);
    EXPECT_EQ(0u, dir.error);
    EXPECT_EQ(-1, dir.next());
    EXPECT_EQ(0, dir.close());
}

TEST_F(GDirTest, KeepsNoSizesOrTimes) {
    g_dir dir(tmp.path().c_str());
    ASSERT_EQ(0, dir.next("a.wav"));
    EXPECT_EQ(0, dir.get_size());
    timespec t = dir.get_time_modified();
    EXPECT_EQ(0, t.tv_sec);
    EXPECT_EQ(0, t.tv_nsec);
}

TEST_F(GDirTest, WorkingDirectoryRoundTrip) {
    char saved[PATH_MAX];
    ASSERT_EQ(0, g_dir::get_working_directory(saved, sizeof saved));
    EXPECT_EQ(-1, g_dir::get_working_directory(nullptr, 16));
    char tiny[2];
    EXPECT_EQ(ERANGE, g_dir::get_working_directory(tiny, sizeof tiny));

    EXPECT_EQ(ENOENT, g_dir::set_working_directory(tmp.file("missing").c_str()));
    EXPECT_EQ(ENOTDIR, g_dir::set_working_directory(tmp.file("a.wav").c_str()));
    ASSERT_EQ(0, g_dir::set_working_directory(tmp.path().c_str()));
    char now[PATH_MAX];
    int32_t got = g_dir::get_working_directory(now, sizeof now);
    char expected[PATH_MAX];
    bool resolved = realpath(tmp.path().c_str(), expected) != nullptr;
    ASSERT_EQ(0, g_dir::set_working_directory(saved));  // restore before checking
    EXPECT_EQ(0, got);
    ASSERT_TRUE(resolved);
    EXPECT_STREQ(expected, now);

    char back[PATH_MAX];
    ASSERT_EQ(0, g_dir::get_working_directory(back, sizeof back));
    EXPECT_STREQ(saved, back);
}
