// Any bytes as a raw Deflate stream: our decoder must agree with zlib's on
// whether the stream is valid and, when it is, on every byte it gives. A
// stream that decodes also goes through our encoder and back.
#include "crashlib/kelZip.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Larger than any output a fuzzer input of the default length can give
// (1032 bytes per input byte), so that capacity is never the difference.
constexpr std::size_t Capacity = 1 << 22;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    static std::vector<std::uint8_t> Ours(Capacity);
    static std::vector<std::uint8_t> Theirs(Capacity);
    const auto Produced = UncompressBuf(Data, Ours.data(), Size, Capacity);

    z_stream Z{};
    if (inflateInit2(&Z, -15) != Z_OK) {
        return 0;
    }
    Z.next_in = const_cast<std::uint8_t*>(Data);
    Z.avail_in = static_cast<uInt>(Size);
    Z.next_out = Theirs.data();
    Z.avail_out = static_cast<uInt>(Capacity);
    const int Rc = inflate(&Z, Z_FINISH);
    const std::size_t TheirSize = Z.total_out;
    inflateEnd(&Z);
    if (TheirSize == Capacity) {
        return 0; // too large to judge
    }
    if (Produced.has_value() != (Rc == Z_STREAM_END)) {
        __builtin_trap();
    }
    if (!Produced) {
        return 0;
    }
    if (*Produced != TheirSize || std::memcmp(Ours.data(), Theirs.data(), TheirSize) != 0) {
        __builtin_trap();
    }
    std::vector<std::uint8_t> Packed(CompressBufCapacity(TheirSize));
    const std::size_t PackedSize =
        CompressBuf(Ours.data(), Packed.data(), TheirSize, Packed.size());
    const auto Back = UncompressBuf(Packed.data(), Theirs.data(), PackedSize, Capacity);
    if (PackedSize == 0 || !Back || *Back != TheirSize ||
        std::memcmp(Ours.data(), Theirs.data(), TheirSize) != 0) {
        __builtin_trap();
    }
    return 0;
}
