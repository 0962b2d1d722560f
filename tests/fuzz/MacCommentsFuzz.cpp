// Any bytes as the comments file "mac_comments.txt" (UTF-8, with or without
// a byte-order mark, or UTF-16 either way round): the lines read are the
// lines written back, in the file's own encoding; a comment set is the
// comment found; a file nobody changed is not written.
#include "app/uMacComments.h"
#include "tests/fuzz/FuzzFiles.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);
    const std::string File = fuzzfiles::PathOf("mac_comments.txt");
    fuzzfiles::Write(File, Bytes);

    TMacComments Comments;
    Comments.LoadFromFile(File);
    Check(!Comments.Changed());
    const std::vector<std::string> Lines = Comments.Lines();
    for (const std::string& Line : Lines) {
        Check(Line.find_first_of("\r\n") == std::string::npos);
    }

    // Unchanged: the file stays byte for byte.
    Comments.SaveToFile(File);
    Check(fuzzfiles::Read(File) == Bytes);

    // The text form reads back to the same lines (but for a first line that
    // starts with U+FEFF, which the text form takes as its byte-order mark).
    TMacComments Text;
    Text.LoadFromText(Comments.Text());
    Check((!Lines.empty() && Lines[0].starts_with("\xEF\xBB\xBF")) || Text.Lines() == Lines);

    // A comment for a name made of the first line's first printable ASCII
    // bytes (the program's names are MAC texts).
    std::string Mac;
    for (char C : Lines.empty() ? std::string("00-11-22-33-44-55") : Lines[0].substr(0, 17)) {
        if (C > ' ' && C < 0x7F && C != '=') {
            Mac += C;
        }
    }
    if (Mac.empty()) {
        return 0;
    }
    const std::string Comment = "seen\r\nhere";
    const bool Set = Comments.Set(Mac, Comment);
    Check(Comments.Get(Mac) == "seen  here");
    Check(Comments.Changed() == Set);
    const std::vector<std::string> Changed = Comments.Lines();
    Comments.SaveToFile(File);
    Check(!Comments.Changed());

    TMacComments Again;
    Again.LoadFromFile(File);
    Check(Again.Encoding() == Comments.Encoding());
    Check(Again.Lines() == Changed);
    Check(Again.Get(Mac) == "seen  here");
    return 0;
}
