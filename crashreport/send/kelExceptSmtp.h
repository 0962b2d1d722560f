// The crash reporter's SMTP client: mails a report through a configured
// server, or, as its own server, straight to the mail exchangers of each
// recipient's domain (kelExceptDns).
//
// Every connect, every wait for a reply and every wait for room to send is
// bounded by SmtpTimeout. TLS is OpenSSL's, 1.2 or later, as implicit TLS or
// STARTTLS. Towards a configured server the certificate's chain and host name
// are always verified (the trusted roots are the system's, or the file that
// SSL_CERT_FILE names), a STARTTLS asked for must be offered, and the account
// and password go only over an encrypted connection. Towards a mail exchanger
// STARTTLS is used whenever it is offered, without verifying the certificate:
// no credentials go there, and exchangers' certificates often name another
// host; where it is not offered the mail goes in clear.
//
// Replies are untrusted bytes: a reply line may hold 512 bytes, a whole reply
// 64 KiB; beyond either the session fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class IProgressAlert;

inline constexpr std::chrono::milliseconds SmtpTimeout{7000};
inline constexpr std::size_t SmtpMaxReply = 64 * 1024;
inline constexpr std::size_t SmtpMaxReplyLine = 512; // CR LF included (RFC 5321)

// The port a mail exchanger is asked on (a seam for tests and benchmarks).
void SetSmtpServerPort(std::uint16_t Port);
std::uint16_t SmtpServerPort();
// The name the client greets with; empty (the default): the host's fully
// qualified name, else the connection's own address as a literal
// ("[192.0.2.5]", "[IPv6:2001:db8::5]").
void SetSmtpGreetingName(std::string_view Name);

// Port 0 means 465 with implicit TLS, 587 with STARTTLS and an account or a
// password, else 25.
std::uint16_t SmtpPort(std::uint16_t Port, bool Ssl, bool Tls, bool HasCredentials);

struct TSmtpOptions {
    std::string Server;
    std::uint16_t Port = 0;
    bool Ssl = false; // implicit TLS
    bool Tls = false; // STARTTLS
    std::string Account, Password;
    // A mail exchanger: STARTTLS when offered, its certificate not verified,
    // no authentication.
    bool Exchanger = false;
};

// One SMTP session. Making it connects, greets, starts TLS and authenticates
// as the options say; on failure Error() tells why and Connected() is false.
// Destroying it ends the session politely: an unfinished DATA is ended with
// ".", then RSET and QUIT unless QUIT was sent.
class TSmtp {
public:
    explicit TSmtp(const TSmtpOptions& Options);
    ~TSmtp();
    TSmtp(const TSmtp&) = delete;
    TSmtp& operator=(const TSmtp&) = delete;

    bool Connected() const;
    bool TlsActive() const;
    const std::string& Error() const;
    // The last reply, its lines with their CR LF.
    const std::string& LastReply() const;

    // Sends the command and CR LF, then reads the reply; true when it starts
    // with the expected code.
    bool SendCommand(std::string_view Command, int Expected);
    // Sends raw bytes (through TLS when active).
    bool SendData(std::string_view Bytes);
    bool ReadReply(int Expected);

    // MAIL FROM and RCPT TO for each address (at least one must be taken),
    // then DATA.
    bool StartMail(std::string_view From, const std::vector<std::string>& To);
    // Message text after DATA: line ends become CR LF, and every line that
    // starts with "." gets one more in front.
    bool WriteMessage(std::string_view Text);
    // Ends the text with CR LF (when it does not end so) and ".", expecting 250.
    bool EndMail();
    bool Quit();

private:
    struct TState;
    std::unique_ptr<TState> S;
};

// Writes one part of a message through Write (which answers false once the
// session has failed); false when the part itself failed (a file that could
// not be read).
using TMessageWrite = std::function<bool(std::string_view)>;
using TMessagePart = std::function<bool(const TMessageWrite& Write)>;

// The address part of a mail address for MAIL FROM and RCPT TO: what lies
// between "<" and ">", or the whole text trimmed; empty when it holds a
// control character or a blank.
std::string SmtpAddress(std::string_view Address);

// Sends a message, made of Parts in order, from From to the recipients
// (separated by ","). With Options.Server empty, in server mode: each
// recipient's mail exchangers are found and tried by preference, each
// recipient in a transaction of its own, and the send succeeds when any
// recipient's does. Progress moves to its next area after the exchanger
// lookup, the connection and each part. Error tells why the last attempt
// failed.
bool SendSmtpMessage(const TSmtpOptions& Options, std::string_view From,
                     std::string_view Recipients, const std::vector<TMessagePart>& Parts,
                     IProgressAlert* Progress, std::string& Error);
