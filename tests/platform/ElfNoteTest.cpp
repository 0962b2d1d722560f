#include "platform/ElfNote.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

using platform::FindElfNoteInImage;
using platform::ReadElfNote;

namespace {

// Builds small ELF images by hand: a header, one area of notes, and either a
// section header table (null section + a note section) or a program header
// table with one note segment.
struct ElfBuilder {
    bool Wide = true;
    bool Big = false;
    bool Sections = true;
    std::uint64_t Align = 4;
    std::string Notes;

    void Put(std::string& Out, std::uint64_t Offset, std::uint64_t V, int Size) const
    {
        for (int I = 0; I < Size; ++I) {
            int Shift = Big ? (Size - 1 - I) * 8 : I * 8;
            Out[Offset + I] = static_cast<char>((V >> Shift) & 0xFF);
        }
    }
    void AddNote(const std::string& Owner, std::uint32_t Type, const std::string& Desc)
    {
        std::string N(12, '\0');
        std::uint64_t NameSize = Owner.empty() ? 0 : Owner.size() + 1;
        Put(N, 0, NameSize, 4);
        Put(N, 4, Desc.size(), 4);
        Put(N, 8, Type, 4);
        N += Owner;
        if (NameSize) {
            N += '\0';
        }
        while (N.size() % Align) {
            N += '\0';
        }
        N += Desc;
        while (N.size() % Align) {
            N += '\0';
        }
        Notes += N;
    }
    std::string Build() const
    {
        const std::uint64_t Header = Wide ? 64 : 52;
        const std::uint64_t NotesAt = Header;
        std::uint64_t TableAt = NotesAt + Notes.size();
        TableAt = (TableAt + 7) / 8 * 8;
        const std::uint64_t ShEnt = Wide ? 64 : 40, PhEnt = Wide ? 56 : 32;
        std::string Out(TableAt + (Sections ? 2 * ShEnt : PhEnt), '\0');
        Out.replace(0, 4,
                    "\x7f"
                    "ELF");
        Out[4] = Wide ? 2 : 1;
        Out[5] = Big ? 2 : 1;
        Out[6] = 1;
        const int A = Wide ? 8 : 4;
        const std::uint64_t E = Wide ? 0x34 : 0x28; // e_ehsize
        Put(Out, 16, 2, 2);                         // executable
        Put(Out, E, Header, 2);
        Out.replace(NotesAt, Notes.size(), Notes);
        if (Sections) {
            Put(Out, Wide ? 0x28 : 0x20, TableAt, A);
            Put(Out, E + 6, ShEnt, 2);
            Put(Out, E + 8, 2, 2);
            std::uint64_t S = TableAt + ShEnt; // entry 1; entry 0 stays null
            Put(Out, S + 4, 7, 4);             // SHT_NOTE
            Put(Out, S + (Wide ? 24 : 16), NotesAt, A);
            Put(Out, S + (Wide ? 32 : 20), Notes.size(), A);
            Put(Out, S + (Wide ? 48 : 32), Align, A);
        } else {
            Put(Out, Wide ? 0x20 : 0x1C, TableAt, A);
            Put(Out, E + 2, PhEnt, 2);
            Put(Out, E + 4, 1, 2);
            std::uint64_t P = TableAt;
            Put(Out, P, 4, 4); // PT_NOTE
            Put(Out, P + (Wide ? 8 : 4), NotesAt, A);
            Put(Out, P + (Wide ? 32 : 16), Notes.size(), A);
            Put(Out, P + (Wide ? 48 : 28), Align, A);
        }
        return Out;
    }
};

std::string TestProgram()
{
    char Buf[4096];
    ssize_t N = ::readlink("/proc/self/exe", Buf, sizeof Buf - 1);
    return N > 0 ? std::string(Buf, static_cast<std::size_t>(N)) : std::string();
}

} // namespace

TEST(ElfNote, EveryClassByteOrderAndTable)
{
    for (bool Wide : {true, false}) {
        for (bool Big : {false, true}) {
            for (bool Sections : {true, false}) {
                ElfBuilder B;
                B.Wide = Wide;
                B.Big = Big;
                B.Sections = Sections;
                B.AddNote("GNU", 3, std::string(20, '\x11'));
                B.AddNote("Tolvex", 2, "other type");
                B.AddNote("Tolvexx", 1, "longer owner");
                B.AddNote("Tolvex", 1, "the record");
                std::string What = std::string(Wide ? "64" : "32") + (Big ? " BE" : " LE") +
                                   (Sections ? " sections" : " segments");
                EXPECT_EQ(FindElfNoteInImage(B.Build(), "Tolvex", 1), "the record") << What;
                EXPECT_EQ(FindElfNoteInImage(B.Build(), "Tolvex", 9), std::nullopt) << What;
                EXPECT_EQ(FindElfNoteInImage(B.Build(), "Tolve", 1), std::nullopt) << What;
            }
        }
    }
}

TEST(ElfNote, EightByteAlignedAreaAndEmptyDescriptor)
{
    ElfBuilder B;
    B.Align = 8;
    B.AddNote("GNU", 5, "abcde"); // padded to 8
    B.AddNote("Tolvex", 1, "");
    EXPECT_EQ(FindElfNoteInImage(B.Build(), "Tolvex", 1), std::string());
}

TEST(ElfNote, MalformedImagesHaveNoNote)
{
    ElfBuilder Good;
    Good.AddNote("Tolvex", 1, "record");
    const std::string Image = Good.Build();
    ASSERT_EQ(FindElfNoteInImage(Image, "Tolvex", 1), "record");

    auto Patched = [&](std::uint64_t Offset, std::uint64_t Value, int Size) {
        std::string Copy = Image;
        Good.Put(Copy, Offset, Value, Size);
        return FindElfNoteInImage(Copy, "Tolvex", 1);
    };
    const std::uint64_t NotesAt = 64;
    const std::uint64_t Section1 = (NotesAt + Good.Notes.size() + 7) / 8 * 8 + 64;
    EXPECT_EQ(Patched(NotesAt, 0xFFFFFFFF, 4), std::nullopt);      // name size
    EXPECT_EQ(Patched(NotesAt + 4, 0xFFFFFFF0, 4), std::nullopt);  // descriptor size
    EXPECT_EQ(Patched(NotesAt + 4, 40, 4), std::nullopt);          // runs past the area
    EXPECT_EQ(Patched(Section1 + 24, ~0ull - 8, 8), std::nullopt); // offset wraps around
    EXPECT_EQ(Patched(Section1 + 32, ~0ull, 8), std::nullopt);     // size of everything
    EXPECT_EQ(Patched(0x28, ~0ull - 100, 8), std::nullopt);        // section table offset
    EXPECT_EQ(Patched(0x3C, 0xFFFF, 2), std::nullopt);             // section count
    EXPECT_EQ(Patched(0x3A, 8, 2), std::nullopt);                  // entry size too small
    EXPECT_EQ(Patched(4, 3, 1), std::nullopt);                     // class
    EXPECT_EQ(Patched(5, 0, 1), std::nullopt);                     // byte order

    EXPECT_EQ(FindElfNoteInImage("", "Tolvex", 1), std::nullopt);
    EXPECT_EQ(FindElfNoteInImage("\x7f"
                                 "ELF",
                                 "Tolvex", 1),
              std::nullopt);
    EXPECT_EQ(FindElfNoteInImage("#!/bin/sh\necho no ELF here\n", "Tolvex", 1), std::nullopt);
}

TEST(ElfNote, CutAndScrambledImagesNeverReadOutside)
{
    ElfBuilder B;
    B.AddNote("GNU", 3, "build id bytes");
    B.AddNote("Tolvex", 1, "FileVersion=1.2.3.4\n");
    const std::string Image = B.Build();
    // Every cut: the tables sit at the end, so no shorter image has them.
    for (std::size_t Len = 0; Len < Image.size(); ++Len) {
        EXPECT_EQ(FindElfNoteInImage(Image.substr(0, Len), "Tolvex", 1), std::nullopt) << Len;
    }
    // Random damage must give either the record or nothing (run under the
    // address sanitizer this also proves every read in bounds).
    std::mt19937 Rng(12345);
    for (int Round = 0; Round < 20000; ++Round) {
        std::string Copy = Image;
        int Flips = 1 + static_cast<int>(Rng() % 4);
        for (int I = 0; I < Flips; ++I) {
            Copy[Rng() % Copy.size()] = static_cast<char>(Rng());
        }
        auto Found = FindElfNoteInImage(Copy, "Tolvex", 1);
        if (Found) {
            EXPECT_LE(Found->size(), Copy.size());
        }
    }
}

TEST(ElfNote, FilesOnDisk)
{
    const std::string Self = TestProgram();
    ASSERT_FALSE(Self.empty());
    // The test program has no version record of this owner and type...
    EXPECT_EQ(ReadElfNote(Self, "NoSuchOwner", 1), std::nullopt);
    // ...but the linker's build-id note is found where the toolchain adds one.
    auto BuildId = ReadElfNote(Self, "GNU", 3);
    if (BuildId) {
        EXPECT_GE(BuildId->size(), 8u);
    }
    EXPECT_EQ(ReadElfNote("/nonexistent/file", "GNU", 3), std::nullopt);
    EXPECT_EQ(ReadElfNote("/proc/self", "GNU", 3), std::nullopt); // a folder
}

TEST(ElfNote, ThirtyTwoBitObjectFromTheAssembler)
{
    namespace fs = std::filesystem;
    TempFolder Temp;
    const fs::path Dir = Temp.Path();
    std::ofstream(Dir / "n.s") << ".section .note.tolvex.version,\"a\",@note\n"
                                  ".balign 4\n.long 7\n.long 2f-1f\n.long 1\n"
                                  ".asciz \"Tolvex\"\n.balign 4\n1: .ascii \"from as --32\"\n"
                                  "2: .balign 4\n";
    std::string Cmd =
        "as --32 -o '" + (Dir / "n.o").string() + "' '" + (Dir / "n.s").string() + "' 2>/dev/null";
    if (std::system(Cmd.c_str()) != 0) {
        GTEST_SKIP() << "the assembler cannot write 32-bit objects here";
    }
    EXPECT_EQ(ReadElfNote((Dir / "n.o").string(), "Tolvex", 1), "from as --32");
}
