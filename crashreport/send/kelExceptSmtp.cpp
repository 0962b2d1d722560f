#include "crashreport/send/kelExceptSmtp.h"

#include "crashlib/kelCrypt.h"
#include "crashreport/kelPrgrAlertLink.h"
#include "crashreport/send/kelExceptDns.h"
#include "crashreport/send/kelExceptSocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <unistd.h>

namespace {

std::atomic<std::uint16_t> ServerPort{25};
std::mutex GreetingLock;
std::string GreetingName;

// Above this much the text of a message is sent: a TLS record holds 16 KiB.
constexpr std::size_t SendChunk = 16 * 1024;

char UpperAscii(char C)
{
    return C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
}

std::string Upper(std::string_view S)
{
    std::string Out(S);
    for (char& C : Out)
        C = UpperAscii(C);
    return Out;
}

std::string Trimmed(std::string_view S)
{
    while (!S.empty() && static_cast<unsigned char>(S.front()) <= ' ')
        S.remove_prefix(1);
    while (!S.empty() && static_cast<unsigned char>(S.back()) <= ' ')
        S.remove_suffix(1);
    return std::string(S);
}

// The reply without its line ends, for error texts.
std::string OneLine(std::string_view Reply)
{
    std::string Out;
    for (const char C : Reply)
        if (C == '\n')
            Out += ' ';
        else if (C != '\r')
            Out += C;
    return Trimmed(Out);
}

std::string OpenSslError()
{
    const unsigned long E = ERR_get_error();
    ERR_clear_error();
    if (E == 0)
        return "handshake failed";
    char Buffer[256];
    ERR_error_string_n(E, Buffer, sizeof Buffer);
    return Buffer;
}

// The host's fully qualified name, when it has one.
std::string FullyQualifiedName()
{
    char Name[256] = {};
    if (::gethostname(Name, sizeof Name - 1) != 0)
        return {};
    addrinfo Hints{};
    Hints.ai_flags = AI_CANONNAME;
    addrinfo* Found = nullptr;
    std::string Out;
    if (::getaddrinfo(Name, nullptr, &Hints, &Found) == 0 && Found && Found->ai_canonname)
        Out = Found->ai_canonname;
    if (Found)
        ::freeaddrinfo(Found);
    if (Out.find('.') == std::string::npos || Out.back() == '.')
        return {};
    for (const char C : Out)
        if (!((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') ||
              C == '-' || C == '.'))
            return {};
    return Out;
}

// The connection's own address as an address literal.
std::string AddressLiteral(int Fd)
{
    sockaddr_storage Own{};
    socklen_t Length = sizeof Own;
    char Text[INET6_ADDRSTRLEN] = {};
    if (::getsockname(Fd, reinterpret_cast<sockaddr*>(&Own), &Length) != 0)
        return "[127.0.0.1]";
    if (Own.ss_family == AF_INET6) {
        const auto& A = reinterpret_cast<const sockaddr_in6&>(Own);
        if (IN6_IS_ADDR_V4MAPPED(&A.sin6_addr)) {
            ::inet_ntop(AF_INET, &A.sin6_addr.s6_addr[12], Text, sizeof Text);
            return std::string("[") + Text + "]";
        }
        ::inet_ntop(AF_INET6, &A.sin6_addr, Text, sizeof Text);
        return std::string("[IPv6:") + Text + "]";
    }
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(Own).sin_addr, Text, sizeof Text);
    return std::string("[") + Text + "]";
}

// Whether an EHLO reply names the keyword as the first word of one of its
// lines (after the code and its separator).
bool OffersKeyword(std::string_view Reply, std::string_view Keyword)
{
    std::size_t Start = 0;
    while (Start < Reply.size()) {
        std::size_t End = Reply.find('\n', Start);
        if (End == std::string_view::npos)
            End = Reply.size();
        const std::string Line = Upper(Trimmed(Reply.substr(Start, End - Start)));
        if (Line.size() >= 4 && Line.compare(4, std::string::npos, Keyword) == 0)
            return true;
        if (Line.size() > 4 + Keyword.size() && Line.compare(4, Keyword.size(), Keyword) == 0 &&
            (Line[4 + Keyword.size()] == ' ' || Line[4 + Keyword.size()] == '='))
            return true;
        Start = End + 1;
    }
    return false;
}

// The mechanisms of the EHLO reply's AUTH line: "-" and "=" read as blanks,
// the line starting with "250 AUTH", padded with blanks.
std::string AuthLine(std::string_view Reply)
{
    std::string R = Upper(Reply);
    for (char& C : R)
        if (C == '-' || C == '=')
            C = ' ';
    std::size_t At = R.rfind("\n250 AUTH ");
    At = At == std::string::npos ? (R.compare(0, 9, "250 AUTH ") == 0 ? 0 : At) : At + 1;
    if (At == std::string::npos)
        return {};
    const std::size_t End = R.find('\r', At);
    return " " + R.substr(At, End == std::string::npos ? std::string::npos : End - At) + " ";
}

} // namespace

void SetSmtpServerPort(std::uint16_t Port)
{
    ServerPort = Port;
}

std::uint16_t SmtpServerPort()
{
    return ServerPort;
}

void SetSmtpGreetingName(std::string_view Name)
{
    std::lock_guard<std::mutex> L(GreetingLock);
    GreetingName = Name;
}

std::uint16_t SmtpPort(std::uint16_t Port, bool Ssl, bool Tls, bool HasCredentials)
{
    if (Port != 0)
        return Port;
    if (Ssl)
        return 465;
    return Tls && HasCredentials ? 587 : 25;
}

struct TSmtp::TState {
    TSmtpOptions Options;
    TSocket Socket;
    SSL_CTX* Context = nullptr;
    SSL* Tls = nullptr;
    std::string In; // received and not yet read as a reply
    std::string Reply;
    std::string Error;
    bool Connected = false;
    bool Broken = false; // an I/O failure or a time-out: nothing more is said
    bool DataStarted = false, DataFinished = false, QuitSent = false;
    // The text of DATA: pending output, and where the last byte left a line.
    std::string Out;
    bool LineStart = true, PendingCr = false;

    ~TState()
    {
        if (Tls) {
            if (!Broken)
                SSL_shutdown(Tls);
            SSL_free(Tls);
        }
        if (Context)
            SSL_CTX_free(Context);
    }

    bool Fail(std::string Text)
    {
        Error = std::move(Text);
        return false;
    }

    bool IoFail(std::string Text)
    {
        Broken = true;
        return Fail(std::move(Text));
    }

    // Waits for what OpenSSL asked for; false (broken) on time-out.
    bool WaitTls(int Result)
    {
        const int Code = SSL_get_error(Tls, Result);
        short Events = 0;
        if (Code == SSL_ERROR_WANT_READ)
            Events = POLLIN;
        else if (Code == SSL_ERROR_WANT_WRITE)
            Events = POLLOUT;
        else
            return IoFail(Code == SSL_ERROR_ZERO_RETURN ? "connection closed" : OpenSslError());
        const int R = WaitFor(Socket.Get(), Events, SmtpTimeout);
        return R > 0 || IoFail(R == 0 ? "timed out" : ErrnoText(errno));
    }

    bool RawSend(std::string_view Bytes)
    {
        if (Broken)
            return false;
        if (!Tls)
            return SendAll(Socket, Bytes.data(), Bytes.size(), SmtpTimeout, Error) || IoFail(Error);
        while (!Bytes.empty()) {
            std::size_t Written = 0;
            const int R = SSL_write_ex(Tls, Bytes.data(), Bytes.size(), &Written);
            if (R > 0)
                Bytes.remove_prefix(Written);
            else if (!WaitTls(R))
                return false;
        }
        return true;
    }

    // Appends what arrives to In; false (broken) on time-out, error or close.
    bool Receive()
    {
        if (Broken)
            return false;
        char Buffer[4096];
        for (;;) {
            if (Tls) {
                std::size_t Read = 0;
                const int R = SSL_read_ex(Tls, Buffer, sizeof Buffer, &Read);
                if (R > 0) {
                    In.append(Buffer, Read);
                    return true;
                }
                if (!WaitTls(R))
                    return false;
                continue;
            }
            const ssize_t N = ::recv(Socket.Get(), Buffer, sizeof Buffer, 0);
            if (N > 0) {
                In.append(Buffer, static_cast<std::size_t>(N));
                return true;
            }
            if (N == 0)
                return IoFail("connection closed");
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return IoFail(ErrnoText(errno));
            const int W = WaitFor(Socket.Get(), POLLIN, SmtpTimeout);
            if (W <= 0)
                return IoFail(W == 0 ? "timed out" : ErrnoText(errno));
        }
    }

    bool ReadLine(std::string& Line)
    {
        for (;;) {
            const std::size_t End = In.find('\n');
            if (End != std::string::npos) {
                if (End + 1 > SmtpMaxReplyLine)
                    return IoFail("reply line longer than 512 bytes");
                Line = In.substr(0, End + 1);
                In.erase(0, End + 1);
                return true;
            }
            if (In.size() >= SmtpMaxReplyLine)
                return IoFail("reply line longer than 512 bytes");
            if (!Receive())
                return false;
        }
    }

    bool ReadReply(int Expected)
    {
        Reply.clear();
        std::string Line;
        for (;;) {
            if (!ReadLine(Line))
                return false;
            Reply += Line;
            if (Reply.size() > SmtpMaxReply)
                return IoFail("reply longer than 64 KiB");
            if (Line.size() < 4 || !std::isdigit(static_cast<unsigned char>(Line[0])) ||
                !std::isdigit(static_cast<unsigned char>(Line[1])) ||
                !std::isdigit(static_cast<unsigned char>(Line[2])))
                return IoFail("malformed reply: " + OneLine(Line));
            if (Line[3] != '-')
                break;
        }
        return Reply.compare(0, 3, std::to_string(Expected)) == 0;
    }

    bool Command(std::string_view Text, int Expected)
    {
        std::string Line(Text);
        Line += "\r\n";
        return RawSend(Line) && ReadReply(Expected);
    }

    bool Handshake(bool Verify)
    {
        Context = SSL_CTX_new(TLS_client_method());
        if (!Context || !SSL_CTX_set_min_proto_version(Context, TLS1_2_VERSION))
            return Fail(OpenSslError());
        if (Verify) {
            // The system's roots, or SSL_CERT_FILE / SSL_CERT_DIR when set.
            SSL_CTX_set_default_verify_paths(Context);
            SSL_CTX_set_verify(Context, SSL_VERIFY_PEER, nullptr);
        }
        Tls = SSL_new(Context);
        if (!Tls || !SSL_set_fd(Tls, Socket.Get()))
            return Fail(OpenSslError());
        std::string Host = Options.Server;
        if (Host.size() > 2 && Host.front() == '[' && Host.back() == ']')
            Host = Host.substr(1, Host.size() - 2);
        in6_addr Probe{};
        const bool Literal = ::inet_pton(AF_INET, Host.c_str(), &Probe) == 1 ||
                             ::inet_pton(AF_INET6, Host.c_str(), &Probe) == 1;
        if (!Literal)
            SSL_set_tlsext_host_name(Tls, Host.c_str());
        if (Verify) {
            const int Set = Literal
                                ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(Tls), Host.c_str())
                                : SSL_set1_host(Tls, Host.c_str());
            if (!Set)
                return Fail(OpenSslError());
        }
        for (;;) {
            ERR_clear_error();
            const int R = SSL_connect(Tls);
            if (R == 1)
                return true;
            const int Code = SSL_get_error(Tls, R);
            if (Code != SSL_ERROR_WANT_READ && Code != SSL_ERROR_WANT_WRITE) {
                const long Result = SSL_get_verify_result(Tls);
                Broken = true;
                return Fail(Result != X509_V_OK ? X509_verify_cert_error_string(Result)
                                                : OpenSslError());
            }
            if (!WaitTls(R))
                return false;
        }
    }

    bool Hello(const char* FailText)
    {
        std::string Name;
        {
            std::lock_guard<std::mutex> L(GreetingLock);
            Name = GreetingName;
        }
        if (Name.empty())
            Name = FullyQualifiedName();
        if (Name.empty())
            Name = AddressLiteral(Socket.Get());
        if (Command("EHLO " + Name, 250))
            return true;
        if (Broken)
            return Fail(FailText + Error + ")");
        if (Command("HELO " + Name, 250))
            return true;
        return Fail(FailText + OneLine(Broken ? Error : Reply) + ")");
    }

    bool Connect()
    {
        const bool HasCredentials = !Options.Account.empty() || !Options.Password.empty();
        const std::uint16_t Port = SmtpPort(Options.Port, Options.Ssl, Options.Tls, HasCredentials);
        addrinfo Hints{};
        Hints.ai_socktype = SOCK_STREAM;
        Hints.ai_flags = AI_NUMERICSERV;
        addrinfo* Found = nullptr;
        std::string Host = Options.Server;
        if (Host.size() > 2 && Host.front() == '[' && Host.back() == ']')
            Host = Host.substr(1, Host.size() - 2);
        const int Gai = ::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &Hints, &Found);
        if (Gai != 0 || !Found)
            return Fail(std::string("Server not found (") +
                        (Gai == EAI_SYSTEM ? ErrnoText(errno) : ::gai_strerror(Gai)) + ")");
        std::string Why;
        for (addrinfo* A = Found; A && !Socket.Valid(); A = A->ai_next) {
            TSocket S = TSocket::Open(A->ai_family, SOCK_STREAM, Why);
            if (S.Valid() && ConnectWithin(S, A->ai_addr, A->ai_addrlen, SmtpTimeout, Why))
                Socket = std::move(S);
        }
        ::freeaddrinfo(Found);
        if (!Socket.Valid())
            return Fail("No connection to server");

        if (Options.Ssl && !Options.Exchanger && !Handshake(true))
            return Fail("SSL failed (" + Error + ")");
        if (!ReadReply(220))
            return Fail("HELO failed (" + OneLine(Broken ? Error : Reply) + ")");
        if (!Hello("HELO failed ("))
            return false;

        const bool OffersStartTls = OffersKeyword(Reply, "STARTTLS");
        const bool WantTls = Options.Exchanger ? OffersStartTls && !Tls : Options.Tls && !Tls;
        if (WantTls) {
            if (!OffersStartTls)
                return Fail("TLS failed (the server does not offer STARTTLS)");
            if (!Command("STARTTLS", 220))
                return Fail("TLS failed (" + OneLine(Broken ? Error : Reply) + ")");
            // Whatever came after the reply was sent in clear by someone
            // else: it must not be read as if it came through TLS.
            if (!In.empty())
                return IoFail("TLS failed (text after the STARTTLS reply)");
            if (!Handshake(!Options.Exchanger))
                return Fail("TLS failed (" + Error + ")");
            if (!Hello("2nd HELO failed ("))
                return false;
        }

        const bool OffersAuth = Reply.find("250-AUTH") != std::string::npos ||
                                Reply.find("250 AUTH") != std::string::npos;
        if (!Options.Exchanger && HasCredentials && OffersAuth) {
            if (!Tls)
                return Fail("Authentication failed (the connection is not encrypted)");
            const std::string Mechanisms = AuthLine(Reply);
            bool Done = false;
            if (Mechanisms.find(" LOGIN ") != std::string::npos) {
                Done = Command("AUTH LOGIN", 334) && Command(Base64Encode(Options.Account), 334) &&
                       Command(Base64Encode(Options.Password), 235);
            } else if (Mechanisms.find(" PLAIN ") != std::string::npos) {
                std::string Plain;
                Plain += '\0';
                Plain += Options.Account;
                Plain += '\0';
                Plain += Options.Password;
                Done = Command("AUTH PLAIN " + Base64Encode(Plain), 235);
            } else {
                return Fail("Authentication failed (neither LOGIN nor PLAIN is offered)");
            }
            if (!Done)
                return Fail("Authentication failed (" + OneLine(Broken ? Error : Reply) + ")");
        }
        Connected = true;
        return true;
    }

    bool Flush()
    {
        const bool Ok = RawSend(Out);
        Out.clear();
        return Ok;
    }

    bool Write(std::string_view Text)
    {
        if (Broken)
            return false;
        for (const char C : Text) {
            if (PendingCr) {
                PendingCr = false;
                Out += "\r\n";
                LineStart = true;
                if (C == '\n')
                    continue;
            }
            if (C == '\r') {
                PendingCr = true;
                continue;
            }
            if (C == '\n') {
                Out += "\r\n";
                LineStart = true;
                continue;
            }
            if (LineStart && C == '.')
                Out += '.';
            Out += C;
            LineStart = false;
        }
        return Out.size() < SendChunk || Flush();
    }

    bool EndData()
    {
        if (PendingCr || !LineStart)
            Out += "\r\n";
        PendingCr = false;
        LineStart = true;
        Out += ".\r\n";
        DataFinished = true;
        if (!Flush())
            return false;
        return ReadReply(250) || Fail("DATA failed (" + OneLine(Broken ? Error : Reply) + ")");
    }
};

TSmtp::TSmtp(const TSmtpOptions& Options) : S(std::make_unique<TState>())
{
    S->Options = Options;
    if (!S->Connect())
        S->Connected = false;
}

TSmtp::~TSmtp()
{
    if (S->Broken || !S->Socket.Valid())
        return;
    if (S->DataStarted && !S->DataFinished)
        S->EndData();
    if (!S->QuitSent) {
        S->Command("RSET", 250);
        S->Command("QUIT", 221);
    }
}

bool TSmtp::Connected() const
{
    return S->Connected && !S->Broken;
}

bool TSmtp::TlsActive() const
{
    return S->Tls != nullptr;
}

const std::string& TSmtp::Error() const
{
    return S->Error;
}

const std::string& TSmtp::LastReply() const
{
    return S->Reply;
}

bool TSmtp::SendCommand(std::string_view Command, int Expected)
{
    return S->Command(Command, Expected);
}

bool TSmtp::SendData(std::string_view Bytes)
{
    return S->RawSend(Bytes);
}

bool TSmtp::ReadReply(int Expected)
{
    return S->ReadReply(Expected);
}

bool TSmtp::StartMail(std::string_view From, const std::vector<std::string>& To)
{
    if (!S->Command("MAIL FROM:<" + std::string(From) + ">", 250))
        return S->Fail("MAIL FROM failed (" + OneLine(S->Broken ? S->Error : S->Reply) + ")");
    int Taken = 0;
    std::string Refused;
    for (const auto& Address : To) {
        if (S->Command("RCPT TO:<" + Address + ">", 250))
            ++Taken;
        else if (S->Broken)
            return S->Fail("RCPT TO failed (" + S->Error + ")");
        else
            Refused = OneLine(S->Reply);
    }
    if (Taken == 0)
        return S->Fail("RCPT TO failed (" + Refused + ")");
    if (!S->Command("DATA", 354))
        return S->Fail("DATA failed (" + OneLine(S->Broken ? S->Error : S->Reply) + ")");
    S->DataStarted = true;
    S->DataFinished = false;
    S->Out.clear();
    S->LineStart = true;
    S->PendingCr = false;
    return true;
}

bool TSmtp::WriteMessage(std::string_view Text)
{
    return S->Write(Text);
}

bool TSmtp::EndMail()
{
    return S->EndData();
}

bool TSmtp::Quit()
{
    S->QuitSent = true;
    return S->Command("QUIT", 221);
}

std::string SmtpAddress(std::string_view Address)
{
    const std::size_t Open = Address.find('<');
    if (Open != std::string_view::npos) {
        const std::size_t Close = Address.find('>', Open);
        Address = Address.substr(Open + 1, Close == std::string_view::npos ? std::string_view::npos
                                                                           : Close - Open - 1);
    }
    std::string Out = Trimmed(Address);
    for (const char C : Out)
        if (static_cast<unsigned char>(C) <= ' ' || C == 0x7F || C == '<' || C == '>')
            return {};
    return Out;
}

namespace {

bool Transaction(TSmtp& Session, const std::string& From, const std::vector<std::string>& To,
                 const std::vector<TMessagePart>& Parts, IProgressAlert* Progress,
                 std::string& Error)
{
    bool PartsOk = true;
    if (!Session.StartMail(From, To)) {
        Error = Session.Error();
        return false;
    }
    const TMessageWrite Write = [&Session](std::string_view Text) {
        return Session.WriteMessage(Text);
    };
    for (const auto& Part : Parts) {
        if (!Part(Write))
            PartsOk = false;
        if (!Session.Connected())
            break;
        if (Progress)
            Progress->NextArea();
    }
    if (!Session.EndMail()) {
        Error = Session.Error();
        return false;
    }
    Session.Quit();
    if (!PartsOk)
        Error = "a file of the message could not be read";
    return PartsOk;
}

} // namespace

bool SendSmtpMessage(const TSmtpOptions& Options, std::string_view From,
                     std::string_view Recipients, const std::vector<TMessagePart>& Parts,
                     IProgressAlert* Progress, std::string& Error)
{
    const std::string Sender = SmtpAddress(From);
    if (Sender.empty()) {
        Error = "no valid sender address";
        return false;
    }
    std::vector<std::string> To;
    std::size_t Start = 0;
    while (Start <= Recipients.size()) {
        std::size_t Comma = Recipients.find(',', Start);
        if (Comma == std::string_view::npos)
            Comma = Recipients.size();
        const std::string_view Item = Recipients.substr(Start, Comma - Start);
        if (!Trimmed(Item).empty()) {
            const std::string Address = SmtpAddress(Item);
            if (Address.empty()) {
                Error = "not a valid recipient address: " + Trimmed(Item);
                return false;
            }
            To.push_back(Address);
        }
        Start = Comma + 1;
    }
    if (To.empty()) {
        Error = "no recipient";
        return false;
    }

    if (!Options.Server.empty()) {
        TSmtp Session(Options);
        if (!Session.Connected()) {
            Error = Session.Error();
            return false;
        }
        if (Progress)
            Progress->NextArea();
        return Transaction(Session, Sender, To, Parts, Progress, Error);
    }

    // Server mode: each recipient in a transaction of its own. Its areas are
    // the lookup, the connection and one for each part.
    const int FirstArea = Progress ? Progress->GetArea() : 0;
    const int AreasEach = 2 + static_cast<int>(Parts.size());
    bool Sent = false;
    for (std::size_t I = 0; I < To.size(); ++I) {
        if (Progress)
            Progress->SetArea(FirstArea + static_cast<int>(I) * AreasEach);
        const TMailExchangers Exchangers = FindMailExchangers(To[I]);
        if (Progress)
            Progress->NextArea();
        if (Exchangers.Hosts.empty())
            Error = "Server not found (" + Exchangers.Error + ")";
        for (const auto& Host : Exchangers.Hosts) {
            TSmtpOptions Each;
            Each.Server = Host;
            Each.Port = SmtpServerPort();
            Each.Exchanger = true;
            TSmtp Session(Each);
            if (!Session.Connected()) {
                Error = Host + ": " + Session.Error();
                continue;
            }
            if (Progress)
                Progress->NextArea();
            if (Transaction(Session, Sender, {To[I]}, Parts, Progress, Error)) {
                Sent = true;
                break;
            }
            Error = Host + ": " + Error;
        }
    }
    if (Sent)
        Error.clear();
    return Sent;
}
