// The mail text (MIME) a bug report is sent as: a multipart/mixed message
// with the mail body as its text part and one base64 part per attachment.
//
// Texts come in as UTF-8. What can be written in ISO-8859-1 goes as
// ISO-8859-1; anything else as UTF-8. Header texts are 7-bit: a subject is
// always an encoded word (RFC 2047), a display name a plain phrase, a quoted
// string or an encoded word. The body goes as 8-bit ISO-8859-1 when it can
// and its lines are at most 998 bytes, else base64 (76-character lines). Body
// lines are left as they are: stuffing dots is the SMTP dialogue's work.
// Lines end with CR LF.
#pragma once

#include "crashlib/kelStrings.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class IProgressAlert;

// One file a send takes along, after zipping: the file, the name it is sent
// as, and the form field of an upload that carries it.
struct TPreparedAttachment {
    std::string File;
    std::string SendAs;
    std::string Field;
    bool operator==(const TPreparedAttachment&) const = default;
};

// Whether a UTF-8 text is valid and holds no character above U+00FF.
bool WritableInLatin1(std::string_view Utf8);
// The ISO-8859-1 bytes of a text WritableInLatin1 accepts.
std::string Utf8ToLatin1(std::string_view Utf8);

// Each byte of Text that is in Set becomes Escape and two upper-case hex
// digits; the others stay.
std::string EncodeBytesInSet(std::string_view Text, const TKelCharSet& Set, char Escape);

// An address as a header or command takes it. "Name <address>" (the name is
// what comes before the last "<", blanks around it removed): with EncodeName
// and a name, the name as a phrase (plain when it is letters, digits, blanks
// and the characters an atom may hold; else a quoted string; encoded words
// when it is not ASCII; control characters become blanks), a blank and
// "<address>";
// without EncodeName "<address>" alone. A text without "<" becomes
// "<" + text + ">". Line breaks and other control characters never reach the
// address part.
std::string FormatMailAddress(std::string_view Text, bool EncodeName);

// The Subject header's value: "=?ISO-8859-1?Q?" with every byte that is not
// a letter or a digit written as "=XX" (a blank as "=20"), or, when the text
// cannot be written in ISO-8859-1, "=?UTF-8?B?" + Base64; "?=". A subject
// too long for one encoded word of 75 characters is split into several (at
// character boundaries), folded onto lines of their own.
std::string EncodeMailSubject(std::string_view Subject);

// The text part's charset ("iso-8859-1" or "utf-8"), transfer encoding
// ("8bit" or "base64") and its encoded text (line breaks made CR LF; base64
// in lines of 76 characters, each ended by CR LF but the last).
struct TMailBody {
    std::string Charset, Encoding, Text;
};
TMailBody EncodeMailBody(std::string_view Body);

// "9 Mar 2024 14:05:09 UT" of the time (UTC).
std::string
MailDateTime(std::chrono::system_clock::time_point Time = std::chrono::system_clock::now());
// "<" + the UTC time as 100-ns ticks since 1601 in 16 lower-case hex digits
// + "@kelExcept>".
std::string
NewMessageId(std::chrono::system_clock::time_point Time = std::chrono::system_clock::now());
// The boundary of this process's messages: three random numbers below 2^30
// (from getrandom) one after the other, made once.
const std::string& MimeBoundary();
// By extension, any case: ".txt", ".kbr", ".ini" text/plain; ".jpg", ".jpeg"
// image/jpeg; ".png" image/png; ".zip" application/zip; else
// application/octet-stream.
std::string GetMimeType(std::string_view FileName);

// --- The message -------------------------------------------------------------------

struct TMailMessage {
    std::string To;      // the recipients, separated by ","; the header names the first
    std::string From;    // the sender ("Name <address>" or an address)
    std::string ReplyTo; // empty: the sender
    std::string Subject, Body;
    std::vector<TPreparedAttachment> Attachments;
};

// Receives the message's bytes; false stops the composing.
using TMailWriter = std::function<bool(std::string_view Bytes)>;

// The header and the text part, up to the first attachment's boundary line.
std::string ComposeMailHead(const TMailMessage& Message);
// One attachment's part: its head, then the file's bytes in base64 lines of
// 76 characters, read in blocks; after each block the progress position is
// the share of the file done (0..1000). False when Write fails or the file
// cannot be read whole (the part is then ended by CR LF and *Error says
// why).
bool ComposeMailAttachment(const TPreparedAttachment& Attachment, const TMailWriter& Write,
                           IProgressAlert* Progress = nullptr, std::string* Error = nullptr);
// The closing boundary line.
std::string ComposeMailEnd();
// The whole message: head, each attachment, end (the progress position as
// ComposeMailAttachment sets it).
bool ComposeMail(const TMailMessage& Message, const TMailWriter& Write,
                 IProgressAlert* Progress = nullptr, std::string* Error = nullptr);
