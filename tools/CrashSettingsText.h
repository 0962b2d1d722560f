// The readable form of the crash reporter's settings section, from which the
// build writes the section (tools/make_crash_resources settings) and into
// which a section is printed back (make_crash_resources decode).
//
// One setting a line, "Key = value"; blank lines and lines whose first
// character other than blanks is "#" are skipped. The kind of a key comes
// from the defaults table (a boolean is yes/no, true/false, on/off or 1/0, an
// integer decimal); a key without a default says its kind after a ":" (text,
// int or bool); "%LF%" in a text is a line break (CR LF); a password is given
// in plain text with the kind "password" and is written enciphered with the
// server and account texts of the same file:
//
//   # Sent where?
//   Enabled = true
//   FreezeTimeout = 60
//   ExceptMsg = Sorry.%LF%The program must close.
//   Assistant1:text = SendAssistant|ContactForm
//   HttpServer = https://example.org/upload
//   HttpAccount = uploader
//   HttpPassword:password = s3cret
//
// Blanks around the key, the kind and the value do not count; a "#" after the
// value is part of it. Key names are compared without regard to case and
// written as the defaults table spells them. The file is UTF-8; the settings
// are written in the order of the file.
#pragma once

#include "crashreport/kelExceptSettings.h"
#include "tools/CrashTextLines.h"

#include <string>
#include <string_view>
#include <vector>

// A line that cannot be read: "file:line: what is wrong".
using ESettingsTextError = ECrashTextError;

// The entries of a settings text, passwords enciphered. FileName only names
// the file in errors.
std::vector<TSettingEntry> ParseSettingsText(std::string_view Text, std::string_view FileName);

// The settings text of a stream. Problem tells what kept the text from being
// complete (not a settings stream, an unknown tag or a cut-off record, a
// password that does not decipher); the text holds what could be read.
struct TSettingsTextDecoded {
    std::string Text;
    std::string Problem;
};
TSettingsTextDecoded SettingsStreamToText(std::string_view Stream);
