#include "settings/uXMLStorage.h"

#include "engine/XmlStringWriter.h"
#include "platform/AtomicFile.h"
#include "platform/Utf8.h"
#include "settings/HTMLUtil.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* ErrorCaption = "Error!";
constexpr unsigned ParseOptions = pugi::parse_full | pugi::parse_ws_pcdata_single;
constexpr const char* IndentText = "  ";

void DefaultMessage(const std::string& Caption, const std::string& Text)
{
    std::cerr << Caption << ' ' << Text << std::endl;
}

TXMLStorageMessageHandler& MessageHandler()
{
    static TXMLStorageMessageHandler Handler = DefaultMessage;
    return Handler;
}

void ShowError(const std::string& Text)
{
    MessageHandler()(ErrorCaption, Text);
}

class EStoreIO : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void RaiseErrno()
{
    throw EStoreIO(std::strerror(errno));
}

// What went wrong, for the message that names the file.
std::string ReasonOf(const std::exception& E)
{
    if (const auto* F = dynamic_cast<const platform::EFileError*>(&E))
        return F->Reason;
    return E.what();
}

constexpr std::size_t MaxSettingsFileSize = TXMLStorage::MaxSettingsFileSize;

// How deep elements are kept. The program's own files nest four levels;
// elements below this depth are dropped, so that a save (which indents
// every level) stays within a small multiple of the file's size.
constexpr int MaxKeptDepth = 32;

// Removes Sub and everything in it, leaves first, so that no recursion runs
// as deep as the tree.
void RemoveSubtree(pugi::xml_node Sub)
{
    pugi::xml_node N = Sub;
    for (;;) {
        if (pugi::xml_node Last = N.last_child()) {
            N = Last;
            continue;
        }
        pugi::xml_node Parent = N.parent();
        Parent.remove_child(N);
        if (N == Sub)
            return;
        N = Parent;
    }
}

// Drops every element nested deeper than MaxDepth below the document (the
// document element is at depth 1); true when anything was dropped.
bool CutDeepElements(pugi::xml_node Root, int MaxDepth)
{
    bool Cut = false;
    pugi::xml_node N = Root;
    int Depth = 1;
    for (;;) {
        if (Depth == MaxDepth) {
            for (pugi::xml_node C = N.first_child(); C;) {
                const pugi::xml_node Next = C.next_sibling();
                if (C.type() == pugi::node_element) {
                    RemoveSubtree(C);
                    Cut = true;
                }
                C = Next;
            }
        } else if (pugi::xml_node First = N.first_child()) {
            N = First;
            ++Depth;
            continue;
        }
        while (N != Root && !N.next_sibling()) {
            N = N.parent();
            --Depth;
        }
        if (N == Root)
            return Cut;
        N = N.next_sibling();
    }
}

// How many copies of unreadable files are kept beside the file: enough for
// a user to find the settings of several bad starts, never a growing heap.
constexpr int MaxKeptAside = 10;

// Where the file about to be replaced is kept: "<name>.bad", the newest
// copy. Earlier copies move on to "<name>.bad.1" up to "<name>.bad.9" and the
// oldest goes; when "<name>.bad" already holds the same bytes it is taken
// again.
fs::path KeptAsideName(const fs::path& Target)
{
    const auto Name = [&](int I) {
        return fs::path(Target.string() + ".bad" + (I > 0 ? "." + std::to_string(I) : ""));
    };
    std::error_code Ec;
    if (!fs::exists(fs::symlink_status(Name(0), Ec)))
        return Name(0);
    try {
        if (platform::ReadWholeFile(Name(0).string(), MaxSettingsFileSize) ==
            platform::ReadWholeFile(Target.string(), MaxSettingsFileSize))
            return Name(0);
    } catch (const platform::EFileError&) {
    }
    fs::remove(Name(MaxKeptAside - 1), Ec);
    for (int I = MaxKeptAside - 2; I >= 0; --I)
        if (fs::exists(fs::symlink_status(Name(I), Ec)))
            fs::rename(Name(I), Name(I + 1), Ec);
    return Name(0);
}

// Replaces every byte that starts no well-formed UTF-8 sequence by U+FFFD;
// true when there was one.
bool ReplaceMalformedUtf8(std::string& Data)
{
    std::string Out;
    bool Replaced = false;
    size_t Done = 0;
    for (size_t I = 0; I < Data.size();) {
        char32_t Cp = 0;
        const size_t Len = platform::DecodeUtf8(Data, I, Cp);
        if (Len != 0) {
            I += Len;
            continue;
        }
        Out.append(Data, Done, I - Done);
        Out += "\xEF\xBF\xBD";
        Replaced = true;
        Done = ++I;
    }
    if (Replaced) {
        Out.append(Data, Done, std::string::npos);
        Data = std::move(Out);
    }
    return Replaced;
}

// Element texts may only hold XML characters, and CR would come back as LF:
// such characters travel as references inside the already encoded text.
std::string ProtectForXML(std::string_view Encoded)
{
    std::string Out;
    Out.reserve(Encoded.size());
    size_t I = 0;
    while (I < Encoded.size()) {
        char32_t Cp = 0;
        const size_t Len = platform::DecodeUtf8(Encoded, I, Cp);
        if (Len == 0) {
            Out += "\xEF\xBF\xBD";
            ++I;
            continue;
        }
        if (Cp == 0) {
            // No XML text and no reference can carry a NUL.
        } else if (Cp == 0xD || !platform::IsXmlChar(Cp)) {
            Out += "&#" + std::to_string(Cp) + ";";
        } else {
            Out.append(Encoded.substr(I, Len));
        }
        I += Len;
    }
    return Out;
}

// The class library's string-to-integer: optional blanks and sign, then
// decimal digits or "$" and hexadecimal digits; the value must fit 32 bits
// (hexadecimal values above the signed range wrap, as they always have).
bool TryStrToInt(std::string_view S, int& Value)
{
    size_t I = 0;
    while (I < S.size() && (S[I] == ' ' || S[I] == '\t'))
        ++I;
    bool Negative = false;
    if (I < S.size() && (S[I] == '+' || S[I] == '-'))
        Negative = S[I++] == '-';
    bool Hex = false;
    if (I < S.size() && S[I] == '$') {
        Hex = true;
        ++I;
    }
    if (I >= S.size())
        return false;
    uint64_t V = 0;
    for (; I < S.size(); ++I) {
        const char C = S[I];
        unsigned D;
        if (C >= '0' && C <= '9')
            D = static_cast<unsigned>(C - '0');
        else if (Hex && C >= 'a' && C <= 'f')
            D = static_cast<unsigned>(C - 'a' + 10);
        else if (Hex && C >= 'A' && C <= 'F')
            D = static_cast<unsigned>(C - 'A' + 10);
        else
            return false;
        V = V * (Hex ? 16 : 10) + D;
        if (V > 0xFFFFFFFFull)
            return false;
    }
    if (Hex) {
        const auto Bits = static_cast<int32_t>(static_cast<uint32_t>(V));
        Value = Negative ? static_cast<int>(0u - static_cast<uint32_t>(Bits)) : Bits;
        return true;
    }
    if (Negative ? V > uint64_t(INT_MAX) + 1 : V > uint64_t(INT_MAX))
        return false;
    Value = Negative ? static_cast<int>(-static_cast<int64_t>(V)) : static_cast<int>(V);
    return true;
}

} // namespace

TXMLStorageMessageHandler SetXMLStorageMessageHandler(TXMLStorageMessageHandler Handler)
{
    TXMLStorageMessageHandler Old = std::move(MessageHandler());
    MessageHandler() = Handler ? std::move(Handler) : DefaultMessage;
    return Old;
}

void ShowSettingsError(const std::string& Text)
{
    ShowError(Text);
}

TXMLStorage::TXMLStorage(std::string AFileName) : FileName(std::move(AFileName)) {}

TXMLStorage::~TXMLStorage() = default;

void TXMLStorage::Load()
{
    Document = std::make_unique<pugi::xml_document>();
    Root = pugi::xml_node();
    FLoadFailed = false;
    FKeepOriginal = false;
    std::error_code Ec;
    const bool Exists = fs::exists(FileName, Ec);
    try {
        if (Ec)
            throw EStoreIO(Ec.message());
        if (Exists) {
            // Never waits: a named pipe or a device in the file's place is
            // refused like any other file that cannot be read.
            std::string Data = platform::ReadWholeFile(FileName, MaxFileSize);
            pugi::xml_parse_result R =
                Document->load_buffer(Data.data(), Data.size(), ParseOptions, pugi::encoding_auto);
            // The parser passes bytes that are no UTF-8 through, into values
            // and names alike, and a save would write a file no parser
            // takes. They are read as U+FFFD, and the user is told.
            const bool Replaced =
                R && R.encoding == pugi::encoding_utf8 && ReplaceMalformedUtf8(Data);
            if (Replaced)
                R = Document->load_buffer(Data.data(), Data.size(), ParseOptions,
                                          pugi::encoding_utf8);
            if (!R)
                throw EStoreIO(R.description());
            Root = Document->document_element();
            // What is dropped is not the program's; the file as it was is
            // kept aside at the next save.
            if (Root && CutDeepElements(Root, MaxKeptDepth))
                FKeepOriginal = true;
            if (Replaced) {
                FKeepOriginal = true;
                ShowError("File " + FileName +
                          " holds bytes that are not UTF-8: they are read as U+FFFD, and the "
                          "file as it was is kept as " +
                          FileName + ".bad when the settings are saved");
            }
            return;
        }
    } catch (const std::exception& E) {
        FLoadFailed = true;
        FKeepOriginal = true;
        Document->reset();
        ShowError("Can't read file " + FileName + ": " + ReasonOf(E));
    }
    Root = Document->append_child("Options");
}

bool TXMLStorage::Save()
{
    try {
        if (!Document || !Root)
            throw EStoreIO("nothing loaded");
        if (Encoding != "UTF-8")
            throw EStoreIO("unsupported encoding " + Encoding);
        // A symbolic link stays a link: the file it names is replaced.
        fs::path Target = FileName;
        if (fs::is_symlink(Target))
            Target = fs::canonical(Target);
        std::error_code TypeEc;
        const fs::file_status Status = fs::status(Target, TypeEc);
        if (!fs::exists(Status))
            throw EStoreIO(std::strerror(ENOENT));
        if (!fs::is_regular_file(Status))
            throw EStoreIO("not a regular file");

        pugi::xml_node Decl = Document->first_child();
        if (Decl.type() != pugi::node_declaration) {
            Decl = Document->prepend_child(pugi::node_declaration);
            Decl.set_name("xml");
        }
        if (!Decl.attribute("version"))
            Decl.prepend_attribute("version") = "1.0";
        pugi::xml_attribute Enc = Decl.attribute("encoding");
        if (!Enc)
            Enc = Decl.insert_attribute_after("encoding", Decl.attribute("version"));
        Enc = Encoding.c_str();

        TXmlStringWriter Out;
        // Room for a text about the size of the file it replaces, so that a
        // long one is not copied again at every doubling.
        struct stat Old {};
        const bool HasOld = ::stat(Target.c_str(), &Old) == 0;
        if (HasOld && Old.st_size > 0 &&
            static_cast<std::size_t>(Old.st_size) < MaxSettingsFileSize)
            Out.Data.reserve(static_cast<size_t>(Old.st_size) + 4096);
        const unsigned Flags = AutoIndent ? pugi::format_indent : pugi::format_raw;
        Document->save(Out, IndentText, Flags, pugi::encoding_utf8);

        // A file that would not change is not written at all: nothing to
        // lose on a read-only or full disk, and its time stays. One of
        // another length has changed without reading it.
        if (!FKeepOriginal && HasOld && static_cast<size_t>(Old.st_size) == Out.Data.size()) {
            try {
                if (platform::ReadWholeFile(Target.string(), MaxSettingsFileSize) == Out.Data)
                    return true;
            } catch (const platform::EFileError&) {
            }
        }
        // Replacing the file needs only the folder's permission; a file the
        // user may not write stays as it is, as it would when written in place.
        if (::access(Target.c_str(), W_OK) != 0)
            RaiseErrno();

        const std::string Temp = platform::WriteTemporaryBeside(Target.string(), Out.Data);
        if (FKeepOriginal) {
            // The unreadable file may be all the user has: keep it aside.
            std::error_code Ec;
            fs::copy_file(Target, KeptAsideName(Target), fs::copy_options::overwrite_existing, Ec);
            if (Ec) {
                ::unlink(Temp.c_str());
                throw EStoreIO(Ec.message());
            }
        }
        platform::CommitTemporary(Temp, Target.string());
        FLoadFailed = false;
        FKeepOriginal = false;
        return true;
    } catch (const std::exception& E) {
        ShowError("Can't write file " + FileName + ": " + ReasonOf(E));
        return false;
    }
}

std::string TXMLStorage::EncodeText(const std::string& Value)
{
    return ProtectForXML(HTMLEncode(Value));
}

std::string TXMLStorage::DecodeText(const std::string& Text)
{
    // A value typed into the file by hand is often encoded once, as plain
    // XML ("&amp;" for "&"): what the HTML layer cannot decode was never
    // encoded by it, and is the value as it stands.
    try {
        return HTMLDecode(Text);
    } catch (const EConvertError&) {
        return Text;
    }
}

bool TXMLStorage::IsXMLName(const std::string& Name)
{
    // The Name production of XML 1.0 without ":", which would need a
    // namespace declaration.
    if (Name.empty())
        return false;
    for (size_t I = 0; I < Name.size();) {
        char32_t Cp = 0;
        const size_t Len = platform::DecodeUtf8(Name, I, Cp);
        if (Len == 0)
            return false;
        const bool Start = (Cp >= 'A' && Cp <= 'Z') || (Cp >= 'a' && Cp <= 'z') || Cp == '_' ||
                           (Cp >= 0xC0 && Cp <= 0xD6) || (Cp >= 0xD8 && Cp <= 0xF6) ||
                           (Cp >= 0xF8 && Cp <= 0x2FF) || (Cp >= 0x370 && Cp <= 0x37D) ||
                           (Cp >= 0x37F && Cp <= 0x1FFF) || (Cp >= 0x200C && Cp <= 0x200D) ||
                           (Cp >= 0x2070 && Cp <= 0x218F) || (Cp >= 0x2C00 && Cp <= 0x2FEF) ||
                           (Cp >= 0x3001 && Cp <= 0xD7FF) || (Cp >= 0xF900 && Cp <= 0xFDCF) ||
                           (Cp >= 0xFDF0 && Cp <= 0xFFFD) || (Cp >= 0x10000 && Cp <= 0xEFFFF);
        const bool Other = (Cp >= '0' && Cp <= '9') || Cp == '-' || Cp == '.' || Cp == 0xB7 ||
                           (Cp >= 0x300 && Cp <= 0x36F) || (Cp >= 0x203F && Cp <= 0x2040);
        if (!(Start || (I > 0 && Other)))
            return false;
        I += Len;
    }
    return true;
}

pugi::xml_node TXMLStorage::FindElement(pugi::xml_node Parent, const std::string& Name)
{
    for (pugi::xml_node N = Parent.first_child(); N; N = N.next_sibling())
        if (N.type() == pugi::node_element && Name == N.name())
            return N;
    return {};
}

pugi::xml_node TXMLStorage::FindOrAppendElement(pugi::xml_node Parent, const std::string& Name)
{
    if (!Parent || !IsXMLName(Name))
        return {};
    if (pugi::xml_node Found = FindElement(Parent, Name))
        return Found;
    // Blanks kept as the only content of an empty element would otherwise
    // end up between the new child and its indentation.
    pugi::xml_node Only = Parent.first_child();
    if (Only && !Only.next_sibling() && Only.type() == pugi::node_pcdata)
        Parent.remove_child(Only);
    return Parent.append_child(Name.c_str());
}

std::string TXMLStorage::ElementValue(pugi::xml_node Element)
{
    std::string Text;
    for (pugi::xml_node N = Element.first_child(); N; N = N.next_sibling()) {
        if (N.type() == pugi::node_element)
            throw EConvertError("element holds elements");
        if (N.type() == pugi::node_pcdata || N.type() == pugi::node_cdata)
            Text += N.value();
    }
    return DecodeText(Text);
}

void TXMLStorage::SetElementValue(pugi::xml_node Element, const std::string& Value)
{
    Element.remove_children();
    const std::string Text = EncodeText(Value);
    if (!Text.empty())
        Element.append_child(pugi::node_pcdata).set_value(Text.c_str());
}

namespace {

// The element holds Encoded as SetElementValue writes it: nothing for an
// empty text, else that one text.
bool HoldsEncoded(pugi::xml_node Element, const std::string& Encoded)
{
    const pugi::xml_node Text = Element.first_child();
    if (Encoded.empty())
        return !Text;
    return Text && !Text.next_sibling() && Text.type() == pugi::node_pcdata &&
           Encoded == Text.value();
}

} // namespace

bool TXMLStorage::Holds(const std::string& Section, const std::string& Key,
                        const std::string& Value) const
{
    const pugi::xml_node S = Document && Root ? FindElement(Root, Section) : pugi::xml_node();
    const pugi::xml_node K = S ? FindElement(S, Key) : pugi::xml_node();
    return K && HoldsEncoded(K, EncodeText(Value));
}

bool TXMLStorage::Holds(const std::string& Section, const std::string& Key,
                        const std::vector<std::string>& Strings) const
{
    const pugi::xml_node S = Document && Root ? FindElement(Root, Section) : pugi::xml_node();
    const pugi::xml_node K = S ? FindElement(S, Key) : pugi::xml_node();
    if (!K)
        return false;
    pugi::xml_node Item = K.first_child();
    for (size_t I = 0; I < Strings.size(); ++I, Item = Item.next_sibling())
        if (!Item || Item.type() != pugi::node_element || Key + std::to_string(I) != Item.name() ||
            !HoldsEncoded(Item, EncodeText(Strings[I])))
            return false;
    return !Item;
}

std::string TXMLStorage::ReadString(const std::string& Section, const std::string& Key,
                                    const std::string& Default)
{
    try {
        if (Document && Root)
            if (pugi::xml_node S = FindElement(Root, Section))
                if (pugi::xml_node K = FindElement(S, Key))
                    return ElementValue(K);
    } catch (const std::exception&) {
    }
    return Default;
}

void TXMLStorage::WriteString(const std::string& Section, const std::string& Key,
                              const std::string& Value)
{
    if (!Document || !Root)
        return;
    if (pugi::xml_node K = FindOrAppendElement(FindOrAppendElement(Root, Section), Key))
        SetElementValue(K, Value);
}

int TXMLStorage::ReadInteger(const std::string& Section, const std::string& Key, int Default)
{
    std::string S = ReadString(Section, Key, "");
    if (S.size() > 2 && S[0] == '0' && (S[1] == 'x' || S[1] == 'X'))
        S = "$" + S.substr(2);
    int Value = 0;
    return TryStrToInt(S, Value) ? Value : Default;
}

void TXMLStorage::WriteInteger(const std::string& Section, const std::string& Key, int Value)
{
    WriteString(Section, Key, std::to_string(Value));
}

bool TXMLStorage::ReadBool(const std::string& Section, const std::string& Key, bool Default)
{
    return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

void TXMLStorage::WriteBool(const std::string& Section, const std::string& Key, bool Value)
{
    WriteString(Section, Key, Value ? "1" : "0");
}

void TXMLStorage::ReadStrings(const std::string& Section, const std::string& Key,
                              std::vector<std::string>& Strings)
{
    Strings.clear();
    try {
        // An entry that holds no text (elements in its place) is skipped;
        // the entries after it are still the user's.
        ReadListElements(Section, Key,
                         [&Strings](pugi::xml_node N) { Strings.push_back(ElementValue(N)); });
    } catch (const std::exception&) {
    }
}

int TXMLStorage::ReadListElements(const std::string& Section, const std::string& Key,
                                  const std::function<void(pugi::xml_node Item)>& Read)
{
    if (!Document || !Root)
        return 0;
    pugi::xml_node S = FindElement(Root, Section);
    pugi::xml_node K = S ? FindElement(S, Key) : pugi::xml_node();
    int Skipped = 0;
    for (pugi::xml_node N = K.first_child(); N; N = N.next_sibling()) {
        if (N.type() != pugi::node_element)
            continue;
        try {
            Read(N);
        } catch (const std::exception&) {
            ++Skipped;
        }
    }
    return Skipped;
}

pugi::xml_node TXMLStorage::ClearedListElement(const std::string& Section, const std::string& Key)
{
    if (!Document || !Root)
        return pugi::xml_node();
    pugi::xml_node K = FindOrAppendElement(FindOrAppendElement(Root, Section), Key);
    if (K)
        K.remove_children();
    return K;
}

void TXMLStorage::WriteStrings(const std::string& Section, const std::string& Key,
                               const std::vector<std::string>& Strings)
{
    pugi::xml_node K = ClearedListElement(Section, Key);
    if (!K)
        return;
    for (size_t I = 0; I < Strings.size(); ++I)
        SetElementValue(K.append_child((Key + std::to_string(I)).c_str()), Strings[I]);
}
