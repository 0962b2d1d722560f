// The crash library's ELF reader over arbitrary bytes: as a file, and as an
// image "loaded" at an address, with every query a crash report makes.
#include "crashlib/kelElfImage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace {

// The bytes seen as memory from Base on.
class TFakeMemory : public TElfSource {
public:
    TFakeMemory(std::string_view Bytes, uint64_t ABase) : Data(Bytes), Base(ABase) {}
    bool Read(uint64_t Offset, void* Out, std::size_t Size) const override
    {
        return Offset >= Base && Data.Read(Offset - Base, Out, Size);
    }

private:
    TElfBytes Data;
    uint64_t Base;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, std::size_t Size)
{
    const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);
    if (auto File = TElfFile::Open(std::make_unique<TElfBytes>(Bytes))) {
        for (const auto& X : File->Sections())
            (void)File->ReadSection(X, 1u << 20);
        (void)File->FindSectionNoCase(".rsrc.RCDATA.TKELEXCEPT");
        (void)File->FindNote("Tolvex", 1);
        (void)File->ImageSize();
        TElfSymbolMap Map(File->Symbols(false));
        (void)Map.Find(0x1000);
        (void)File->Symbols(true);
    }
    constexpr uint64_t Base = 0x400000;
    auto Memory = std::make_shared<TFakeMemory>(Bytes, Base);
    if (auto Image = TElfLoadedImage::Open(Base, Memory)) {
        (void)Image->FindSymbol("main");
        (void)Image->FindSymbol("printf");
        (void)Image->SymbolNameAt(Base + 0x1000);
        (void)Image->FindNote("Tolvex", 1);
        (void)Image->ImageSize();
    }
    (void)FindNoteInBlock(Bytes, "Tolvex", 1, 4);
    (void)FindNoteInBlock(Bytes, "GNU", 5, 8);
    return 0;
}
