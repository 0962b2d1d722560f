// Component streams: the binary property layout in which the crash reporter
// keeps its settings section and its assistant forms.
//
// A stream starts with the signature "TPF0". An object is a class name and an
// object name (each a length byte and its bytes), then its property records
// up to a zero length byte; a form goes on with its child objects, again up to
// a zero byte. A property record is a length byte, the property's name, a
// value tag and the value:
//
//   tag  value                                          read as
//    2   signed 8-bit integer                           integer
//    3   signed 16-bit integer, little-endian           integer
//    4   signed 32-bit integer, little-endian           integer
//    6   length byte + Windows-1252 bytes               text
//    7   identifier: length byte + UTF-8 bytes          text
//    8   false (no value bytes)                         boolean
//    9   true (no value bytes)                          boolean
//   12   32-bit length + Windows-1252 bytes             text
//   18   32-bit character count + UTF-16LE characters   text
//   20   32-bit byte length + UTF-8 bytes               text
//
// The bytes come from a file that anyone may have edited, so the reader trusts
// nothing: every length and count is checked against the bytes left before it
// is used, and a record that does not fit ends the reading. Texts come out as
// UTF-8; ill-formed UTF-8 or UTF-16 turns into U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The four bytes every component stream begins with.
inline constexpr std::string_view StreamSignature = "TPF0";

// Names in streams (of classes, properties and keys) are compared without
// regard to the case of ASCII letters.
constexpr bool SameAsciiText(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
        return false;
    for (std::size_t I = 0; I < A.size(); ++I) {
        char X = A[I], Y = B[I];
        if (X >= 'a' && X <= 'z')
            X = static_cast<char>(X - 'a' + 'A');
        if (Y >= 'a' && Y <= 'z')
            Y = static_cast<char>(Y - 'a' + 'A');
        if (X != Y)
            return false;
    }
    return true;
}

enum TStreamTag : std::uint8_t {
    stInt8 = 2,
    stInt16 = 3,
    stInt32 = 4,
    stString = 6,
    stIdent = 7,
    stFalse = 8,
    stTrue = 9,
    stLString = 12,
    stWString = 18,
    stUtf8String = 20,
};

enum class TStreamValueKind : std::uint8_t { svInt, svBool, svText };

// One property value as read; Tag tells how it was stored.
struct TStreamValue {
    TStreamValueKind Kind = TStreamValueKind::svInt;
    std::uint8_t Tag = stInt32;
    std::int32_t Int = 0;
    bool Bool = false;
    std::string Text; // UTF-8

    // The value as text, as the assistant forms take every property: an
    // integer in decimal, a boolean as "0" or "1", a text as it is.
    std::string AsText() const;
};

struct TStreamProperty {
    std::string Name; // the name's bytes as stored
    TStreamValue Value;
};

enum class TStreamStatus : std::uint8_t {
    ssOk,         // a property was read
    ssEnd,        // the zero length byte that ends a list was read
    ssUnknownTag, // a tag outside the table above; see TStreamReader::LastTag
    ssTruncated,  // the bytes ended inside a record
};

// Reads a stream front to back. Every Read... either takes what it asks for
// and answers true (or ssOk / ssEnd), or takes nothing it could not check and
// answers false (or ssUnknownTag / ssTruncated); the reader never looks
// outside its bytes. It does not own them: they must outlive it.
class TStreamReader {
public:
    explicit TStreamReader(std::string_view ABytes) : Bytes(ABytes) {}

    // The signature "TPF0".
    bool ReadSignature();
    // A length byte and that many bytes (class, object and property names).
    bool ReadShortString(std::string& Out);
    // A class name and an object name: the head of an object.
    bool ReadObjectHead(std::string& ClassName, std::string& ObjectName);
    // One property record, or the zero byte that ends the list (ssEnd). After
    // ssUnknownTag the reader stands behind the unknown tag and LastTag names
    // it; nothing after it can be read with sense.
    TStreamStatus ReadProperty(TStreamProperty& Out);
    // The value of a tag (already read) alone.
    TStreamStatus ReadValue(std::uint8_t Tag, TStreamValue& Out);

    bool ReadByte(std::uint8_t& Out);
    bool ReadBytes(std::size_t Count, std::string_view& Out);
    bool ReadInt16(std::int16_t& Out);
    bool ReadInt32(std::int32_t& Out);
    bool ReadUInt32(std::uint32_t& Out);

    std::uint8_t LastTag() const { return FLastTag; }
    std::size_t Position() const { return At; }
    std::size_t Remaining() const { return Bytes.size() - At; }
    bool AtEnd() const { return At == Bytes.size(); }

private:
    std::string_view Bytes;
    std::size_t At = 0;
    std::uint8_t FLastTag = 0;
};

// Builds a stream. Names are written as given and must be 1 to 255 bytes
// long; integers take the smallest tag that holds them; a text of ASCII
// characters is written as a short (up to 255 bytes) or long string, any other
// text as UTF-8 (tag 20), so that it reads back unchanged.
class TStreamWriter {
public:
    void WriteSignature();
    void WriteShortString(std::string_view Text);
    void WriteObjectHead(std::string_view ClassName, std::string_view ObjectName);
    void WriteInt(std::string_view Name, std::int32_t Value);
    void WriteBool(std::string_view Name, bool Value);
    void WriteText(std::string_view Name, std::string_view Utf8);
    // The zero byte that ends a list of properties or of child objects.
    void WriteEnd();

    const std::string& Bytes() const { return Out; }

private:
    void WriteName(std::string_view Name);
    void WriteUInt32(std::uint32_t Value);

    std::string Out;
};

// Windows-1252 bytes as UTF-8. The five codes that the code page leaves
// unassigned (81, 8D, 8F, 90, 9D hex) become the control characters of the
// same number, as the system's converter makes them.
std::string Cp1252ToUtf8(std::string_view Bytes);
// UTF-8 with every ill-formed part replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view Bytes);
