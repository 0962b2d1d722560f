#include "engine/SnmpClient.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <syslog.h>
#include <vector>

namespace {

// The library's error texts pass through static buffers of its own.
std::mutex ErrorTextLock;

void SetUpLibrary()
{
    // Nothing of the machine's or the user's: no snmp.conf, no persistent
    // snmpapp.conf, no hosts/<name>.conf read when a session opens (that
    // read would also happen in parallel from every worker).
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_LOAD_HOST_FILES, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_NO_TOKEN_WARNINGS, 1);
    // No MIB directory, so no MIB file is parsed and no index of MIB
    // directories is written into a persistent folder; object identifiers
    // are numeric here anyway.
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIBDIRS, "");
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, 0);
    // Its persistent and configuration folders would otherwise be the
    // machine's (/var/lib/snmp, /etc/snmp): the TLS certificate code indexes
    // the certificate folders below them and creates an index folder at
    // start-up. A path below a file can neither be read nor created.
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, "/dev/null/none");
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR,
                          "/dev/null/none");
    // Without a handler of its own the library logs to stderr (and says so);
    // the program has no log file, and failures reach the user as exceptions.
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);

    // init_snmp sets LC_CTYPE from the environment; the process's locale
    // is not the library's to change.
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    const std::string saved = current ? current : "C";
    init_snmp("tolvex");
    std::setlocale(LC_CTYPE, saved.c_str());
}

void InitLibraryOnce()
{
    static std::once_flag once;
    std::call_once(once, SetUpLibrary);
}

// What the library says about its last error on a session; `open` tells a
// session that is not open yet (its error lives in the session structure).
std::string SessionErrorText(netsnmp_session* session, void* opened)
{
    std::lock_guard<std::mutex> lock(ErrorTextLock);
    int libError = 0, sysError = 0;
    char* text = nullptr;
    if (opened)
        snmp_sess_error(opened, &libError, &sysError, &text);
    else
        snmp_error(session, &libError, &sysError, &text);
    std::string result = text && *text ? text : "unknown error";
    std::free(text);
    return result;
}

// Host names and addresses only: anything else (a "udp6:" or "tcp:" prefix,
// a ":port" suffix, a path) would make the library open some other transport.
bool IsHostText(const std::string& host)
{
    return !host.empty() && host.size() <= 253 && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
}

bool ParseOid(const std::string& text, std::vector<oid>& name)
{
    name.clear();
    size_t i = 0;
    while (i < text.size()) {
        unsigned long long value = 0;
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            if (value > 0xFFFFFFFFull)
                return false;
            ++i;
        }
        if (i == start || name.size() == MAX_OID_LEN)
            return false;
        name.push_back(static_cast<oid>(value));
        if (i < text.size()) {
            if (text[i] != '.' || i + 1 == text.size())
                return false;
            ++i;
        }
    }
    return name.size() >= 2;
}

std::string OidText(const oid* name, size_t length)
{
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i)
            text += '.';
        text += std::to_string(static_cast<unsigned long>(name[i]));
    }
    return text;
}

std::string ValueText(const netsnmp_variable_list& v)
{
    switch (v.type) {
    case ASN_INTEGER:
        return v.val.integer ? std::to_string(*v.val.integer) : std::string();
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
        return v.val.integer
                   ? std::to_string(static_cast<unsigned long>(*v.val.integer) & 0xFFFFFFFFul)
                   : std::string();
    case ASN_COUNTER64:
        if (!v.val.counter64)
            return {};
        return std::to_string((static_cast<unsigned long long>(v.val.counter64->high) << 32) |
                              (v.val.counter64->low & 0xFFFFFFFFul));
    case ASN_OBJECT_ID:
        return v.val.objid ? OidText(v.val.objid, v.val_len / sizeof(oid)) : std::string();
    case ASN_OCTET_STR:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_BIT_STR:
        return v.val.string ? std::string(reinterpret_cast<const char*>(v.val.string), v.val_len)
                            : std::string();
    default:
        return {};
    }
}

struct PduFree {
    void operator()(netsnmp_pdu* pdu) const { snmp_free_pdu(pdu); }
};

} // namespace

TSnmpClient::TSnmpClient(const std::string& Host, const std::string& Community, int Timeout,
                         uint16_t Port)
    : host_(Host)
{
    if (!IsHostText(Host))
        throw ESnmpError("Cannot open an SNMP session: \"" + Host +
                         "\" is no host name or address");
    InitLibraryOnce();

    netsnmp_session session;
    snmp_sess_init(&session);
    std::string peer = "udp:" + Host + ":" + std::to_string(Port);
    std::string community = Community;
    session.version = SNMP_VERSION_1;
    session.peername = peer.data();
    session.community = reinterpret_cast<u_char*>(community.data());
    session.community_len = community.size();
    session.retries = 0;
    // A time-out of 0 would mean the library's default of a second.
    session.timeout = std::max(Timeout, 1) * 1000L;
    session_ = snmp_sess_open(&session);
    if (!session_)
        throw ESnmpError("Cannot open an SNMP session to " + Host + ": " +
                         SessionErrorText(&session, nullptr));
}

TSnmpClient::~TSnmpClient()
{
    if (session_)
        snmp_sess_close(session_);
}

bool TSnmpClient::Request(bool GetNext, const std::string& Oid, TSnmpReply& Reply)
{
    std::vector<oid> name;
    if (!ParseOid(Oid, name))
        throw ESnmpError("\"" + Oid + "\" is no object identifier");
    netsnmp_pdu* pdu = snmp_pdu_create(GetNext ? SNMP_MSG_GETNEXT : SNMP_MSG_GET);
    if (!pdu)
        throw std::bad_alloc();
    if (!snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OCTET_STR, "", 0)) {
        snmp_free_pdu(pdu);
        throw std::bad_alloc();
    }
    netsnmp_pdu* raw = nullptr;
    // Takes the request in any case.
    int status = snmp_sess_synch_response(session_, pdu, &raw);
    std::unique_ptr<netsnmp_pdu, PduFree> response(raw);
    if (status == STAT_TIMEOUT)
        return false;
    if (status != STAT_SUCCESS || !response)
        throw ESnmpError("SNMP request to " + host_ +
                         " failed: " + SessionErrorText(nullptr, session_));

    Reply = TSnmpReply();
    Reply.ErrorStatus = static_cast<int>(response->errstat);
    if (const netsnmp_variable_list* v = response->variables) {
        Reply.HasVarBind = true;
        Reply.Oid = OidText(v->name, v->name_length);
        Reply.Type = v->type;
        Reply.Value = ValueText(*v);
    }
    return true;
}
