// The comments the user keeps per MAC address, and their file
// "mac_comments.txt".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The comments per MAC address: "MAC=comment" lines, in the order they were
// added, kept as a list of lines so that a file read and written again keeps
// every line it had (also lines without "=", and later duplicates, which are
// never looked at).
//
// Names are looked up without regard to ASCII letter case: ARP and NetBIOS
// write lower-case addresses, NET API and SNMP upper-case ones, and the same
// adapter must show the same comment whichever method found it.
class TMacComments {
public:
    // The comment for Mac; empty when there is none.
    std::string Get(const std::string& Mac) const;
    // Stores Comment for Mac (in the first line of that name, whose name text
    // stays as it was written); an empty comment removes that line. An empty
    // Mac is ignored. True when a line changed.
    bool Set(const std::string& Mac, const std::string& Comment);

    const std::vector<std::string>& Lines() const { return FLines; }
    size_t Count() const { return FLines.size(); }
    void Clear();

    // Lines end at CR LF, LF or CR; a UTF-8 byte-order mark is skipped.
    void LoadFromText(std::string_view Text);
    // Every line followed by CR LF.
    std::string Text() const;

    // Reads the file when it exists (the list is empty otherwise). A file
    // that starts with a byte-order mark is read as the mark says (UTF-8,
    // UTF-16 little- or big-endian), as other editors save it. Raises
    // platform::EFileError when it exists but cannot be read.
    void LoadFromFile(const std::string& FileName);
    // Writes the lines when they changed since the file was read or last
    // written (nothing otherwise, so a file nobody edited stays byte for
    // byte), in the encoding and with the byte-order mark the file was read
    // with. Replaces the file in one step (platform::ReplaceFileAtomically),
    // so a failed write leaves the old file as it was. Raises
    // platform::EFileError.
    void SaveToFile(const std::string& FileName);
    // True when the lines differ from what the file held when read or last
    // written.
    bool Changed() const { return FChanged; }

    enum class TEncoding { Utf8, Utf8Bom, Utf16LE, Utf16BE };
    TEncoding Encoding() const { return FEncoding; }

private:
    void Reindex();

    std::vector<std::string> FLines;
    TEncoding FEncoding = TEncoding::Utf8;
    bool FChanged = false;
    // Lower-case name -> index of the first line with that name.
    std::unordered_map<std::string, size_t> FIndex;
};
