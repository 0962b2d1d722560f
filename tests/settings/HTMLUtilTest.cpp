#include "settings/HTMLUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(HTMLEncode, ReplacesTheFourSpecialCharacters)
{
    EXPECT_EQ(HTMLEncode("a&b\"c<d>e"), "a&amp;b&quot;c&lt;d&gt;e");
    EXPECT_EQ(HTMLEncode("&&"), "&amp;&amp;");
    EXPECT_EQ(HTMLEncode(""), "");
}

TEST(HTMLEncode, LeavesEverythingElseAlone)
{
    const std::string Text = "it's \t\r\n\x01 caf\xC3\xA9 \xE2\x82\xAC";
    EXPECT_EQ(HTMLEncode(Text), Text);
}

TEST(HTMLDecode, InvertsEncodeForAwkwardTexts)
{
    const std::vector<std::string> Texts = {
        "",
        "plain",
        "<a href=\"x\">'q'</a>",
        "&amp; literally",
        "&#65; literally",
        "   ",
        "\r\n\t\x01\x7F",
        "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
        "&",
        "\";<>&",
    };
    for (const auto& Text : Texts)
        EXPECT_EQ(HTMLDecode(HTMLEncode(Text)), Text) << Text;
}

TEST(HTMLDecode, NamedEntities)
{
    EXPECT_EQ(HTMLDecode("&lt;&gt;&quot;&amp;"), "<>\"&");
    EXPECT_EQ(HTMLDecode("x&amp;lt;y"), "x&lt;y");
}

TEST(HTMLDecode, NumericReferencesGiveTheWholeCodePoint)
{
    EXPECT_EQ(HTMLDecode("&#65;"), "A");
    EXPECT_EQ(HTMLDecode("&#0065;"), "A");
    EXPECT_EQ(HTMLDecode("&#13;&#10;"), "\r\n");
    EXPECT_EQ(HTMLDecode("&#1;"), "\x01");
    EXPECT_EQ(HTMLDecode("&#233;"), "\xC3\xA9"); // not its low 8 bits
    EXPECT_EQ(HTMLDecode("&#321;"), "\xC5\x81"); // 321 & 0xFF would be 'A'
    EXPECT_EQ(HTMLDecode("&#8364;"), "\xE2\x82\xAC");
    EXPECT_EQ(HTMLDecode("&#55295;"), "\xED\x9F\xBF"); // last before the surrogates
    EXPECT_EQ(HTMLDecode("&#57344;"), "\xEE\x80\x80"); // first after them
    EXPECT_EQ(HTMLDecode("&#128512;"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(HTMLDecode("&#1114111;"), "\xF4\x8F\xBF\xBF"); // U+10FFFF
}

TEST(HTMLDecode, RejectsBadNumericReferences)
{
    const std::vector<std::string> Bad = {
        "&#0;",       "&#00;",         "&#55296;",
        "&#57343;",                                               // 0 and surrogates
        "&#1114112;", "&#4294967361;", "&#99999999999999999999;", // too large, wrapping
        "&#;",        "&#x41;",        "&#65",
        "&#",         "a&#6", // malformed or cut off
        "&#65 ;",     "&#-1;",
    };
    for (const auto& Text : Bad)
        EXPECT_THROW(HTMLDecode(Text), EConvertError) << Text;
}

TEST(HTMLDecode, RejectsUnknownAndUnterminatedEntities)
{
    // Each of these ends inside the entity or continues differently: the
    // decoder must neither read past the text nor guess.
    const std::vector<std::string> Bad = {"&",    "x&",    "&l",     "&lt",  "&g", "&gt",
                                          "&q",   "&quot", "&a",     "&amp", "&x", "&nbsp;",
                                          "&LT;", "&lxt;", "& amp;", "&amp"};
    for (const auto& Text : Bad)
        EXPECT_THROW(HTMLDecode(Text), EConvertError) << Text;
}

TEST(HTMLDecode, ErrorNamesTheMessageId)
{
    try {
        HTMLDecode("ab&xy");
        FAIL() << "no error raised";
    } catch (const EConvertError& E) {
        EXPECT_NE(std::string(E.what()).find("sInvalidHTMLEncodedChar"), std::string::npos);
    }
}

TEST(HTMLDecode, OutputNeverLongerThanInput)
{
    const std::vector<std::string> Texts = {"&#1114111;", "&#128512;", "&#233;",
                                            "&#1;",       "&amp;&lt;", "&#65;&#66;"};
    for (const auto& Text : Texts)
        EXPECT_LE(HTMLDecode(Text).size(), Text.size()) << Text;
}

} // namespace
