#include "engine/SnmpClient.h"

#include "platform/Thread.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// After the two above, which it needs.
#include <net-snmp/library/large_fd_set.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <syslog.h>
#include <vector>

#include <cerrno>
#include <poll.h>

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

// A large descriptor set of the library's, freed on every way out.
struct LargeFdSet {
    LargeFdSet() { netsnmp_large_fd_set_init(&set, FD_SETSIZE); }
    ~LargeFdSet() { netsnmp_large_fd_set_cleanup(&set); }
    LargeFdSet(const LargeFdSet&) = delete;
    LargeFdSet& operator=(const LargeFdSet&) = delete;
    netsnmp_large_fd_set set;
};

} // namespace

// What the library's callback tells about the request that is waited for;
// an answer to an earlier request, given up on, is dropped by its id.
struct TSnmpClient::TPending {
    int requestId = 0;
    bool done = false;
    int operation = 0;
    std::unique_ptr<netsnmp_pdu, PduFree> response;

    static int Callback(int operation, netsnmp_session*, int requestId, netsnmp_pdu* pdu,
                        void* magic)
    {
        auto* p = static_cast<TPending*>(magic);
        // The library announces a resend or a connection too; neither ends
        // the request.
        if (requestId != p->requestId || operation == NETSNMP_CALLBACK_OP_RESEND ||
            operation == NETSNMP_CALLBACK_OP_CONNECT)
            return 1;
        p->done = true;
        p->operation = operation;
        // The library frees its own copy when the callback returns.
        if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu)
            p->response.reset(snmp_clone_pdu(pdu));
        return 1;
    }
};

TSnmpClient::TSnmpClient(const std::string& Host, const std::string& Community, int Timeout,
                         uint16_t Port)
    : host_(Host), pending_(std::make_unique<TPending>())
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
    // The library's own synchronous wait cannot be ended from outside: the
    // request is sent and its reply waited for here, beside the thread's stop.
    TPending& pending = *pending_;
    pending.requestId = static_cast<int>(pdu->reqid);
    pending.done = false;
    pending.operation = 0;
    pending.response.reset();
    const int sent = snmp_sess_async_send(session_, pdu, &TPending::Callback, &pending);
    if (sent == 0) {
        snmp_free_pdu(pdu);
        throw ESnmpError("SNMP request to " + host_ +
                         " failed: " + SessionErrorText(nullptr, session_));
    }
    pending.requestId = sent;
    const int stop = platform::CurrentThreadStopFd();
    while (!pending.done) {
        LargeFdSet wanted;
        int count = 0, block = 1; // 1: no time-out of the caller's own
        timeval left{};
        snmp_sess_select_info2(session_, &count, &wanted.set, &left, &block);
        std::vector<pollfd> fds;
        for (int fd = 0; fd < count; ++fd)
            if (NETSNMP_LARGE_FD_ISSET(fd, &wanted.set))
                fds.push_back({fd, POLLIN, 0});
        if (fds.empty())
            throw ESnmpError("SNMP request to " + host_ + " failed: the session has no socket");
        const size_t sessionFds = fds.size();
        if (stop >= 0)
            fds.push_back({stop, POLLIN, 0});
        const long long ms =
            block ? -1 : static_cast<long long>(left.tv_sec) * 1000 + (left.tv_usec + 999) / 1000;
        const int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::min(ms, 3600000LL)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw ESnmpError("SNMP request to " + host_ + " failed: cannot wait for the reply");
        }
        if (stop >= 0 && fds.back().revents != 0)
            return false; // the thread ends: nobody takes the reply
        if (n == 0) {
            snmp_sess_timeout(session_);
            continue;
        }
        LargeFdSet ready;
        for (size_t i = 0; i < sessionFds; ++i)
            if (fds[i].revents != 0)
                NETSNMP_LARGE_FD_SET(fds[i].fd, &ready.set);
        snmp_sess_read2(session_, &ready.set);
    }
    if (pending.operation == NETSNMP_CALLBACK_OP_TIMED_OUT)
        return false;
    std::unique_ptr<netsnmp_pdu, PduFree> response = std::move(pending.response);
    if (pending.operation != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE || !response)
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
