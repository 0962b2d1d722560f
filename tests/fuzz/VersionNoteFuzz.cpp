// Any bytes as the text of a program file's version record, carried as the
// note of a small ELF file: every reader of the record takes it, and what
// they give agrees with the fixed version block and with its own format.
#include "settings/FileInfo.h"
#include "tests/fuzz/FuzzFiles.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

void Put(std::string& Out, std::size_t At, std::uint64_t Value, int Size)
{
    for (int I = 0; I < Size; ++I) {
        Out[At + I] = static_cast<char>(Value >> (8 * I));
    }
}

// A 64-bit little-endian ELF file with one note section holding Record as
// the version note.
std::string ElfWithNote(std::string_view Record)
{
    std::string Note(12, '\0');
    Put(Note, 0, std::strlen(VersionNoteOwner) + 1, 4);
    Put(Note, 4, Record.size(), 4);
    Put(Note, 8, VersionNoteType, 4);
    Note += VersionNoteOwner;
    Note.resize((Note.size() + 1 + 3) / 4 * 4, '\0');
    Note += Record;
    Note.resize((Note.size() + 3) / 4 * 4, '\0');

    std::string Elf(64, '\0');
    std::memcpy(Elf.data(),
                "\x7F"
                "ELF\x02\x01\x01",
                7);
    Put(Elf, 16, 2, 2);  // executable
    Put(Elf, 18, 62, 2); // x86-64
    Put(Elf, 20, 1, 4);
    Put(Elf, 52, 64, 2); // header size
    const std::size_t NoteAt = Elf.size();
    Elf += Note;
    const std::size_t Sections = Elf.size();
    Elf.resize(Sections + 2 * 64, '\0');
    Put(Elf, 40, Sections, 8); // section headers: an empty one, then the note
    Put(Elf, 58, 64, 2);
    Put(Elf, 60, 2, 2);
    Put(Elf, Sections + 64 + 4, 7, 4); // a note section
    Put(Elf, Sections + 64 + 24, NoteAt, 8);
    Put(Elf, Sections + 64 + 32, Note.size(), 8);
    Put(Elf, Sections + 64 + 48, 4, 8);
    return Elf;
}

std::string Version(std::uint32_t MS, std::uint32_t LS)
{
    char Text[64];
    std::snprintf(Text, sizeof Text, "%.2u.%.2u.%u.%u", MS >> 16, MS & 0xFFFF, LS >> 16,
                  LS & 0xFFFF);
    return Text;
}

bool IsDigit(char C)
{
    return C >= '0' && C <= '9';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string File = fuzzfiles::PathOf("program");
    fuzzfiles::Write(File,
                     ElfWithNote(std::string_view(reinterpret_cast<const char*>(Data), Size)));

    TFixedFileInfo Info{};
    GetFixedFileInfo(File, Info);
    const std::string Full = GetFileVersionFull(File);
    if (Info.FileVersionMS == 0 && Info.FileVersionLS == 0) {
        Check(Full.empty());
    } else {
        Check(Full == Version(Info.FileVersionMS, Info.FileVersionLS));
        Check(Full.starts_with(GetFileVersionShort(File)));
    }

    const std::string Date = GetBuildDate(File);
    if (!Date.empty()) {
        Check(Date.size() == 10 && Date[4] == '-' && Date[7] == '-');
        for (std::size_t I : {0, 1, 2, 3, 5, 6, 8, 9}) {
            Check(IsDigit(Date[I]));
        }
        const int Month = (Date[5] - '0') * 10 + (Date[6] - '0');
        const int Day = (Date[8] - '0') * 10 + (Date[9] - '0');
        Check(Month >= 1 && Month <= 12 && Day >= 1 && Day <= 31);
    }

    const std::string Flags = GetBuildFlagsText(File);
    Check(Flags.empty() || Flags == "Beta" || Flags == "Pre-Release" || Flags == "Special build");
    for (const char* Key : {"CompanyName", "ProductName", "LegalCopyright", "InternalName"}) {
        Check(GetVersionInfoString(Key, File).find('\n') == std::string::npos);
    }
    (void)GetFileCompanyName(File);
    (void)GetLegalCopyright(File);
    return 0;
}
