// The three bug trackers against fake servers on loopback
// (tests/peers/trackers.py): the requests in their order, their values as
// Python's own parsers read them (urllib for FogBugz's queries and forms,
// email for its multipart body, xmlrpc.client for Bugzilla, ElementTree for
// Mantis, whose hrefs must resolve), the received files byte for byte, and
// the failures: a tracker's error or fault, a bad status, an unusable server,
// a password that would go over plain HTTP.
#include "crashreport/send/kelExceptTrackers.h"

#include "tests/crashreport/send/SendPeers.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

std::string Join(const std::vector<std::string>& Items)
{
    std::string Out;
    for (const auto& I : Items)
        Out += I + "\n";
    return Out;
}

bool Has(const std::string& Line, const std::string& Text)
{
    return Line.find(Text) != std::string::npos;
}

// A tracker run: a peer of that kind (over HTTPS unless Plain), an issue with
// two attachments, the submission, every line the peer wrote.
class TTrackerRun {
public:
    explicit TTrackerRun(const std::string& Kind, std::vector<std::string> PeerArgs = {},
                         bool Plain = false)
    {
        if (!MakeCertificate(Dir.Path(), "ca", "good", "DNS:localhost,IP:127.0.0.1"))
            throw std::runtime_error("openssl failed");
        std::ofstream(Dir.Path("report.txt"), std::ios::binary)
            << "Exception: access violation\r\n";
        std::string Binary;
        for (int I = 0; I < 70000; ++I)
            Binary += static_cast<char>((I * 7919) >> 3);
        std::ofstream(Dir.Path("shot.png"), std::ios::binary) << Binary;
        Issue.Title = "Tolvex, access violation <&> \"quoted\"\x01 – ö";
        Issue.Description = "error details: \r\nline two";
        Issue.Project = "tolvex";
        Issue.Version = "2.4.1";
        Issue.ComputerName = "LAB-PC";
        Issue.OperatingSystem = "Debian 12 Build 7";
        Issue.CallstackCrc = "1A2B3C4D";
        Issue.Sender = "Ann User <ann@example.test>";
        Issue.Attachments = {{Dir.Path("report.txt"), "report.txt", "Report"},
                             {Dir.Path("shot.png"), "shot.png", "Shot"}};
        Args = {PeersFolder() + "/trackers.py",
                "--kind",
                Kind,
                "--folder",
                Dir.Path(),
                "--secret",
                "secret"};
        if (!Plain)
            Args.insert(Args.end(),
                        {"--tls-cert", Dir.Path("good.pem"), "--tls-key", Dir.Path("good.key")});
        Args.insert(Args.end(), PeerArgs.begin(), PeerArgs.end());
        Secure = !Plain;
    }

    bool Submit(bool (*Way)(TWinHttp&, const TTrackerIssue&))
    {
        TPythonPeer Peer(Args);
        const int Port = Peer.WaitReady();
        if (Port == 0)
            throw std::runtime_error("the tracker peer did not start");
        ::setenv("SSL_CERT_FILE", Dir.Path("ca.pem").c_str(), 1);
        THttpServer Server;
        Server.Server = "localhost";
        Server.Secure = Secure;
        Server.Port = static_cast<std::uint16_t>(Port);
        Server.TrackerAccount = "reporter@example.test";
        Server.TrackerPassword = "secret";
        TWinHttp Http(Server);
        const bool Done = Way(Http, Issue);
        Error = Http.LastError();
        Lines = Peer.Lines();
        ::unsetenv("SSL_CERT_FILE");
        return Done;
    }

    TempFolder Dir;
    TTrackerIssue Issue;
    std::vector<std::string> Args, Lines;
    std::string Error;
    bool Secure = true;
};

// The title as it must arrive: the control character XML cannot hold left out.
const std::string ArrivedTitle = "Tolvex, access violation <&> \\\"quoted\\\" – ö";

} // namespace

TEST(CrashreportTracker, FogBugzFilesACase)
{
    TTrackerRun Run("a");
    Run.Issue.Area = "Nowhere";
    Run.Issue.AssignTo = "Ben &lt;B&gt; Smith"; // the peer's name, its entity decoded once
    ASSERT_TRUE(Run.Submit(FogBugzSubmit)) << Run.Error << Join(Run.Lines);
    EXPECT_EQ(CallsOf(Run.Lines),
              (std::vector<std::string>{"GET /api.xml", "POST cmd=logon", "GET cmd=listProjects",
                                        "GET cmd=listAreas", "GET cmd=listCategories",
                                        "GET cmd=listPriorities", "GET cmd=listPeople", "cmd=new",
                                        "GET cmd=logoff"}));
    // The blank of the token as "%20"; the writable lists asked with fWrite.
    const std::string Projects = CallLine(Run.Lines, "GET cmd=listProjects");
    EXPECT_TRUE(Has(Projects, "\"query\": \"cmd=listProjects&token=tok%20123&fWrite=1\""))
        << Projects;
    EXPECT_TRUE(Has(CallLine(Run.Lines, "GET cmd=listAreas"), "\"fWrite\": \"1\""));
    EXPECT_FALSE(Has(CallLine(Run.Lines, "GET cmd=listPeople"), "fWrite"));

    const std::string New = CallLine(Run.Lines, "cmd=new");
    // The fields in their order, with the values the lists led to; a title
    // beyond Latin-1 as UTF-8 bytes with no transfer encoding.
    const std::string Expected =
        "\"fields\": [[\"cmd\", \"new\", \"iso-8859-1\", \"8bit\"], [\"token\", \"tok 123\", "
        "\"iso-8859-1\", \"8bit\"], [\"sTitle\", \"Tolvex, access violation <&> "
        "\\\"quoted\\\"\\u0001 – ö\", \"utf-8\", \"\"], [\"sEvent\", \"error details: \\r\\nline "
        "two\", \"iso-8859-1\", "
        "\"8bit\"], [\"sProject\", \"Tolvex\", \"iso-8859-1\", \"8bit\"], [\"sArea\", \"Not "
        "Spam\", \"iso-8859-1\", \"8bit\"], [\"sCategory\", \"Bug\", \"iso-8859-1\", \"8bit\"], "
        "[\"sPersonAssignedTo\", \"Ben &lt;B&gt; Smith\", \"iso-8859-1\", \"8bit\"], "
        "[\"sVersion\", \"2.4.1\", \"iso-8859-1\", \"8bit\"], [\"sComputer\", \"LAB-PC\", "
        "\"iso-8859-1\", \"8bit\"], [\"sCustomerEmail\", \"Ann User <ann@example.test>\", "
        "\"iso-8859-1\", \"8bit\"], [\"ixMailbox\", \"Ann User <ann@example.test>\", "
        "\"iso-8859-1\", \"8bit\"], [\"sScoutDescription\", \"1A2B3C4D\", \"iso-8859-1\", "
        "\"8bit\"], [\"nFileCount\", \"2\", \"iso-8859-1\", \"8bit\"]]";
    EXPECT_TRUE(Has(New, Expected)) << New;
    EXPECT_TRUE(Has(New, "\"field\": \"File1\", \"filename\": \"report.txt\"")) << New;
    EXPECT_TRUE(Has(New, "\"field\": \"File2\", \"filename\": \"shot.png\"")) << New;
    const auto Files = FilesOf(New);
    ASSERT_EQ(Files.size(), 2u);
    EXPECT_EQ(ReadFile(Files[0]), ReadFile(Run.Dir.Path("report.txt")));
    EXPECT_EQ(ReadFile(Files[1]), ReadFile(Run.Dir.Path("shot.png")));
    // The password went in no URL (the peer reports any it sees).
    EXPECT_FALSE(Has(Join(Run.Lines), "\"event\": \"secret\"")) << Join(Run.Lines);
    EXPECT_TRUE(Has(New, "\"agent\": \"kelExcept/4.0\""));
}

TEST(CrashreportTracker, BugzillaFilesABug)
{
    TTrackerRun Run("b");
    Run.Issue.Area = "crash reports";
    Run.Issue.AssignTo = "dev@example.test";
    ASSERT_TRUE(Run.Submit(BugzillaSubmit)) << Run.Error << Join(Run.Lines);
    EXPECT_EQ(CallsOf(Run.Lines), (std::vector<std::string>{
                                      "Bugzilla.version", "Bugzilla.version",
                                      "Product.get_enterable_products", "Product.get", "Bug.fields",
                                      "Bug.create", "Bug.add_attachment", "Bug.add_attachment"}));
    // The very first call goes without the account, every other with it.
    EXPECT_TRUE(Has(CallLine(Run.Lines, "Bugzilla.version"), "\"members\": []"));
    for (const auto& L : Run.Lines) {
        if (Has(L, "\"event\": \"call\"") && L != CallLine(Run.Lines, "Bugzilla.version")) {
            EXPECT_TRUE(Has(L, "\"login\": true")) << L;
        }
    }
    const std::string Create = CallLine(Run.Lines, "Bug.create");
    // No alias; the values the lists led to; the title's markup escaped and
    // read back as it was.
    EXPECT_TRUE(Has(Create, "\"members\": [\"Bugzilla_login\", \"Bugzilla_password\", "
                            "\"product\", \"component\", \"summary\", \"version\", "
                            "\"description\", \"op_sys\", \"priority\", \"severity\", "
                            "\"platform\", \"assigned_to\"]"))
        << Create;
    for (const char* V :
         {"\"product\": \"Tolvex\"", "\"component\": \"Crash Reports\"", "\"version\": \"2.4.1\"",
          "\"op_sys\": \"Other\"", "\"priority\": \"P2\"", "\"severity\": \"normal\"",
          "\"platform\": \"PC\"", "\"assigned_to\": \"dev@example.test\"",
          "\"description\": \"error details: \\r\\nline two\""})
        EXPECT_TRUE(Has(Create, V)) << V << "\n" << Create;
    EXPECT_TRUE(Has(Create, "\"summary\": \"" + ArrivedTitle + "\"")) << Create;
    const std::string Png = CallLine(Run.Lines, "Bug.add_attachment", 1);
    EXPECT_TRUE(Has(Png, "\"content_type\": \"image/png\"")) << Png;
    EXPECT_TRUE(Has(Png, "\"file_name\": \"shot.png\"")) << Png;
    EXPECT_TRUE(Has(Png, "\"ids\": 77")) << Png;
    const auto Files = FilesOf(Png);
    ASSERT_EQ(Files.size(), 1u);
    EXPECT_EQ(ReadFile(Files[0]), ReadFile(Run.Dir.Path("shot.png")));
}

TEST(CrashreportTracker, MantisFilesAnIssue)
{
    TTrackerRun Run("c");
    Run.Issue.Area = "crash reports";
    Run.Issue.AssignTo = "ada";
    ASSERT_TRUE(Run.Submit(MantisSubmit)) << Run.Error << Join(Run.Lines);
    std::vector<std::string> Expected = {"mc_version", "mc_projects_get_user_accessible",
                                         "mc_enum_access_levels"};
    for (int P = 0; P < 3; ++P) // Tolvex, its sub-project, Other
        Expected.insert(Expected.end(), {"mc_project_get_categories", "mc_project_get_versions",
                                         "mc_project_get_users"});
    Expected.insert(Expected.end(), {"mc_enum_priorities", "mc_enum_severities", "mc_issue_add",
                                     "mc_issue_attachment_add", "mc_issue_attachment_add"});
    EXPECT_EQ(CallsOf(Run.Lines), Expected);
    for (const auto& L : Run.Lines) {
        EXPECT_FALSE(Has(L, "\"bad-request\"")) << L;
        if (Has(L, "\"event\": \"call\"")) {
            EXPECT_TRUE(Has(L, "\"unresolved\": []")) << L;
            EXPECT_TRUE(Has(L, "\"login\": true") || Has(L, "\"call\": \"mc_version\"")) << L;
        }
    }
    EXPECT_TRUE(Has(CallLine(Run.Lines, "mc_version"), "\"params\": []"));
    const std::string Add = CallLine(Run.Lines, "mc_issue_add");
    // The referenced objects reached through their hrefs; "os" cut before "Build".
    for (const char* V :
         {"\"project\": \"1\"", "\"category\": \"Crash Reports\"", "\"version\": \"2.4.1\"",
          "\"handler\": \"7\"", "\"priority\": \"30\"", "\"severity\": \"70\"",
          "\"os\": \"Debian 12\"", "\"description\": \"error details: \\r\\nline two\""})
        EXPECT_TRUE(Has(Add, V)) << V << "\n" << Add;
    EXPECT_TRUE(Has(Add, "\"summary\": \"" + ArrivedTitle + "\"")) << Add;
    const std::string Txt = CallLine(Run.Lines, "mc_issue_attachment_add");
    EXPECT_TRUE(Has(Txt, "\"file_type\": \"text/plain\", \"issue_id\": \"1234\", \"name\": "
                         "\"report.txt\""))
        << Txt;
    const auto Files = FilesOf(CallLine(Run.Lines, "mc_issue_attachment_add", 1));
    ASSERT_EQ(Files.size(), 1u);
    EXPECT_EQ(ReadFile(Files[0]), ReadFile(Run.Dir.Path("shot.png")));
}

TEST(CrashreportTracker, ListsWithoutTheWantedValues)
{
    {
        SCOPED_TRACE("Bugzilla without P2: the first priority");
        TTrackerRun Run("b", {"--no-p2"});
        ASSERT_TRUE(Run.Submit(BugzillaSubmit)) << Run.Error;
        const std::string Create = CallLine(Run.Lines, "Bug.create");
        EXPECT_TRUE(Has(Create, "\"priority\": \"Highest\"")) << Create;
        // No assignee configured: none sent; an unknown area: the first component.
        EXPECT_FALSE(Has(Create, "assigned_to")) << Create;
        EXPECT_TRUE(Has(Create, "\"component\": \"Scanner\"")) << Create;
    }
    {
        SCOPED_TRACE("Mantis without normal: no priority reference");
        TTrackerRun Run("c", {"--no-normal"});
        Run.Issue.AssignTo = "bob"; // not among the project's users
        ASSERT_TRUE(Run.Submit(MantisSubmit)) << Run.Error;
        const std::string Add = CallLine(Run.Lines, "mc_issue_add");
        EXPECT_FALSE(Has(Add, "\"priority\"")) << Add;
        EXPECT_FALSE(Has(Add, "\"handler\"")) << Add;
        EXPECT_TRUE(Has(Add, "\"unresolved\": []")) << Add;
        EXPECT_TRUE(Has(Add, "\"category\": \"General\"")) << Add;
    }
}

TEST(CrashreportTracker, Failures)
{
    struct TCase {
        const char* Name;
        const char* Kind;
        std::vector<std::string> PeerArgs;
        bool Plain;
        const char* Error;              // the last error holds it
        std::vector<std::string> Calls; // what the peer saw
    };
    using TWay = bool (*)(TWinHttp&, const TTrackerIssue&);
    const std::vector<std::string> FogBugzStart = {
        "GET /api.xml",           "POST cmd=logon",
        "GET cmd=listProjects",   "GET cmd=listAreas",
        "GET cmd=listCategories", "GET cmd=listPriorities",
        "GET cmd=listPeople",     "cmd=new",
        "GET cmd=logoff"};
    const TCase Cases[] = {
        {"FogBugz asking for a newer client",
         "a",
         {"--minversion", "9"},
         false,
         "minimum version \"9\"",
         {"GET /api.xml"}},
        {"FogBugz list refused: the session still closed",
         "a",
         {"--fault", "listCategories"},
         false,
         "listCategories refused",
         {"GET /api.xml", "POST cmd=logon", "GET cmd=listProjects", "GET cmd=listAreas",
          "GET cmd=listCategories", "GET cmd=logoff"}},
        {"FogBugz case refused", "a", {"--fault", "new"}, false, "Case not created", FogBugzStart},
        {"FogBugz case answered 500", "a", {"--status", "500"}, false, "500", FogBugzStart},
        {"FogBugz case redirected", "a", {"--status", "302"}, false, "302", FogBugzStart},
        {"FogBugz password over plain HTTP", "a", {}, true, "only over HTTPS", {}},
        {"Bugzilla fault, its text decoded once",
         "b",
         {"--fault", "Bug.create"},
         false,
         "There is no component named \"<Crash & Burn>\".",
         {"Bugzilla.version", "Bugzilla.version", "Product.get_enterable_products", "Product.get",
          "Bug.fields", "Bug.create"}},
        {"Bugzilla password over plain HTTP", "b", {}, true, "only over HTTPS", {}},
        {"Mantis fault",
         "c",
         {"--fault", "mc_enum_priorities"},
         false,
         "Project <1> refused the issue",
         {}},
        {"Mantis issue answered 404", "c", {"--status", "404"}, false, "404", {}},
        {"Mantis password over plain HTTP", "c", {}, true, "only over HTTPS", {}},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        TTrackerRun Run(C.Kind, C.PeerArgs, C.Plain);
        const TWay Way = *C.Kind == 'a'   ? FogBugzSubmit
                         : *C.Kind == 'b' ? BugzillaSubmit
                                          : MantisSubmit;
        EXPECT_FALSE(Run.Submit(Way)) << Join(Run.Lines);
        EXPECT_TRUE(Has(Run.Error, C.Error)) << Run.Error;
        if (!C.Calls.empty() || C.Plain) {
            EXPECT_EQ(CallsOf(Run.Lines), C.Calls);
        }
        EXPECT_FALSE(Has(Join(Run.Lines), "\"event\": \"secret\"")) << Join(Run.Lines);
        // Nothing filed: no attachment went.
        for (const auto& Call : CallsOf(Run.Lines))
            EXPECT_TRUE(Call.find("attachment") == std::string::npos) << Call;
    }
}
