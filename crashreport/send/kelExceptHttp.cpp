#include "crashreport/send/kelExceptHttp.h"

#include "crashlib/kelCrypt.h"
#include "crashreport/kelPrgrAlertLink.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t MaxResponse = 16 * 1024 * 1024;
constexpr std::size_t Base64Block = 1536; // 2048 characters
constexpr long ConnectTimeoutMs = 7000;
constexpr long LowSpeedBytes = 16;   // bytes a second ...
constexpr long LowSpeedSeconds = 60; // ... for this long, and the transfer is given up

std::mutex LastErrorLock;
std::pair<int, std::string> ProcessLastError;

void InitCurl()
{
    static std::once_flag Once;
    std::call_once(Once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

// --- The body ------------------------------------------------------------------

struct THttpBody::TPiece {
    std::string Bytes; // a text piece, or the file's current Base64 block
    int Fd = -1;
    std::uint64_t FileSize = 0;
    bool Base64 = false;
    int Area = -1;
    std::uint64_t Start = 0; // its first byte's offset in the body
    std::uint64_t Length = 0;
    std::uint64_t Done = 0; // bytes of it read so far
    std::size_t BlockAt = 0;

    ~TPiece()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};

THttpBody::THttpBody() = default;
THttpBody::~THttpBody() = default;
THttpBody::THttpBody(THttpBody&&) noexcept = default;
THttpBody& THttpBody::operator=(THttpBody&&) noexcept = default;

void THttpBody::Add(std::string_view Bytes)
{
    if (Bytes.empty())
        return;
    auto P = std::make_unique<TPiece>();
    P->Bytes = Bytes;
    P->Start = Size();
    P->Length = Bytes.size();
    Pieces.push_back(std::move(P));
}

bool THttpBody::AddFile(const std::string& Path, bool Base64, int ProgressArea,
                        std::string_view Head)
{
    const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat St {};
    if (Fd < 0 || ::fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
        if (Fd >= 0)
            ::close(Fd);
        return false;
    }
    Add(Head);
    auto P = std::make_unique<TPiece>();
    P->Fd = Fd;
    P->FileSize = static_cast<std::uint64_t>(St.st_size);
    P->Base64 = Base64;
    P->Area = ProgressArea;
    P->Start = Size();
    P->Length = Base64 ? (P->FileSize + 2) / 3 * 4 : P->FileSize;
    Pieces.push_back(std::move(P));
    return true;
}

std::uint64_t THttpBody::Size() const
{
    return Pieces.empty() ? 0 : Pieces.back()->Start + Pieces.back()->Length;
}

bool THttpBody::Failed() const
{
    return Broken;
}

void THttpBody::Rewind()
{
    for (auto& P : Pieces) {
        P->Done = 0;
        P->BlockAt = 0;
        if (P->Fd >= 0) {
            P->Bytes.clear();
            ::lseek(P->Fd, 0, SEEK_SET);
        }
    }
    Current = 0;
}

std::pair<int, int> THttpBody::ProgressAt(std::uint64_t Offset) const
{
    for (const auto& P : Pieces)
        if (P->Area >= 0 && Offset >= P->Start && Offset < P->Start + P->Length)
            return {P->Area, static_cast<int>((Offset - P->Start) * 1000 / P->Length)};
    return {-1, 0};
}

std::size_t THttpBody::Read(char* Buffer, std::size_t Want)
{
    std::size_t Given = 0;
    while (Given < Want && Current < Pieces.size() && !Broken) {
        TPiece& P = *Pieces[Current];
        if (P.Done >= P.Length) {
            ++Current;
            continue;
        }
        if (P.Fd >= 0 && !P.Base64) {
            const std::size_t N =
                static_cast<std::size_t>(std::min<std::uint64_t>(Want - Given, P.Length - P.Done));
            const ssize_t R = ::read(P.Fd, Buffer + Given, N);
            if (R <= 0) {
                // The file shrank, or could not be read: the length sent was wrong.
                Broken = true;
                break;
            }
            Given += static_cast<std::size_t>(R);
            P.Done += static_cast<std::uint64_t>(R);
            continue;
        }
        if (P.Fd >= 0 && P.BlockAt >= P.Bytes.size()) {
            char Block[Base64Block];
            std::size_t Got = 0;
            const std::size_t Need = static_cast<std::size_t>(
                std::min<std::uint64_t>(Base64Block, P.FileSize - P.Done / 4 * 3));
            while (Got < Need) {
                const ssize_t R = ::read(P.Fd, Block + Got, Need - Got);
                if (R <= 0)
                    break;
                Got += static_cast<std::size_t>(R);
            }
            if (Got < Need) {
                Broken = true;
                break;
            }
            P.Bytes = Base64EncodeBuf(Block, Got);
            P.BlockAt = 0;
        }
        const std::size_t From = P.Fd >= 0 ? P.BlockAt : static_cast<std::size_t>(P.Done);
        const std::size_t N = std::min(Want - Given, P.Bytes.size() - From);
        std::memcpy(Buffer + Given, P.Bytes.data() + From, N);
        Given += N;
        P.Done += N;
        P.BlockAt = From + N;
    }
    return Given;
}

// --- The client ------------------------------------------------------------------

struct TWinHttp::TState {
    THttpServer Settings;
    std::shared_ptr<IProgressAlert> Progress;
    std::string Host, Path;
    std::string Verb, RequestPath;
    std::vector<std::string> Headers;
    std::string Response, StatusLine;
    int StatusCode = 0;
    int ErrorCode = 0;
    std::string Error;
};

namespace {

bool HostChar(char C)
{
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' ||
           C == '.' || C == '_';
}

// The host part checked: a name or an IPv4 address, or an IPv6 address in
// brackets, each with an optional ":port".
bool ValidHost(std::string_view Host)
{
    if (Host.empty())
        return false;
    std::size_t I = 0;
    if (Host[0] == '[') {
        const std::size_t Close = Host.find(']');
        if (Close == std::string_view::npos || Close < 3)
            return false;
        for (std::size_t J = 1; J < Close; ++J)
            if (!(std::isxdigit(static_cast<unsigned char>(Host[J])) || Host[J] == ':' ||
                  Host[J] == '.'))
                return false;
        I = Close + 1;
    } else {
        while (I < Host.size() && HostChar(Host[I]))
            ++I;
        if (I == 0)
            return false;
    }
    if (I == Host.size())
        return true;
    if (Host[I] != ':' || I + 1 == Host.size() || Host.size() - I - 1 > 5)
        return false;
    return std::all_of(Host.begin() + static_cast<std::ptrdiff_t>(I) + 1, Host.end(),
                       [](char C) { return C >= '0' && C <= '9'; });
}

// Bytes a URL path may not hold as they are, escaped; "%" stays (the path may
// be escaped already).
std::string EscapePath(std::string_view Path)
{
    static const char Hex[] = "0123456789ABCDEF";
    std::string Out;
    for (const char C : Path) {
        const auto U = static_cast<unsigned char>(C);
        if (U <= 0x20 || U >= 0x7F || C == '"' || C == '<' || C == '>' || C == '\\' || C == '^' ||
            C == '`' || C == '{' || C == '|' || C == '}' || C == '#') {
            Out += '%';
            Out += Hex[U >> 4];
            Out += Hex[U & 15];
        } else {
            Out += C;
        }
    }
    return Out;
}

std::size_t WriteResponse(char* Data, std::size_t Size, std::size_t Count, void* User)
{
    auto* S = static_cast<std::string*>(User);
    const std::size_t N = Size * Count;
    if (S->size() + N > MaxResponse)
        return 0; // too large: the transfer fails
    S->append(Data, N);
    return N;
}

std::size_t ReadHeader(char* Data, std::size_t Size, std::size_t Count, void* User)
{
    auto* S = static_cast<std::string*>(User);
    const std::size_t N = Size * Count;
    std::string_view Line(Data, N);
    if (Line.substr(0, 5) == "HTTP/") {
        while (!Line.empty() && (Line.back() == '\r' || Line.back() == '\n'))
            Line.remove_suffix(1);
        *S = Line;
    }
    return N;
}

std::size_t ReadBody(char* Buffer, std::size_t Size, std::size_t Count, void* User)
{
    auto* Body = static_cast<THttpBody*>(User);
    const std::size_t N = Body->Read(Buffer, Size * Count);
    return Body->Failed() ? CURL_READFUNC_ABORT : N;
}

int SeekBody(void* User, curl_off_t Offset, int Origin)
{
    if (Offset != 0 || Origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    static_cast<THttpBody*>(User)->Rewind();
    return CURL_SEEKFUNC_OK;
}

} // namespace

TWinHttp::TWinHttp(const THttpServer& Server, std::shared_ptr<IProgressAlert> Progress)
    : S(std::make_unique<TState>())
{
    InitCurl();
    S->Settings = Server;
    S->Progress = std::move(Progress);
    std::string_view Text = Server.Server;
    const std::size_t Scheme = Text.find("://");
    if (Scheme != std::string_view::npos)
        Text.remove_prefix(Scheme + 3);
    const std::size_t Slash = Text.find('/');
    S->Host = Text.substr(0, Slash);
    S->Path = Slash == std::string_view::npos ? std::string() : std::string(Text.substr(Slash));
}

TWinHttp::~TWinHttp() = default;

const std::string& TWinHttp::Host() const
{
    return S->Host;
}

const std::string& TWinHttp::Path() const
{
    return S->Path;
}

bool TWinHttp::Secure() const
{
    return S->Settings.Secure;
}

const THttpServer& TWinHttp::Settings() const
{
    return S->Settings;
}

IProgressAlert* TWinHttp::Progress() const
{
    return S->Progress.get();
}

bool TWinHttp::OpenRequest(std::string_view Verb, std::string_view Path)
{
    if (!ValidHost(S->Host)) {
        SetLastError(CURLE_URL_MALFORMAT, "not a host name: \"" + S->Host + "\"");
        return false;
    }
    S->Verb = Verb;
    S->RequestPath = Path;
    S->Headers.clear();
    S->Response.clear();
    S->StatusLine.clear();
    S->StatusCode = 0;
    return true;
}

bool TWinHttp::AddHeader(std::string_view Line)
{
    if (Line.find_first_of("\r\n") != std::string_view::npos)
        return false;
    S->Headers.emplace_back(Line);
    return true;
}

namespace {

// What the upload's progress moves: the alert, by the body's areas.
struct TProgressLink {
    IProgressAlert* Alert = nullptr;
    const THttpBody* Body = nullptr;
    int LastArea = -1;
};

int XferInfo(void* User, curl_off_t, curl_off_t, curl_off_t, curl_off_t UploadNow)
{
    auto* Link = static_cast<TProgressLink*>(User);
    const auto [Area, Position] = Link->Body->ProgressAt(static_cast<std::uint64_t>(UploadNow));
    if (Area >= 0) {
        if (Area != Link->LastArea)
            Link->Alert->SetArea(Area);
        Link->LastArea = Area;
        Link->Alert->SetPosition(Position);
    }
    return 0;
}

} // namespace

bool TWinHttp::SendAndReceive(THttpBody* Body)
{
    CURL* C = curl_easy_init();
    if (!C) {
        SetLastError(CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
        return false;
    }
    std::string Url = (S->Settings.Secure ? "https://" : "http://") + S->Host;
    if (S->Settings.Port != 0) {
        // An explicit port replaces one the server text names.
        const std::size_t Colon = S->Host.rfind(':');
        const std::size_t Close = S->Host.rfind(']');
        if (Colon != std::string::npos && (Close == std::string::npos || Colon > Close))
            Url.resize(Url.size() - (S->Host.size() - Colon));
        Url += ":" + std::to_string(S->Settings.Port);
    }
    Url += EscapePath(S->RequestPath.empty() ? "/" : S->RequestPath);

    char ErrorBuffer[CURL_ERROR_SIZE] = {};
    curl_slist* Headers = nullptr;
    for (const auto& H : S->Headers)
        Headers = curl_slist_append(Headers, H.c_str());
    // No "Expect: 100-continue": it waits for servers that never answer it.
    Headers = curl_slist_append(Headers, "Expect:");

    const bool Post = S->Verb == "POST";
    curl_easy_setopt(C, CURLOPT_URL, Url.c_str());
    curl_easy_setopt(C, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(C, CURLOPT_USERAGENT, "kelExcept/4.0");
    curl_easy_setopt(C, CURLOPT_HTTPHEADER, Headers);
    curl_easy_setopt(C, CURLOPT_ERRORBUFFER, ErrorBuffer);
    curl_easy_setopt(C, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(C, CURLOPT_CONNECTTIMEOUT_MS, ConnectTimeoutMs);
    curl_easy_setopt(C, CURLOPT_LOW_SPEED_LIMIT, LowSpeedBytes);
    curl_easy_setopt(C, CURLOPT_LOW_SPEED_TIME, LowSpeedSeconds);
    curl_easy_setopt(C, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(C, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(C, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* CaFile = std::getenv("SSL_CERT_FILE"); CaFile && *CaFile)
        curl_easy_setopt(C, CURLOPT_CAINFO, CaFile);
    if (!Post) {
        curl_easy_setopt(C, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(C, CURLOPT_MAXREDIRS, 5L);
        // Never from HTTPS down to plain HTTP.
        curl_easy_setopt(C, CURLOPT_REDIR_PROTOCOLS_STR,
                         S->Settings.Secure ? "https" : "http,https");
    }
    if (!S->Settings.HttpAccount.empty()) {
        curl_easy_setopt(C, CURLOPT_USERNAME, S->Settings.HttpAccount.c_str());
        curl_easy_setopt(C, CURLOPT_PASSWORD, S->Settings.HttpPassword.c_str());
        curl_easy_setopt(C, CURLOPT_HTTPAUTH, S->Settings.Secure ? CURLAUTH_ANY : CURLAUTH_ANYSAFE);
    }
    curl_easy_setopt(C, CURLOPT_WRITEFUNCTION, WriteResponse);
    curl_easy_setopt(C, CURLOPT_WRITEDATA, &S->Response);
    curl_easy_setopt(C, CURLOPT_HEADERFUNCTION, ReadHeader);
    curl_easy_setopt(C, CURLOPT_HEADERDATA, &S->StatusLine);

    THttpBody Empty;
    THttpBody* Sent = Body ? Body : &Empty;
    TProgressLink Link{S->Progress.get(), Sent, -1};
    if (Post || S->Verb == "PUT" || Body) {
        if (Post)
            curl_easy_setopt(C, CURLOPT_POST, 1L);
        else
            curl_easy_setopt(C, CURLOPT_UPLOAD, 1L);
        if (!Post)
            curl_easy_setopt(C, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(Sent->Size()));
        else
            curl_easy_setopt(C, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(Sent->Size()));
        curl_easy_setopt(C, CURLOPT_READFUNCTION, ReadBody);
        curl_easy_setopt(C, CURLOPT_READDATA, Sent);
        curl_easy_setopt(C, CURLOPT_SEEKFUNCTION, SeekBody);
        curl_easy_setopt(C, CURLOPT_SEEKDATA, Sent);
    }
    if (S->Verb != "GET" && S->Verb != "POST" && S->Verb != "PUT")
        curl_easy_setopt(C, CURLOPT_CUSTOMREQUEST, S->Verb.c_str());
    if (S->Progress) {
        curl_easy_setopt(C, CURLOPT_XFERINFOFUNCTION, XferInfo);
        curl_easy_setopt(C, CURLOPT_XFERINFODATA, &Link);
        curl_easy_setopt(C, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode Result = curl_easy_perform(C);
    long Code = 0;
    curl_easy_getinfo(C, CURLINFO_RESPONSE_CODE, &Code);
    S->StatusCode = static_cast<int>(Code);
    curl_slist_free_all(Headers);
    curl_easy_cleanup(C);
    if (Result != CURLE_OK) {
        std::string Text = curl_easy_strerror(Result);
        if (Sent->Failed())
            Text += ": an attachment could not be read";
        else if (*ErrorBuffer)
            Text += std::string(": ") + ErrorBuffer;
        SetLastError(Result, Text);
        return false;
    }
    return true;
}

int TWinHttp::Status() const
{
    return S->StatusCode;
}

bool TWinHttp::StatusOk()
{
    if (S->StatusCode >= 200 && S->StatusCode < 300)
        return true;
    SetLastError(S->StatusCode, S->StatusLine.empty()
                                    ? "HTTP status " + std::to_string(S->StatusCode)
                                    : S->StatusLine);
    return false;
}

const std::string& TWinHttp::ReadResponse() const
{
    return S->Response;
}

std::string TWinHttp::HttpGet(std::string_view Path)
{
    if (!OpenRequest("GET", Path) || !SendAndReceive() || !StatusOk())
        return {};
    return S->Response;
}

int TWinHttp::LastErrorCode() const
{
    return S->ErrorCode;
}

const std::string& TWinHttp::LastError() const
{
    return S->Error;
}

void TWinHttp::SetLastError(int Code, std::string Text)
{
    S->ErrorCode = Code;
    S->Error = std::move(Text);
    std::lock_guard<std::mutex> L(LastErrorLock);
    ProcessLastError = {S->ErrorCode, S->Error};
}

std::pair<int, std::string> LastHttpError()
{
    std::lock_guard<std::mutex> L(LastErrorLock);
    return ProcessLastError;
}

// --- The plain upload ------------------------------------------------------------

std::string Latin1OrUtf8(std::string_view Utf8, bool& IsLatin1)
{
    std::string Out;
    IsLatin1 = true;
    for (std::size_t I = 0; I < Utf8.size(); ++I) {
        const auto C = static_cast<unsigned char>(Utf8[I]);
        if (C < 0x80) {
            Out += static_cast<char>(C);
        } else if ((C == 0xC2 || C == 0xC3) && I + 1 < Utf8.size() &&
                   (static_cast<unsigned char>(Utf8[I + 1]) & 0xC0) == 0x80) {
            Out += static_cast<char>(((C & 0x03) << 6) |
                                     (static_cast<unsigned char>(Utf8[I + 1]) & 0x3F));
            ++I;
        } else {
            IsLatin1 = false;
            return std::string(Utf8);
        }
    }
    return Out;
}

namespace {

// A name for a quoted form-data parameter: Latin-1 as it is, with '"', CR
// and LF escaped as RFC 7578 says; any other text as an encoded word.
std::string FormName(std::string_view Name)
{
    bool Latin1 = false;
    const std::string Bytes = Latin1OrUtf8(Name, Latin1);
    if (!Latin1)
        return "=?UTF-8?B?" + Base64Encode(Name) + "?=";
    std::string Out;
    for (const char C : Bytes)
        if (C == '"')
            Out += "%22";
        else if (C == '\r')
            Out += "%0D";
        else if (C == '\n')
            Out += "%0A";
        else
            Out += C;
    return Out;
}

// The bare address of a mail address text: what lies between "<" and ">",
// or the text trimmed.
std::string BareAddress(std::string_view Text)
{
    const std::size_t Open = Text.find('<');
    if (Open != std::string_view::npos) {
        const std::size_t Close = Text.find('>', Open);
        Text = Text.substr(Open + 1, Close == std::string_view::npos ? std::string_view::npos
                                                                     : Close - Open - 1);
    }
    while (!Text.empty() && static_cast<unsigned char>(Text.front()) <= ' ')
        Text.remove_prefix(1);
    while (!Text.empty() && static_cast<unsigned char>(Text.back()) <= ' ')
        Text.remove_suffix(1);
    return std::string(Text);
}

} // namespace

THttpBody MultipartBody(const std::vector<std::pair<std::string, std::string>>& Fields,
                        const std::vector<THttpAttachment>& Attachments, std::string_view Boundary,
                        int FirstArea)
{
    THttpBody Body;
    const std::string Delimiter = "--" + std::string(Boundary) + "\r\n";
    for (const auto& [Name, Value] : Fields) {
        bool Latin1 = false;
        const std::string Bytes = Latin1OrUtf8(Value, Latin1);
        Body.Add(Delimiter + "Content-Disposition: form-data; name=\"" + FormName(Name) +
                 "\"\r\nContent-Type: text/plain; charset=\"" +
                 (Latin1 ? "iso-8859-1\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                         : "utf-8\"\r\n\r\n") +
                 Bytes + "\r\n");
    }
    int Area = FirstArea;
    for (const auto& A : Attachments) {
        const std::string Head = Delimiter + "Content-Disposition: form-data; name=\"" +
                                 FormName(A.Field) + "\"; filename=\"" + FormName(A.SendAs) +
                                 "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
        if (!Body.AddFile(A.File, false, Area, Head))
            continue;
        Body.Add("\r\n");
        if (Area >= 0)
            ++Area;
    }
    Body.Add("--" + std::string(Boundary) + "--\r\n");
    return Body;
}

std::string HttpBoundary()
{
    static const std::string Boundary = [] {
        std::string B;
        for (int I = 0; I < 3; ++I) {
            std::uint32_t R = 0;
            while (::getrandom(&R, sizeof R, 0) != static_cast<ssize_t>(sizeof R))
                if (errno != EINTR)
                    break;
            B += std::to_string(R & 0x3FFFFFFF);
        }
        return B;
    }();
    return Boundary;
}

bool HttpUpload(TWinHttp& Http, std::vector<std::pair<std::string, std::string>> Fields,
                const std::vector<THttpAttachment>& Attachments)
{
    std::string From;
    for (auto& [Name, Value] : Fields) {
        const bool Address = Name == "MailFrom" || Name == "MailAddr";
        if (Address)
            Value = BareAddress(Value);
        if (Name == "MailFrom")
            From = Value;
    }
    const std::string Boundary = HttpBoundary();
    THttpBody Body = MultipartBody(Fields, Attachments, Boundary,
                                   Http.Progress() ? Http.Progress()->GetArea() + 1 : -1);
    if (!Http.OpenRequest("POST", Http.Path()) ||
        !Http.AddHeader("Content-Type: multipart/form-data; boundary=" + Boundary))
        return false;
    if (!From.empty())
        Http.AddHeader("From: " + From);
    return Http.SendAndReceive(&Body) && Http.StatusOk();
}
