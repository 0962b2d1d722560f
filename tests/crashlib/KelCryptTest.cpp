// Blowfish against OpenSSL's reference cipher and the digits of pi; Base64
// against Python's base64 module.
#include "crashlib/kelCrypt.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

// OpenSSL 3 keeps Blowfish only in its deprecated low-level interface.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Pi in fixed point: word 0 the integer part, then 32-bit fraction words,
// most significant first.

using Fixed = std::vector<std::uint32_t>;

// Divides in place; returns false when the value is zero from First on.
void DivideSmall(Fixed& X, std::uint32_t D, std::size_t First)
{
    std::uint64_t Rem = 0;
    for (std::size_t I = First; I < X.size(); ++I) {
        const std::uint64_t Cur = (Rem << 32) | X[I];
        X[I] = static_cast<std::uint32_t>(Cur / D);
        Rem = Cur % D;
    }
}

void AddOrSubtract(Fixed& A, const Fixed& B, bool Subtract)
{
    std::int64_t Carry = 0;
    for (std::size_t I = A.size(); I-- > 0;) {
        std::int64_t V = std::int64_t(A[I]) + (Subtract ? -std::int64_t(B[I]) : B[I]) + Carry;
        Carry = V < 0 ? -1 : (V >> 32);
        A[I] = static_cast<std::uint32_t>(V);
    }
}

void MultiplySmall(Fixed& X, std::uint32_t M)
{
    std::uint64_t Carry = 0;
    for (std::size_t I = X.size(); I-- > 0;) {
        const std::uint64_t V = std::uint64_t(X[I]) * M + Carry;
        X[I] = static_cast<std::uint32_t>(V);
        Carry = V >> 32;
    }
}

// arctan(1/X) = 1/X - 1/(3 X^3) + 1/(5 X^5) - ...
Fixed ArctanOfInverse(std::uint32_t X, std::size_t Words)
{
    Fixed Power(Words, 0);
    Power[0] = 1;
    DivideSmall(Power, X, 0);
    Fixed Sum = Power;
    std::size_t First = 0;
    for (std::uint32_t K = 1;; ++K) {
        DivideSmall(Power, X * X, First);
        while (First < Words && Power[First] == 0) {
            ++First;
        }
        if (First == Words) {
            break;
        }
        Fixed Term = Power;
        DivideSmall(Term, 2 * K + 1, First);
        AddOrSubtract(Sum, Term, K % 2 == 1);
    }
    return Sum;
}

// Machin: pi = 16 arctan(1/5) - 4 arctan(1/239).
Fixed ComputePi(std::size_t FractionWords)
{
    const std::size_t Words = 1 + FractionWords + 4; // four guard words
    Fixed Pi = ArctanOfInverse(5, Words);
    MultiplySmall(Pi, 16);
    Fixed Small = ArctanOfInverse(239, Words);
    MultiplySmall(Small, 4);
    AddOrSubtract(Pi, Small, true);
    return Pi;
}

// ---------------------------------------------------------------------------

std::string RandomBytes(std::mt19937& Rng, std::size_t N)
{
    std::string S(N, '\0');
    for (char& C : S) {
        C = static_cast<char>(Rng() & 0xff);
    }
    return S;
}

enum class Order { Standard, LittleEndian, Counter };

// The reference for one call of BlowfishBuf, built from OpenSSL's single
// block function.
std::string Reference(std::string Data, const std::string& Key, bool Forward, Order How,
                      std::uint64_t CounterValue)
{
    BF_KEY K;
    BF_set_key(&K, static_cast<int>(Key.size()),
               reinterpret_cast<const unsigned char*>(Key.data()));
    const int Direction = Forward ? BF_ENCRYPT : BF_DECRYPT;
    unsigned char Counter[8];
    std::memcpy(Counter, &CounterValue, 8);
    for (std::size_t At = 0; At + 8 <= Data.size(); At += 8) {
        auto* Block = reinterpret_cast<unsigned char*>(Data.data() + At);
        unsigned char Tmp[8];
        switch (How) {
        case Order::Standard:
            BF_ecb_encrypt(Block, Block, &K, Direction);
            break;
        case Order::LittleEndian:
            std::reverse_copy(Block, Block + 8, Tmp);
            BF_ecb_encrypt(Tmp, Tmp, &K, Direction);
            std::reverse_copy(Tmp, Tmp + 8, Block);
            break;
        case Order::Counter:
            for (int I = 7; I >= 0 && ++Counter[I] == 0; --I) {
            }
            BF_ecb_encrypt(Counter, Tmp, &K, Direction);
            for (int I = 0; I < 8; ++I) {
                Block[I] ^= Tmp[I];
            }
            break;
        }
    }
    return Data;
}

std::string Hex(const std::string& Bytes)
{
    static const char Digits[] = "0123456789abcdef";
    std::string S;
    for (unsigned char C : Bytes) {
        S += Digits[C >> 4];
        S += Digits[C & 15];
    }
    return S;
}

std::string Unhex(const std::string& Text)
{
    std::string S;
    for (std::size_t I = 0; I + 1 < Text.size(); I += 2) {
        S += static_cast<char>(std::stoi(Text.substr(I, 2), nullptr, 16));
    }
    return S;
}

} // namespace

TEST(CrashlibBlowfish, InitialTablesAreTheFractionalHexDigitsOfPi)
{
    const Fixed Pi = ComputePi(18 + 4 * 256);
    ASSERT_EQ(Pi[0], 3u);
    for (int I = 0; I < 18; ++I) {
        ASSERT_EQ(BlowfishInitialP[I], Pi[1 + I]) << "P[" << I << "]";
    }
    for (int Box = 0; Box < 4; ++Box) {
        for (int I = 0; I < 256; ++I) {
            ASSERT_EQ(BlowfishInitialS[Box][I], Pi[1 + 18 + 256 * Box + I])
                << "S" << Box << "[" << I << "]";
        }
    }
}

// Keys of 1 to 80 bytes (beyond 72 bytes, the rest of the key must not
// count), both directions, all three block orders, and a length that takes
// both the several-blocks-at-once and the single-block paths plus trailing
// bytes that must stay as they are.
TEST(CrashlibBlowfish, EqualsOpenSslForEveryKeyLengthAndBlockOrder)
{
    std::mt19937 Rng(104);
    // Counters given as their bytes in memory order: plain, a carry over
    // several bytes, and the wrap of the all-ones counter.
    const std::vector<std::vector<unsigned char>> CounterBytes = {
        {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef},
        {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xfd},
        {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe},
    };
    for (std::size_t KeyLength = 1; KeyLength <= 80; ++KeyLength) {
        const std::string Key = RandomBytes(Rng, KeyLength);
        const std::string Plain = RandomBytes(Rng, 8 * 9 + 5);
        for (bool Forward : {true, false}) {
            SCOPED_TRACE("key length " + std::to_string(KeyLength) +
                         (Forward ? " forward" : " backward"));
            std::string Ours = Plain;
            ASSERT_TRUE(BlowfishBuf(Ours.data(), Ours.size(), Forward, false, 0, Key));
            EXPECT_EQ(Hex(Ours), Hex(Reference(Plain, Key, Forward, Order::Standard, 0)));

            Ours = Plain;
            ASSERT_TRUE(Forward ? EncipherStr(Ours, Key) : DecipherStr(Ours, Key));
            EXPECT_EQ(Hex(Ours), Hex(Reference(Plain, Key, Forward, Order::LittleEndian, 0)));

            for (const auto& Bytes : CounterBytes) {
                std::uint64_t Counter;
                std::memcpy(&Counter, Bytes.data(), 8);
                Ours = Plain;
                ASSERT_TRUE(BlowfishBuf(Ours.data(), Ours.size(), Forward, true, Counter, Key));
                EXPECT_EQ(Hex(Ours), Hex(Reference(Plain, Key, Forward, Order::Counter, Counter)));
            }
        }
    }
}

TEST(CrashlibBlowfish, RoundTripsAndLeavesTrailingBytes)
{
    const std::string Key = "Tolvex key";
    const std::string Plain = "0123456789ab"; // one block and four trailing bytes
    std::string Data = Plain;
    ASSERT_TRUE(BlowfishBuf(Data.data(), Data.size(), true, false, 0, Key));
    EXPECT_NE(Data.substr(0, 8), Plain.substr(0, 8));
    EXPECT_EQ(Data.substr(8), "89ab");
    ASSERT_TRUE(BlowfishBuf(Data.data(), Data.size(), false, false, 0, Key));
    EXPECT_EQ(Data, Plain);

    // Counter mode undoes itself, whichever the direction, as long as both
    // calls use the same one.
    std::string Long(100, 'x');
    for (bool Forward : {true, false}) {
        Data = Long;
        ASSERT_TRUE(BlowfishBuf(Data.data(), Data.size(), Forward, false, 77, Key));
        EXPECT_NE(Data, Long);
        ASSERT_TRUE(BlowfishBuf(Data.data(), Data.size(), Forward, false, 77, Key));
        EXPECT_EQ(Data, Long);
    }

    Data = Long;
    ASSERT_TRUE(EncipherStr(Data, Key));
    EXPECT_EQ(Data.substr(96), "xxxx");
    ASSERT_TRUE(DecipherStr(Data, Key));
    EXPECT_EQ(Data, Long);
}

TEST(CrashlibBlowfish, EmptyKeyLeavesDataUnchangedAndFails)
{
    const std::string Plain = "sixteen bytes!!!\x03\x03\x03";
    std::string Data = Plain;
    EXPECT_FALSE(BlowfishBuf(Data.data(), Data.size(), true, false, 0, ""));
    EXPECT_FALSE(BlowfishBuf(Data.data(), Data.size(), true, false, 5, ""));
    EXPECT_FALSE(EncipherStr(Data, ""));
    EXPECT_FALSE(DecipherStr(Data, ""));
    EXPECT_FALSE(CryptStrUnpad(Data, "", 0));
    EXPECT_EQ(Data, Plain);
    std::string Empty;
    EXPECT_FALSE(CryptStrUnpad(Empty, "", 0));
}

TEST(CrashlibBlowfish, CryptStrUnpadRemovesOnlyValidPadding)
{
    const std::string Key = "padding key";
    // Enciphers a plain text in the standard order, or in counter mode.
    const auto Encipher = [&](std::string Plain, std::uint64_t Counter) {
        EXPECT_TRUE(BlowfishBuf(Plain.data(), Plain.size(), true, false, Counter, Key));
        return Plain;
    };
    struct Case {
        std::string Plain;
        std::string Expected;
    };
    const std::vector<Case> Cases = {
        {std::string("passwd\x00\x00", 8) + "abcde\x03\x03\x03",
         "passwd" + std::string(2, '\0') + "abcde"},
        {"passwordabcdeabc", "passwordabcdeabc"},
        {"password\x08\x08\x08\x08\x08\x08\x08\x08", "password"},
        {"password\x01\x01\x01\x01\x01\x01\x01\x01", "password\x01\x01\x01\x01\x01\x01\x01"},
        {"passwordabcdef\x09\x09", "passwordabcdef\x09\x09"}, // 9 is no pad length
        {std::string("passwordabcdefg\x00", 16), std::string("passwordabcdefg\x00", 16)},
        {"passwordabcde\x02\x03\x03", "passwordabcde\x02\x03\x03"}, // mixed values
    };
    for (std::uint64_t Counter : {std::uint64_t(0), std::uint64_t(0x1122334455667788)}) {
        for (const Case& C : Cases) {
            std::string Data = Encipher(C.Plain, Counter);
            ASSERT_TRUE(CryptStrUnpad(Data, Key, Counter));
            EXPECT_EQ(Hex(Data), Hex(C.Expected)) << Hex(C.Plain) << " counter " << Counter;
        }
    }
    // Texts shorter than a block are not enciphered, so the pad byte is seen
    // as it is: a pad length beyond the text's start is no padding.
    for (const std::string& Short :
         {std::string("\x05\x05\x05"), std::string("\x08"), std::string(7, '\x08')}) {
        std::string Data = Short;
        ASSERT_TRUE(CryptStrUnpad(Data, Key, 0));
        EXPECT_EQ(Data, Short);
    }
    std::string Data = "\x03\x03\x03";
    ASSERT_TRUE(CryptStrUnpad(Data, Key, 0));
    EXPECT_EQ(Data, "");
    Data.clear();
    EXPECT_TRUE(CryptStrUnpad(Data, Key, 0));
    EXPECT_EQ(Data, "");
}

TEST(CrashlibBase64, KnownTextsAndStops)
{
    EXPECT_EQ(Base64Encode("abc"), "YWJj");
    EXPECT_EQ(Base64Encode(std::string(1, '\0')), "AA==");
    EXPECT_EQ(Base64Encode(std::string(2, '\0')), "AAA=");
    EXPECT_EQ(Base64Encode(""), "");

    bool Valid = false;
    EXPECT_EQ(Base64Decode("YWJj", &Valid), "abc");
    EXPECT_TRUE(Valid);
    EXPECT_EQ(Base64Decode("", &Valid), "");
    EXPECT_TRUE(Valid);
    EXPECT_EQ(Base64Decode("YWJ", &Valid), "");
    EXPECT_FALSE(Valid);
    EXPECT_EQ(Base64Decode("YWJjZA", &Valid), "");
    EXPECT_FALSE(Valid);

    // Any other character outside the alphabet ends the text: exactly the
    // bytes decoded before it remain, also from an earlier group.
    struct Stop {
        std::string Text;
        std::string Bytes;
    };
    for (const Stop& S : std::vector<Stop>{{"QUJD*UJD", "ABC"},
                                           {"QUJDQ*JD", "ABC"},
                                           {"QUJDQU*D", "ABCA"},
                                           {"QUJDQUJ\n", "ABCAB"},
                                           {"QUJD\r\nQUJDQ=", "ABC"},
                                           {"QUJD\n===", "ABC"},
                                           {std::string("QU\0DQUJD", 8), "A"},
                                           {"\xc3\xa4QUJD==", ""}}) {
        EXPECT_EQ(Base64Decode(S.Text, &Valid), S.Bytes) << S.Text;
        EXPECT_FALSE(Valid) << S.Text;
    }
    // "=" anywhere but as padding of the last group spoils the whole text.
    for (const char* Bad : {"QUJD=UJD", "QUJDQ=JD", "QUJDQU=D", "QUI=QUJD", "QQ==QUJD",
                            "====", "QUJDQ===", "QUJDQUJD=QUJ"}) {
        Valid = true;
        EXPECT_EQ(Base64Decode(Bad, &Valid), "") << Bad;
        EXPECT_FALSE(Valid) << Bad;
    }
}

// Python's base64 is the oracle: encodings of every length 0..1000, and
// strict decoding of random texts over a few letters and "=", which must
// agree with ours on valid/invalid and on the bytes.
TEST(CrashlibBase64, AgreesWithPython)
{
    TempFolder Dir;
    const std::string Script = Dir.Path("oracle.py");
    const std::string Output = Dir.Path("oracle.txt");
    TempFolder::Write(Script, R"(import base64, binascii, random, sys
out = open(sys.argv[1], "w")
for n in range(1001):
    data = random.Random(n).randbytes(n)
    out.write("E %s %s\n" % (data.hex() or "-", base64.b64encode(data).decode() or "-"))
rng = random.Random(7)
for i in range(4000):
    text = "".join(rng.choice("AQgw+/=") for _ in range(rng.choice([4, 8, 12])))
    try:
        out.write("D %s %s\n" % (text, base64.b64decode(text, validate=True).hex() or "-"))
    except binascii.Error:
        out.write("D %s !\n" % text)
)");
    const std::string Command = "/usr/bin/python3 " + Script + " " + Output;
    ASSERT_EQ(std::system(Command.c_str()), 0);

    std::ifstream In(Output);
    std::string Kind;
    std::string A;
    std::string B;
    int Encoded = 0;
    int Decoded = 0;
    int Invalid = 0;
    while (In >> Kind >> A >> B) {
        if (A == "-") {
            A.clear();
        }
        if (B == "-") {
            B.clear();
        }
        bool Valid = false;
        if (Kind == "E") {
            const std::string Data = Unhex(A);
            ASSERT_EQ(Base64Encode(Data), B) << "length " << Data.size();
            ASSERT_EQ(Hex(Base64Decode(B, &Valid)), A) << B;
            ASSERT_TRUE(Valid) << B;
            ++Encoded;
        } else if (B == "!") {
            EXPECT_EQ(Base64Decode(A, &Valid), "") << A;
            EXPECT_FALSE(Valid) << A;
            ++Invalid;
        } else {
            EXPECT_EQ(Hex(Base64Decode(A, &Valid)), B) << A;
            EXPECT_TRUE(Valid) << A;
            ++Decoded;
        }
    }
    EXPECT_EQ(Encoded, 1001);
    EXPECT_EQ(Decoded + Invalid, 4000);
    // The random texts must exercise both outcomes.
    EXPECT_GT(Decoded, 100);
    EXPECT_GT(Invalid, 100);
}
