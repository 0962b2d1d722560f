// Profile (INI) files read by the rules of the Windows profile functions,
// which the language files were written for:
//  - section and key names compare without regard to ASCII case;
//  - names and values are trimmed of blanks;
//  - one pair of matching surrounding quotes (" or ') is removed from a value;
//  - the first of duplicate keys wins (a section that appears twice is one
//    section, its first occurrence's keys first);
//  - lines starting with ";" and lines without "=" are no keys.
// The text is taken as bytes: no code page is assumed, so any encoding of the
// names and values passes through unchanged. A leading UTF-8 byte-order mark
// is skipped. There is no size limit on values or on the key list.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

class IniProfile {
public:
    IniProfile() = default;

    // Parses a file's bytes.
    static IniProfile Parse(std::string_view Bytes);
    // Reads and parses a file; a file that is missing, unreadable or no
    // regular file (a named pipe, a device) gives an empty profile (the
    // profile functions answer defaults for it).
    static IniProfile Load(const std::string& Path);

    // The value of Key in Section, or nothing when the key is missing.
    std::optional<std::string> Value(std::string_view Section, std::string_view Key) const;
    std::string ReadString(std::string_view Section, std::string_view Key,
                           const std::string& Default) const;
    // Key names of Section in file order, each once, spelled as at their
    // first occurrence. Empty for a missing section.
    std::vector<std::string> SectionKeys(std::string_view Section) const;
    // Section names in file order, each once.
    std::vector<std::string> SectionNames() const;

private:
    struct TSection {
        std::string Name;
        std::vector<std::pair<std::string, std::string>> Keys;
        std::unordered_map<std::string, std::size_t> Index; // folded key -> Keys index
    };
    const TSection* FindSection(std::string_view Name) const;

    std::vector<TSection> Sections;
    std::unordered_map<std::string, std::size_t> SectionIndex; // folded name -> Sections index
};

// Bytes that the profile rules trim: blanks and control characters.
bool IsProfileBlank(char C);
std::string_view TrimProfileBlanks(std::string_view Text);

} // namespace platform
