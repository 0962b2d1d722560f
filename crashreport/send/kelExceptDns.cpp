#include "crashreport/send/kelExceptDns.h"

#include "crashreport/send/kelExceptSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/random.h>

namespace {

constexpr std::size_t HeaderSize = 12;
constexpr int MaxJumps = 32;
constexpr std::size_t MaxWireName = 255; // RFC 1035: the whole name, length bytes included
constexpr std::uint16_t ClassIN = 1;

char LowerAscii(char C)
{
    return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

bool LabelChar(char C)
{
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' ||
           C == '_';
}

bool SameName(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
        return false;
    for (std::size_t I = 0; I < A.size(); ++I)
        if (LowerAscii(A[I]) != LowerAscii(B[I]))
            return false;
    return true;
}

// The name without one trailing ".", lower case; empty when it is no name we
// ask for.
std::string CheckedName(std::string_view Name)
{
    if (!Name.empty() && Name.back() == '.')
        Name.remove_suffix(1);
    if (Name.empty() || Name.size() > MaxWireName - 2)
        return {};
    std::string Out;
    std::size_t Label = 0;
    for (const char C : Name) {
        if (C == '.') {
            if (Label == 0)
                return {};
            Label = 0;
        } else if (!LabelChar(C) || ++Label > 63) {
            return {};
        }
        Out += LowerAscii(C);
    }
    return Label == 0 ? std::string() : Out;
}

std::uint16_t Read16(std::string_view P, std::size_t At)
{
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(P[At]) << 8) |
                                      static_cast<std::uint8_t>(P[At + 1]));
}

void Put16(std::string& Out, std::uint16_t V)
{
    Out += static_cast<char>(V >> 8);
    Out += static_cast<char>(V & 0xFF);
}

// Reads the name at Pos. Its own bytes must end by End; a compression pointer
// may only lead before every byte of the name read so far, at most MaxJumps
// times. Pos moves past the name's own bytes. The name comes lower case,
// labels joined by "."; the root is empty.
bool ReadName(std::string_view P, std::size_t& Pos, std::size_t End, std::string& Out)
{
    Out.clear();
    std::size_t Cur = Pos;
    std::size_t Lowest = Pos; // every byte of the name so far lies at or after it
    std::size_t Wire = 1;     // the root's length byte
    int Jumps = 0;
    bool Jumped = false;
    for (;;) {
        if (Cur >= End)
            return false;
        const auto Length = static_cast<std::uint8_t>(P[Cur]);
        if (Length == 0) {
            if (!Jumped)
                Pos = Cur + 1;
            return true;
        }
        if ((Length & 0xC0) == 0xC0) {
            if (Cur + 1 >= End)
                return false;
            const std::size_t Target = Read16(P, Cur) & 0x3FFF;
            if (Target >= Lowest || ++Jumps > MaxJumps)
                return false;
            if (!Jumped)
                Pos = Cur + 2;
            Jumped = true;
            Cur = Lowest = Target;
            // A name pointed to may lie anywhere before, up to the end of the packet.
            End = P.size();
            continue;
        }
        if ((Length & 0xC0) != 0 || Cur + 1 + Length > End)
            return false;
        Wire += 1 + Length;
        if (Wire > MaxWireName)
            return false;
        if (!Out.empty())
            Out += '.';
        for (std::size_t I = Cur + 1; I <= Cur + Length; ++I) {
            if (!LabelChar(P[I]))
                return false;
            Out += LowerAscii(P[I]);
        }
        Cur += 1 + Length;
    }
}

struct TRawRecord {
    std::string Owner;
    std::uint16_t Type = 0;
    std::string Name; // the name in its data (MX, NS, CNAME)
    std::uint16_t Preference = 0;
};

// Reads Count records from Pos; those of class IN and of a type we know keep
// their name.
bool ReadRecords(std::string_view P, std::size_t& Pos, unsigned Count, std::vector<TRawRecord>& Out)
{
    for (unsigned I = 0; I < Count; ++I) {
        TRawRecord R;
        if (!ReadName(P, Pos, P.size(), R.Owner) || Pos + 10 > P.size())
            return false;
        R.Type = Read16(P, Pos);
        const std::uint16_t Class = Read16(P, Pos + 2);
        const std::size_t Length = Read16(P, Pos + 8);
        Pos += 10;
        if (Pos + Length > P.size())
            return false;
        const std::size_t End = Pos + Length;
        if (Class == ClassIN &&
            (R.Type == DnsTypeMX || R.Type == DnsTypeNS || R.Type == DnsTypeCNAME)) {
            std::size_t At = Pos;
            if (R.Type == DnsTypeMX) {
                if (Length < 3)
                    return false;
                R.Preference = Read16(P, At);
                At += 2;
            }
            if (!ReadName(P, At, End, R.Name) || At != End)
                return false;
            Out.push_back(std::move(R));
        }
        Pos = End;
    }
    return true;
}

} // namespace

std::string MakeDnsQuery(std::uint16_t Id, std::string_view Name, std::uint16_t Type)
{
    const std::string Checked = CheckedName(Name);
    if (Checked.empty())
        return {};
    std::string Out;
    Put16(Out, Id);
    Put16(Out, 0x0100); // recursion desired
    Put16(Out, 1);
    Put16(Out, 0);
    Put16(Out, 0);
    Put16(Out, 0);
    std::size_t Start = 0;
    while (Start <= Checked.size()) {
        std::size_t Dot = Checked.find('.', Start);
        if (Dot == std::string::npos)
            Dot = Checked.size();
        Out += static_cast<char>(Dot - Start);
        Out.append(Checked, Start, Dot - Start);
        Start = Dot + 1;
    }
    Out += '\0';
    Put16(Out, Type);
    Put16(Out, ClassIN);
    return Out;
}

TDnsReply ParseDnsReply(std::string_view P, std::uint16_t Id, std::string_view Name,
                        std::uint16_t Type)
{
    TDnsReply Reply;
    const std::string Asked = CheckedName(Name);
    if (P.size() < HeaderSize || Asked.empty() || Read16(P, 0) != Id)
        return Reply;
    const std::uint16_t Flags = Read16(P, 2);
    if ((Flags & 0x8000) == 0 || ((Flags >> 11) & 0xF) != 0 || Read16(P, 4) != 1)
        return Reply;
    std::size_t Pos = HeaderSize;
    std::string QName;
    if (!ReadName(P, Pos, P.size(), QName) || Pos + 4 > P.size() || QName != Asked ||
        Read16(P, Pos) != Type || Read16(P, Pos + 2) != ClassIN)
        return Reply;
    Pos += 4;
    Reply.Rcode = Flags & 0xF;
    if (Flags & 0x0200) {
        Reply.Status = TDnsReplyStatus::drTruncated;
        return Reply;
    }
    if (Reply.Rcode != 0) {
        Reply.Status =
            Reply.Rcode == 3 ? TDnsReplyStatus::drNoSuchDomain : TDnsReplyStatus::drServerFailure;
        return Reply;
    }
    std::vector<TRawRecord> Answers, Authority;
    if (!ReadRecords(P, Pos, Read16(P, 6), Answers) ||
        !ReadRecords(P, Pos, Read16(P, 8), Authority)) {
        Reply.Status = TDnsReplyStatus::drMalformed;
        return Reply;
    }
    // Follow the CNAME chain of the answer section from the asked name; each
    // alias is taken once, so a loop of aliases ends.
    std::string Owner = Asked;
    std::vector<bool> Used(Answers.size());
    for (bool Moved = true; Moved;) {
        Moved = false;
        for (std::size_t I = 0; I < Answers.size(); ++I)
            if (!Used[I] && Answers[I].Type == DnsTypeCNAME && SameName(Answers[I].Owner, Owner)) {
                Used[I] = true;
                Owner = Answers[I].Name;
                Moved = true;
            }
    }
    for (const auto& R : Answers)
        if (R.Type == Type && SameName(R.Owner, Owner))
            Reply.Answers.push_back({R.Name, R.Preference});
    if (Type == DnsTypeNS)
        for (const auto& R : Authority)
            if (R.Type == DnsTypeNS)
                Reply.Authority.push_back({R.Name, 0});
    Reply.Status = TDnsReplyStatus::drOk;
    return Reply;
}

std::vector<std::string> ParseResolvConf(std::string_view Text)
{
    std::vector<std::string> Servers;
    std::istringstream In{std::string(Text)};
    std::string Line;
    while (std::getline(In, Line)) {
        std::istringstream Words(Line);
        std::string Key, Value;
        if (!(Words >> Key >> Value) || Key != "nameserver")
            continue;
        if (std::find(Servers.begin(), Servers.end(), Value) == Servers.end())
            Servers.push_back(Value);
    }
    return Servers;
}

std::vector<std::string> GetDnsServers()
{
    std::ifstream In("/etc/resolv.conf");
    std::stringstream Text;
    Text << In.rdbuf();
    return ParseResolvConf(Text.str());
}

namespace {

std::uint16_t RandomId()
{
    std::uint16_t Id = 0;
    while (::getrandom(&Id, sizeof Id, 0) != static_cast<ssize_t>(sizeof Id))
        if (errno != EINTR)
            break;
    return Id;
}

bool SameAddress(const sockaddr_storage& A, const sockaddr_storage& B)
{
    if (A.ss_family != B.ss_family)
        return false;
    if (A.ss_family == AF_INET) {
        const auto& X = reinterpret_cast<const sockaddr_in&>(A);
        const auto& Y = reinterpret_cast<const sockaddr_in&>(B);
        return X.sin_port == Y.sin_port && X.sin_addr.s_addr == Y.sin_addr.s_addr;
    }
    const auto& X = reinterpret_cast<const sockaddr_in6&>(A);
    const auto& Y = reinterpret_cast<const sockaddr_in6&>(B);
    return X.sin6_port == Y.sin6_port &&
           std::memcmp(&X.sin6_addr, &Y.sin6_addr, sizeof X.sin6_addr) == 0;
}

std::string StatusText(const TDnsReply& Reply)
{
    switch (Reply.Status) {
    case TDnsReplyStatus::drMalformed:
        return "malformed reply";
    case TDnsReplyStatus::drTruncated:
        return "truncated reply";
    case TDnsReplyStatus::drNoSuchDomain:
        return "no such domain";
    case TDnsReplyStatus::drServerFailure:
        return "server failure (RCODE " + std::to_string(Reply.Rcode) + ")";
    default:
        return "no reply";
    }
}

TDnsReply AskOverUdp(const sockaddr_storage& Server, socklen_t Length, const std::string& Query,
                     std::uint16_t Id, std::string_view Name, std::uint16_t Type,
                     std::string& Error)
{
    TDnsReply Reply;
    TSocket S = TSocket::Open(Server.ss_family, SOCK_DGRAM, Error);
    // Connected: the kernel passes on only datagrams of that address and port,
    // and reports the server's port as unreachable.
    if (!S.Valid() || ::connect(S.Get(), reinterpret_cast<const sockaddr*>(&Server), Length) != 0 ||
        ::send(S.Get(), Query.data(), Query.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(Query.size())) {
        if (Error.empty())
            Error = ErrnoText(errno);
        return Reply;
    }
    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + DnsWait;
    std::string Buffer(65536, '\0');
    for (;;) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        const int R = Left.count() > 0 ? WaitFor(S.Get(), POLLIN, Left) : 0;
        if (R <= 0) {
            Error = R == 0 ? "no reply" : ErrnoText(errno);
            return Reply;
        }
        sockaddr_storage From{};
        socklen_t FromLength = sizeof From;
        const ssize_t N = ::recvfrom(S.Get(), Buffer.data(), Buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&From), &FromLength);
        if (N < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            Error = ErrnoText(errno);
            return Reply;
        }
        if (!SameAddress(From, Server))
            continue;
        Reply = ParseDnsReply(std::string_view(Buffer.data(), static_cast<std::size_t>(N)), Id,
                              Name, Type);
        if (Reply.Status != TDnsReplyStatus::drNotOurs)
            return Reply;
    }
}

TDnsReply AskOverTcp(const sockaddr_storage& Server, socklen_t Length, const std::string& Query,
                     std::uint16_t Id, std::string_view Name, std::uint16_t Type,
                     std::string& Error)
{
    TDnsReply Reply;
    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + DnsWait;
    auto Left = [&] {
        return std::max(
            std::chrono::milliseconds(0),
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()));
    };
    TSocket S = TSocket::Open(Server.ss_family, SOCK_STREAM, Error);
    std::string Framed;
    Put16(Framed, static_cast<std::uint16_t>(Query.size()));
    Framed += Query;
    if (!S.Valid() ||
        !ConnectWithin(S, reinterpret_cast<const sockaddr*>(&Server), Length, Left(), Error) ||
        !SendAll(S, Framed.data(), Framed.size(), Left(), Error))
        return Reply;
    std::string In;
    std::size_t Want = 2;
    char Buffer[4096];
    while (In.size() < Want) {
        const int R = WaitFor(S.Get(), POLLIN, Left());
        if (R <= 0) {
            Error = R == 0 ? "no reply over TCP" : ErrnoText(errno);
            return Reply;
        }
        const ssize_t N = ::recv(S.Get(), Buffer, sizeof Buffer, 0);
        if (N < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (N <= 0) {
            Error = N == 0 ? "connection closed" : ErrnoText(errno);
            return Reply;
        }
        In.append(Buffer, static_cast<std::size_t>(N));
        if (Want == 2 && In.size() >= 2)
            Want = 2 + Read16(In, 0);
    }
    Reply = ParseDnsReply(std::string_view(In).substr(2, Want - 2), Id, Name, Type);
    // Over TCP a reply is complete: one cut short again is not to be read.
    if (Reply.Status == TDnsReplyStatus::drTruncated)
        Reply.Status = TDnsReplyStatus::drMalformed;
    return Reply;
}

} // namespace

TDnsAnswer DnsQuery(std::string_view Server, std::string_view Name, std::uint16_t Type,
                    std::uint16_t Port)
{
    TDnsAnswer Answer;
    const std::uint16_t Id = RandomId();
    const std::string Query = MakeDnsQuery(Id, Name, Type);
    if (Query.empty()) {
        Answer.Error = "not a domain name: " + std::string(Name);
        return Answer;
    }
    addrinfo Hints{};
    Hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    Hints.ai_socktype = SOCK_DGRAM;
    addrinfo* Found = nullptr;
    const std::string Host(Server);
    if (::getaddrinfo(Host.c_str(), std::to_string(Port).c_str(), &Hints, &Found) != 0 || !Found) {
        Answer.Error = "not a name server address: " + Host;
        return Answer;
    }
    sockaddr_storage Address{};
    const socklen_t Length = Found->ai_addrlen;
    std::memcpy(&Address, Found->ai_addr, Length);
    ::freeaddrinfo(Found);

    TDnsReply Reply = AskOverUdp(Address, Length, Query, Id, Name, Type, Answer.Error);
    if (Reply.Status == TDnsReplyStatus::drTruncated)
        Reply = AskOverTcp(Address, Length, Query, Id, Name, Type, Answer.Error);
    Answer.Status = Reply.Status;
    if (Reply.Status != TDnsReplyStatus::drOk) {
        if (Reply.Status != TDnsReplyStatus::drNotOurs || Answer.Error.empty())
            Answer.Error = StatusText(Reply);
        return Answer;
    }
    Answer.Ok = true;
    Answer.Answers = std::move(Reply.Answers);
    Answer.Authority = std::move(Reply.Authority);
    if (Type == DnsTypeMX)
        std::stable_sort(
            Answer.Answers.begin(), Answer.Answers.end(),
            [](const TDnsRecord& A, const TDnsRecord& B) { return A.Preference < B.Preference; });
    return Answer;
}

std::string MailDomain(std::string_view Address)
{
    const std::size_t At = Address.rfind('@');
    std::string_view D = At == std::string_view::npos ? std::string_view() : Address.substr(At + 1);
    auto Blank = [](char C) { return C == ' ' || C == '\t' || C == '\r' || C == '\n'; };
    while (!D.empty() && Blank(D.back()))
        D.remove_suffix(1);
    if (!D.empty() && D.back() == '>')
        D.remove_suffix(1);
    while (!D.empty() && Blank(D.front()))
        D.remove_prefix(1);
    while (!D.empty() && Blank(D.back()))
        D.remove_suffix(1);
    if (!D.empty() && D.back() == '.')
        D.remove_suffix(1);
    return std::string(D);
}

TMailExchangers FindMailExchangers(std::string_view Address,
                                   const std::vector<std::string>& Servers)
{
    TMailExchangers Result;
    const std::string Domain = CheckedName(MailDomain(Address));
    if (Domain.empty()) {
        Result.Error = "no mail domain in \"" + std::string(Address) + "\"";
        return Result;
    }
    if (Servers.empty()) {
        Result.Error = "no name server in /etc/resolv.conf";
        return Result;
    }
    for (const auto& Server : Servers) {
        const TDnsAnswer A = DnsQuery(Server, Domain, DnsTypeMX);
        if (A.Status == TDnsReplyStatus::drNoSuchDomain) {
            Result.Error = "no such domain: " + Domain;
            return Result;
        }
        if (!A.Ok) {
            Result.Error = Server + ": " + A.Error;
            continue;
        }
        Result.Error.clear();
        // RFC 5321: without MX records the domain's own address takes the
        // mail; RFC 7505: "." as the only exchanger means none does.
        if (A.Answers.empty())
            Result.Hosts.push_back(Domain);
        else if (A.Answers.size() == 1 && A.Answers[0].Name.empty())
            Result.Error = Domain + " takes no mail";
        else
            for (const auto& R : A.Answers)
                if (!R.Name.empty() && std::find(Result.Hosts.begin(), Result.Hosts.end(),
                                                 R.Name) == Result.Hosts.end())
                    Result.Hosts.push_back(R.Name);
        return Result;
    }
    return Result;
}

TMailExchangers FindMailExchangers(std::string_view Address)
{
    return FindMailExchangers(Address, GetDnsServers());
}

std::string FindMailExchanger(std::string_view Address)
{
    const TMailExchangers M = FindMailExchangers(Address);
    return M.Hosts.empty() ? std::string() : M.Hosts.front();
}
