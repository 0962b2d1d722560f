#include "engine/uComputerList.h"

#include "engine/NetUtil.h"
#include "engine/XmlStringWriter.h"
#include "platform/AtomicFile.h"
#include "platform/Utf8.h"

#include <cstdlib>

std::unique_ptr<TComputerList> ComputerList;

namespace {

// Element names of the file; users' files and other programs depend on them.
const char* const sxComputerList = "ComputerList";
const char* const sxComputer = "Computer";
const char* const sxName = "Name";
const char* const sxIP = "IP";
const char* const sxSingle = "Single";
const char* const sxAdapterList = "AdapterList";
const char* const sxAdapter = "Adapter";
const char* const sxNumber = "Number";
const char* const sxVendor = "Vendor";

// Without parse_eol: a carriage return that a value held is written as it is
// and must come back as it is. Whitespace-only values (a name of blanks) are
// kept when they are the element's only content.
constexpr unsigned ParseFlags = pugi::parse_cdata | pugi::parse_escapes |
                                pugi::parse_wconv_attribute | pugi::parse_ws_pcdata_single;

void AddTextChild(pugi::xml_node Parent, const char* Name, const std::string& Text)
{
    pugi::xml_node n = Parent.append_child(Name);
    const std::string safe = StripInvalidXmlChars(Text);
    if (!safe.empty())
        n.text().set(safe.c_str());
}

// All character data inside an element, in document order, as the XML
// layer's text of an element gives it.
std::string ElementText(const pugi::xml_node& Node)
{
    std::string text;
    for (pugi::xml_node n = Node.first_child(); n;) {
        if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata)
            text += n.value();
        if (n.first_child()) {
            n = n.first_child();
            continue;
        }
        while (n && n != Node && !n.next_sibling())
            n = n.parent();
        if (!n || n == Node)
            break;
        n = n.next_sibling();
    }
    return text;
}

bool IsXmlBlank(char C)
{
    return C == ' ' || C == '\t' || C == '\n' || C == '\r';
}

bool EqualsIgnoringAsciiCase(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
        return false;
    for (size_t i = 0; i < A.size(); ++i) {
        char a = A[i], b = B[i];
        if (a >= 'a' && a <= 'z')
            a = static_cast<char>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'z')
            b = static_cast<char>(b - 'a' + 'A');
        if (a != b)
            return false;
    }
    return true;
}

// A decimal number: [+-] digits [. digits] [(e|E) [+-] digits], with digits
// on at least one side of the point. NonZero tells whether its mantissa has a
// digit other than 0.
bool IsDecimalNumber(std::string_view S, bool& NonZero)
{
    size_t i = 0;
    NonZero = false;
    if (i < S.size() && (S[i] == '+' || S[i] == '-'))
        ++i;
    size_t digits = 0;
    auto mantissaDigits = [&] {
        while (i < S.size() && S[i] >= '0' && S[i] <= '9') {
            if (S[i] != '0')
                NonZero = true;
            ++i;
            ++digits;
        }
    };
    mantissaDigits();
    if (i < S.size() && S[i] == '.') {
        ++i;
        mantissaDigits();
    }
    if (digits == 0)
        return false;
    if (i < S.size() && (S[i] == 'e' || S[i] == 'E')) {
        ++i;
        if (i < S.size() && (S[i] == '+' || S[i] == '-'))
            ++i;
        const size_t start = i;
        while (i < S.size() && S[i] >= '0' && S[i] <= '9')
            ++i;
        if (i == start)
            return false;
    }
    return i == S.size();
}

bool TextToBoolDef(std::string_view Text, bool Default)
{
    while (!Text.empty() && IsXmlBlank(Text.front()))
        Text.remove_prefix(1);
    while (!Text.empty() && IsXmlBlank(Text.back()))
        Text.remove_suffix(1);
    bool nonZero = false;
    if (IsDecimalNumber(Text, nonZero))
        return nonZero;
    if (EqualsIgnoringAsciiCase(Text, "True"))
        return true;
    if (EqualsIgnoringAsciiCase(Text, "False"))
        return false;
    return Default;
}

[[noreturn]] void RaiseFileError(const char* What, const std::string& FileName,
                                 const platform::EFileError& Error)
{
    throw EComputerListError(std::string(What) + " \"" + FileName + "\": " + Error.Reason);
}

// Replaces FileName by Data so that the file is either the old one or the
// complete new one.
void ReplaceFile(const std::string& FileName, const std::string& Data)
{
    try {
        platform::ReplaceFileAtomically(FileName, Data);
    } catch (const platform::EFileError& e) {
        RaiseFileError(e.Operation == "create" ? "Cannot create file" : "Cannot write file",
                       FileName, e);
    }
}

// The file's bytes; what keeps it from being read is told the way this file's
// other failures are.
std::string ReadListFile(const std::string& FileName)
{
    try {
        return platform::ReadWholeFile(FileName);
    } catch (const platform::EFileError& e) {
        RaiseFileError(e.Operation == "open" ? "Cannot open file" : "Cannot read file", FileName,
                       e);
    }
}

// Raises the parser's description with the place it names: line and column
// (characters) when the file is UTF-8, and always the byte offset.
[[noreturn]] void RaiseParseError(const std::string& FileName, const std::string& Data,
                                  const std::string& Description, ptrdiff_t Offset,
                                  pugi::xml_encoding Encoding)
{
    std::string where = "offset " + std::to_string(Offset);
    if (Encoding == pugi::encoding_utf8 && Offset >= 0 &&
        static_cast<size_t>(Offset) <= Data.size()) {
        size_t line = 1, column = 1;
        for (size_t i = 0; i < static_cast<size_t>(Offset); ++i) {
            if (Data[i] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(Data[i]) & 0xC0) != 0x80) {
                ++column;
            }
        }
        where = "line " + std::to_string(line) + ", column " + std::to_string(column) + " (" +
                where + ")";
    }
    throw EComputerListError("Error reading \"" + FileName + "\": " + Description + " at " + where);
}

// The offset of the first character reference to NUL ("&#0;", "&#x00;") in
// markup or text, or npos. XML allows no such character; the parser would
// end the value there and drop the rest of it without a word. Comments,
// CDATA sections and processing instructions hold no references.
size_t FindNulReference(std::string_view Data)
{
    static constexpr std::pair<std::string_view, std::string_view> Skipped[] = {
        {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};
    size_t i = 0;
    while (i < Data.size()) {
        const size_t at = Data.find_first_of("<&", i);
        if (at == std::string_view::npos)
            return std::string_view::npos;
        i = at + 1;
        if (Data[at] == '<') {
            for (const auto& [open, close] : Skipped) {
                if (Data.substr(at, open.size()) == open) {
                    const size_t end = Data.find(close, at + open.size());
                    if (end == std::string_view::npos)
                        return std::string_view::npos;
                    i = end + close.size();
                    break;
                }
            }
            continue;
        }
        size_t j = at + 1;
        if (j >= Data.size() || Data[j] != '#')
            continue;
        ++j;
        if (j < Data.size() && Data[j] == 'x')
            ++j;
        const size_t digits = j;
        while (j < Data.size() && Data[j] == '0')
            ++j;
        if (j > digits && j < Data.size() && Data[j] == ';')
            return at;
    }
    return std::string_view::npos;
}

} // namespace

std::string StripInvalidXmlChars(std::string_view Text)
{
    std::string out;
    out.reserve(Text.size());
    size_t i = 0;
    while (i < Text.size()) {
        char32_t code = 0;
        if (const size_t len = platform::DecodeUtf8(Text, i, code)) {
            if (platform::IsXmlChar(code))
                out.append(Text.substr(i, len));
            i += len;
        } else {
            ++i; // drop the bad byte and resynchronise on the next one
        }
    }
    return out;
}

// --- TMacAddress ---------------------------------------------------------------

void TMacAddress::SaveToXML(pugi::xml_node Parent) const
{
    pugi::xml_node a = Parent.append_child(sxAdapter);
    AddTextChild(a, sxName, Name);
    AddTextChild(a, sxNumber, Number);
    AddTextChild(a, sxVendor, Vendor);
}

void TMacAddress::LoadFromXML(const pugi::xml_node& Node)
{
    Name = ElementText(Node.child(sxName));
    Number = ElementText(Node.child(sxNumber));
    Vendor = ElementText(Node.child(sxVendor));
}

// --- TComputer -----------------------------------------------------------------

std::string TComputer::GetCaption(TComputerCaptionStyle Style) const
{
    return GetComputerCaption(Name, IP, Style);
}

std::string TComputer::GetCaptionFirstWord(TComputerCaptionStyle Style) const
{
    return ::GetCaptionFirstWord(GetCaption(Style));
}

void TComputer::SaveToXML(pugi::xml_node Parent) const
{
    pugi::xml_node c = Parent.append_child(sxComputer);
    AddTextChild(c, sxName, Name);
    AddTextChild(c, sxIP, IP);
    AddTextChild(c, sxSingle, Single ? "True" : "False");
    pugi::xml_node list = c.append_child(sxAdapterList);
    for (const auto& a : AdapterList)
        a->SaveToXML(list);
}

void TComputer::LoadFromXML(const pugi::xml_node& Node)
{
    if (pugi::xml_node n = Node.child(sxName))
        Name = ElementText(n);
    if (pugi::xml_node n = Node.child(sxIP))
        IP = ElementText(n);
    const pugi::xml_node single = Node.child(sxSingle);
    Single = single && TextToBoolDef(ElementText(single), false);
    for (pugi::xml_node a : Node.child(sxAdapterList).children()) {
        if (a.type() != pugi::node_element)
            continue;
        auto mac = std::make_unique<TMacAddress>();
        mac->LoadFromXML(a);
        AdapterList.push_back(std::move(mac));
    }
}

// --- List ----------------------------------------------------------------------

int CompareComputers(const TComputer& Computer1, const TComputer& Computer2,
                     TComputerCaptionStyle Style)
{
    const std::string w1 = Computer1.GetCaptionFirstWord(Style);
    const std::string w2 = Computer2.GetCaptionFirstWord(Style);
    if (IsIPAddress(w1) && IsIPAddress(w2))
        return CompareIP(w1, w2);
    const size_t n = std::min(w1.size(), w2.size());
    for (size_t i = 0; i < n; ++i) {
        int a = static_cast<unsigned char>(w1[i]), b = static_cast<unsigned char>(w2[i]);
        if (a >= 'a' && a <= 'z')
            a -= 'a' - 'A';
        if (b >= 'a' && b <= 'z')
            b -= 'a' - 'A';
        if (a != b)
            return a - b;
    }
    return w1.size() < w2.size() ? -1 : (w1.size() > w2.size() ? 1 : 0);
}

void SaveComputerListToFile(const std::string& FileName, const TComputerList& List)
{
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    pugi::xml_node root = doc.append_child(sxComputerList);
    for (const auto& c : List)
        c->SaveToXML(root);
    TXmlStringWriter w;
    doc.save(w, "  ", pugi::format_indent, pugi::encoding_utf8);
    ReplaceFile(FileName, w.Data);
}

size_t LoadComputerListFromFile(const std::string& FileName, TComputerList& List)
{
    const std::string data = ReadListFile(FileName);
    pugi::xml_document doc;
    const pugi::xml_parse_result r =
        doc.load_buffer(data.data(), data.size(), ParseFlags, pugi::encoding_auto);
    if (!r)
        RaiseParseError(FileName, data, r.description(), r.offset, r.encoding);
    if (r.encoding == pugi::encoding_utf8)
        if (const size_t at = FindNulReference(data); at != std::string_view::npos)
            RaiseParseError(FileName, data, "Reference to the character NUL",
                            static_cast<ptrdiff_t>(at), r.encoding);
    // The parser takes a second root element without complaint; the file
    // would then have no one document element.
    pugi::xml_node root;
    for (pugi::xml_node n : doc.children()) {
        if (n.type() != pugi::node_element)
            continue;
        if (root) {
            // The node's offset is that of its name; the element starts at "<".
            ptrdiff_t at = n.offset_debug();
            if (at > 0 && static_cast<size_t>(at) <= data.size() &&
                data[static_cast<size_t>(at) - 1] == '<')
                --at;
            RaiseParseError(FileName, data, "Extra content at the end of the document", at,
                            r.encoding);
        }
        root = n;
    }
    if (!root || std::string_view(root.name()) != sxComputerList)
        throw ENotAComputerListError("\"" + FileName + "\" is not a computer list");
    // Read every computer first, so that List is unchanged if anything fails.
    TComputerList read;
    for (pugi::xml_node child : root.children()) {
        if (child.type() != pugi::node_element)
            continue;
        auto c = std::make_unique<TComputer>();
        c->LoadFromXML(child);
        read.push_back(std::move(c));
    }
    List.reserve(List.size() + read.size());
    for (auto& c : read)
        List.push_back(std::move(c));
    return read.size();
}
