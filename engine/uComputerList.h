// The result model: the computers a scan found (or a file held), each with
// its adapters' MAC addresses, and the computer-list XML file.
//
// File layout (UTF-8, one element per line, nested elements indented by two
// blanks, no attributes):
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <ComputerList>
//     <Computer>
//       <Name>PC1</Name>
//       <IP>10.0.0.5</IP>
//       <Single>True</Single>
//       <AdapterList>
//         <Adapter>
//           <Name />
//           <Number>00-1a-2b-3c-4d-5e</Number>
//           <Vendor>Example Corp</Vendor>
//         </Adapter>
//       </AdapterList>
//     </Computer>
//   </ComputerList>
//
// An adapter's Index and IPAddress are not stored.
#pragma once

#include "engine/uComputerCaption.h"

#include <pugixml.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A computer-list file that cannot be read or written.
class EComputerListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A well-formed XML file whose document element is not "ComputerList" (one of
// the program's settings files, or any other XML): it holds no computers, and
// reading it must not pass for reading an empty list.
class ENotAComputerListError : public EComputerListError {
public:
    using EComputerListError::EComputerListError;
};

// One adapter of a computer.
class TMacAddress {
public:
    std::string Name;      // adapter name or description; empty for ARP and NetBIOS
    std::string Vendor;    // vendor of the address; empty when unknown
    std::string Number;    // six hexadecimal pairs joined by "-"
    int32_t Index = 0;     // WMI adapter index; 0 for the other methods
    std::string IPAddress; // the adapter's addresses joined by ", " (WMI only)

    void SetName(const std::string& Value) { Name = Value; }
    void SetNumber(const std::string& Value) { Number = Value; }
    void SetVendor(const std::string& Value) { Vendor = Value; }
    void SetIndex(int32_t Value) { Index = Value; }
    void SetIPAddress(const std::string& Value) { IPAddress = Value; }

    // Appends one "Adapter" element to Parent.
    void SaveToXML(pugi::xml_node Parent) const;
    // Reads Name, Number and Vendor from an "Adapter" element; a missing
    // child leaves its field empty.
    void LoadFromXML(const pugi::xml_node& Node);
};

// The adapters of a computer, in the order the methods found them; owned.
using TAdapterList = std::vector<std::unique_ptr<TMacAddress>>;

// One scanned computer; it owns its adapters.
class TComputer {
public:
    std::string Name; // NetBIOS or DNS name; may be empty
    std::string IP;   // dotted IPv4 address
    TAdapterList AdapterList;
    // True when the address came from a method that yields one per host (ARP,
    // NetBIOS): the result list then shows the first adapter in the
    // computer's own row.
    bool Single = false;

    TComputer() = default;
    TComputer(const TComputer&) = delete;
    TComputer& operator=(const TComputer&) = delete;

    void SetName(const std::string& Value) { Name = Value; }
    void SetIP(const std::string& Value) { IP = Value; }
    void SetSingle(bool Value) { Single = Value; }

    std::string GetCaption(TComputerCaptionStyle Style) const;
    std::string GetCaptionFirstWord(TComputerCaptionStyle Style) const;

    // Appends one "Computer" element to Parent.
    void SaveToXML(pugi::xml_node Parent) const;
    // Fills the computer from a "Computer" element: a missing "Name" or "IP"
    // leaves that field as it is; "Single" is read as a Boolean with the
    // default False; every element child of "AdapterList" adds an adapter.
    //
    // Booleans are read as the class library's string-to-Boolean reads them:
    // "True" or "False" in any letter case, or a decimal number (an optional
    // sign, digits, an optional fraction and exponent) that is True unless it
    // is zero. Blanks and line breaks around the text are ignored. Anything
    // else ("yes", an empty text) gives the default.
    void LoadFromXML(const pugi::xml_node& Node);
};

// An owning list of computers.
using TComputerList = std::vector<std::unique_ptr<TComputer>>;

// The computers found by the scans or read from a file. Null until the main
// window creates it; changed in the main thread only.
extern std::unique_ptr<TComputerList> ComputerList;

// Sort order of the result list's first column: the first words of both
// captions compared as IPv4 addresses when both are addresses, else as texts
// without regard to ASCII letter case. Negative, 0 or positive.
int CompareComputers(const TComputer& Computer1, const TComputer& Computer2,
                     TComputerCaptionStyle Style);

// Text without what XML 1.0 cannot hold: invalid UTF-8 bytes, control
// characters other than tab, line feed and carriage return, surrogates, and
// U+FFFE and U+FFFF. Names that come from the network can hold any of these.
std::string StripInvalidXmlChars(std::string_view Text);

// Writes List to FileName, replacing the file only once the new one is
// completely written; raises EComputerListError (the old file then stays as
// it was). A read-only file is not replaced.
void SaveComputerListToFile(const std::string& FileName, const TComputerList& List);

// Appends one computer per child element of the file's root to List and
// returns how many; the names of the children are not checked. Raises
// EComputerListError when the file cannot be read or is not well-formed XML
// (with the parser's description, line, column and byte offset), and
// ENotAComputerListError when its root is not "ComputerList"; List is then
// unchanged. Where the parser is lenient and nothing is
// lost (an undefined entity reference stays as text), the file is read.
size_t LoadComputerListFromFile(const std::string& FileName, TComputerList& List);
