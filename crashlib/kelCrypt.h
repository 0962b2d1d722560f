// Blowfish and Base64 for the crash reporter: it keeps the passwords of its
// settings and its packed map data enciphered, and needs Base64 for the mail
// and upload protocols.
//
// The cipher is the published Blowfish (64-bit blocks, 16 rounds, initial
// tables from the hexadecimal digits of pi). A cipher context lives only for
// one call: each call keys a fresh copy of the initial tables on its stack.
// Base64 is RFC 4648 with the standard alphabet and no line breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Runs Blowfish in place over Length div 8 blocks of Buffer; the trailing
// Length mod 8 bytes are left as they are.
//  - Counter != 0: counter mode. Before each block the counter's 8 bytes (in
//    memory order, read as a big-endian number) are incremented; the result is
//    run through the cipher (enciphered when Forward, else deciphered) and
//    combined by exclusive-or into the block. The same call enciphers and
//    deciphers; the caller's counter is not changed.
//  - Counter == 0 and !LittleEndianBlocks: electronic code book, each block
//    two big-endian words (the standard byte order).
//  - Counter == 0 and LittleEndianBlocks: each block one little-endian 64-bit
//    number whose high half is the left word.
// Only the first 72 bytes of the key count. With an empty key nothing can be
// keyed: the buffer is left unchanged and the result is false.
bool BlowfishBuf(void* Buffer, std::size_t Length, bool Forward, bool LittleEndianBlocks,
                 std::uint64_t Counter, std::string_view Key);

// Deciphers Data in the standard block order (counter mode when Counter != 0)
// and then removes its padding: when the last byte's value v is 1..8, the
// text holds at least v bytes and the v - 1 bytes before the last equal v,
// the last v bytes go. Text without valid padding keeps all its bytes. An
// empty text is left alone. False (and Data unchanged) for an empty key.
bool CryptStrUnpad(std::string& Data, std::string_view Key, std::uint64_t Counter);

// Enciphers / deciphers Data in place with little-endian blocks; trailing
// bytes beyond the last whole block stay as they are. False (and Data
// unchanged) for an empty key.
bool EncipherStr(std::string& Data, std::string_view Key);
bool DecipherStr(std::string& Data, std::string_view Key);

// Base64 text of the bytes, with "=" padding: (Length + 2) div 3 * 4 characters.
std::string Base64EncodeBuf(const void* Buffer, std::size_t Length);
std::string Base64Encode(std::string_view Data);

// Bytes of a Base64 text. The text's length must be a multiple of 4. The first
// character outside the alphabet stops decoding:
//  - "=" is padding only in the last group, as its fourth character or as its
//    third and fourth; then the group's one or two bytes end the result. Any
//    other "=" makes the whole text invalid: the result is empty.
//  - any other character: the result holds exactly the bytes decoded before it.
// *Valid (when given) is true only when the whole text was well-formed Base64;
// a length that is not a multiple of 4 gives an empty, invalid result. The
// empty text is valid and decodes to nothing.
std::string Base64DecodeBuf(const char* Text, std::size_t Length, bool* Valid = nullptr);
std::string Base64Decode(std::string_view Text, bool* Valid = nullptr);

// The published initial P-array and S-boxes: the fractional hexadecimal
// digits of pi, 32 bits per entry, the P-array first.
extern const std::uint32_t BlowfishInitialP[18];
extern const std::uint32_t BlowfishInitialS[4][256];
