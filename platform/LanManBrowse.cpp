#include "platform/LanManBrowse.h"

#include <libsmbclient.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace platform {
namespace {

// libsmbclient keeps process-wide state (its loaded configuration, the
// debug settings) beside the per-context one; one browse at a time keeps a
// scan worker and the computer picker from meeting there.
std::mutex& BrowseLock()
{
    static std::mutex m;
    return m;
}

// Never prompts and never invents a user: empty credentials mean an
// anonymous session, unless the ticket cache (UseCCache) holds a ticket.
void NoCredentials(SMBCCTX*, const char*, const char*, char*, int, char* user, int userLen,
                   char* password, int passwordLen)
{
    if (userLen > 0)
        user[0] = '\0';
    if (passwordLen > 0)
        password[0] = '\0';
}

struct ContextFree {
    void operator()(SMBCCTX* c) const { smbc_free_context(c, 1); }
};
using Context = std::unique_ptr<SMBCCTX, ContextFree>;

Context NewContext()
{
    Context ctx(smbc_new_context());
    if (!ctx)
        throw EBrowseError(std::string("cannot create an SMB client context: ") +
                           std::strerror(errno));
    SMBCCTX* c = ctx.get();
    smbc_setDebug(c, 0);
    smbc_setTimeout(c, static_cast<int>(BrowseTimeout.count()));
    smbc_setFunctionAuthDataWithContext(c, NoCredentials);
    smbc_setOptionUseCCache(c, 1);
    smbc_setOptionNoAutoAnonymousLogin(c, 0);
    // Set as a command-line value, which smb.conf's protocol range does not
    // override: the browse calls exist in SMB1 only.
    if (!smbc_setOptionProtocols(c, "NT1", "NT1"))
        throw EBrowseError("the SMB client refuses protocol NT1");
    if (!smbc_init_context(c))
        throw EBrowseError(std::string("cannot initialise the SMB client: ") +
                           std::strerror(errno));
    return ctx;
}

// The entries of one "smb://" listing whose type is `type`, each name once.
std::vector<std::string> List(const std::string& url, unsigned int type)
{
    std::lock_guard<std::mutex> lock(BrowseLock());
    Context ctx = NewContext();
    SMBCCTX* c = ctx.get();
    SMBCFILE* dir = smbc_getFunctionOpendir(c)(c, url.c_str());
    if (!dir) {
        int e = errno;
        if (e == ENOENT)
            throw EBrowseError("no browser answered for " + url);
        throw EBrowseError("cannot list " + url + ": " + std::strerror(e));
    }
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    smbc_readdir_fn readdir = smbc_getFunctionReaddir(c);
    while (names.size() < MaxBrowseEntries) {
        struct smbc_dirent* d = readdir(c, dir);
        if (!d)
            break;
        if (d->smbc_type != type)
            continue;
        // The name is terminated; namelen bounds the read whether or not it
        // counts the terminator.
        std::string name(d->name, strnlen(d->name, size_t{d->namelen} + 1));
        if (name.empty())
            continue;
        if (seen.insert(name).second)
            names.push_back(std::move(name));
    }
    smbc_getFunctionClosedir(c)(c, dir);
    return names;
}

} // namespace

std::string WorkgroupUrl(const std::string& Workgroup)
{
    // Cut at a character boundary: continuation bytes (10xxxxxx) do not count.
    std::string cut;
    size_t chars = 0;
    for (unsigned char ch : Workgroup) {
        if ((ch & 0xC0) != 0x80 && ++chars > MaxWorkgroupChars)
            break;
        cut.push_back(static_cast<char>(ch));
    }
    static const char hex[] = "0123456789ABCDEF";
    std::string url = "smb://";
    for (unsigned char ch : cut) {
        if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
            ch == '-' || ch == '.' || ch == '_' || ch == '~') {
            url.push_back(static_cast<char>(ch));
        } else {
            url.push_back('%');
            url.push_back(hex[ch >> 4]);
            url.push_back(hex[ch & 15]);
        }
    }
    return url + "/";
}

std::vector<std::string> BrowseWorkgroups()
{
    return List("smb://", SMBC_WORKGROUP);
}

std::vector<std::string> BrowseServers(const std::string& Workgroup)
{
    if (Workgroup.empty())
        throw EBrowseError("no workgroup given");
    return List(WorkgroupUrl(Workgroup), SMBC_SERVER);
}

} // namespace platform
