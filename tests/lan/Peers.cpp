#include "tests/lan/Peers.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace lan {
namespace {

// Values go into command lines and configuration files: a line break or a
// space there would add settings the test never chose.
void CheckValue(const std::string& v, const char* what)
{
    if (v.empty() || std::any_of(v.begin(), v.end(), [](char c) {
            return std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == '#' ||
                   c == ';' || c == '/' || c == '[' || c == ']';
        }))
        throw LabError(std::string("bad ") + what + ": \"" + v + "\"");
}

void Write(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::trunc);
    f << text;
    f.close();
    if (!f)
        throw LabError("cannot write " + path);
}

// The address without its prefix length.
std::string BareAddress(const std::string& cidr)
{
    return cidr.substr(0, cidr.find('/'));
}

// Every folder Samba keeps state, caches, locks, pids or logs in, inside dir.
std::string SambaFolders(const std::string& dir)
{
    std::string t;
    for (const char* key : {"lock directory", "state directory", "cache directory", "private dir",
                            "pid directory", "ncalrpc dir", "binddns dir"}) {
        std::string sub = key;
        std::replace(sub.begin(), sub.end(), ' ', '-');
        std::filesystem::create_directories(dir + "/" + sub);
        t += std::string("   ") + key + " = " + dir + "/" + sub + "\n";
    }
    t += "   log file = " + dir + "/log.%m\n   max log size = 0\n";
    return t;
}

} // namespace

Peer& StartDnsmasq(Host& host, const DnsmasqConfig& config)
{
    CheckValue(config.listen, "listen address");
    std::string dir = host.lab().MakePeerDir("dnsmasq");
    std::vector<std::string> argv = {
        "dnsmasq", "--keep-in-foreground", "--log-facility=-", "--log-queries",
        // Nothing of the machine's: no config file, no /etc/hosts, no resolv.conf.
        "--conf-file=/dev/null", "--no-resolv", "--no-hosts", "--no-poll",
        // Every other name is local and unknown, answered at once.
        "--local=/#/", "--pid-file=" + dir + "/dnsmasq.pid",
        "--dhcp-leasefile=" + dir + "/dnsmasq.leases", "--listen-address=" + config.listen,
        "--bind-interfaces", "--user=root", "--group=root"};
    for (const auto& r : config.hosts) {
        CheckValue(r.name, "host name");
        CheckValue(r.ip, "address");
        argv.push_back("--host-record=" + r.name + "," + r.ip);
    }
    for (const auto& r : config.ptrOnly) {
        CheckValue(r.name, "host name");
        CheckValue(r.ip, "address");
        // 10.1.0.5 -> 5.0.1.10.in-addr.arpa
        std::string rev, rest = r.ip;
        while (!rest.empty()) {
            size_t dot = rest.rfind('.');
            rev += (dot == std::string::npos ? rest : rest.substr(dot + 1)) + ".";
            rest = dot == std::string::npos ? "" : rest.substr(0, dot);
        }
        argv.push_back("--ptr-record=" + rev + "in-addr.arpa," + r.name);
    }
    for (const auto& r : config.mx) {
        CheckValue(r.domain, "mail domain");
        CheckValue(r.host, "mail exchanger");
        argv.push_back("--mx-host=" + r.domain + "," + r.host + "," + std::to_string(r.preference));
    }
    PeerSpec spec;
    spec.name = "dnsmasq";
    spec.argv = argv;
    spec.dir = dir;
    const Host* h = &host;
    spec.ready = [h] { return IsListening(*h, "udp", 53) && IsListening(*h, "tcp", 53); };
    return host.lab().StartPeer(host, spec);
}

std::string SambaClientConf(Lab& lab)
{
    std::string dir = lab.MakePeerDir("samba-client");
    std::string conf = dir + "/smb.conf";
    Write(conf, "[global]\n"
                "   netbios name = TVXCLIENT\n"
                "   workgroup = TVXGROUP\n"
                "   name resolve order = bcast\n"
                "   client min protocol = NT1\n" +
                    SambaFolders(dir));
    return conf;
}

Peer& StartNmbd(Host& host, const NmbdConfig& config)
{
    CheckValue(config.netbiosName, "NetBIOS name");
    if (config.netbiosName.size() > 15)
        throw LabError("NetBIOS name longer than 15 characters: " + config.netbiosName);
    CheckValue(config.workgroup, "workgroup");
    if (config.interfaceAddress.find('/') == std::string::npos)
        throw LabError("interface address needs a prefix length: " + config.interfaceAddress);
    CheckValue(BareAddress(config.interfaceAddress), "interface address");
    std::string dir = host.lab().MakePeerDir("nmbd");
    const std::string conf = dir + "/smb.conf";
    Write(conf, "[global]\n"
                "   netbios name = " +
                    config.netbiosName +
                    "\n"
                    "   workgroup = " +
                    config.workgroup +
                    "\n"
                    "   interfaces = " +
                    config.interfaceAddress +
                    "\n"
                    "   bind interfaces only = yes\n"
                    "   server role = standalone server\n"
                    "   name resolve order = bcast\n"
                    "   wins support = no\n"
                    "   dns proxy = no\n" +
                    std::string(config.localMaster ? "   local master = yes\n"
                                                     "   preferred master = yes\n"
                                                     "   os level = 65\n"
                                                     "   server min protocol = NT1\n"
                                                     "   disable spoolss = yes\n"
                                                   : "   local master = no\n"
                                                     "   preferred master = no\n") +
                    "   domain master = no\n"
                    "   load printers = no\n" +
                    SambaFolders(dir));
    PeerSpec spec;
    spec.name = "nmbd";
    spec.dir = dir;
    spec.argv = {"nmbd",           "--foreground",   "--no-process-group",
                 "--debug-stdout", "--debuglevel=1", "--configfile=" + conf};
    const Host* h = &host;
    const std::string ip = BareAddress(config.interfaceAddress);
    // Ready once it answers a unicast query for its own name, which it does
    // only after it has registered the name; a master browser once it holds
    // the workgroup's master name, after the election.
    const std::string name = config.localMaster ? config.workgroup + "#1d" : config.netbiosName;
    const std::string shown = config.localMaster ? config.workgroup + "<1d>" : name + "<00>";
    spec.ready = [h, conf, ip, name, shown] {
        if (!IsListening(*h, "udp", 137))
            return false;
        ExecResult r =
            h->Exec({"nmblookup", "--configfile=" + conf, "-U", ip, name}, std::chrono::seconds(5));
        return r.ok() && r.out.find(ip + " " + shown) != std::string::npos;
    };
    spec.readyTimeout = std::chrono::seconds(config.localMaster ? 90 : 30);
    return host.lab().StartPeer(host, spec);
}

} // namespace lan

namespace lan {

Peer& StartSlapd(Host& host, const SlapdConfig& config)
{
    CheckValue(config.listen, "listen address");
    CheckValue(config.suffix.substr(0, config.suffix.find(',')), "suffix");
    std::string dir = host.lab().MakePeerDir("slapd");
    std::filesystem::create_directories(dir + "/db");
    Write(dir + "/tvx.schema",
          "attributetype ( 1.3.6.1.4.1.99999.77.1.1 NAME 'userAccountControl'\n"
          "  EQUALITY integerMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE )\n"
          "attributetype ( 1.3.6.1.4.1.99999.77.1.2 NAME 'defaultNamingContext'\n"
          "  EQUALITY distinguishedNameMatch SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 "
          "SINGLE-VALUE )\n"
          "objectclass ( 1.3.6.1.4.1.99999.77.2.1 NAME 'computer' SUP top STRUCTURAL\n"
          "  MUST cn MAY ( name $ description $ userAccountControl ) )\n");
    std::string conf = "include /etc/ldap/schema/core.schema\n"
                       "include " +
                       dir + "/tvx.schema\n" + "pidfile " + dir + "/slapd.pid\n" + "argsfile " +
                       dir + "/slapd.args\n" +
                       "modulepath /usr/lib/ldap\n"
                       "moduleload back_mdb\n";
    if (!config.defaultNamingContext.empty()) {
        Write(dir + "/rootdse.ldif",
              "dn:\ndefaultNamingContext: " + config.defaultNamingContext + "\n");
        conf += "rootDSE " + dir + "/rootdse.ldif\n";
    }
    conf += "database mdb\nmaxsize 67108864\nsuffix \"" + config.suffix + "\"\nrootdn \"cn=admin," +
            config.suffix + "\"\ndirectory " + dir + "/db\n";
    Write(dir + "/slapd.conf", conf);
    const std::string dc = config.suffix.substr(3, config.suffix.find(',') - 3);
    Write(dir + "/data.ldif", "dn: " + config.suffix +
                                  "\nobjectClass: dcObject\nobjectClass: organization\no: " + dc +
                                  "\ndc: " + dc + "\n\n" + config.ldif);
    ExecResult load =
        RunCommand({"slapadd", "-q", "-f", dir + "/slapd.conf", "-l", dir + "/data.ldif"}, "",
                   std::chrono::seconds(60));
    if (!load.ok())
        throw LabError("slapadd failed: " + load.err + load.out);
    PeerSpec spec;
    spec.name = "slapd";
    spec.dir = dir;
    const std::string url = "ldap://" + config.listen + "/";
    std::string urls = url;
    if (!config.ldapiPath.empty()) {
        std::string enc;
        for (char c : config.ldapiPath)
            enc += c == '/' ? std::string("%2F") : std::string(1, c);
        urls += " ldapi://" + enc;
    }
    spec.argv = {"slapd", "-d", "256", "-f", dir + "/slapd.conf", "-h", urls};
    const Host* h = &host;
    spec.ready = [h, url] {
        if (!IsListening(*h, "tcp", 389))
            return false;
        return h
            ->Exec({"ldapsearch", "-x", "-LLL", "-H", url, "-b", "", "-s", "base"},
                   std::chrono::seconds(5))
            .ok();
    };
    return host.lab().StartPeer(host, spec);
}

} // namespace lan

namespace lan {

Peer& StartSmbd(Host& host, const Peer& nmbd)
{
    const std::string conf = nmbd.dir() + "/smb.conf";
    PeerSpec spec;
    spec.name = "smbd";
    spec.dir = nmbd.dir();
    spec.argv = {"smbd",           "--foreground",   "--no-process-group",
                 "--debug-stdout", "--debuglevel=1", "--configfile=" + conf};
    const Host* h = &host;
    spec.ready = [h] { return IsListening(*h, "tcp", 139) && IsListening(*h, "tcp", 445); };
    return host.lab().StartPeer(host, spec);
}

Peer& StartShutdownSmbd(Host& host, const ShutdownSmbdConfig& config)
{
    CheckValue(config.netbiosName, "NetBIOS name");
    if (config.interfaceAddress.find('/') == std::string::npos)
        throw LabError("interface address needs a prefix length: " + config.interfaceAddress);
    CheckValue(BareAddress(config.interfaceAddress), "interface address");
    std::string dir = host.lab().MakePeerDir("smbd-shutdown");
    const std::string conf = dir + "/smb.conf";
    const std::string script = dir + "/shutdown.sh";
    const std::string log = dir + "/shutdown.log";
    Write(script, "#!/bin/sh\necho \"$* uid=$(id -u)\" >> '" + log + "'\n[ \"$(id -u)\" = 0 ]\n");
    Write(log, "");
    std::filesystem::permissions(
        script, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                    std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                    std::filesystem::perms::others_exec);
    // The unprivileged run must be able to record itself too.
    std::filesystem::permissions(log, std::filesystem::perms::all &
                                          ~(std::filesystem::perms::owner_exec |
                                            std::filesystem::perms::group_exec |
                                            std::filesystem::perms::others_exec));
    Write(conf, "[global]\n"
                "   netbios name = " +
                    config.netbiosName +
                    "\n"
                    "   workgroup = WORKGROUP\n"
                    "   interfaces = " +
                    config.interfaceAddress +
                    "\n"
                    "   bind interfaces only = yes\n"
                    "   server role = standalone server\n"
                    "   passdb backend = tdbsam\n"
                    "   disable netbios = yes\n"
                    "   smb ports = 445\n"
                    "   load printers = no\n"
                    "   disable spoolss = yes\n"
                    "   shutdown script = " +
                    script + " %r %f %t\n" + SambaFolders(dir));
    for (const auto& a : config.accounts) {
        CheckValue(a.name, "account name");
        ExecResult r = host.Exec({"pdbedit", "--configfile=" + conf, "-a", "-t", "-u", a.name},
                                 std::chrono::seconds(30), a.password + "\n" + a.password + "\n");
        if (!r.ok())
            throw LabError("pdbedit -a " + a.name + ": " + r.err);
        if (a.remoteShutdown) {
            r = host.Exec({"net", "--configfile=" + conf, "sam", "rights", "grant", a.name,
                           "SeRemoteShutdownPrivilege"});
            if (!r.ok())
                throw LabError("net sam rights grant " + a.name + ": " + r.out + r.err);
        }
    }
    PeerSpec spec;
    spec.name = "smbd";
    spec.dir = dir;
    spec.argv = {"smbd",           "--foreground",   "--no-process-group",
                 "--debug-stdout", "--debuglevel=1", "--configfile=" + conf};
    const Host* h = &host;
    spec.ready = [h] { return IsListening(*h, "tcp", 445); };
    return host.lab().StartPeer(host, spec);
}

namespace {

const char* kPassScript = R"(import sys
def key(o): return [int(x) for x in o.strip('.').split('.')]
rows = []
for line in open(sys.argv[1]):
    line = line.rstrip('\n')
    if line:
        o, t, v = line.split('\t')
        rows.append((key(o), o, t, v))
rows.sort()
mode, req = sys.argv[2], key(sys.argv[3])
for k, o, t, v in rows:
    if (mode == '-g' and k == req) or (mode == '-n' and k > req):
        print('.' + o); print(t); print(v); break
)";

} // namespace

Peer& StartSnmpd(Host& host, const SnmpdConfig& config)
{
    std::string dir = host.lab().MakePeerDir("snmpd");
    std::filesystem::create_directories(dir + "/persist");
    std::string addresses;
    for (const auto& a : config.listen)
        addresses += (addresses.empty() ? "udp:" : ",udp:") + a + ":161";
    std::string conf = "[snmp] persistentDir " + dir +
                       "/persist\n"
                       "agentAddress " +
                       addresses +
                       "\n"
                       "rocommunity " +
                       config.community + "\n";
    std::vector<std::string> argv = {"snmpd",
                                     "-f",
                                     "-C",
                                     "-c",
                                     dir + "/snmpd.conf",
                                     "-Lf",
                                     dir + "/snmpd.log",
                                     "-p",
                                     dir + "/snmpd.pid",
                                     "-M",
                                     dir + "/no-mibs",
                                     "-m",
                                     ""};
    if (!config.passTable.empty()) {
        Write(dir + "/pass.py", kPassScript);
        conf +=
            "pass .1.3.6.1.2.1.2 /usr/bin/python3 " + dir + "/pass.py " + config.passTable + "\n";
        // Its own interface table would stand beside the made-up one.
        argv.insert(argv.end(), {"-I", "-interfaces,ifTable,ifXTable"});
    }
    Write(dir + "/snmpd.conf", conf);
    PeerSpec spec;
    spec.name = "snmpd";
    spec.dir = dir;
    spec.argv = {"env", "SNMP_PERSISTENT_DIR=" + dir + "/persist"};
    spec.argv.insert(spec.argv.end(), argv.begin(), argv.end());
    const Host* h = &host;
    spec.ready = [h] { return IsListening(*h, "udp", 161); };
    return host.lab().StartPeer(host, spec);
}

} // namespace lan
