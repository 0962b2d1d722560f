#include "crashreport/send/kelExceptTrackers.h"

#include "crashreport/kelPrgrAlertLink.h"
#include "crashreport/send/kelExceptMime.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

// --- Reading replies -------------------------------------------------------------

namespace {

constexpr int MaxDepth = 64;

std::string_view LocalName(std::string_view Name)
{
    const std::size_t Colon = Name.find(':');
    return Colon == std::string_view::npos ? Name : Name.substr(Colon + 1);
}

bool Convert(const pugi::xml_node& Node, TXmlElement& Out, int Depth)
{
    if (Depth > MaxDepth)
        return false;
    Out.Name = LocalName(Node.name());
    for (const pugi::xml_attribute& A : Node.attributes())
        Out.Attributes.emplace_back(A.name(), A.value());
    for (const pugi::xml_node& Child : Node.children()) {
        if (Child.type() == pugi::node_element) {
            Out.Children.emplace_back();
            if (!Convert(Child, Out.Children.back(), Depth + 1))
                return false;
        } else if (Child.type() == pugi::node_pcdata || Child.type() == pugi::node_cdata) {
            Out.Text += Child.value();
        }
    }
    return true;
}

bool EqualNoCase(std::string_view A, std::string_view B)
{
    return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
               return std::tolower(static_cast<unsigned char>(X)) ==
                      std::tolower(static_cast<unsigned char>(Y));
           });
}

} // namespace

const TXmlElement* TXmlElement::Child(std::string_view ChildName) const
{
    for (const TXmlElement& C : Children)
        if (C.Name == ChildName)
            return &C;
    return nullptr;
}

const TXmlElement* TXmlElement::Find(std::string_view ElementName) const
{
    if (Name == ElementName)
        return this;
    for (const TXmlElement& C : Children)
        if (const TXmlElement* Found = C.Find(ElementName))
            return Found;
    return nullptr;
}

void TXmlElement::FindAll(std::string_view ElementName, std::vector<const TXmlElement*>& Out) const
{
    if (Name == ElementName)
        Out.push_back(this);
    for (const TXmlElement& C : Children)
        C.FindAll(ElementName, Out);
}

std::string TXmlElement::ChildText(std::string_view ChildName) const
{
    const TXmlElement* C = Child(ChildName);
    return C ? C->Text : std::string();
}

bool ParseXmlReply(std::string_view Xml, TXmlElement& Root, std::string& Error)
{
    Root = {};
    pugi::xml_document Doc;
    // Entities are decoded once, by the parser; a DOCTYPE is skipped, never
    // followed. A value that is only blanks (a string of one space) is kept;
    // the blanks that indent elements between elements are not.
    const pugi::xml_parse_result R =
        Doc.load_buffer(Xml.data(), Xml.size(), pugi::parse_default | pugi::parse_ws_pcdata_single,
                        pugi::encoding_utf8);
    if (!R) {
        Error = std::string("the reply is not XML: ") + R.description();
        return false;
    }
    const pugi::xml_node Element = Doc.document_element();
    if (!Element) {
        Error = "the reply holds no element";
        return false;
    }
    if (!Convert(Element, Root, 1)) {
        Root = {};
        Error = "the reply nests too deep";
        return false;
    }
    return true;
}

const TRpcValue* TRpcValue::Member(std::string_view Name) const
{
    for (const auto& [N, V] : Members)
        if (N == Name)
            return &V;
    return nullptr;
}

namespace {

// A <value> element.
TRpcValue RpcValue(const TXmlElement& Value)
{
    TRpcValue Out;
    if (Value.Children.empty()) {
        Out.Kind = TRpcValue::rvString;
        Out.Text = Value.Text;
        return Out;
    }
    const TXmlElement& T = Value.Children.front();
    Out.Text = T.Text;
    if (T.Name == "string")
        Out.Kind = TRpcValue::rvString;
    else if (T.Name == "int" || T.Name == "i4" || T.Name == "i8")
        Out.Kind = TRpcValue::rvInt;
    else if (T.Name == "boolean")
        Out.Kind = TRpcValue::rvBool;
    else if (T.Name == "double")
        Out.Kind = TRpcValue::rvDouble;
    else if (T.Name == "base64")
        Out.Kind = TRpcValue::rvBase64;
    else if (T.Name == "dateTime.iso8601")
        Out.Kind = TRpcValue::rvDateTime;
    else if (T.Name == "array") {
        Out.Kind = TRpcValue::rvArray;
        if (const TXmlElement* Data = T.Child("data"))
            for (const TXmlElement& V : Data->Children)
                if (V.Name == "value")
                    Out.Items.push_back(RpcValue(V));
    } else if (T.Name == "struct") {
        Out.Kind = TRpcValue::rvStruct;
        for (const TXmlElement& M : T.Children)
            if (M.Name == "member")
                if (const TXmlElement* V = M.Child("value"))
                    Out.Members.push_back(TRpcMember{M.ChildText("name"), RpcValue(*V)});
    }
    return Out;
}

} // namespace

TRpcReply ParseXmlRpcReply(std::string_view Xml)
{
    TRpcReply Reply;
    TXmlElement Root;
    if (!ParseXmlReply(Xml, Root, Reply.Fault))
        return Reply;
    if (Root.Name != "methodResponse") {
        Reply.Fault = "not an XML-RPC reply";
        return Reply;
    }
    if (const TXmlElement* Fault = Root.Child("fault")) {
        const TXmlElement* V = Fault->Child("value");
        const TRpcValue F = V ? RpcValue(*V) : TRpcValue();
        const TRpcValue* Text = F.Member("faultString");
        Reply.Fault = Text && !Text->Text.empty() ? Text->Text : "an XML-RPC fault";
        return Reply;
    }
    const TXmlElement* Params = Root.Child("params");
    const TXmlElement* Param = Params ? Params->Child("param") : nullptr;
    const TXmlElement* Value = Param ? Param->Child("value") : nullptr;
    if (!Value) {
        Reply.Fault = "the XML-RPC reply holds no value";
        return Reply;
    }
    Reply.Value = RpcValue(*Value);
    Reply.Ok = true;
    return Reply;
}

TSoapReply ParseSoapReply(std::string_view Xml)
{
    TSoapReply Reply;
    TXmlElement Root;
    if (!ParseXmlReply(Xml, Root, Reply.Fault))
        return Reply;
    if (const TXmlElement* Fault = Root.Find("Fault")) {
        const std::string Text = Fault->ChildText("faultstring");
        Reply.Faulted = true;
        Reply.Fault = Text.empty() ? "a SOAP fault" : Text;
        return Reply;
    }
    const TXmlElement* Return = Root.Find("return");
    if (!Return) {
        Reply.Fault = "the SOAP reply holds no return value";
        return Reply;
    }
    Reply.Return = *Return;
    Reply.Ok = true;
    return Reply;
}

TFogBugzReply ParseFogBugzReply(std::string_view Xml)
{
    TFogBugzReply Reply;
    TXmlElement Root;
    if (!ParseXmlReply(Xml, Root, Reply.Error))
        return Reply;
    if (const TXmlElement* Error = Root.Find("error")) {
        Reply.Error = Error->Text.empty() ? "the tracker answered an error" : Error->Text;
        return Reply;
    }
    const TXmlElement* Response = Root.Find("response");
    if (!Response) {
        Reply.Error = "the tracker's reply holds no response";
        return Reply;
    }
    Reply.Response = *Response;
    Reply.Ok = true;
    return Reply;
}

std::string XmlEscape(std::string_view Text)
{
    std::string Out;
    Out.reserve(Text.size());
    for (std::size_t I = 0; I < Text.size();) {
        const auto C = static_cast<unsigned char>(Text[I]);
        if (C < 0x80) {
            ++I;
            switch (C) {
            case '&':
                Out += "&amp;";
                break;
            case '<':
                Out += "&lt;";
                break;
            case '>':
                Out += "&gt;";
                break;
            case '"':
                Out += "&quot;";
                break;
            case '\'':
                Out += "&apos;";
                break;
            // A parser would turn a carriage return into a line feed.
            case '\r':
                Out += "&#13;";
                break;
            default:
                if (C >= 0x20 || C == '\t' || C == '\n')
                    Out += static_cast<char>(C);
            }
            continue;
        }
        // A UTF-8 sequence: its length, the shortest form, no surrogates, no
        // U+FFFE or U+FFFF; anything else is left out byte by byte.
        const std::size_t Length = C >= 0xF0 && C <= 0xF4 ? 4 : C >= 0xE0 ? 3 : C >= 0xC2 ? 2 : 0;
        if (Length == 0 || (C >= 0xF5) || I + Length > Text.size()) {
            ++I;
            continue;
        }
        std::uint32_t Code = C & (0xFF >> (Length + 1));
        bool Good = true;
        for (std::size_t K = 1; K < Length; ++K) {
            const auto N = static_cast<unsigned char>(Text[I + K]);
            Good = Good && (N & 0xC0) == 0x80;
            Code = (Code << 6) | (N & 0x3F);
        }
        const std::uint32_t Least = Length == 2 ? 0x80 : Length == 3 ? 0x800 : 0x10000;
        Good = Good && Code >= Least && Code <= 0x10FFFF && !(Code >= 0xD800 && Code <= 0xDFFF) &&
               Code != 0xFFFE && Code != 0xFFFF;
        if (!Good) {
            ++I;
            continue;
        }
        Out.append(Text.substr(I, Length));
        I += Length;
    }
    return Out;
}

// --- What the ways share ---------------------------------------------------------

namespace {

// An entry of a tracker's list: its name and id.
struct TEntry {
    std::string Name, Id;
};
using TList = std::vector<TEntry>;

// The entry named Wanted (compared without case); the first entry when none
// is and First says so; null otherwise.
const TEntry* Pick(const TList& List, std::string_view Wanted, bool First = true)
{
    for (const TEntry& E : List)
        if (EqualNoCase(E.Name, Wanted))
            return &E;
    return First && !List.empty() ? &List.front() : nullptr;
}

// Whether the last request got a 2xx status; a transfer that failed has
// told its error already.
bool Delivered(TWinHttp& Http)
{
    return Http.Status() != 0 && Http.StatusOk();
}

// The tracker's password goes only over HTTPS.
bool PasswordMayGo(TWinHttp& Http)
{
    if (Http.Secure() || Http.Settings().TrackerPassword.empty())
        return true;
    Http.SetLastError(0, "the tracker's password is sent only over HTTPS; the server \"" +
                             Http.Host() + "\" is reached over plain HTTP");
    return false;
}

int FirstArea(const TWinHttp& Http)
{
    return Http.Progress() ? Http.Progress()->GetArea() + 1 : -1;
}

// A POST of Body to Path; the response's body when the transfer worked (the
// status is the caller's, as trackers answer faults with 500).
std::optional<std::string> Post(TWinHttp& Http, std::string_view Path, std::string_view Type,
                                THttpBody& Body)
{
    if (!Http.OpenRequest("POST", Path) || !Http.AddHeader("Content-Type: " + std::string(Type)) ||
        !Http.SendAndReceive(&Body))
        return std::nullopt;
    return Http.ReadResponse();
}

// --- FogBugz ---------------------------------------------------------------------

std::string FogBugzEscape(std::string_view Value)
{
    static const char Hex[] = "0123456789ABCDEF";
    std::string Out;
    for (const char C : Value) {
        const auto U = static_cast<unsigned char>(C);
        if (std::isalnum(U) || C == '.' || C == '@') {
            Out += C;
        } else {
            Out += '%';
            Out += Hex[U >> 4];
            Out += Hex[U & 15];
        }
    }
    return Out;
}

using TParams = std::vector<std::pair<std::string, std::string>>;

std::string FogBugzQuery(std::string_view Command, const TParams& Params)
{
    std::string Q = "cmd=" + FogBugzEscape(Command);
    for (const auto& [Name, Value] : Params)
        Q += "&" + Name + "=" + FogBugzEscape(Value);
    return Q;
}

class TFogBugz {
public:
    explicit TFogBugz(TWinHttp& AHttp) : FHttp(AHttp) {}

    bool Discover()
    {
        const std::string Reply = FHttp.HttpGet(FHttp.Path() + "/api.xml");
        if (!Delivered(FHttp))
            return false;
        const TFogBugzReply R = ParseFogBugzReply(Reply);
        if (!R.Ok)
            return Fail(R.Error);
        const std::string Min = R.Response.ChildText("minversion");
        const std::string Url = R.Response.ChildText("url");
        char* End = nullptr;
        const long MinVersion = std::strtol(Min.c_str(), &End, 10);
        if (Min.empty() || *End || MinVersion > 8 || Url.empty())
            return Fail("the tracker's interface (minimum version \"" + Min +
                        "\") is not one this program speaks");
        FApi = "/" + Url.substr(0, Url.size() - 1);
        return true;
    }

    // A command by GET: its <response>, or nothing (the last error says why).
    std::optional<TXmlElement> Command(std::string_view Name, const TParams& Params)
    {
        const std::string Reply = FHttp.HttpGet(FApi + "?" + FogBugzQuery(Name, Params));
        if (!Delivered(FHttp))
            return std::nullopt;
        return Read(Reply);
    }

    // The logon goes by POST: the password never stands in a URL.
    bool Logon()
    {
        const THttpServer& A = FHttp.Settings();
        THttpBody Body;
        Body.Add(
            FogBugzQuery("logon", {{"email", A.TrackerAccount}, {"password", A.TrackerPassword}}));
        const auto Reply = Post(FHttp, FApi, "application/x-www-form-urlencoded", Body);
        if (!Reply || !FHttp.StatusOk())
            return false;
        const auto R = Read(*Reply);
        if (!R)
            return false;
        FToken = R->ChildText("token");
        if (FToken.empty())
            return Fail("the tracker gave no session");
        return true;
    }

    bool List(std::string_view Name, bool Writable, std::string_view Element,
              std::string_view Field, TList& Out, std::string_view Second = {},
              TList* SecondOut = nullptr)
    {
        TParams P = {{"token", FToken}};
        if (Writable)
            P.emplace_back("fWrite", "1");
        const auto R = Command(Name, P);
        if (!R)
            return false;
        std::vector<const TXmlElement*> All;
        R->FindAll(Element, All);
        for (const TXmlElement* E : All) {
            Out.push_back({E->ChildText(Field), {}});
            if (SecondOut)
                SecondOut->push_back({E->ChildText(Second), {}});
        }
        return true;
    }

    bool Submit(const TTrackerIssue& Issue)
    {
        TList Projects, Areas, AreaProjects, Categories, Priorities, People;
        if (!List("listProjects", true, "project", "sProject", Projects) ||
            !List("listAreas", true, "area", "sArea", Areas, "sProject", &AreaProjects) ||
            !List("listCategories", false, "category", "sCategory", Categories) ||
            !List("listPriorities", false, "priority", "sPriority", Priorities) ||
            !List("listPeople", false, "person", "sFullName", People))
            return false;
        const TEntry* Project = Pick(Projects, Issue.Project);
        const std::string ProjectName = Project ? Project->Name : std::string();
        std::string Area, NotSpam;
        for (std::size_t I = 0; I < Areas.size(); ++I) {
            if (!EqualNoCase(AreaProjects[I].Name, ProjectName))
                continue;
            if (!Issue.Area.empty() && EqualNoCase(Areas[I].Name, Issue.Area)) {
                Area = Areas[I].Name;
                break;
            }
            if (NotSpam.empty() && EqualNoCase(Areas[I].Name, "not spam"))
                NotSpam = Areas[I].Name;
        }
        if (Area.empty())
            Area = NotSpam;
        const TEntry* Bug = Pick(Categories, "bug");
        const TEntry* Person = Pick(People, Issue.AssignTo, false);

        std::vector<THttpAttachment> Files = Issue.Attachments;
        for (std::size_t I = 0; I < Files.size(); ++I)
            Files[I].Field = "File" + std::to_string(I + 1);
        const TParams Fields = {{"cmd", "new"},
                                {"token", FToken},
                                {"sTitle", Issue.Title},
                                {"sEvent", Issue.Description},
                                {"sProject", ProjectName},
                                {"sArea", Area},
                                {"sCategory", Bug ? Bug->Name : std::string()},
                                {"sPersonAssignedTo", Person ? Person->Name : std::string()},
                                {"sVersion", Issue.Version},
                                {"sComputer", Issue.ComputerName},
                                {"sCustomerEmail", Issue.Sender},
                                {"ixMailbox", Issue.Sender},
                                {"sScoutDescription", Issue.CallstackCrc},
                                {"nFileCount", std::to_string(Files.size())}};
        const std::string Boundary = HttpBoundary();
        THttpBody Body = MultipartBody(Fields, Files, Boundary, FirstArea(FHttp));
        const auto Reply = Post(FHttp, FApi, "multipart/form-data; boundary=" + Boundary, Body);
        if (!Reply || !FHttp.StatusOk())
            return false;
        const auto R = Read(*Reply);
        if (!R)
            return false;
        const TXmlElement* Case = R->Find("case");
        if (!Case || std::none_of(Case->Attributes.begin(), Case->Attributes.end(),
                                  [](const auto& A) { return A.first == "ixBug"; }))
            return Fail("the tracker did not confirm a new case");
        return true;
    }

    void Logoff()
    {
        if (FToken.empty())
            return;
        const std::string Error = FHttp.LastError();
        const int Code = FHttp.LastErrorCode();
        Command("logoff", {{"token", FToken}});
        // The submission's outcome is what the caller wants to know.
        FHttp.SetLastError(Code, Error);
    }

private:
    std::optional<TXmlElement> Read(const std::string& Reply)
    {
        TFogBugzReply R = ParseFogBugzReply(Reply);
        if (!R.Ok) {
            Fail(R.Error);
            return std::nullopt;
        }
        return std::move(R.Response);
    }

    bool Fail(std::string Text)
    {
        FHttp.SetLastError(0, std::move(Text));
        return false;
    }

    TWinHttp& FHttp;
    std::string FApi, FToken;
};

} // namespace

bool FogBugzSubmit(TWinHttp& Http, const TTrackerIssue& Issue)
{
    if (!PasswordMayGo(Http))
        return false;
    TFogBugz F(Http);
    if (!F.Discover() || !F.Logon())
        return false;
    const bool Done = F.Submit(Issue);
    F.Logoff();
    return Done;
}

// --- Bugzilla --------------------------------------------------------------------

namespace {

std::string RpcString(std::string_view Text)
{
    return "<string>" + XmlEscape(Text) + "</string>";
}

std::string RpcInt(std::string_view Number)
{
    return "<int>" + std::string(Number) + "</int>";
}

std::string RpcArray(const std::vector<std::string>& Values)
{
    std::string Out = "<array><data>";
    for (const std::string& V : Values)
        Out += "<value>" + V + "</value>";
    return Out + "</data></array>";
}

std::string RpcMember(std::string_view Name, std::string_view Typed)
{
    return "<member><name>" + std::string(Name) + "</name><value>" + std::string(Typed) +
           "</value></member>";
}

class TBugzilla {
public:
    explicit TBugzilla(TWinHttp& AHttp) : FHttp(AHttp) {}

    // One call; File, when given, goes as the member "data" Base64-encoded
    // after the members.
    std::optional<TRpcValue> Call(std::string_view Method, const std::string& Members,
                                  const THttpAttachment* File = nullptr,
                                  const std::string& After = {})
    {
        THttpBody Body;
        std::string Head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><methodCall><methodName>" +
                           std::string(Method) + "</methodName><params><param><value><struct>";
        if (FCalls++ > 0)
            Head += RpcMember("Bugzilla_login", RpcString(FHttp.Settings().TrackerAccount)) +
                    RpcMember("Bugzilla_password", RpcString(FHttp.Settings().TrackerPassword));
        Body.Add(Head + Members);
        if (File) {
            if (!Body.AddFile(File->File, true, FArea,
                              "<member><name>data</name><value><base64>")) {
                Fail("the attachment \"" + File->File + "\" cannot be read");
                return std::nullopt;
            }
            Body.Add("</base64></value></member>" + After);
        }
        Body.Add("</struct></value></param></params></methodCall>");
        const auto Reply = Post(FHttp, FHttp.Path() + "/xmlrpc.cgi", "text/xml", Body);
        if (!Reply)
            return std::nullopt;
        TRpcReply R = ParseXmlRpcReply(*Reply);
        if (!FHttp.StatusOk())
            return std::nullopt;
        if (!R.Ok) {
            Fail(R.Fault);
            return std::nullopt;
        }
        return std::move(R.Value);
    }

    bool Discover()
    {
        const auto Version = Call("Bugzilla.version", {});
        if (!Version)
            return false;
        const TRpcValue* V = Version->Member("version");
        if (!V || V->Text.empty())
            return Fail("the server did not tell its Bugzilla version");
        const THttpServer& A = FHttp.Settings();
        if (!A.TrackerAccount.empty() && !A.TrackerPassword.empty() &&
            !Call("Bugzilla.version", {}))
            return false;
        const auto Enterable = Call("Product.get_enterable_products", {});
        if (!Enterable)
            return false;
        std::vector<std::string> Ids;
        if (const TRpcValue* I = Enterable->Member("ids"))
            for (const TRpcValue& Id : I->Items)
                Ids.push_back(RpcInt(Id.Text));
        if (Ids.empty())
            return Fail("the tracker's account may enter bugs in no product");
        const auto ProductReply = Call("Product.get", RpcMember("ids", RpcArray(Ids)));
        if (!ProductReply)
            return false;
        if (const TRpcValue* P = ProductReply->Member("products"))
            for (const TRpcValue& Product : P->Items) {
                const TRpcValue* Name = Product.Member("name");
                TProduct Item{Name ? Name->Text : std::string(), {}, {}};
                NamesOf(Product.Member("components"), Item.Components);
                NamesOf(Product.Member("versions"), Item.Versions);
                FProducts.push_back(std::move(Item));
            }
        if (FProducts.empty())
            return Fail("the tracker named no product");
        const auto Fields = Call("Bug.fields", {});
        if (!Fields)
            return false;
        if (const TRpcValue* F = Fields->Member("fields"))
            for (const TRpcValue& Field : F->Items) {
                const TRpcValue* Name = Field.Member("name");
                const std::string N = Name ? Name->Text : std::string();
                TList* L = N == "priority"                          ? &FPriorities
                           : N == "bug_severity" || N == "severity" ? &FSeverities
                           : N == "op_sys"                          ? &FSystems
                           : N == "rep_platform" || N == "platform" ? &FPlatforms
                                                                    : nullptr;
                if (L && L->empty())
                    NamesOf(Field.Member("values"), *L);
            }
        return true;
    }

    bool Submit(const TTrackerIssue& Issue)
    {
        const TProduct* Product = &FProducts.front();
        for (const TProduct& P : FProducts)
            if (EqualNoCase(P.Name, Issue.Project)) {
                Product = &P;
                break;
            }
        const auto Value = [](const TList& List, std::string_view Wanted) {
            const TEntry* E = Pick(List, Wanted);
            return E ? E->Name : std::string();
        };
        std::string System = Value(FSystems, Issue.OperatingSystem);
        if (!Pick(FSystems, Issue.OperatingSystem, false) && Pick(FSystems, "other", false))
            System = Pick(FSystems, "other", false)->Name;
        // No alias: one made from the call stack's checksum is the same for
        // every report of the same fault, and a second bug with it fails.
        std::string Members =
            RpcMember("product", RpcString(Product->Name)) +
            RpcMember("component", RpcString(Value(Product->Components, Issue.Area))) +
            RpcMember("summary", RpcString(Issue.Title)) +
            RpcMember("version", RpcString(Value(Product->Versions, Issue.Version))) +
            RpcMember("description", RpcString(Issue.Description)) +
            RpcMember("op_sys", RpcString(System)) +
            RpcMember("priority", RpcString(Value(FPriorities, "P2"))) +
            RpcMember("severity", RpcString(Value(FSeverities, "normal"))) +
            RpcMember("platform", RpcString(Value(FPlatforms, "PC")));
        if (!Issue.AssignTo.empty())
            Members += RpcMember("assigned_to", RpcString(Issue.AssignTo));
        const auto Created = Call("Bug.create", Members);
        if (!Created)
            return false;
        const TRpcValue* Id = Created->Member("id");
        if (!Id || Id->Text.empty())
            return Fail("the tracker did not tell the new bug's number");
        FArea = FirstArea(FHttp);
        for (const THttpAttachment& A : Issue.Attachments) {
            const std::string After = RpcMember("file_name", RpcString(A.SendAs)) +
                                      RpcMember("summary", RpcString(A.SendAs)) +
                                      RpcMember("content_type", RpcString(GetMimeType(A.SendAs))) +
                                      RpcMember("exclude_fields", RpcArray({RpcString("data")}));
            if (!Call("Bug.add_attachment", RpcMember("ids", RpcInt(Id->Text)), &A, After))
                return false;
            if (FArea >= 0)
                ++FArea;
        }
        return true;
    }

private:
    struct TProduct {
        std::string Name;
        TList Components, Versions;
    };

    static void NamesOf(const TRpcValue* Array, TList& Out)
    {
        if (!Array)
            return;
        for (const TRpcValue& Item : Array->Items) {
            const TRpcValue* Name = Item.Member("name");
            if (Name)
                Out.push_back({Name->Text, {}});
        }
    }

    bool Fail(std::string Text)
    {
        FHttp.SetLastError(0, std::move(Text));
        return false;
    }

    TWinHttp& FHttp;
    int FCalls = 0;
    int FArea = -1;
    std::vector<TProduct> FProducts;
    TList FPriorities, FSeverities, FSystems, FPlatforms;
};

} // namespace

bool BugzillaSubmit(TWinHttp& Http, const TTrackerIssue& Issue)
{
    if (!PasswordMayGo(Http))
        return false;
    TBugzilla B(Http);
    return B.Discover() && B.Submit(Issue);
}

// --- Mantis ----------------------------------------------------------------------

namespace {

std::string SoapString(std::string_view Tag, std::string_view Value)
{
    return "<" + std::string(Tag) + " xsi:type=\"xsd:string\">" + XmlEscape(Value) + "</" +
           std::string(Tag) + ">";
}

std::string SoapInteger(std::string_view Tag, std::string_view Type, std::string_view Value)
{
    return "<" + std::string(Tag) + " xsi:type=\"xsd:" + std::string(Type) + "\">" +
           XmlEscape(Value) + "</" + std::string(Tag) + ">";
}

// The text before "build" (searched from the second character on, without
// regard to case), its trailing blanks dropped.
std::string SystemWithoutBuild(std::string_view System)
{
    for (std::size_t I = 1; I + 5 <= System.size(); ++I)
        if (EqualNoCase(System.substr(I, 5), "build")) {
            System = System.substr(0, I);
            break;
        }
    while (!System.empty() && (System.back() == ' ' || System.back() == ','))
        System.remove_suffix(1);
    return std::string(System);
}

class TMantis {
public:
    explicit TMantis(TWinHttp& AHttp) : FHttp(AHttp) {}

    std::optional<TXmlElement> Call(std::string_view Method, const std::string& Params,
                                    const THttpAttachment* File = nullptr, int FileArea = -1)
    {
        THttpBody Body;
        std::string Head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
                           "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
                           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                           "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/"
                           "\"><SOAP-ENV:Body><ns1:" +
                           std::string(Method) + " xmlns:ns1=\"ns1\">";
        if (Method != "mc_version")
            Head += SoapString("username", FHttp.Settings().TrackerAccount) +
                    SoapString("password", FHttp.Settings().TrackerPassword);
        Body.Add(Head + Params);
        if (File) {
            if (!Body.AddFile(File->File, true, FileArea,
                              "<content xsi:type=\"xsd:base64Binary\">")) {
                Fail("the attachment \"" + File->File + "\" cannot be read");
                return std::nullopt;
            }
            Body.Add("</content>");
        }
        Body.Add("</ns1:" + std::string(Method) + "></SOAP-ENV:Body></SOAP-ENV:Envelope>");
        const auto Reply =
            Post(FHttp, FHttp.Path() + "/api/soap/mantisconnect.php", "text/xml", Body);
        if (!Reply)
            return std::nullopt;
        TSoapReply R = ParseSoapReply(*Reply);
        // A fault comes with status 500 and says more than the status.
        if (!FHttp.StatusOk() && !R.Faulted)
            return std::nullopt;
        if (!R.Ok) {
            Fail(R.Fault);
            return std::nullopt;
        }
        return std::move(R.Return);
    }

    bool Discover()
    {
        const auto Version = Call("mc_version", {});
        if (!Version)
            return false;
        if (Version->Text.empty())
            return Fail("the server did not tell its Mantis version");
        const auto ProjectReply = Call("mc_projects_get_user_accessible", {});
        if (!ProjectReply)
            return false;
        AddProjects(*ProjectReply, 0);
        if (FProjects.empty())
            return Fail("the tracker's account reaches no project");
        const auto Levels = Call("mc_enum_access_levels", {});
        if (!Levels)
            return false;
        const TEntry* Developer = Pick(Items(*Levels), "developer", false);
        const std::string Access = Developer ? Developer->Id : "55";
        for (TProject& P : FProjects) {
            const std::string Id = SoapInteger("project_id", "integer", P.Id);
            const auto Categories = Call("mc_project_get_categories", Id);
            if (!Categories)
                return false;
            for (const TXmlElement& Item : Categories->Children)
                if (Item.Name == "item")
                    P.Categories.push_back({Item.Text, Item.Text});
            const auto Versions = Call("mc_project_get_versions", Id);
            if (!Versions)
                return false;
            P.Versions = Items(*Versions);
            const auto Users =
                Call("mc_project_get_users", Id + SoapInteger("access", "integer", Access));
            if (!Users)
                return false;
            P.Users = Items(*Users);
        }
        const auto PriorityReply = Call("mc_enum_priorities", {});
        if (!PriorityReply)
            return false;
        FPriorities = Items(*PriorityReply);
        const auto SeverityReply = Call("mc_enum_severities", {});
        if (!SeverityReply)
            return false;
        FSeverities = Items(*SeverityReply);
        return true;
    }

    bool Submit(const TTrackerIssue& Issue)
    {
        const TProject* Project = &FProjects.front();
        for (const TProject& P : FProjects)
            if (EqualNoCase(P.Name, Issue.Project)) {
                Project = &P;
                break;
            }
        const TEntry* Category = Pick(Project->Categories, Issue.Area);
        const TEntry* Version = Pick(Project->Versions, Issue.Version, false);
        const TEntry* Handler =
            Issue.AssignTo.empty() ? nullptr : Pick(Project->Users, Issue.AssignTo, false);
        const TEntry* Priority = Pick(FPriorities, "normal", false);
        const TEntry* Severity = Pick(FSeverities, "crash", false);

        std::string P = "<ns2:IssueData id=\"1\" xsi:type=\"ns2:IssueData\" "
                        "xmlns:ns2=\"ns2\"><project href=\"#2\"/>";
        if (Version)
            P += SoapString("version", Version->Name);
        if (Handler)
            P += "<handler href=\"#3\"/>";
        if (Priority)
            P += "<priority href=\"#4\"/>";
        if (Severity)
            P += "<severity href=\"#5\"/>";
        P += SoapString("summary", Issue.Title) +
             SoapString("category", Category ? Category->Name : std::string()) +
             SoapString("os", SystemWithoutBuild(Issue.OperatingSystem)) +
             SoapString("description", Issue.Description) + "</ns2:IssueData>";
        // Each referenced object declares the prefix itself: it stands outside
        // the element that declared it first.
        const auto Reference = [](std::string_view Tag, std::string_view Id, std::string_view Type,
                                  std::string_view Value) {
            return "<ns2:" + std::string(Tag) + " id=\"" + std::string(Id) +
                   "\" xsi:type=\"ns2:" + std::string(Type) + "\" xmlns:ns2=\"ns2\">" +
                   SoapInteger("id", "long", Value) + "</ns2:" + std::string(Tag) + ">";
        };
        P += Reference("project", "2", "ObjectRef", Project->Id);
        if (Handler)
            P += Reference("handler", "3", "AccountData", Handler->Id);
        if (Priority)
            P += Reference("priority", "4", "ObjectRef", Priority->Id);
        if (Severity)
            P += Reference("severity", "5", "ObjectRef", Severity->Id);
        P += "<issue href=\"#1\"/>";
        const auto Added = Call("mc_issue_add", P);
        if (!Added)
            return false;
        const std::string IssueId = Added->Text;
        if (IssueId.empty() || !std::all_of(IssueId.begin(), IssueId.end(),
                                            [](char C) { return C >= '0' && C <= '9'; }))
            return Fail("the tracker did not tell the new issue's number");
        int Area = FirstArea(FHttp);
        for (const THttpAttachment& A : Issue.Attachments) {
            const std::string Params = SoapInteger("issue_id", "long", IssueId) +
                                       SoapString("name", A.SendAs) +
                                       SoapString("file_type", GetMimeType(A.SendAs));
            if (!Call("mc_issue_attachment_add", Params, &A, Area))
                return false;
            if (Area >= 0)
                ++Area;
        }
        return true;
    }

private:
    struct TProject {
        std::string Name, Id;
        TList Categories, Versions, Users;
    };

    static TList Items(const TXmlElement& Return)
    {
        TList Out;
        for (const TXmlElement& Item : Return.Children)
            if (Item.Name == "item")
                Out.push_back({Item.ChildText("name"), Item.ChildText("id")});
        return Out;
    }

    void AddProjects(const TXmlElement& List, int Depth)
    {
        if (Depth > 8)
            return;
        for (const TXmlElement& Item : List.Children) {
            if (Item.Name != "item")
                continue;
            FProjects.push_back({Item.ChildText("name"), Item.ChildText("id"), {}, {}, {}});
            if (const TXmlElement* Sub = Item.Child("subprojects"))
                AddProjects(*Sub, Depth + 1);
        }
    }

    bool Fail(std::string Text)
    {
        FHttp.SetLastError(0, std::move(Text));
        return false;
    }

    TWinHttp& FHttp;
    std::vector<TProject> FProjects;
    TList FPriorities, FSeverities;
};

} // namespace

bool MantisSubmit(TWinHttp& Http, const TTrackerIssue& Issue)
{
    if (!PasswordMayGo(Http))
        return false;
    TMantis M(Http);
    return M.Discover() && M.Submit(Issue);
}
