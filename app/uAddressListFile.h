// The address list's text file: one address or computer name per line, as
// the address list of the main window imports and exports it.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// Lines may end with CR LF, LF or CR; the last line needs no line break; an
// empty line is an empty entry.
std::vector<std::string> ParseAddressListText(const std::string& Text);

// Reads an address-list file; raises EAddressListFileError when it cannot be
// read.
std::vector<std::string> ReadAddressListFile(const std::string& FileName);

// An imported line as an address or name: without the blanks and control
// characters around it (those inside stay).
std::string TrimAddressLine(const std::string& Line);

// Every entry followed by CR LF.
std::string FormatAddressListText(const std::vector<std::string>& Lines);

// Writes an address-list file whole, in one step; raises platform::EFileError.
void WriteAddressListFile(const std::string& FileName, const std::vector<std::string>& Lines);

class EAddressListFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
