// The crash reporter's HTTP client, TWinHttp, on libcurl's easy interface,
// and the plain upload of a report as multipart/form-data.
//
// A request body is streamed from its pieces (texts, files, files as
// Base64), its length computed before it is sent; the upload's progress
// moves the progress alert. Connections time out after 7 seconds, transfers
// that stall below a low speed are given up, and TLS is always verified (the
// system's roots, or the file SSL_CERT_FILE names). Proxies come from
// http_proxy, https_proxy and no_proxy. A POST never follows a redirect.
// Only a 2xx status counts as delivered.
//
// Passwords go only over HTTPS: over plain HTTP the HTTP account is offered
// only to challenge schemes that never send the password itself (Digest,
// NTLM, Negotiate), and the trackers refuse to send theirs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class IProgressAlert;

// An attachment ready to be sent: the file, the name it goes under, the form
// field that carries it.
struct THttpAttachment {
    std::string File;
    std::string SendAs;
    std::string Field;
};

// A request body made of pieces, read in order. A file piece reads from a
// file opened when it is added (a file that cannot be opened adds nothing
// and answers false); its bytes can be Base64-encoded on the way, in pieces
// of 1536 bytes (2048 characters, no line breaks). A file piece may name a
// progress area: while its bytes go out, that area is current.
class THttpBody {
public:
    THttpBody();
    ~THttpBody();
    THttpBody(THttpBody&&) noexcept;
    THttpBody& operator=(THttpBody&&) noexcept;

    void Add(std::string_view Bytes);
    // Head, when given, goes in front of the file, and only when the file opens.
    bool AddFile(const std::string& Path, bool Base64, int ProgressArea = -1,
                 std::string_view Head = {});
    // The length of everything added.
    std::uint64_t Size() const;

    // Reading: up to Size bytes into Buffer; 0 at the end. A file that
    // changed its length or could not be read sets Failed().
    std::size_t Read(char* Buffer, std::size_t Size);
    // Back to the first byte (for a request sent again).
    void Rewind();
    bool Failed() const;
    // The progress area (and the position 0..1000 in it) of the byte at
    // Offset; area -1 outside every file piece.
    std::pair<int, int> ProgressAt(std::uint64_t Offset) const;

private:
    struct TPiece;
    std::vector<std::unique_ptr<TPiece>> Pieces;
    std::size_t Current = 0;
    bool Broken = false;
};

struct THttpServer {
    std::string Server; // "host[:port][/path]", a scheme in front is dropped
    bool Secure = false;
    std::uint16_t Port = 0; // 0: the scheme's
    std::string HttpAccount, HttpPassword;
    std::string TrackerAccount, TrackerPassword;
};

class TWinHttp {
public:
    TWinHttp(const THttpServer& Server, std::shared_ptr<IProgressAlert> Progress = {});
    ~TWinHttp();
    TWinHttp(const TWinHttp&) = delete;
    TWinHttp& operator=(const TWinHttp&) = delete;

    // The server text split: the host (with a port when it names one) and
    // the path (empty without one).
    const std::string& Host() const;
    const std::string& Path() const;
    bool Secure() const;
    const THttpServer& Settings() const;
    IProgressAlert* Progress() const;

    // A new request of Verb to Path (below the host, starting with "/").
    bool OpenRequest(std::string_view Verb, std::string_view Path);
    // A header line "Name: value"; false (and nothing added) for a line
    // holding CR or LF.
    bool AddHeader(std::string_view Line);
    // Sends the request with the body (none: empty) and receives the whole
    // response; true when the transfer worked, whatever the status.
    bool SendAndReceive(THttpBody* Body = nullptr);
    // The status of the last response, 0 without one.
    int Status() const;
    // True for a 2xx status; otherwise the last error tells the status line.
    bool StatusOk();
    // The body of the last response, as it came.
    const std::string& ReadResponse() const;
    // GET of Path: the response's body when the status is 2xx, else empty
    // (the last error tells why).
    std::string HttpGet(std::string_view Path);

    // The last error: a libcurl code or an HTTP status, and its text. A
    // tracker puts its fault text here too.
    int LastErrorCode() const;
    const std::string& LastError() const;
    void SetLastError(int Code, std::string Text);

private:
    struct TState;
    std::unique_ptr<TState> S;
};

// The last HTTP error of the process, as the caller of a send may ask it.
std::pair<int, std::string> LastHttpError();

// The text in UTF-8, or, when every character of it is Latin-1, those bytes;
// the flag says which.
std::string Latin1OrUtf8(std::string_view Utf8, bool& IsLatin1);

// The multipart/form-data body of the plain upload: each field as text/plain
// (Latin-1 as "iso-8859-1" 8bit, anything else as "utf-8" bytes), then each
// attachment as application/octet-stream, the attachments' areas from
// FirstArea on. Files that cannot be opened are left out.
THttpBody MultipartBody(const std::vector<std::pair<std::string, std::string>>& Fields,
                        const std::vector<THttpAttachment>& Attachments, std::string_view Boundary,
                        int FirstArea = -1);

// The plain upload ("UploadViaHttp"): a multipart POST to the server's path
// with the fields ("MailFrom" and "MailAddr" reduced to their bare address)
// and the attachments. True only for a 2xx status.
bool HttpUpload(TWinHttp& Http, std::vector<std::pair<std::string, std::string>> Fields,
                const std::vector<THttpAttachment>& Attachments);

// A boundary for the multipart bodies of one process.
std::string HttpBoundary();
