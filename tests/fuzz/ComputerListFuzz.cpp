// Any bytes as a computer-list file. A file that is read must save, the saved
// file must read back to the same computers (less what XML cannot hold, which
// saving strips), and saving those again must give the same bytes.
#include "engine/uComputerList.h"
#include "tests/fuzz/FuzzFiles.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

void Same(const TComputerList& Read, const TComputerList& Again)
{
    Check(Read.size() == Again.size());
    for (size_t I = 0; I < Read.size(); ++I) {
        const TComputer& A = *Read[I];
        const TComputer& B = *Again[I];
        Check(StripInvalidXmlChars(A.Name) == B.Name);
        Check(StripInvalidXmlChars(A.IP) == B.IP);
        Check(A.Single == B.Single);
        Check(A.AdapterList.size() == B.AdapterList.size());
        for (size_t J = 0; J < A.AdapterList.size(); ++J) {
            Check(StripInvalidXmlChars(A.AdapterList[J]->Name) == B.AdapterList[J]->Name);
            Check(StripInvalidXmlChars(A.AdapterList[J]->Number) == B.AdapterList[J]->Number);
            Check(StripInvalidXmlChars(A.AdapterList[J]->Vendor) == B.AdapterList[J]->Vendor);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string Input = fuzzfiles::PathOf("input.xml");
    const std::string Saved = fuzzfiles::PathOf("saved.xml");
    fuzzfiles::Write(Input, std::string_view(reinterpret_cast<const char*>(Data), Size));

    TComputerList List;
    size_t Count = 0;
    try {
        Count = LoadComputerListFromFile(Input, List);
    } catch (const EComputerListError&) {
        Check(List.empty());
        return 0;
    }
    Check(Count == List.size());

    SaveComputerListToFile(Saved, List);
    TComputerList Again;
    Check(LoadComputerListFromFile(Saved, Again) == List.size());
    Same(List, Again);

    const std::string First = fuzzfiles::Read(Saved);
    SaveComputerListToFile(Saved, Again);
    Check(fuzzfiles::Read(Saved) == First);
    return 0;
}
