#include "platform/Wmi.h"

#include "platform/LocalComputer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <sys/stat.h>

namespace platform {

namespace {

bool SameText(const std::string& A, const std::string& B)
{
    return A.size() == B.size() && ::strcasecmp(A.c_str(), B.c_str()) == 0;
}

const char* const kConfigurationClass = "Win32_NetworkAdapterConfiguration";
const char* const kAdapterClass = "Win32_NetworkAdapter";
const char* const kIPEnabled = "IPEnabled";

const std::vector<std::string>& PropertiesOf(const std::string& ClassName)
{
    static const std::vector<std::string> configuration = {"Index", "Description", "MACAddress",
                                                           "IPAddress", "IPEnabled"};
    static const std::vector<std::string> adapter = {"Index", "Name", "ProductName", "MACAddress"};
    return ClassName == kConfigurationClass ? configuration : adapter;
}

// --- WQL ---------------------------------------------------------------

struct Token {
    enum Kind { Word, Comma, Star, Equals, End } kind;
    std::string text;
};

// Words, ",", "*" and "="; false on any other character (quotes, brackets,
// operators), which no supported query holds.
bool Tokenize(const std::string& Query, std::vector<Token>& Tokens)
{
    for (std::size_t i = 0; i < Query.size();) {
        const unsigned char c = static_cast<unsigned char>(Query[i]);
        if (std::isspace(c)) {
            ++i;
        } else if (std::isalpha(c) || c == '_') {
            std::size_t j = i;
            while (j < Query.size() &&
                   (std::isalnum(static_cast<unsigned char>(Query[j])) || Query[j] == '_'))
                ++j;
            Tokens.push_back({Token::Word, Query.substr(i, j - i)});
            i = j;
        } else if (c == ',' || c == '*' || c == '=') {
            Tokens.push_back({c == ','   ? Token::Comma
                              : c == '*' ? Token::Star
                                         : Token::Equals,
                              std::string(1, static_cast<char>(c))});
            ++i;
        } else {
            return false;
        }
    }
    Tokens.push_back({Token::End, {}});
    return true;
}

bool ParseWqlTokens(const std::vector<Token>& T, WqlQuery& Q)
{
    std::size_t at = 0;
    auto word = [&](const char* Expected) {
        if (T[at].kind != Token::Word || !SameText(T[at].text, Expected))
            return false;
        ++at;
        return true;
    };
    if (!word("select"))
        return false;
    std::vector<std::string> selected;
    bool all = false;
    if (T[at].kind == Token::Star) {
        all = true;
        ++at;
    } else {
        for (;;) {
            if (T[at].kind != Token::Word)
                return false;
            selected.push_back(T[at++].text);
            if (T[at].kind != Token::Comma)
                break;
            ++at;
        }
    }
    if (!word("from") || T[at].kind != Token::Word)
        return false;
    const std::string& cls = T[at++].text;
    if (SameText(cls, kConfigurationClass))
        Q.ClassName = kConfigurationClass;
    else if (SameText(cls, kAdapterClass))
        Q.ClassName = kAdapterClass;
    else
        return false;

    const std::vector<std::string>& known = PropertiesOf(Q.ClassName);
    if (all)
        Q.Properties = known;
    for (const std::string& name : selected) {
        auto it = std::find_if(known.begin(), known.end(),
                               [&](const std::string& k) { return SameText(k, name); });
        if (it == known.end())
            return false;
        if (std::find(Q.Properties.begin(), Q.Properties.end(), *it) == Q.Properties.end())
            Q.Properties.push_back(*it);
    }

    if (T[at].kind == Token::Word && SameText(T[at].text, "where")) {
        ++at;
        if (Q.ClassName != kConfigurationClass || !word(kIPEnabled) || T[at].kind != Token::Equals)
            return false;
        ++at;
        if (word("true"))
            Q.ConditionValue = true;
        else if (word("false"))
            Q.ConditionValue = false;
        else
            return false;
        Q.HasCondition = true;
    }
    return T[at].kind == Token::End;
}

// --- sysfs -------------------------------------------------------------

// The first line of a small file, without its line break and with control
// characters dropped; empty when it cannot be read.
std::string FirstLine(const std::string& Path)
{
    std::ifstream in(Path);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    std::string clean;
    for (char c : line)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
            clean += c;
    while (!clean.empty() && clean.back() == ' ')
        clean.pop_back();
    constexpr std::size_t kLongest = 256;
    if (clean.size() > kLongest)
        clean.resize(kLongest);
    return clean;
}

bool IsDirectory(const std::string& Path)
{
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A "E:KEY=value" property of udev's record of a network interface.
std::string UdevProperty(const std::string& File, const std::string& Key)
{
    std::ifstream in(File);
    std::string line;
    const std::string prefix = "E:" + Key + "=";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) {
            std::string value;
            for (char c : line.substr(prefix.size()))
                if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
                    value += c;
            return value.substr(0, 256);
        }
    return {};
}

std::string MacText(const LocalInterface& I)
{
    if (I.hardwareAddress.empty() || std::all_of(I.hardwareAddress.begin(), I.hardwareAddress.end(),
                                                 [](uint8_t b) { return b == 0; }))
        return {};
    return I.HardwareAddressText(':');
}

bool IPEnabled(const LocalInterface& I)
{
    return I.up && !I.loopback && !I.ipv4.empty();
}

class LocalServices : public WmiServices {
public:
    explicit LocalServices(WmiLocalSources Sources) : sources_(std::move(Sources)) {}

    std::vector<WmiObject> ExecQuery(const std::string& Query,
                                     const std::string& Language) const override
    {
        if (!SameText(Language, "WQL"))
            throw EWmiError("Unsupported WMI query language: " + Language);
        const WqlQuery q = ParseWql(Query);
        std::vector<LocalInterface> interfaces;
        try {
            interfaces = sources_.Interfaces();
        } catch (const EInterfaceListError& e) {
            throw EWmiError(e.what());
        }
        std::vector<WmiObject> objects;
        for (const LocalInterface& i : interfaces) {
            if (i.index == 0)
                continue; // gone while it was listed
            if (q.HasCondition && IPEnabled(i) != q.ConditionValue)
                continue;
            WmiObject o;
            std::string product;
            for (const std::string& p : q.Properties) {
                if ((p == "Description" || p == "Name" || p == "ProductName") && product.empty())
                    product = AdapterProductName(i, sources_.SysNetDir, sources_.UdevDataDir);
                o.Set(p, Value(i, p, product));
            }
            objects.push_back(std::move(o));
        }
        return objects;
    }

private:
    static WmiValue Value(const LocalInterface& I, const std::string& Property,
                          const std::string& Product)
    {
        if (Property == "Index")
            return WmiValue::Of(static_cast<int64_t>(I.index));
        if (Property == "MACAddress") {
            std::string mac = MacText(I);
            return mac.empty() ? WmiValue::Null() : WmiValue::Of(std::move(mac));
        }
        if (Property == "IPAddress") {
            std::vector<std::string> texts;
            for (const Ipv4Address& a : I.ipv4)
                texts.push_back(a.AddressText());
            return texts.empty() ? WmiValue::Null() : WmiValue::Of(std::move(texts));
        }
        if (Property == kIPEnabled)
            return WmiValue::Of(IPEnabled(I));
        return WmiValue::Of(Product);
    }

    WmiLocalSources sources_;
};

} // namespace

WmiValue WmiValue::Of(bool Value)
{
    WmiValue v;
    v.kind = Kind::Boolean;
    v.boolean = Value;
    return v;
}

WmiValue WmiValue::Of(int64_t Value)
{
    WmiValue v;
    v.kind = Kind::Integer;
    v.integer = Value;
    return v;
}

WmiValue WmiValue::Of(std::string Value)
{
    WmiValue v;
    v.kind = Kind::Text;
    v.text = std::move(Value);
    return v;
}

WmiValue WmiValue::Of(std::vector<std::string> Value)
{
    WmiValue v;
    v.kind = Kind::TextArray;
    v.array = std::move(Value);
    return v;
}

std::string WmiValue::AsText() const
{
    switch (kind) {
    case Kind::Null:
        return {};
    case Kind::Boolean:
        return boolean ? "True" : "False";
    case Kind::Integer:
        return std::to_string(integer);
    case Kind::Text:
        return text;
    case Kind::TextArray:
        break;
    }
    throw EWmiError("Type mismatch: an array has no single text");
}

int64_t WmiValue::AsInteger() const
{
    switch (kind) {
    case Kind::Integer:
        return integer;
    case Kind::Boolean:
        return boolean ? -1 : 0;
    case Kind::Text: {
        errno = 0;
        char* end = nullptr;
        const long long n = std::strtoll(text.c_str(), &end, 10);
        if (!text.empty() && end && *end == '\0' && errno == 0)
            return n;
        break;
    }
    default:
        break;
    }
    throw EWmiError("Type mismatch: the value is no integer");
}

void WmiObject::Set(const std::string& Name, WmiValue Value)
{
    for (auto& p : properties_)
        if (SameText(p.first, Name)) {
            p.second = std::move(Value);
            return;
        }
    properties_.emplace_back(Name, std::move(Value));
}

const WmiValue& WmiObject::Get(const std::string& Name) const
{
    for (const auto& p : properties_)
        if (SameText(p.first, Name))
            return p.second;
    throw EWmiError("Property not found: " + Name);
}

WqlQuery ParseWql(const std::string& Query)
{
    std::vector<Token> tokens;
    WqlQuery q;
    if (!Tokenize(Query, tokens) || !ParseWqlTokens(tokens, q))
        throw EWmiError("Unsupported WMI query: " + Query);
    return q;
}

std::string AdapterProductName(const LocalInterface& Interface, const std::string& SysNetDir,
                               const std::string& UdevDataDir)
{
    const std::string dir = SysNetDir + "/" + Interface.name;
    if (Interface.name.find('/') == std::string::npos && Interface.name != "." &&
        Interface.name != ".." && FirstLine(dir + "/ifindex") == std::to_string(Interface.index) &&
        IsDirectory(dir + "/device")) {
        std::string name = UdevProperty(UdevDataDir + "/n" + std::to_string(Interface.index),
                                        "ID_MODEL_FROM_DATABASE");
        if (name.empty()) {
            // A USB network function's device is an interface of the USB
            // device that holds the product string one level up.
            char resolved[PATH_MAX];
            if (::realpath((dir + "/device").c_str(), resolved))
                name = FirstLine(std::string(resolved) + "/../product");
        }
        if (!name.empty())
            return name;
    }
    return Interface.name;
}

std::unique_ptr<WmiServices> LocalWmiServices(WmiLocalSources Sources)
{
    return std::make_unique<LocalServices>(std::move(Sources));
}

std::unique_ptr<WmiServices> ConnectWmiServer(const std::string& Server,
                                              const std::string& Namespace)
{
    std::string host = Server;
    if (host.rfind("\\\\", 0) == 0) {
        host.erase(0, 2);
        if (host.empty())
            throw EWmiError("Invalid server name: " + Server);
    }
    if (host != "" && host != ".") {
        std::vector<LocalInterface> interfaces;
        try {
            interfaces = ListLocalInterfaces();
        } catch (const EInterfaceListError& e) {
            throw EWmiError(e.what());
        }
        if (!IsLocalComputer(host, interfaces))
            throw EWmiError(WmiUnavailableMessage);
    }
    if (!SameText(Namespace, "root\\cimv2"))
        throw EWmiError("Invalid namespace: " + Namespace);
    return LocalWmiServices(WmiLocalSources{});
}

} // namespace platform
