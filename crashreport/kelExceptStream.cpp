#include "crashreport/kelExceptStream.h"

#include "crashlib/kelStrings.h"

#include <limits>

namespace {

// Code points of the bytes 80..9F hex in Windows-1252; the five unassigned
// bytes keep their own number.
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool IsAscii(std::string_view Text)
{
    for (char C : Text)
        if (static_cast<unsigned char>(C) >= 0x80)
            return false;
    return true;
}

} // namespace

std::string TStreamValue::AsText() const
{
    switch (Kind) {
    case TStreamValueKind::svInt:
        return std::to_string(Int);
    case TStreamValueKind::svBool:
        return Bool ? "1" : "0";
    case TStreamValueKind::svText:
        break;
    }
    return Text;
}

// ---------------------------------------------------------------------------
// Reader

bool TStreamReader::ReadBytes(std::size_t Count, std::string_view& Out)
{
    if (Count > Remaining())
        return false;
    Out = Bytes.substr(At, Count);
    At += Count;
    return true;
}

bool TStreamReader::ReadByte(std::uint8_t& Out)
{
    std::string_view B;
    if (!ReadBytes(1, B))
        return false;
    Out = static_cast<std::uint8_t>(B[0]);
    return true;
}

bool TStreamReader::ReadUInt32(std::uint32_t& Out)
{
    std::string_view B;
    if (!ReadBytes(4, B))
        return false;
    Out = 0;
    for (int I = 3; I >= 0; --I)
        Out = Out << 8 | static_cast<unsigned char>(B[I]);
    return true;
}

bool TStreamReader::ReadInt32(std::int32_t& Out)
{
    std::uint32_t U;
    if (!ReadUInt32(U))
        return false;
    Out = static_cast<std::int32_t>(U);
    return true;
}

bool TStreamReader::ReadInt16(std::int16_t& Out)
{
    std::string_view B;
    if (!ReadBytes(2, B))
        return false;
    Out = static_cast<std::int16_t>(static_cast<unsigned char>(B[0]) |
                                    static_cast<unsigned char>(B[1]) << 8);
    return true;
}

bool TStreamReader::ReadSignature()
{
    std::string_view B;
    const std::size_t Start = At;
    if (ReadBytes(StreamSignature.size(), B) && B == StreamSignature)
        return true;
    At = Start;
    return false;
}

bool TStreamReader::ReadShortString(std::string& Out)
{
    const std::size_t Start = At;
    std::uint8_t Length;
    std::string_view B;
    if (ReadByte(Length) && ReadBytes(Length, B)) {
        Out.assign(B);
        return true;
    }
    At = Start;
    return false;
}

bool TStreamReader::ReadObjectHead(std::string& ClassName, std::string& ObjectName)
{
    const std::size_t Start = At;
    if (ReadShortString(ClassName) && ReadShortString(ObjectName))
        return true;
    At = Start;
    return false;
}

TStreamStatus TStreamReader::ReadValue(std::uint8_t Tag, TStreamValue& Out)
{
    Out = TStreamValue();
    Out.Tag = Tag;
    std::string_view B;
    auto Text = [&](std::string Utf8) {
        Out.Kind = TStreamValueKind::svText;
        Out.Text = std::move(Utf8);
        return TStreamStatus::ssOk;
    };
    switch (Tag) {
    case stInt8: {
        std::uint8_t V;
        if (!ReadByte(V))
            return TStreamStatus::ssTruncated;
        Out.Int = static_cast<std::int8_t>(V);
        return TStreamStatus::ssOk;
    }
    case stInt16: {
        std::int16_t V;
        if (!ReadInt16(V))
            return TStreamStatus::ssTruncated;
        Out.Int = V;
        return TStreamStatus::ssOk;
    }
    case stInt32:
        return ReadInt32(Out.Int) ? TStreamStatus::ssOk : TStreamStatus::ssTruncated;
    case stFalse:
    case stTrue:
        Out.Kind = TStreamValueKind::svBool;
        Out.Bool = Tag == stTrue;
        return TStreamStatus::ssOk;
    case stString:
    case stIdent: {
        std::uint8_t Length;
        if (!ReadByte(Length) || !ReadBytes(Length, B))
            return TStreamStatus::ssTruncated;
        return Text(Tag == stString ? Cp1252ToUtf8(B) : SanitizeUtf8(B));
    }
    case stLString:
    case stUtf8String: {
        std::uint32_t Length;
        if (!ReadUInt32(Length) || !ReadBytes(Length, B))
            return TStreamStatus::ssTruncated;
        return Text(Tag == stLString ? Cp1252ToUtf8(B) : SanitizeUtf8(B));
    }
    case stWString: {
        std::uint32_t Count;
        // The count is of 16-bit characters: twice as many bytes must be left.
        if (!ReadUInt32(Count) || Count > Remaining() / 2 || !ReadBytes(Count * std::size_t{2}, B))
            return TStreamStatus::ssTruncated;
        std::u16string Wide(Count, u'\0');
        for (std::size_t I = 0; I < Count; ++I)
            Wide[I] = static_cast<char16_t>(static_cast<unsigned char>(B[2 * I]) |
                                            static_cast<unsigned char>(B[2 * I + 1]) << 8);
        return Text(WideToUtf8(Wide));
    }
    default:
        FLastTag = Tag;
        return TStreamStatus::ssUnknownTag;
    }
}

TStreamStatus TStreamReader::ReadProperty(TStreamProperty& Out)
{
    const std::size_t Start = At;
    std::uint8_t Length, Tag;
    std::string_view Name;
    if (!ReadByte(Length))
        return TStreamStatus::ssTruncated;
    if (Length == 0)
        return TStreamStatus::ssEnd;
    if (!ReadBytes(Length, Name) || !ReadByte(Tag)) {
        At = Start;
        return TStreamStatus::ssTruncated;
    }
    Out.Name.assign(Name);
    const TStreamStatus Status = ReadValue(Tag, Out.Value);
    if (Status == TStreamStatus::ssTruncated)
        At = Start;
    return Status;
}

// ---------------------------------------------------------------------------
// Writer

void TStreamWriter::WriteSignature()
{
    Out += StreamSignature;
}

void TStreamWriter::WriteShortString(std::string_view Text)
{
    if (Text.size() > 255)
        Text = Text.substr(0, 255);
    Out.push_back(static_cast<char>(Text.size()));
    Out += Text;
}

void TStreamWriter::WriteObjectHead(std::string_view ClassName, std::string_view ObjectName)
{
    WriteShortString(ClassName);
    WriteShortString(ObjectName);
}

void TStreamWriter::WriteName(std::string_view Name)
{
    // A zero length would read as the end of the list.
    WriteShortString(Name.empty() ? std::string_view("?") : Name);
}

void TStreamWriter::WriteUInt32(std::uint32_t Value)
{
    for (int I = 0; I < 4; ++I)
        Out.push_back(static_cast<char>(Value >> (8 * I) & 0xFF));
}

void TStreamWriter::WriteInt(std::string_view Name, std::int32_t Value)
{
    WriteName(Name);
    if (Value >= std::numeric_limits<std::int8_t>::min() &&
        Value <= std::numeric_limits<std::int8_t>::max()) {
        Out.push_back(static_cast<char>(stInt8));
        Out.push_back(static_cast<char>(Value));
    } else if (Value >= std::numeric_limits<std::int16_t>::min() &&
               Value <= std::numeric_limits<std::int16_t>::max()) {
        Out.push_back(static_cast<char>(stInt16));
        Out.push_back(static_cast<char>(Value & 0xFF));
        Out.push_back(static_cast<char>(Value >> 8 & 0xFF));
    } else {
        Out.push_back(static_cast<char>(stInt32));
        WriteUInt32(static_cast<std::uint32_t>(Value));
    }
}

void TStreamWriter::WriteBool(std::string_view Name, bool Value)
{
    WriteName(Name);
    Out.push_back(static_cast<char>(Value ? stTrue : stFalse));
}

void TStreamWriter::WriteText(std::string_view Name, std::string_view Utf8)
{
    WriteName(Name);
    const std::uint8_t Tag = !IsAscii(Utf8)       ? stUtf8String
                             : Utf8.size() <= 255 ? stString
                                                  : stLString;
    Out.push_back(static_cast<char>(Tag));
    if (Tag == stString)
        Out.push_back(static_cast<char>(Utf8.size()));
    else
        WriteUInt32(static_cast<std::uint32_t>(Utf8.size()));
    Out += Utf8;
}

void TStreamWriter::WriteEnd()
{
    Out.push_back('\0');
}

// ---------------------------------------------------------------------------
// Texts

std::string Cp1252ToUtf8(std::string_view Bytes)
{
    std::u16string Wide;
    Wide.reserve(Bytes.size());
    for (char C : Bytes) {
        const auto B = static_cast<unsigned char>(C);
        Wide.push_back(B >= 0x80 && B < 0xA0 ? Cp1252High[B - 0x80] : static_cast<char16_t>(B));
    }
    return WideToUtf8(Wide);
}

std::string SanitizeUtf8(std::string_view Bytes)
{
    return IsAscii(Bytes) ? std::string(Bytes) : WideToUtf8(Utf8ToWide(Bytes));
}
