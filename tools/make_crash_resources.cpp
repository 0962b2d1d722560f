// Writes the crash reporter's resources from readable files, and prints them
// back. The build adds what it writes to a program as non-loaded sections
// (see tolvex_crash_resources() in cmake/TolvexCrashResources.cmake).
//
//   tolvex_make_crash_resources settings <text> <out>
//       the settings stream of a settings text (tools/CrashSettingsText.h);
//       a line it cannot read fails with "<text>:<line>: ..."
//   tolvex_make_crash_resources form <text> <out>
//       the stream of an assistant form's text (tools/CrashFormText.h)
//   tolvex_make_crash_resources bitmap <png> <out>
//       a picture's bitmap resource (tools/CrashBitmapResource.h)
//   tolvex_make_crash_resources decode <stream>
//       the settings text of a settings stream, the form text of any other
//       (a program's section is extracted with
//       objcopy --dump-section .rsrc.10.TKELEXCEPT=<stream>)
#include "tools/CrashBitmapResource.h"
#include "tools/CrashFormText.h"
#include "tools/CrashSettingsText.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* Program = "make_crash_resources";

std::optional<std::string> ReadFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    if (!In)
        return std::nullopt;
    std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    if (In.bad())
        return std::nullopt;
    return Bytes;
}

// Writes beside the target and renames, so that a failed run never leaves a
// half-written file for the next build step to take.
bool WriteFileAtomically(const std::string& Path, const std::string& Bytes)
{
    const std::string Temp = Path + ".part";
    {
        std::ofstream Out(Temp, std::ios::binary | std::ios::trunc);
        Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
        if (!Out.flush())
            return false;
    }
    std::error_code Ec;
    std::filesystem::rename(Temp, Path, Ec);
    if (Ec)
        std::filesystem::remove(Temp, Ec);
    return !Ec;
}

int Fail(const std::string& Message)
{
    std::fprintf(stderr, "%s: %s\n", Program, Message.c_str());
    return 1;
}

// Args[0] is a text, Args[1] the stream Write makes of it.
int RunWrite(const std::vector<std::string>& Args,
             std::string (*Write)(std::string_view Text, const std::string& File))
{
    const auto Text = ReadFile(Args[0]);
    if (!Text)
        return Fail("cannot read " + Args[0]);
    std::string Stream;
    try {
        Stream = Write(*Text, Args[0]);
    } catch (const ECrashTextError& E) {
        std::fprintf(stderr, "%s\n", E.what());
        return 1;
    }
    if (!WriteFileAtomically(Args[1], Stream))
        return Fail("cannot write " + Args[1]);
    return 0;
}

int RunSettings(const std::vector<std::string>& Args)
{
    return RunWrite(Args, [](std::string_view Text, const std::string& File) {
        return WriteSettingsStream(ParseSettingsText(Text, File));
    });
}

int RunForm(const std::vector<std::string>& Args)
{
    return RunWrite(Args, [](std::string_view Text, const std::string& File) {
        return WriteFormObjects(ParseFormText(Text, File));
    });
}

int RunBitmap(const std::vector<std::string>& Args)
{
    std::string Error;
    const std::string Resource = BitmapResourceFromPng(Args[0], Error);
    if (Resource.empty())
        return Fail(Error);
    if (!WriteFileAtomically(Args[1], Resource))
        return Fail("cannot write " + Args[1]);
    return 0;
}

int RunDecode(const std::vector<std::string>& Args)
{
    const auto Stream = ReadFile(Args[0]);
    if (!Stream)
        return Fail("cannot read " + Args[0]);
    const std::string_view Bytes(*Stream);
    if (Bytes.substr(0, StreamSignature.size()) != StreamSignature)
        return Fail(Args[0] + ": not a settings stream nor a form stream (it does not begin "
                              "with \"TPF0\")");
    std::string Text, Problem;
    if (Bytes.substr(0, SettingsStreamHead.size()) == SettingsStreamHead) {
        TSettingsTextDecoded D = SettingsStreamToText(*Stream);
        Text = std::move(D.Text);
        Problem = std::move(D.Problem);
    } else {
        TFormTextDecoded D = FormStreamToText(*Stream);
        Text = std::move(D.Text);
        Problem = std::move(D.Problem);
    }
    std::fwrite(Text.data(), 1, Text.size(), stdout);
    std::fflush(stdout);
    if (!Problem.empty())
        return Fail(Args[0] + ": " + Problem);
    return 0;
}

struct TSubcommand {
    std::string_view Name;
    std::string_view Arguments;
    std::size_t ArgCount;
    int (*Run)(const std::vector<std::string>& Args);
};

constexpr TSubcommand Subcommands[] = {
    {"settings", "<text> <out>", 2, RunSettings},
    {"form", "<text> <out>", 2, RunForm},
    {"bitmap", "<png> <out>", 2, RunBitmap},
    {"decode", "<stream>", 1, RunDecode},
};

int Usage()
{
    for (const auto& S : Subcommands)
        std::fprintf(stderr, "usage: %s %.*s %.*s\n", Program, static_cast<int>(S.Name.size()),
                     S.Name.data(), static_cast<int>(S.Arguments.size()), S.Arguments.data());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const std::vector<std::string> Args(argv + 2, argv + argc);
    for (const auto& S : Subcommands)
        if (S.Name == argv[1])
            return Args.size() == S.ArgCount ? S.Run(Args) : Usage();
    return Usage();
}
