// The two ways of last resort: handing the report to the user's own mail
// program, through the desktop's standard commands.
//
// "MailViaMapi" (in its place: the desktop's mail command) runs xdg-email
// with the recipients, subject, body and every prepared attachment; the user
// sees the mail in the mail program and sends it. The attachments are first
// copied under the names they are sent as into a folder of their own in the
// crash reporter's folder, since the mail program may read them after the
// helper has ended; such folders are removed after seven days. Simple MAPI
// itself (a Windows library that could also send silently and answer
// "cancelled") has no counterpart, so this way never runs without the user.
//
// "MailViaMailto" opens a mailto URL (recipients, subject and body, no
// attachments) with xdg-open, which starts whatever the desktop has for mail.
//
// Both run the command with an argument vector (posix_spawnp, never a shell)
// and wait for it: exit status 0 means the mail was handed over. A hand-over
// is no delivery, so the send that used it leaves the report file in place.
#pragma once

#include "crashreport/send/kelExceptMime.h"

#include <string>
#include <string_view>
#include <vector>

// The longest mailto URL handed over: the longest command line the mail
// programs of the system this was designed for took.
inline constexpr std::size_t MaxMailtoLength = 32766;

// "mailto:" + recipients + "?subject=" + subject + "&body=" + body, each in
// UTF-8 with every byte but letters, digits, "." and "@" written as "%XX"
// (a blank "%20", a line break "%0D%0A"); recipients tidied first (";" read
// as ",", which stays unescaped between the addresses). A URL longer than MaxMailtoLength is cut to
// it, and then shortened to end before an escape, or a character of several bytes, that the cut
// broke.
std::string MailtoUrl(std::string_view Recipients, std::string_view Subject, std::string_view Body);

// Runs a program found on PATH with these arguments (Argv[0] the program)
// and waits for it; its exit status, or -1 when it could not be started or
// did not exit normally.
int RunAndWait(const std::vector<std::string>& Argv);

// The mail program gets the mail through xdg-email; true when it took it.
bool SendViaMailProgram(std::string_view Recipients, std::string_view Subject,
                        std::string_view Body, const std::vector<TPreparedAttachment>& Attachments);
// The mailto URL opened with xdg-open; true when the opener took it.
bool SendViaMailto(std::string_view Recipients, std::string_view Subject, std::string_view Body);
