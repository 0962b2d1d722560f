#include "crashreport/send/kelExceptMime.h"

#include "crashlib/kelCrypt.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelExceptStream.h"
#include "crashreport/kelPrgrAlertLink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The code points of a UTF-8 text; none when it is not valid UTF-8.
std::optional<std::u32string> CodePoints(std::string_view Text)
{
    std::u32string Out;
    for (std::size_t I = 0; I < Text.size();) {
        const auto B = static_cast<unsigned char>(Text[I]);
        int Len = B < 0x80 ? 1 : (B >> 5) == 6 ? 2 : (B >> 4) == 14 ? 3 : (B >> 3) == 30 ? 4 : 0;
        if (Len == 0 || I + static_cast<std::size_t>(Len) > Text.size())
            return std::nullopt;
        char32_t C = Len == 1 ? B : B & (0x7F >> Len);
        for (int K = 1; K < Len; ++K) {
            const auto Next = static_cast<unsigned char>(Text[I + static_cast<std::size_t>(K)]);
            if ((Next & 0xC0) != 0x80)
                return std::nullopt;
            C = C << 6 | (Next & 0x3F);
        }
        static constexpr char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (C < Least[Len] || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF))
            return std::nullopt;
        Out += C;
        I += static_cast<std::size_t>(Len);
    }
    return Out;
}

// The length of the UTF-8 sequence a lead byte begins (1 for anything else).
std::size_t SequenceLength(unsigned char B)
{
    return B < 0xC0 ? 1 : B < 0xE0 ? 2 : B < 0xF0 ? 3 : 4;
}

bool IsAsciiLetterOrDigit(unsigned char C)
{
    return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
}

// Every byte but letters and digits: what the subject's Q-encoding escapes.
const TKelCharSet& NotLetterOrDigit()
{
    static const TKelCharSet Set = [] {
        TKelCharSet S;
        for (int C = 0; C < 256; ++C)
            S[static_cast<std::size_t>(C)] = !IsAsciiLetterOrDigit(static_cast<unsigned char>(C));
        return S;
    }();
    return Set;
}

// Encoded words for a text, each at most 75 characters, split at character
// boundaries; joined by Separator.
std::string EncodedWords(std::string_view Utf8, std::string_view Separator)
{
    constexpr std::size_t WordLimit = 75;
    const bool Latin1 = WritableInLatin1(Utf8);
    const std::string Prefix = Latin1 ? "=?ISO-8859-1?Q?" : "=?UTF-8?B?";
    const std::size_t Room = WordLimit - Prefix.size() - 2;
    std::string Out;
    std::string_view Rest = Utf8;
    do {
        // As many whole characters as fit into one word.
        std::size_t Take = 0;
        std::string Encoded;
        while (Take < Rest.size()) {
            const std::size_t Len = std::min(SequenceLength(static_cast<unsigned char>(Rest[Take])),
                                             Rest.size() - Take);
            const std::string_view Piece = Rest.substr(0, Take + Len);
            std::string Try = Latin1
                                  ? EncodeBytesInSet(Utf8ToLatin1(Piece), NotLetterOrDigit(), '=')
                                  : Base64Encode(Piece);
            if (Try.size() > Room && Take > 0)
                break;
            Encoded = std::move(Try);
            Take += Len;
        }
        if (!Out.empty())
            Out += Separator;
        Out += Prefix + Encoded + "?=";
        Rest.remove_prefix(Take);
    } while (!Rest.empty());
    return Out;
}

// Characters a phrase may hold without quotes: atext and blanks.
bool PlainPhrase(std::string_view Name)
{
    static constexpr std::string_view AText = "!#$%&'*+-/=?^_`{|}~ ";
    return std::all_of(Name.begin(), Name.end(), [](char C) {
        return IsAsciiLetterOrDigit(static_cast<unsigned char>(C)) ||
               AText.find(C) != std::string_view::npos;
    });
}

bool PrintableAscii(std::string_view Text)
{
    return std::all_of(Text.begin(), Text.end(), [](char C) { return C >= 0x20 && C < 0x7F; });
}

// A parameter value or phrase between double quotes, '"' and '\' escaped.
std::string QuotedString(std::string_view Text)
{
    std::string Out = "\"";
    for (char C : Text) {
        if (C == '"' || C == '\\')
            Out += '\\';
        Out += C;
    }
    return Out + "\"";
}

// A text for a header: itself when it is printable ASCII, else encoded words
// (quoted, Quote: as a parameter value).
std::string HeaderText(std::string_view Utf8, bool Quote)
{
    if (PrintableAscii(Utf8))
        return Quote ? QuotedString(Utf8) : std::string(Utf8);
    const std::string Words = EncodedWords(Utf8, " ");
    return Quote ? "\"" + Words + "\"" : Words;
}

// Line breaks made CR LF: a CR LF stays, a lone CR or LF becomes one.
std::string CrLfLines(std::string_view Text)
{
    std::string Out;
    Out.reserve(Text.size() + Text.size() / 32);
    for (std::size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == '\r') {
            Out += "\r\n";
            if (I + 1 < Text.size() && Text[I + 1] == '\n')
                ++I;
        } else if (Text[I] == '\n') {
            Out += "\r\n";
        } else {
            Out += Text[I];
        }
    }
    return Out;
}

bool LinesFitSmtp(std::string_view Text)
{
    std::size_t Line = 0;
    for (char C : Text) {
        Line = C == '\n' ? 0 : Line + 1;
        if (Line > 998 + 1) // the CR before the LF does not count
            return false;
    }
    return true;
}

// Base64 in lines of 76 characters joined by CR LF.
std::string Base64Lines(std::string_view Bytes)
{
    std::string Out;
    for (std::size_t At = 0; At < Bytes.size(); At += 57) {
        if (At != 0)
            Out += "\r\n";
        Out += Base64Encode(Bytes.substr(At, 57));
    }
    return Out;
}

std::string Boundary()
{
    std::uint32_t Random[3] = {};
    std::size_t Got = 0;
    while (Got < sizeof Random) {
        const ssize_t N =
            ::getrandom(reinterpret_cast<char*>(Random) + Got, sizeof Random - Got, 0);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            break;
        Got += static_cast<std::size_t>(N);
    }
    if (Got < sizeof Random) {
        // No entropy source: the time and the process id, still unlikely to
        // appear in any text.
        const auto Now = std::chrono::steady_clock::now().time_since_epoch().count();
        Random[0] = static_cast<std::uint32_t>(Now);
        Random[1] = static_cast<std::uint32_t>(Now >> 32);
        Random[2] = static_cast<std::uint32_t>(::getpid());
    }
    std::string S;
    for (const std::uint32_t R : Random)
        S += std::to_string(R & ((1u << 30) - 1));
    return S;
}

} // namespace

bool WritableInLatin1(std::string_view Utf8)
{
    const auto Points = CodePoints(Utf8);
    return Points &&
           std::all_of(Points->begin(), Points->end(), [](char32_t C) { return C < 256; });
}

std::string Utf8ToLatin1(std::string_view Utf8)
{
    std::string Out;
    if (const auto Points = CodePoints(Utf8))
        for (const char32_t C : *Points)
            Out += static_cast<char>(C < 256 ? C : '?');
    return Out;
}

std::string EncodeBytesInSet(std::string_view Text, const TKelCharSet& Set, char Escape)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string Out;
    Out.reserve(Text.size());
    for (const char C : Text) {
        const auto B = static_cast<unsigned char>(C);
        if (Set[B]) {
            Out += Escape;
            Out += Hex[B >> 4];
            Out += Hex[B & 15];
        } else {
            Out += C;
        }
    }
    return Out;
}

std::string FormatMailAddress(std::string_view Text, bool EncodeName)
{
    std::string_view Name, Address = Text;
    const std::size_t Lt = Text.rfind('<');
    if (Lt != std::string_view::npos) {
        Name = Text.substr(0, Lt);
        Address = Text.substr(Lt);
        while (!Name.empty() && (Name.back() == ' ' || Name.back() == '\t'))
            Name.remove_suffix(1);
        while (!Name.empty() && (Name.front() == ' ' || Name.front() == '\t'))
            Name.remove_prefix(1);
    }
    std::string Part;
    for (const char C : Address)
        if (static_cast<unsigned char>(C) >= 0x20 && C != 0x7F)
            Part += C;
    if (Lt == std::string_view::npos)
        Part = "<" + Part + ">";
    if (!EncodeName || Name.empty())
        return Part;
    // Line breaks and other control characters in a name become blanks:
    // they must not start a header of their own, nor can a mail program take
    // them from an encoded word.
    std::string Clean(Name);
    std::replace_if(
        Clean.begin(), Clean.end(),
        [](char C) { return static_cast<unsigned char>(C) < 0x20 || C == 0x7F; }, ' ');
    std::string Phrase;
    if (!PrintableAscii(Clean))
        Phrase = EncodedWords(Clean, " ");
    else if (PlainPhrase(Clean))
        Phrase = Clean;
    else
        Phrase = QuotedString(Clean);
    return Phrase + " " + Part;
}

std::string EncodeMailSubject(std::string_view Subject)
{
    if (Subject.empty())
        return {};
    return EncodedWords(Subject, "\r\n ");
}

TMailBody EncodeMailBody(std::string_view Body)
{
    const std::string Lines = CrLfLines(Body);
    TMailBody B;
    const bool Latin1 = WritableInLatin1(Lines);
    B.Charset = Latin1 ? "iso-8859-1" : "utf-8";
    const std::string Bytes = Latin1 ? Utf8ToLatin1(Lines) : SanitizeUtf8(Lines);
    if (Latin1 && LinesFitSmtp(Bytes)) {
        B.Encoding = "8bit";
        B.Text = Bytes;
    } else {
        B.Encoding = "base64";
        B.Text = Base64Lines(Bytes);
    }
    return B;
}

std::string MailDateTime(std::chrono::system_clock::time_point Time)
{
    static constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t Seconds = std::chrono::system_clock::to_time_t(Time);
    std::tm U{};
    gmtime_r(&Seconds, &U);
    const auto Two = [](int V) { return IntToStrPadA(V, 2, '0'); };
    return std::to_string(U.tm_mday) + " " + Months[U.tm_mon] + " " +
           std::to_string(U.tm_year + 1900) + " " + Two(U.tm_hour) + ":" + Two(U.tm_min) + ":" +
           Two(U.tm_sec) + " UT";
}

std::string NewMessageId(std::chrono::system_clock::time_point Time)
{
    // 100-ns ticks between 1601-01-01 and 1970-01-01.
    constexpr std::int64_t Epoch1601 = 116444736000000000;
    const auto Ticks =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Time.time_since_epoch()).count() /
            100 +
        Epoch1601;
    char Hex[17];
    std::snprintf(Hex, sizeof Hex, "%016llx", static_cast<unsigned long long>(Ticks));
    return "<" + std::string(Hex) + "@kelExcept>";
}

const std::string& MimeBoundary()
{
    static const std::string B = Boundary();
    return B;
}

std::string GetMimeType(std::string_view FileName)
{
    const std::size_t Dot = FileName.rfind('.');
    const std::size_t Slash = FileName.rfind('/');
    if (Dot == std::string_view::npos || (Slash != std::string_view::npos && Dot < Slash))
        return "application/octet-stream";
    const std::string Ext = UpStrA(FileName.substr(Dot));
    if (Ext == ".TXT" || Ext == ".KBR" || Ext == ".INI")
        return "text/plain";
    if (Ext == ".JPG" || Ext == ".JPEG")
        return "image/jpeg";
    if (Ext == ".PNG")
        return "image/png";
    if (Ext == ".ZIP")
        return "application/zip";
    return "application/octet-stream";
}

// ---------------------------------------------------------------------------------
// The message

std::string ComposeMailHead(const TMailMessage& Message)
{
    std::string To = Message.To;
    TidyAddressList(To);
    const std::string First = To.substr(0, To.find(','));
    const std::string From = FormatMailAddress(Message.From, true);
    const TMailBody Body = EncodeMailBody(Message.Body);
    const std::string& B = MimeBoundary();
    std::string H;
    H += "To: " + FormatMailAddress(First, true) + "\r\n";
    H += "From: " + From + "\r\n";
    H +=
        "Reply-To: " + (Message.ReplyTo.empty() ? From : FormatMailAddress(Message.ReplyTo, true)) +
        "\r\n";
    H += "Subject: " + EncodeMailSubject(Message.Subject) + "\r\n";
    H += "Date: " + MailDateTime() + "\r\n";
    H += "Message-ID: " + NewMessageId() + "\r\n";
    H += "MIME-Version: 1.0\r\n";
    H += "Content-Type: multipart/mixed; boundary=\"" + B + "\"\r\n";
    H += "\r\n";
    H += "This is a multi-part message in MIME format.\r\n";
    H += "\r\n";
    H += "--" + B + "\r\n";
    H += "Content-Type: text/plain; charset=\"" + Body.Charset + "\"\r\n";
    H += "Content-Transfer-Encoding: " + Body.Encoding + "\r\n";
    H += "\r\n";
    H += Body.Text + "\r\n";
    return H;
}

bool ComposeMailAttachment(const TPreparedAttachment& Attachment, const TMailWriter& Write,
                           IProgressAlert* Progress, std::string* Error)
{
    const auto Fail = [&](const std::string& Why) {
        if (Error != nullptr)
            *Error = Why + ": " + Attachment.File;
        return false;
    };
    const std::string Name = HeaderText(Attachment.SendAs, true);
    const std::string Head = "--" + MimeBoundary() + "\r\n" +
                             "Content-Type: " + GetMimeType(Attachment.SendAs) + "; name=" + Name +
                             "\r\n" + "Content-Transfer-Encoding: base64\r\n" +
                             "Content-Disposition: attachment; filename=" + Name + "\r\n\r\n";
    if (!Write(Head))
        return Fail("the mail could not be written");
    const int Fd = ::open(Attachment.File.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat Info {};
    if (Fd < 0 || ::fstat(Fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
        if (Fd >= 0)
            ::close(Fd);
        Write("\r\n");
        return Fail("the attachment cannot be read");
    }
    const auto Size = static_cast<std::uint64_t>(Info.st_size);
    // Whole lines of 57 bytes a block, so that each block is whole lines.
    constexpr std::size_t Block = 57 * 1024;
    std::string Buffer(Block, '\0');
    std::uint64_t Done = 0;
    bool Ok = true;
    std::string Why;
    while (Done < Size) {
        const std::size_t Want =
            static_cast<std::size_t>(std::min<std::uint64_t>(Block, Size - Done));
        std::size_t Got = 0;
        while (Got < Want) {
            const ssize_t N = ::read(Fd, Buffer.data() + Got, Want - Got);
            if (N < 0 && errno == EINTR)
                continue;
            if (N <= 0)
                break;
            Got += static_cast<std::size_t>(N);
        }
        if (Got < Want) {
            Ok = false;
            Why = "the attachment could not be read whole";
            break;
        }
        if (!Write(Base64Lines(std::string_view(Buffer).substr(0, Got)) + "\r\n")) {
            Ok = false;
            Why = "the mail could not be written";
            break;
        }
        Done += Got;
        if (Progress != nullptr)
            Progress->SetPosition(static_cast<int>(Done * 1000 / Size));
    }
    ::close(Fd);
    if (!Ok) {
        Write("\r\n");
        return Fail(Why);
    }
    return true;
}

std::string ComposeMailEnd()
{
    return "--" + MimeBoundary() + "--\r\n";
}

bool ComposeMail(const TMailMessage& Message, const TMailWriter& Write, IProgressAlert* Progress,
                 std::string* Error)
{
    if (!Write(ComposeMailHead(Message))) {
        if (Error != nullptr)
            *Error = "the mail could not be written";
        return false;
    }
    for (const auto& A : Message.Attachments)
        if (!ComposeMailAttachment(A, Write, Progress, Error))
            return false;
    return Write(ComposeMailEnd());
}
