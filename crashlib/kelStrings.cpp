#include "crashlib/kelStrings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <langinfo.h>

// glibc's XSI form of strerror_r: unlike the GNU form it reports a number it
// does not know (EINVAL) instead of writing "Unknown error N", which is what
// tells us to fall back to our own text.
extern "C" int __xpg_strerror_r(int ErrNum, char* Buf, size_t BufLen) noexcept;

namespace {

template <class C> using Str = std::basic_string<C>;
template <class C> using View = std::basic_string_view<C>;

unsigned Code(char C)
{
    return static_cast<unsigned char>(C);
}
unsigned Code(char16_t C)
{
    return C;
}

bool IsBlank(unsigned C)
{
    return C <= 32;
}

// Upper case by code point: a..z and the umlauts ä, ö, ü (U+00E4, U+00F6,
// U+00FC). UTF-8 text only ever goes through the ASCII half, as its bytes
// 0x80..0xFF are pieces of multibyte sequences, not Latin-1 letters.
char16_t UpWide(char16_t C)
{
    if (C >= u'a' && C <= u'z')
        return static_cast<char16_t>(C - 32);
    if (C == 0xE4 || C == 0xF6 || C == 0xFC)
        return static_cast<char16_t>(C - 32);
    return C;
}

char16_t LoWide(char16_t C)
{
    if (C >= u'A' && C <= u'Z')
        return static_cast<char16_t>(C + 32);
    if (C == 0xC4 || C == 0xD6 || C == 0xDC)
        return static_cast<char16_t>(C + 32);
    return C;
}

char UpNarrow(char C)
{
    return (C >= 'a' && C <= 'z') ? static_cast<char>(C - 32) : C;
}

char Up(char C)
{
    return UpNarrow(C);
}
char16_t Up(char16_t C)
{
    return UpWide(C);
}

template <class C> bool Same(C A, C B, bool IgnoreCase)
{
    return A == B || (IgnoreCase && Up(A) == Up(B));
}

bool InSet(const TKelCharSet& Set, unsigned C)
{
    return C < 256 && Set.test(C);
}

// Value of a hex digit, or 16 for any other character.
unsigned DigitValue(unsigned C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return 16;
}

template <class C> Str<C> Widen(std::string_view Ascii)
{
    return Str<C>(Ascii.begin(), Ascii.end());
}

int ClampToInt(size_t N)
{
    return N > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(N);
}

// The 0-based half-open range [First, Last) that Index/Count (1-based) covers
// in a text of Len characters: Index is clamped into 1..Len+1 and Count to
// what is left from there.
void ClampRange(size_t Len, int Index, int Count, size_t& First, size_t& Last)
{
    long long I = std::clamp<long long>(Index, 1, static_cast<long long>(Len) + 1);
    First = static_cast<size_t>(I - 1);
    long long N = std::clamp<long long>(Count, 0, static_cast<long long>(Len - First));
    Last = First + static_cast<size_t>(N);
}

// --- Templates shared by the "A" and "W" forms -----------------------------

template <class C> void TrimT(Str<C>& S)
{
    size_t B = 0, E = S.size();
    while (B < E && IsBlank(Code(S[B])))
        ++B;
    while (E > B && IsBlank(Code(S[E - 1])))
        --E;
    if (B > 0 || E < S.size())
        S = S.substr(B, E - B);
}

// Replacement as a single left-to-right pass over a stream made of the tail
// of the output still to be searched (the re-scanned part of the last
// replacement) followed by the unread input; this keeps the work linear in
// the text times the length of Search, where splicing into S would be
// quadratic for long texts.
template <class C>
void ReplaceT(Str<C>& S, View<C> Search, View<C> Replacement, bool IgnoreCase, bool ReScan)
{
    const size_t M = Search.size();
    if (M == 0 || S.size() < M)
        return;
    // How much of an inserted replacement is searched again: from its first
    // character, or its second when it is longer than Search, but never a
    // match that lies wholly inside it (that would recur at every step).
    size_t Again = 0;
    if (ReScan && !Replacement.empty()) {
        size_t Start = Replacement.size() > M ? 1 : 0;
        Start = std::max(Start, Replacement.size() + 1 > M ? Replacement.size() + 1 - M : 0);
        Again = Replacement.size() > Start ? Replacement.size() - Start : 0;
    }

    Str<C> Out;
    size_t In = 0;   // next unread character of S
    size_t Tail = 0; // characters at the end of Out that are still to be searched
    bool Changed = false;
    auto At = [&](size_t K) { return K < Tail ? Out[Out.size() - Tail + K] : S[In + K - Tail]; };
    while (Tail + (S.size() - In) >= M) {
        bool Hit = true;
        for (size_t K = 0; K < M && Hit; ++K)
            Hit = Same(At(K), Search[K], IgnoreCase);
        if (Hit) {
            if (!Changed) {
                Out.reserve(S.size());
                Changed = true;
            }
            // Tail < M always, so the match ends in the unread input.
            Out.resize(Out.size() - Tail);
            In += M - Tail;
            Out.append(Replacement);
            Tail = Again;
        } else if (Tail > 0) {
            --Tail;
        } else {
            Out.push_back(S[In++]);
        }
    }
    if (!Changed)
        return;
    Out.append(S, In, Str<C>::npos);
    S = std::move(Out);
}

template <class C> Str<C> CopyDeleteT(View<C> S, int Index, int Count)
{
    size_t First, Last;
    ClampRange(S.size(), Index, Count, First, Last);
    Str<C> R(S.substr(0, First));
    R.append(S.substr(Last));
    return R;
}

template <class C> void CopyInPlaceT(Str<C>& S, int Index, int Count)
{
    size_t First, Last;
    ClampRange(S.size(), Index, Count, First, Last);
    S = S.substr(First, Last - First);
}

template <class C> bool TextEqualT(View<C> A, View<C> B)
{
    if (A.size() != B.size())
        return false;
    for (size_t I = 0; I < A.size(); ++I)
        if (!Same(A[I], B[I], true))
            return false;
    return true;
}

template <class C> int PosExCoreT(View<C> Sub, View<C> Text, int From, int To, bool IgnoreCase)
{
    const size_t M = Sub.size();
    if (M == 0 || M > Text.size())
        return -1;
    // Last index at which a match can start (a text beyond 2 GiB is searched
    // only as far as an int can count).
    const long long Max = std::min<long long>(static_cast<long long>(Text.size() - M), INT_MAX);
    auto MatchAt = [&](long long I) {
        for (size_t K = 0; K < M; ++K)
            if (!Same(Text[static_cast<size_t>(I) + K], Sub[K], IgnoreCase))
                return false;
        return true;
    };
    if (To >= From) {
        for (long long I = std::max(From, 0), E = std::min<long long>(To, Max); I <= E; ++I)
            if (MatchAt(I))
                return static_cast<int>(I);
    } else {
        for (long long I = std::min<long long>(From, Max), E = std::max(To, 0); I >= E; --I)
            if (MatchAt(I))
                return static_cast<int>(I);
    }
    return -1;
}

// 1-based positions to 0-based ones, without overflow at INT_MIN.
int ZeroBased(int Pos)
{
    return Pos == INT_MIN ? INT_MIN : Pos - 1;
}

template <class C> int PosT(View<C> Sub, View<C> Text, int From, int To, bool IgnoreCase)
{
    return PosExCoreT(Sub, Text, ZeroBased(From), ZeroBased(To), IgnoreCase) + 1;
}

template <class C> bool BeginsWithT(View<C> Text, View<C> Prefix, bool IgnoreCase)
{
    return Prefix.size() <= Text.size() &&
           (IgnoreCase ? TextEqualT(Text.substr(0, Prefix.size()), Prefix)
                       : Text.substr(0, Prefix.size()) == Prefix);
}

// First 1-based position between From and To whose character is (Member) or
// is not (!Member) in Set; backwards when allowed and To lies before From.
template <class C>
int PosInSetT(const TKelCharSet& Set, View<C> Text, int From, int To, bool Member, bool Backwards)
{
    const long long Len = std::min<long long>(static_cast<long long>(Text.size()), INT_MAX);
    auto Hit = [&](long long P) {
        return InSet(Set, Code(Text[static_cast<size_t>(P - 1)])) == Member;
    };
    if (To >= From) {
        for (long long P = std::max(From, 1), E = std::min<long long>(To, Len); P <= E; ++P)
            if (Hit(P))
                return static_cast<int>(P);
    } else if (Backwards) {
        for (long long P = std::min<long long>(From, Len), E = std::max(To, 1); P >= E; --P)
            if (Hit(P))
                return static_cast<int>(P);
    }
    return 0;
}

template <class C> int SubStrCountT(View<C> Text, C Sep)
{
    if (Text.empty())
        return 0;
    return ClampToInt(static_cast<size_t>(std::count(Text.begin(), Text.end(), Sep)) + 1);
}

template <class C> View<C> SubStrT(View<C> Text, int Index, C Sep)
{
    if (Index < 1 || Text.empty())
        return {};
    size_t Begin = 0;
    for (int I = 1; I < Index; ++I) {
        size_t P = Text.find(Sep, Begin);
        if (P == View<C>::npos)
            return {};
        Begin = P + 1;
    }
    size_t End = Text.find(Sep, Begin);
    return Text.substr(Begin, End == View<C>::npos ? View<C>::npos : End - Begin);
}

template <class C> bool ListContainsT(View<C> List, View<C> Item, C Sep, bool IgnoreCase)
{
    if (List.empty())
        return false;
    size_t Begin = 0;
    for (;;) {
        size_t End = List.find(Sep, Begin);
        View<C> Piece = List.substr(Begin, End == View<C>::npos ? View<C>::npos : End - Begin);
        if (IgnoreCase ? TextEqualT(Piece, Item) : Piece == Item)
            return true;
        if (End == View<C>::npos)
            return false;
        Begin = End + 1;
    }
}

template <class C> Str<C> DecimalT(int64_t Value)
{
    // The magnitude is taken unsigned, so the most negative value has one too.
    uint64_t U = Value < 0 ? 0 - static_cast<uint64_t>(Value) : static_cast<uint64_t>(Value);
    C Buf[21];
    size_t P = sizeof(Buf) / sizeof(Buf[0]);
    do {
        Buf[--P] = static_cast<C>('0' + U % 10);
        U /= 10;
    } while (U != 0);
    if (Value < 0)
        Buf[--P] = C('-');
    return Str<C>(Buf + P, Buf + sizeof(Buf) / sizeof(Buf[0]));
}

template <class C> Str<C> HexT(uint64_t U)
{
    static constexpr char Digits[] = "0123456789abcdef";
    C Buf[16];
    size_t P = 16;
    do {
        Buf[--P] = static_cast<C>(Digits[U & 15]);
        U >>= 4;
    } while (U != 0);
    return Str<C>(Buf + P, Buf + 16);
}

template <class C> void PadT(Str<C>& S, long long Count, bool Left, C Fill)
{
    if (Count <= 0)
        return;
    const size_t N = static_cast<size_t>(Count);
    if (!Left)
        S.append(N, Fill);
    else if (Code(Fill) >= '0' && Code(Fill) <= '9' && !S.empty() && S[0] == C('-'))
        S.insert(1, N, Fill);
    else
        S.insert(0, N, Fill);
}

long long Magnitude(int MinLen)
{
    return MinLen < 0 ? -static_cast<long long>(MinLen) : MinLen;
}

template <class C> Str<C> FillT(Str<C> S, int MinLen, C Fill)
{
    PadT(S, Magnitude(MinLen) - static_cast<long long>(S.size()), MinLen > 0, Fill);
    return S;
}

template <class C> Str<C> HexPadT(uint64_t Value, int MinLen, C Fill)
{
    Str<C> T = HexT<C>(Value);
    const long long Count = Magnitude(MinLen) - static_cast<long long>(T.size());
    if (MinLen >= 0 && DigitValue(Code(Fill)) > 15) {
        T.insert(T.begin(), C('$'));
        PadT(T, Count, true, Fill);
        return T;
    }
    PadT(T, Count, MinLen > 0, Fill);
    T.insert(T.begin(), C('$'));
    return T;
}

template <class C> std::optional<int64_t> DigitsT(bool Hex, View<C> Text)
{
    size_t I = 0;
    const bool Negative = !Text.empty() && Text[0] == C('-');
    if (Negative)
        I = 1;
    const unsigned Base = Hex ? 16 : 10;
    // Largest magnitude: all 64 bits for a positive hex run (its bit
    // pattern), 2^63 for a negative one, 2^63 - 1 for a positive decimal one.
    const uint64_t Limit = Negative ? uint64_t(1) << 63
                           : Hex    ? UINT64_MAX
                                    : (uint64_t(1) << 63) - 1;
    uint64_t V = 0;
    size_t Start = I;
    for (; I < Text.size(); ++I) {
        unsigned D = DigitValue(Code(Text[I]));
        if (D >= Base)
            break;
        if (V > (Limit - D) / Base)
            return std::nullopt;
        V = V * Base + D;
    }
    if (I == Start)
        return std::nullopt;
    return static_cast<int64_t>(Negative ? 0 - V : V);
}

// --- Decimal separator --------------------------------------------------------

std::atomic<char16_t> CachedSeparator{0};

char16_t ReadSeparator()
{
    // nl_langinfo answers for the calling thread's locale (uselocale), else
    // the process's.
    const char* Radix = nl_langinfo(RADIXCHAR);
    if (Radix == nullptr || *Radix == '\0')
        return u',';
    std::u16string W = Utf8ToWide(Radix);
    if (W.empty() || W[0] == 0xFFFD)
        return u',';
    return W[0];
}

// --- Scrambled texts -----------------------------------------------------------

constexpr unsigned char ScrambleByte = 0x5A;

// "Error", stored scrambled like the library's other fixed words.
constexpr char ErrorWord[] = {'\x1f', '\x28', '\x28', '\x35', '\x28'};

} // namespace

TKelCharSet MakeCharSet(std::string_view Members)
{
    TKelCharSet Set;
    for (char C : Members)
        Set.set(static_cast<unsigned char>(C));
    return Set;
}

void TrimStrA(std::string& S)
{
    TrimT(S);
}
void TrimStrW(std::u16string& S)
{
    TrimT(S);
}
std::string RetTrimA(std::string_view S)
{
    std::string R(S);
    TrimT(R);
    return R;
}
std::u16string RetTrimW(std::u16string_view S)
{
    std::u16string R(S);
    TrimT(R);
    return R;
}

bool DeleteCharW(std::u16string& S, char16_t C)
{
    auto End = std::remove(S.begin(), S.end(), C);
    if (End == S.end())
        return false;
    S.erase(End, S.end());
    return true;
}

void DeleteCharSetW(std::u16string& S, const TKelCharSet& Set)
{
    S.erase(std::remove_if(S.begin(), S.end(), [&](char16_t C) { return InSet(Set, C); }), S.end());
}

void DeleteSubStrW(std::u16string& S, std::u16string_view Sub)
{
    ReplaceT<char16_t>(S, Sub, {}, false, false);
}

void ReplaceStrExA(std::string& S, std::string_view Search, std::string_view Replacement,
                   bool IgnoreCase, bool ReScan)
{
    ReplaceT(S, Search, Replacement, IgnoreCase, ReScan);
}
void ReplaceStrExW(std::u16string& S, std::u16string_view Search, std::u16string_view Replacement,
                   bool IgnoreCase, bool ReScan)
{
    ReplaceT(S, Search, Replacement, IgnoreCase, ReScan);
}
void ReplaceStrA(std::string& S, std::string_view Search, std::string_view Replacement, bool ReScan)
{
    ReplaceT(S, Search, Replacement, false, ReScan);
}
void ReplaceStrW(std::u16string& S, std::u16string_view Search, std::u16string_view Replacement,
                 bool ReScan)
{
    ReplaceT(S, Search, Replacement, false, ReScan);
}
void ReplaceTextA(std::string& S, std::string_view Search, std::string_view Replacement,
                  bool ReScan)
{
    ReplaceT(S, Search, Replacement, true, ReScan);
}
void ReplaceTextW(std::u16string& S, std::u16string_view Search, std::u16string_view Replacement,
                  bool ReScan)
{
    ReplaceT(S, Search, Replacement, true, ReScan);
}

std::string CopyDeleteA(std::string_view S, int Index, int Count)
{
    return CopyDeleteT(S, Index, Count);
}
std::u16string CopyDeleteW(std::u16string_view S, int Index, int Count)
{
    return CopyDeleteT(S, Index, Count);
}
void CopyInPlaceA(std::string& S, int Index, int Count)
{
    CopyInPlaceT(S, Index, Count);
}
void CopyInPlaceW(std::u16string& S, int Index, int Count)
{
    CopyInPlaceT(S, Index, Count);
}

std::u16string RightStrW(std::u16string_view S, int N)
{
    if (N <= 0)
        return {};
    const size_t K = std::min(S.size(), static_cast<size_t>(N));
    return std::u16string(S.substr(S.size() - K));
}

char UpCharA(char C)
{
    return UpNarrow(C);
}
std::string UpStrA(std::string_view S)
{
    std::string R(S);
    for (char& C : R)
        C = UpNarrow(C);
    return R;
}
char16_t UpCharW(char16_t C)
{
    return UpWide(C);
}
std::u16string UpStrW(std::u16string_view S)
{
    std::u16string R(S);
    for (char16_t& C : R)
        C = UpWide(C);
    return R;
}
std::u16string LoStrW(std::u16string_view S)
{
    std::u16string R(S);
    for (char16_t& C : R)
        C = LoWide(C);
    return R;
}

bool IsTextEqualA(std::string_view A, std::string_view B)
{
    return TextEqualT(A, B);
}
bool IsTextEqualW(std::u16string_view A, std::u16string_view B)
{
    return TextEqualT(A, B);
}

int CompareTextW(std::u16string_view A, std::u16string_view B)
{
    const size_t N = std::min(A.size(), B.size());
    for (size_t I = 0; I < N; ++I) {
        const int D = static_cast<int>(UpWide(A[I])) - static_cast<int>(UpWide(B[I]));
        if (D != 0)
            return D;
    }
    const long long D = static_cast<long long>(A.size()) - static_cast<long long>(B.size());
    return static_cast<int>(std::clamp<long long>(D, INT_MIN, INT_MAX));
}

std::u16string BoolToPlusMinusW(bool Value)
{
    return Value ? u"+" : u"-";
}

size_t StrLenA(const char* S)
{
    return S == nullptr ? 0 : std::strlen(S);
}
size_t StrLenW(const char16_t* S)
{
    return S == nullptr ? 0 : std::char_traits<char16_t>::length(S);
}

int PosExCoreA(std::string_view Sub, std::string_view Text, int From, int To, bool IgnoreCase)
{
    return PosExCoreT(Sub, Text, From, To, IgnoreCase);
}
int PosExCoreW(std::u16string_view Sub, std::u16string_view Text, int From, int To, bool IgnoreCase)
{
    return PosExCoreT(Sub, Text, From, To, IgnoreCase);
}
int PosStrA(std::string_view Sub, std::string_view Text, int From, int To)
{
    return PosT(Sub, Text, From, To, false);
}
int PosStrW(std::u16string_view Sub, std::u16string_view Text, int From, int To)
{
    return PosT(Sub, Text, From, To, false);
}
int PosTextA(std::string_view Sub, std::string_view Text, int From, int To)
{
    return PosT(Sub, Text, From, To, true);
}
int PosTextW(std::u16string_view Sub, std::u16string_view Text, int From, int To)
{
    return PosT(Sub, Text, From, To, true);
}

bool BeginsWithStrA(std::string_view Text, std::string_view Prefix)
{
    return BeginsWithT(Text, Prefix, false);
}
bool BeginsWithStrW(std::u16string_view Text, std::u16string_view Prefix)
{
    return BeginsWithT(Text, Prefix, false);
}
bool BeginsWithTextW(std::u16string_view Text, std::u16string_view Prefix)
{
    return BeginsWithT(Text, Prefix, true);
}

int PosCharSetA(const TKelCharSet& Set, std::string_view Text, int From, int To)
{
    return PosInSetT(Set, Text, From, To, true, false);
}
int PosCharSetW(const TKelCharSet& Set, std::u16string_view Text, int From, int To)
{
    return PosInSetT(Set, Text, From, To, true, false);
}
int PosNotInCharSetW(const TKelCharSet& Set, std::u16string_view Text, int From, int To)
{
    return PosInSetT(Set, Text, From, To, false, true);
}

int SubStrCountA(std::string_view Text, char Sep)
{
    return SubStrCountT(Text, Sep);
}
int SubStrCountW(std::u16string_view Text, char16_t Sep)
{
    return SubStrCountT(Text, Sep);
}
std::string SubStrA(std::string_view Text, int Index, char Sep)
{
    return std::string(SubStrT(Text, Index, Sep));
}
std::u16string SubStrW(std::u16string_view Text, int Index, char16_t Sep)
{
    return std::u16string(SubStrT(Text, Index, Sep));
}
bool ListContainsStrW(std::u16string_view List, std::u16string_view Item, char16_t Sep)
{
    return ListContainsT(List, Item, Sep, false);
}
bool ListContainsTextW(std::u16string_view List, std::u16string_view Item, char16_t Sep)
{
    return ListContainsT(List, Item, Sep, true);
}

void TrimListW(std::u16string& List, char16_t Sep)
{
    // Item by item rather than character by character around the separators,
    // so that a separator that is itself a blank or control character (a tab,
    // a line feed) still divides the items.
    std::u16string Out;
    size_t Begin = 0;
    for (;;) {
        size_t End = List.find(Sep, Begin);
        size_t B = Begin, E = End == std::u16string::npos ? List.size() : End;
        while (B < E && IsBlank(List[B]))
            ++B;
        while (E > B && IsBlank(List[E - 1]))
            --E;
        if (E > B) {
            if (!Out.empty())
                Out.push_back(Sep);
            Out.append(List, B, E - B);
        }
        if (End == std::u16string::npos)
            break;
        Begin = End + 1;
    }
    List = std::move(Out);
}

bool IsValidIdentW(std::u16string_view Text, bool AllowDots)
{
    if (Text.empty())
        return false;
    auto Letter = [](char16_t C) {
        return (C >= u'a' && C <= u'z') || (C >= u'A' && C <= u'Z') || C == u'_' || C >= 256;
    };
    if (!Letter(Text[0]))
        return false;
    for (char16_t C : Text.substr(1))
        if (!Letter(C) && !(C >= u'0' && C <= u'9') && !(AllowDots && C == u'.'))
            return false;
    return true;
}

std::u16string ExtractFileNameW(std::u16string_view Path)
{
    const size_t P = Path.rfind(u'/');
    return std::u16string(P == Path.npos ? Path : Path.substr(P + 1));
}

std::u16string ExtractFilePathW(std::u16string_view Path)
{
    const size_t P = Path.rfind(u'/');
    return P == Path.npos ? std::u16string() : std::u16string(Path.substr(0, P + 1));
}

std::u16string ExtractFileDriveW(std::u16string_view Path)
{
    if (Path.size() >= 2 && Path[1] == u':')
        return std::u16string{Path[0], u':', u'/'};
    if (Path.size() >= 2 && Path[0] == u'/' && Path[1] == u'/') {
        // The delimiter that ends the share name: the second one from the
        // fourth character on ("//host/share/...").
        size_t P = Path.find(u'/', 3);
        if (P != Path.npos)
            P = Path.find(u'/', P + 1);
        std::u16string R(Path.substr(0, P));
        R.push_back(u'/');
        return R;
    }
    return std::u16string(Path);
}

std::u16string ExtractFileExtW(std::u16string_view Path)
{
    const size_t P = Path.rfind(u'.');
    return P == Path.npos ? std::u16string() : std::u16string(Path.substr(P));
}

std::string WideLowBytesToAnsi(const char16_t* S)
{
    std::string R;
    if (S == nullptr)
        return R;
    for (; *S != 0; ++S)
        R.push_back(static_cast<char>(*S & 0xFF));
    return R;
}

std::string IntToDecA(int32_t Value)
{
    return DecimalT<char>(Value);
}
std::u16string IntToDecW(int32_t Value)
{
    return DecimalT<char16_t>(Value);
}
std::string Int64ToDecA(int64_t Value)
{
    return DecimalT<char>(Value);
}
std::u16string Int64ToDecW(int64_t Value)
{
    return DecimalT<char16_t>(Value);
}
std::string CardToHexA(uint32_t Value)
{
    return HexT<char>(Value);
}
std::u16string CardToHexW(uint32_t Value)
{
    return HexT<char16_t>(Value);
}
std::string Int64ToHexA(int64_t Value)
{
    return HexT<char>(static_cast<uint64_t>(Value));
}

void PadStrA(std::string& S, int Count, bool Left, char Fill)
{
    PadT(S, Count, Left, Fill);
}
void PadStrW(std::u16string& S, int Count, bool Left, char16_t Fill)
{
    PadT(S, Count, Left, Fill);
}
std::string FillStrA(std::string_view S, int MinLen, char Fill)
{
    return FillT(std::string(S), MinLen, Fill);
}
std::u16string FillStrW(std::u16string_view S, int MinLen, char16_t Fill)
{
    return FillT(std::u16string(S), MinLen, Fill);
}

std::string IntToStrPadA(int32_t Value, int MinLen, char Fill)
{
    return FillT(DecimalT<char>(Value), MinLen, Fill);
}
std::u16string IntToStrPadW(int32_t Value, int MinLen, char16_t Fill)
{
    return FillT(DecimalT<char16_t>(Value), MinLen, Fill);
}
std::string CardToStrPadA(uint32_t Value, int MinLen, char Fill)
{
    return FillT(DecimalT<char>(Value), MinLen, Fill);
}
std::u16string CardToStrPadW(uint32_t Value, int MinLen, char16_t Fill)
{
    return FillT(DecimalT<char16_t>(Value), MinLen, Fill);
}
std::string Int64ToStrPadA(int64_t Value, int MinLen, char Fill)
{
    return FillT(DecimalT<char>(Value), MinLen, Fill);
}
std::u16string Int64ToStrPadW(int64_t Value, int MinLen, char16_t Fill)
{
    return FillT(DecimalT<char16_t>(Value), MinLen, Fill);
}

std::string IntToHexPadA(int32_t Value, int MinLen, char Fill)
{
    return HexPadT<char>(static_cast<uint32_t>(Value), MinLen, Fill);
}
std::u16string IntToHexPadW(int32_t Value, int MinLen, char16_t Fill)
{
    return HexPadT<char16_t>(static_cast<uint32_t>(Value), MinLen, Fill);
}
std::string CardToHexPadA(uint32_t Value, int MinLen, char Fill)
{
    return HexPadT<char>(Value, MinLen, Fill);
}
std::u16string CardToHexPadW(uint32_t Value, int MinLen, char16_t Fill)
{
    return HexPadT<char16_t>(Value, MinLen, Fill);
}
std::string Int64ToHexPadA(int64_t Value, int MinLen, char Fill)
{
    return HexPadT<char>(static_cast<uint64_t>(Value), MinLen, Fill);
}

std::optional<int64_t> DigitsToIntA(bool Hex, std::string_view Digits)
{
    return DigitsT(Hex, Digits);
}
std::optional<int64_t> DigitsToIntW(bool Hex, std::u16string_view Digits)
{
    return DigitsT(Hex, Digits);
}

std::u16string SizeToStrW(int64_t Bytes)
{
    const uint64_t U = Bytes < 0 ? 0 - static_cast<uint64_t>(Bytes) : static_cast<uint64_t>(Bytes);
    if (U < 1024)
        return DecimalT<char16_t>(static_cast<int64_t>(U)) + u" Bytes";
    uint64_t Hundredths;
    const char16_t* Unit;
    if (U < (uint64_t(1) << 20)) {
        Hundredths = U * 100 / 1024;
        Unit = u" KB";
    } else if (U < (uint64_t(1) << 30)) {
        Hundredths = (U / 1024) * 100 / 1024;
        Unit = u" MB";
    } else {
        Hundredths = (U / 1024 / 1024) * 100 / 1024;
        Unit = u" GB";
    }
    // At least 1024 of the unit below, so at least "1" and two decimals.
    std::u16string T = DecimalT<char16_t>(static_cast<int64_t>(Hundredths));
    T.insert(T.size() - 2, 1, GetDecimalSeparatorW());
    return T + Unit;
}

char16_t GetDecimalSeparatorW()
{
    char16_t Sep = CachedSeparator.load(std::memory_order_relaxed);
    if (Sep == 0) {
        // Two threads may both read it; they store the same value.
        Sep = ReadSeparator();
        CachedSeparator.store(Sep, std::memory_order_relaxed);
    }
    return Sep;
}

void OverrideDecimalSeparatorW(char16_t Separator)
{
    CachedSeparator.store(Separator, std::memory_order_relaxed);
}

std::u16string Utf8ToWide(std::string_view Utf8)
{
    std::u16string W;
    W.reserve(Utf8.size());
    const size_t N = Utf8.size();
    size_t I = 0;
    while (I < N) {
        const unsigned B = static_cast<unsigned char>(Utf8[I]);
        if (B < 0x80) {
            W.push_back(static_cast<char16_t>(B));
            ++I;
            continue;
        }
        // Length and the allowed range of the second byte, which is where
        // overlong forms, encoded surrogates and values above U+10FFFF show.
        size_t Len;
        unsigned Lo = 0x80, Hi = 0xBF, Value;
        if (B >= 0xC2 && B <= 0xDF) {
            Len = 2;
            Value = B & 0x1F;
        } else if (B >= 0xE0 && B <= 0xEF) {
            Len = 3;
            Value = B & 0x0F;
            if (B == 0xE0)
                Lo = 0xA0;
            else if (B == 0xED)
                Hi = 0x9F;
        } else if (B >= 0xF0 && B <= 0xF4) {
            Len = 4;
            Value = B & 0x07;
            if (B == 0xF0)
                Lo = 0x90;
            else if (B == 0xF4)
                Hi = 0x8F;
        } else {
            W.push_back(0xFFFD);
            ++I;
            continue;
        }
        size_t K = 1;
        for (; K < Len && I + K < N; ++K) {
            const unsigned C = static_cast<unsigned char>(Utf8[I + K]);
            if (C < Lo || C > Hi)
                break;
            Value = (Value << 6) | (C & 0x3F);
            Lo = 0x80;
            Hi = 0xBF;
        }
        if (K < Len) {
            // The longest valid beginning of a sequence counts as one error.
            W.push_back(0xFFFD);
            I += K;
            continue;
        }
        I += Len;
        if (Value >= 0x10000) {
            Value -= 0x10000;
            W.push_back(static_cast<char16_t>(0xD800 + (Value >> 10)));
            W.push_back(static_cast<char16_t>(0xDC00 + (Value & 0x3FF)));
        } else {
            W.push_back(static_cast<char16_t>(Value));
        }
    }
    return W;
}

std::string WideToUtf8(std::u16string_view Wide)
{
    std::string S;
    S.reserve(Wide.size() + Wide.size() / 2);
    const size_t N = Wide.size();
    for (size_t I = 0; I < N; ++I) {
        unsigned C = Wide[I];
        if (C >= 0xD800 && C <= 0xDFFF) {
            if (C <= 0xDBFF && I + 1 < N && Wide[I + 1] >= 0xDC00 && Wide[I + 1] <= 0xDFFF) {
                C = 0x10000 + ((C - 0xD800) << 10) + (Wide[I + 1] - 0xDC00u);
                ++I;
            } else {
                C = 0xFFFD;
            }
        }
        if (C < 0x80) {
            S.push_back(static_cast<char>(C));
        } else if (C < 0x800) {
            S.push_back(static_cast<char>(0xC0 | (C >> 6)));
            S.push_back(static_cast<char>(0x80 | (C & 0x3F)));
        } else if (C < 0x10000) {
            S.push_back(static_cast<char>(0xE0 | (C >> 12)));
            S.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
            S.push_back(static_cast<char>(0x80 | (C & 0x3F)));
        } else {
            S.push_back(static_cast<char>(0xF0 | (C >> 18)));
            S.push_back(static_cast<char>(0x80 | ((C >> 12) & 0x3F)));
            S.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
            S.push_back(static_cast<char>(0x80 | (C & 0x3F)));
        }
    }
    return S;
}

std::string ErrorCodeToStrA(int Code)
{
    char Buf[512];
    if (__xpg_strerror_r(Code, Buf, sizeof(Buf)) != 0 || Buf[0] == '\0')
        return UnscrambleStrA(std::string_view(ErrorWord, sizeof(ErrorWord))) + " " +
               CardToHexPadA(static_cast<uint32_t>(Code), 1, '0');
    std::string Text(Buf);
    std::replace(Text.begin(), Text.end(), '\r', ' ');
    Text.erase(std::remove(Text.begin(), Text.end(), '\n'), Text.end());
    return Text;
}

std::u16string ErrorCodeToStrW(int Code)
{
    return Utf8ToWide(ErrorCodeToStrA(Code));
}

std::string UnscrambleStrA(std::string_view Stored)
{
    std::string R(Stored);
    for (char& C : R)
        C = static_cast<char>(static_cast<unsigned char>(C) ^ ScrambleByte);
    return R;
}
