#include <gtest/gtest.h>

#include <string>

#include "talven.h"

namespace {

TEST(CStringFormat, HasNoLengthLimit) {
    const std::string big(100000, 'x');
    CString text;
    text.Format("<%s|%d|%s>", big.c_str(), 42, big.c_str());
    EXPECT_EQ(text.GetLength(), 2 * 100000 + 6);
    EXPECT_EQ(std::string(text.GetString()), "<" + big + "|42|" + big + ">");
}

// The arguments may point into the string being formatted.
TEST(CStringFormat, MayFormatItsOwnText) {
    CString text("abc");
    text.Format("%s-%s", text.GetString(), text.GetString());
    EXPECT_STREQ(text, "abc-abc");
}

void FormatThroughVaList(CString& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    out.FormatV(format, args);
    va_end(args);
}

TEST(CStringFormat, FormatVReplacesTheWholeText) {
    CString text("previous content that is longer");
    FormatThroughVaList(text, "%05d %s %c", 7, "ok", '!');
    EXPECT_STREQ(text, "00007 ok !");
}

TEST(CStringBasics, NullAndCountedConstruction) {
    CString formatted("x");
    FormatThroughVaList(formatted, nullptr);
    EXPECT_TRUE(formatted.IsEmpty());
    EXPECT_TRUE(CString(static_cast<LPCSTR>(nullptr)).IsEmpty());
    EXPECT_STREQ(CString("abcdef", 3), "abc");
    EXPECT_TRUE(CString("abc", -1).IsEmpty());
    CString text("keep");
    text = static_cast<LPCSTR>(nullptr);
    EXPECT_TRUE(text.IsEmpty());
}

TEST(CStringLoadString, MissingIdFailsAndEmptiesTheString) {
    CString text("old");
    EXPECT_FALSE(text.LoadString(0xFFFFFF));
    EXPECT_TRUE(text.IsEmpty());
}

}  // namespace
