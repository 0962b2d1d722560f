#include "platform/DirectorySearch.h"

#include <ldap.h>
#include <sasl/sasl.h>

#include <cstring>
#include <memory>

namespace platform {
namespace {

struct LdapFree {
    void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Connection = std::unique_ptr<LDAP, LdapFree>;

struct MessageFree {
    void operator()(LDAPMessage* m) const { ldap_msgfree(m); }
};
using Message = std::unique_ptr<LDAPMessage, MessageFree>;

struct ControlFree {
    void operator()(LDAPControl* c) const { ldap_control_free(c); }
};

struct ControlsFree {
    void operator()(LDAPControl** c) const { ldap_controls_free(c); }
};

struct ValuesFree {
    void operator()(berval** v) const { ldap_value_free_len(v); }
};

struct BervalFree {
    void operator()(berval* b) const { ber_bvfree(b); }
};

[[noreturn]] void Fail(const std::string& what, int rc, LDAP* ld = nullptr)
{
    std::string text = what + ": " + ldap_err2string(rc);
    char* diag = nullptr;
    if (ld && ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag) == LDAP_OPT_SUCCESS && diag) {
        if (*diag)
            text += std::string(" (") + diag + ")";
        ldap_memfree(diag);
    }
    throw EDirectoryError(text);
}

std::string StringOption(LDAP* ld, int option)
{
    char* v = nullptr;
    std::string s;
    if (ldap_get_option(ld, option, &v) == LDAP_OPT_SUCCESS && v) {
        s = v;
        ldap_memfree(v);
    }
    return s;
}

// SASL without a prompt: every question gets the configured default (the
// SASL_AUTHCID, SASL_AUTHZID, SASL_REALM values libldap passes as defresult)
// or nothing; GSSAPI and EXTERNAL need no more.
int QuietInteract(LDAP*, unsigned, void*, void* list)
{
    for (auto* in = static_cast<sasl_interact_t*>(list); in && in->id != SASL_CB_LIST_END; ++in) {
        const char* v = in->defresult ? in->defresult : "";
        in->result = v;
        in->len = static_cast<unsigned>(std::strlen(v));
    }
    return LDAP_SUCCESS;
}

void Bind(LDAP* ld)
{
    const std::string mech = StringOption(ld, LDAP_OPT_X_SASL_MECH);
    int rc;
    if (!mech.empty()) {
        rc = ldap_sasl_interactive_bind_s(ld, nullptr, mech.c_str(), nullptr, nullptr,
                                          LDAP_SASL_QUIET, QuietInteract, nullptr);
        if (rc != LDAP_SUCCESS)
            Fail("SASL bind (" + mech + ") failed", rc, ld);
        return;
    }
    berval none{0, nullptr};
    rc = ldap_sasl_bind_s(ld, "", LDAP_SASL_SIMPLE, &none, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS)
        Fail("anonymous bind failed", rc, ld);
}

timeval ToTimeval(std::chrono::milliseconds ms)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
    return tv;
}

Connection Connect(const TDirectoryQuery& q, std::string& uri)
{
    LDAP* raw = nullptr;
    // A null URI takes the configured one (URI in ldap.conf, LDAPURI...).
    int rc = ldap_initialize(&raw, nullptr);
    if (rc != LDAP_SUCCESS)
        Fail("cannot set up the directory connection", rc);
    Connection ld(raw);
    int version = LDAP_VERSION3;
    ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(raw, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    timeval tv = ToTimeval(q.Timeout);
    ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &tv);
    ldap_set_option(raw, LDAP_OPT_TIMEOUT, &tv);
    uri = StringOption(raw, LDAP_OPT_URI);
    Bind(raw);
    return ld;
}

// The first value of `attr` in `entry`, or empty.
std::string FirstValue(LDAP* ld, LDAPMessage* entry, const std::string& attr)
{
    std::unique_ptr<berval*, ValuesFree> vals(ldap_get_values_len(ld, entry, attr.c_str()));
    if (!vals || !vals.get()[0] || !vals.get()[0]->bv_val)
        return {};
    return std::string(vals.get()[0]->bv_val, vals.get()[0]->bv_len);
}

std::string DefaultNamingContext(LDAP* ld, const TDirectoryQuery& q)
{
    char attr[] = "defaultNamingContext";
    char* attrs[] = {attr, nullptr};
    timeval tv = ToTimeval(q.Timeout);
    LDAPMessage* raw = nullptr;
    int rc = ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr,
                               nullptr, &tv, 1, &raw);
    Message res(raw);
    if (rc != LDAP_SUCCESS)
        Fail("cannot read the directory's root entry", rc, ld);
    LDAPMessage* e = ldap_first_entry(ld, res.get());
    std::string base = e ? FirstValue(ld, e, attr) : std::string();
    if (base.empty())
        throw EDirectoryError("the directory names no default naming context");
    return base;
}

} // namespace

TDirectorySearchInfo SearchDirectory(const TDirectoryQuery& Query,
                                     const std::function<void(const std::string&)>& OnValue,
                                     const std::function<bool()>& Terminated)
{
    TDirectorySearchInfo info;
    Connection conn = Connect(Query, info.Uri);
    LDAP* ld = conn.get();
    info.Base = StringOption(ld, LDAP_OPT_DEFBASE);
    if (info.Base.empty())
        info.Base = DefaultNamingContext(ld, Query);

    std::vector<std::string> attrText = Query.Attributes;
    std::vector<char*> attrs;
    for (auto& a : attrText)
        attrs.push_back(a.data());
    attrs.push_back(nullptr);

    std::unique_ptr<berval, BervalFree> cookie;
    size_t values = 0;
    for (;;) {
        if (info.Pages > 0 && Terminated && Terminated()) {
            info.Stopped = true;
            break;
        }
        if (info.Pages >= MaxDirectoryPages)
            break;
        LDAPControl* pageRaw = nullptr;
        // Not critical: a server without paging answers in one piece, up to
        // its size limit.
        int rc = ldap_create_page_control(ld, static_cast<ber_int_t>(Query.PageSize), cookie.get(),
                                          0, &pageRaw);
        if (rc != LDAP_SUCCESS)
            Fail("cannot build the paging request", rc, ld);
        std::unique_ptr<LDAPControl, ControlFree> page(pageRaw);
        LDAPControl* server[] = {pageRaw, nullptr};
        timeval tv = ToTimeval(Query.Timeout);
        LDAPMessage* raw = nullptr;
        rc = ldap_search_ext_s(ld, info.Base.c_str(), LDAP_SCOPE_SUBTREE, Query.Filter.c_str(),
                               attrs.data(), 0, server, nullptr, &tv, LDAP_NO_LIMIT, &raw);
        Message res(raw);
        if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED && rc != LDAP_PARTIAL_RESULTS &&
            rc != LDAP_REFERRAL)
            Fail("directory search failed", rc, ld);
        ++info.Pages;
        for (LDAPMessage* e = ldap_first_entry(ld, res.get()); e; e = ldap_next_entry(ld, e)) {
            if (values >= MaxDirectoryValues)
                return info;
            std::string v = FirstValue(ld, e, Query.ValueAttribute);
            if (!v.empty()) {
                ++values;
                OnValue(v);
            }
        }
        if (rc != LDAP_SUCCESS)
            break; // the server ended the search early; what came is kept
        int err = LDAP_SUCCESS;
        LDAPControl** ctrlRaw = nullptr;
        rc = ldap_parse_result(ld, res.get(), &err, nullptr, nullptr, nullptr, &ctrlRaw, 0);
        std::unique_ptr<LDAPControl*, ControlsFree> ctrls(ctrlRaw);
        if (rc != LDAP_SUCCESS)
            Fail("unreadable search result", rc, ld);
        LDAPControl* resp =
            ctrls ? ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, ctrls.get(), nullptr) : nullptr;
        if (!resp)
            break; // no paging: everything came in this answer
        ber_int_t estimate = 0;
        berval next{0, nullptr};
        rc = ldap_parse_pageresponse_control(ld, resp, &estimate, &next);
        if (rc != LDAP_SUCCESS)
            Fail("unreadable paging answer", rc, ld);
        if (next.bv_len == 0 || !next.bv_val) {
            ber_memfree(next.bv_val);
            break; // the last page
        }
        cookie.reset(ber_bvdup(&next));
        ber_memfree(next.bv_val);
    }
    return info;
}

} // namespace platform
