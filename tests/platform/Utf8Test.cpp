#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

using platform::SplitTextLines;
using platform::StripUtf8Bom;
using platform::TextLines;

namespace {

using Lines = std::vector<std::string>;

// Every line TextLines gives, each checked to be a view into Text.
Lines Stepped(std::string_view Text)
{
    Lines Result;
    TextLines Reader(Text);
    for (std::string_view Line; Reader.Next(Line);) {
        EXPECT_TRUE(Line.empty() || (Line.data() >= Text.data() &&
                                     Line.data() + Line.size() <= Text.data() + Text.size()))
            << "a line outside the text";
        Result.emplace_back(Line);
    }
    return Result;
}

} // namespace

TEST(TextLines, EveryLineEndEndsOneLine)
{
    EXPECT_EQ(Stepped("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
    // CR before CR LF is a line of its own; LF CR is two line ends.
    EXPECT_EQ(Stepped("a\r\r\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(Stepped("a\n\rb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(Stepped("a\r\n\r\n"), (Lines{"a", ""}));
    // A lone CR at the very end, and one right before the text's end of LF.
    EXPECT_EQ(Stepped("a\r"), (Lines{"a"}));
    EXPECT_EQ(Stepped("a\r\r"), (Lines{"a", ""}));
}

TEST(TextLines, TheLastLineAndEmptyLines)
{
    EXPECT_EQ(Stepped(""), Lines{});
    EXPECT_EQ(Stepped("\n"), (Lines{""}));
    EXPECT_EQ(Stepped("last"), (Lines{"last"}));
    // A line break after the last line adds no empty line; a second one does.
    EXPECT_EQ(Stepped("a\n"), (Lines{"a"}));
    EXPECT_EQ(Stepped("a\n\n"), (Lines{"a", ""}));
    EXPECT_EQ(Stepped("\n\na"), (Lines{"", "", "a"}));
    // Other control bytes and NULs belong to the line.
    EXPECT_EQ(Stepped(std::string("a\0b\tc\fd", 7)), (Lines{std::string("a\0b\tc\fd", 7)}));
}

TEST(TextLines, AByteOrderMarkIsTheCallersAndOnlyAtTheStart)
{
    const std::string Bom = "\xEF\xBB\xBF";
    EXPECT_EQ(Stepped(Bom + "a"), (Lines{Bom + "a"}));
    std::string_view Text = "\xEF\xBB\xBF"
                            "a\nb";
    EXPECT_TRUE(StripUtf8Bom(Text));
    EXPECT_EQ(Text, "a\nb");
    EXPECT_FALSE(StripUtf8Bom(Text));
    std::string_view Cut = "\xEF\xBB";
    EXPECT_FALSE(StripUtf8Bom(Cut));
    EXPECT_EQ(Cut, "\xEF\xBB");

    EXPECT_EQ(SplitTextLines(Bom + "a\r\nb"), (Lines{"a", "b"}));
    EXPECT_EQ(SplitTextLines(Bom), Lines{});
    EXPECT_EQ(SplitTextLines(Bom + "\r\n"), (Lines{""}));
    // Only one mark is an editor's; a second one is text, as is one later on.
    EXPECT_EQ(SplitTextLines(Bom + Bom + "a"), (Lines{Bom + "a"}));
    EXPECT_EQ(SplitTextLines("a\n" + Bom + "b"), (Lines{"a", Bom + "b"}));
    // A UTF-16 mark is no UTF-8 mark.
    EXPECT_EQ(SplitTextLines("\xFF\xFE"
                             "a"),
              (Lines{"\xFF\xFE"
                     "a"}));
}
