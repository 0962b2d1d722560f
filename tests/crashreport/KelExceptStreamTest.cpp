// Settings streams built by Python's struct from a case table (every tag,
// lengths 0, 255 and 65,535, UTF-16 with surrogate pairs, Windows-1252) read
// back as Python reads them; a stream cut at every byte never read past its
// end (an exact-size copy each time, for AddressSanitizer).
#include "crashreport/kelExceptStream.h"
#include "crashlib/kelStrings.h"
#include "crashreport/kelExceptSettings.h"

#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

namespace {

const std::string Oracle = std::string(TOLVEX_CRASHREPORT_TEST_DIR) + "/stream_oracle.py";

// Our reading in the oracle's line format.
std::string Lines(const TSettingsStreamContents& C)
{
    std::string Out;
    for (const auto& E : C.Entries) {
        Out += E.Name + "\t";
        if (E.Kind == skText)
            Out += "text\t" + Hex(E.Text);
        else if (E.Kind == skInt)
            Out += "int\t" + std::to_string(E.Int);
        else
            Out += std::string("bool\t") + (E.Bool ? "1" : "0");
        Out += "\n";
    }
    switch (C.Stop) {
    case TStreamStatus::ssEnd:
        return Out + "stop\tend\n";
    case TStreamStatus::ssUnknownTag:
        return Out + "stop\tunknown " + (C.BadTag < 16 ? "0" : "") + CardToHexA(C.BadTag) + "\n";
    default:
        return Out + "stop\ttruncated\n";
    }
}

struct TOracleStream {
    std::string Bytes, Expected;
};

TOracleStream FromOracle(const std::string& Mode)
{
    TempFolder Temp;
    const std::string File = Temp.Path("stream.bin");
    const TCommandResult R =
        RunCommand("/usr/bin/python3 " + Quote(Oracle) + " " + Mode + " " + Quote(File));
    EXPECT_EQ(R.Status, 0) << R.Output;
    return {TempFolder::Read(File), R.Output};
}

TEST(CrashreportStream, EveryTagReadsAsPythonBuiltIt)
{
    for (const char* Mode : {"write", "write-unknown"}) {
        SCOPED_TRACE(Mode);
        const TOracleStream S = FromOracle(Mode);
        ASSERT_GT(S.Expected.size(), 200u);
        EXPECT_EQ(Lines(ReadSettingsStream(S.Bytes)), S.Expected);
    }
}

TEST(CrashreportStream, CutAtEveryByteKeepsWhatCameBefore)
{
    const TOracleStream S = FromOracle("write");
    // Short texts only, so that every cut is quick.
    TStreamWriter W;
    W.WriteSignature();
    W.WriteObjectHead("TKelExcept", "kelExcept");
    const TSettingsStreamContents Full = ReadSettingsStream(S.Bytes);
    for (const auto& E : Full.Entries) {
        if (E.Kind == skText && E.Text.size() > 64)
            W.WriteText(E.Name, E.Text.substr(0, 61));
        else if (E.Kind == skText)
            W.WriteText(E.Name, E.Text);
        else if (E.Kind == skInt)
            W.WriteInt(E.Name, E.Int);
        else
            W.WriteBool(E.Name, E.Bool);
    }
    W.WriteEnd();
    const std::string Whole = W.Bytes();
    const TSettingsStreamContents All = ReadSettingsStream(Whole);
    ASSERT_EQ(All.Entries.size(), Full.Entries.size());
    ASSERT_EQ(All.Stop, TStreamStatus::ssEnd);
    for (std::size_t Length = 0; Length < Whole.size(); ++Length) {
        std::unique_ptr<char[]> Cut(new char[Length + 1]);
        Whole.copy(Cut.get(), Length);
        const TSettingsStreamContents C = ReadSettingsStream({Cut.get(), Length});
        ASSERT_EQ(C.HeadFound, Length >= SettingsStreamHead.size()) << Length;
        if (!C.HeadFound)
            continue;
        ASSERT_EQ(C.Stop, TStreamStatus::ssTruncated) << Length;
        ASSERT_LE(C.Entries.size(), All.Entries.size());
        for (std::size_t I = 0; I < C.Entries.size(); ++I)
            ASSERT_EQ(C.Entries[I].Text, All.Entries[I].Text) << Length;
    }
}

TEST(CrashreportStream, LengthsBeyondTheBytesLeftStopTheReading)
{
    // Each a record whose length or count claims more than there is; the
    // setting before it survives.
    const struct {
        const char* Name;
        std::string Value;
    } Cases[] = {
        {"long", std::string("\x0c\xff\xff\xff\x7f"
                             "abc",
                             8)},
        {"wide", std::string("\x12\x00\x00\x00\x80"
                             "ab",
                             7)},
        {"wide odd", std::string("\x12\x02\x00\x00\x00"
                                 "abc",
                                 8)},
        {"utf8", std::string("\x14\x04\x00\x00\x00"
                             "abc",
                             8)},
        {"short", std::string("\x06\x05"
                              "abc",
                              5)},
        {"int32", std::string("\x04\x01\x02", 3)},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::string Stream = std::string(SettingsStreamHead) +
                                   "\x04"
                                   "Good\x09"
                                   "\x03"
                                   "Bad" +
                                   C.Value;
        const auto R = ReadSettingsStream(Stream);
        EXPECT_EQ(R.Stop, TStreamStatus::ssTruncated);
        ASSERT_EQ(R.Entries.size(), 1u);
        EXPECT_TRUE(R.Entries[0].Bool);
    }
}

TEST(CrashreportStream, WriterRoundTripsThroughPython)
{
    TStreamWriter W;
    W.WriteSignature();
    W.WriteObjectHead("TKelExcept", "kelExcept");
    const std::int32_t Ints[] = {0,     -128,   127,   128,       -129,
                                 32767, -32768, 32768, INT32_MIN, INT32_MAX};
    for (auto V : Ints)
        W.WriteInt("I" + std::to_string(V), V);
    W.WriteBool("Yes", true);
    W.WriteText("Ascii", "plain");
    W.WriteText("Long", std::string(300, 'x'));
    W.WriteText("Wide", "\xce\xa9 \xf0\x9f\x98\x80");
    W.WriteEnd();
    EXPECT_EQ(W.Bytes().substr(0, SettingsStreamHead.size()), SettingsStreamHead);
    TempFolder Temp;
    TempFolder::Write(Temp.Path("w.bin"), W.Bytes());
    const TCommandResult R =
        RunCommand("/usr/bin/python3 " + Quote(Oracle) + " read " + Quote(Temp.Path("w.bin")));
    ASSERT_EQ(R.Status, 0) << R.Output;
    std::string Expected;
    for (auto V : Ints)
        Expected += "I" + std::to_string(V) + "\tint\t" + std::to_string(V) + "\n";
    Expected += "Yes\tbool\t1\nAscii\ttext\t" + Hex("plain") + "\nLong\ttext\t" +
                Hex(std::string(300, 'x')) + "\nWide\ttext\t" + Hex("\xce\xa9 \xf0\x9f\x98\x80") +
                "\nstop\tend\n";
    EXPECT_EQ(R.Output, Expected);
}

} // namespace
