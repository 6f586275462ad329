#include "g_console.h"

#include <gtest/gtest.h>

#include "g_print.h"
#include "test_support.h"

using testing_support::CaptureFd;

TEST(GConsoleTest, ColumnsCountUtf8CharactersAndStrayBytes) {
    EXPECT_EQ(0u, con_columns(""));
    EXPECT_EQ(5u, con_columns("a.wav"));
    EXPECT_EQ(12u, con_columns("Tr\xC3\xA4" "ck 01.wav"));    // UTF-8 a-umlaut is one column
    EXPECT_EQ(12u, con_columns("Tr\xE4" "ck 01.wav"));        // a Latin-1 byte is one column
    EXPECT_EQ(2u, con_columns("\xE2\x82\xAC\xC3"));            // euro sign, then a cut sequence
    EXPECT_EQ(2u, con_columns("\xC0\x80"));                    // overlong form: two stray bytes
}

TEST(GConsoleTest, RightAlignmentCountsColumnsAndKeepsBytes) {
    CaptureFd out(1);
    con_put_right(stdout, "a.wav", 24);
    con_put_right(stdout, "\xC3\xA4.wav", 8);
    con_put_right(stdout, "a-name-that-is-wider-than-the-field.wav", 24);
    EXPECT_EQ(std::string(19, ' ') + "a.wav" + "   \xC3\xA4.wav" + "a-name-that-is-wider-than-the-field.wav",
              out.finish());
}

TEST(GConsoleTest, WidenedBytesComeBackUnchanged) {
    wchar_t buf[16] = L"open(";
    con_widen_append(buf, 16, "Tr\xE4" "ck\xC3\xA4");
    con_widen_append(buf, 16, ")");
    CaptureFd out(1);
    con_put_wide(stdout, buf);
    con_put_wide(stdout, L"\x20AC");  // a code point above 255 is written as UTF-8
    con_put_wide(stdout, nullptr);
    EXPECT_EQ("open(Tr\xE4" "ck\xC3\xA4)\xE2\x82\xAC", out.finish());
}

TEST(GConsoleTest, WidenAppendCutsAtCapacity) {
    wchar_t buf[6] = L"ab";
    con_widen_append(buf, 6, "cdefgh");
    EXPECT_EQ(std::wstring(L"abcde"), std::wstring(buf));
}
