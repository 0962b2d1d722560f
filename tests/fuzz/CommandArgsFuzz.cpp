// Any bytes as a command's host (the first line) and parameter text (the
// rest): the split and the one-pass macro replacement of a user command, and
// the check of the host that comes before them.
//
// Invariants: a host that passes the check is made of ASCII letters, digits,
// "-" and "." and never starts with "-"; put into the parameters it never
// yields a word more than the split gave, never a word that starts with "-"
// where the written word did not, and is inserted as it stands, once per
// macro, never scanned again. A host that fails the check starts nothing:
// the run refuses before any program or document is touched.
#include "admin/uCommandList.h"
#include "admin/uCommandRun.h"
#include "forms/Dialogs.h"

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

std::string Lower(std::string_view Text)
{
    std::string R(Text);
    for (char& C : R) {
        if (C >= 'A' && C <= 'Z') {
            C = static_cast<char>(C - 'A' + 'a');
        }
    }
    return R;
}

// The replacement written a second way: find the earliest macro each time.
std::string Reference(const std::string& Word, const std::string& Host)
{
    const std::string L = Lower(Word);
    std::string Out;
    size_t I = 0;
    while (I < Word.size()) {
        if (L.compare(I, 15, "%computer_name%") == 0) {
            Out += Host;
            I += 15;
        } else if (L.compare(I, 13, "%computer_ip%") == 0) {
            Out += Host;
            I += 13;
        } else if (L.compare(I, 6, "%path%") == 0) {
            Out += "\\\\" + Host;
            I += 6;
        } else {
            Out += Word[I++];
        }
    }
    return Out;
}

struct Seams {
    int Starts = 0;
    Seams()
    {
        SetCommandSpawn([this](const platform::TSpawnRequest&) {
            ++Starts;
            platform::TSpawnResult R;
            R.Started = true;
            return R;
        });
        SetCommandOpenUrl([this](const std::string&) {
            ++Starts;
            return true;
        });
        SetMessageSink([](const TMessageBoxCall&) { return mrOk; });
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    static Seams S;
    const std::string Bytes(reinterpret_cast<const char*>(Data), Size);
    const size_t Eol = Bytes.find('\n');
    const std::string Host = Bytes.substr(0, Eol);
    const std::string Parameters = Eol == std::string::npos ? std::string() : Bytes.substr(Eol + 1);

    const std::vector<std::string> Words = SplitCommandParameters(Parameters);
    for (const std::string& W : Words) {
        Check(W.find('"') == std::string::npos);
    }
    // Nothing but blanks, tabs and quotes is lost in the split.
    size_t Kept = 0, Other = 0;
    for (const std::string& W : Words) {
        Kept += W.size();
    }
    for (char C : Parameters) {
        Other += C != ' ' && C != '\t' && C != '"';
    }
    Check(Kept >= Other);

    const bool Valid = IsValidCommandHost(Host);
    if (Valid) {
        Check(!Host.empty() && Host.front() != '-' && Host.size() <= 254);
        for (char C : Host) {
            Check((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
                  C == '-' || C == '.');
        }
    }
    // The expander alone, with any host: one pass, whatever the host holds.
    for (const std::string& W : Words) {
        Check(ExpandCommandMacros(W, Host) == Reference(W, Host));
    }
    if (Valid) {
        const std::vector<std::string> Args = CommandArguments(Parameters, Host);
        Check(Args.size() == Words.size());
        for (size_t I = 0; I < Args.size(); ++I) {
            Check(Args[I] == Reference(Words[I], Host));
            if (Words[I].empty() || Words[I].front() != '-') {
                Check(Args[I].empty() || Args[I].front() != '-');
            }
        }
        Check(CommandArguments("%computer_ip%", Host) == std::vector<std::string>{Host});
    }

    // The run: a refused host starts nothing, program or document.
    TCommandListItem Item;
    Item.Name = "fuzz";
    Item.Operation = "open";
    Item.FileName = "/bin/true";
    Item.Parameters = Parameters;
    const int Before = S.Starts;
    const bool Ran = RunCommand(Item, Host);
    Check(Ran == Valid);
    Check(S.Starts == Before + (Valid ? 1 : 0));
    Item.FileName = "smb://server/share";
    Check(RunCommand(Item, Host) == Valid);
    Check(S.Starts == Before + (Valid ? 2 : 0));
    return 0;
}
