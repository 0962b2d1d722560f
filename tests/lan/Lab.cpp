#include "tests/lan/Lab.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <linux/capability.h>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace lan {
namespace {

constexpr const char* kPrefix = "tvx";
constexpr const char* kNetnsRun = "/run/netns/";
constexpr const char* kNetnsEtc = "/etc/netns/";

std::atomic<int> gCounter{0};

using Clock = std::chrono::steady_clock;

// Owns a descriptor in the parent; children get what they need through dup2.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    ~Fd() { Close(); }
    void Close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

void MakePipe(Fd& r, Fd& w)
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        throw LabError(std::string("pipe: ") + std::strerror(errno));
    r.fd = p[0];
    w.fd = p[1];
}

std::string Errno(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// Everything a child needs to enter a namespace, prepared before fork so that
// the child makes only system calls between fork and exec.
struct EnterPlan {
    std::string nsPath;
    bool mounts = true; // private mount namespace, own /sys, /etc/netns files
    std::vector<std::pair<std::string, std::string>> binds;
    bool hideNscd = false;
};

EnterPlan PlanEnter(const std::string& ns, bool mounts)
{
    EnterPlan p;
    p.nsPath = kNetnsRun + ns;
    p.mounts = mounts;
    if (!mounts)
        return p;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(kNetnsEtc + ns, ec)) {
        const std::string dst = "/etc/" + e.path().filename().string();
        // Like `ip netns exec`: a file that /etc lacks cannot be covered.
        if (fs::exists(dst, ec))
            p.binds.emplace_back(e.path().string(), dst);
    }
    // A name service cache daemon would answer lookups from the machine's
    // view through its socket, past the namespace's own files.
    p.hideNscd = fs::is_directory("/run/nscd", ec);
    return p;
}

// Child side, after fork. Writes a message into buf and returns false on failure.
bool EnterInChild(const EnterPlan& p, char* buf, size_t len)
{
    int fd = ::open(p.nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(buf, len, "open %s: %s", p.nsPath.c_str(), std::strerror(errno));
        return false;
    }
    if (p.mounts) {
        if (::unshare(CLONE_NEWNS) != 0) {
            std::snprintf(buf, len, "unshare mount namespace: %s", std::strerror(errno));
            return false;
        }
        // Nothing mounted here may reach the machine's own mount table.
        if (::mount("", "/", nullptr, MS_SLAVE | MS_REC, nullptr) != 0) {
            std::snprintf(buf, len, "make / a slave mount: %s", std::strerror(errno));
            return false;
        }
    }
    if (::setns(fd, CLONE_NEWNET) != 0) {
        std::snprintf(buf, len, "setns %s: %s", p.nsPath.c_str(), std::strerror(errno));
        return false;
    }
    ::close(fd);
    if (!p.mounts)
        return true;
    // /sys/class/net must show this namespace's interfaces, not the machine's.
    unsigned long flags = 0;
    struct statvfs sv;
    if (::statvfs("/sys", &sv) == 0 && (sv.f_flag & ST_RDONLY))
        flags |= MS_RDONLY;
    ::umount2("/sys", MNT_DETACH);
    if (::mount("sysfs", "/sys", "sysfs", flags, nullptr) != 0) {
        std::snprintf(buf, len, "mount /sys: %s", std::strerror(errno));
        return false;
    }
    for (const auto& [src, dst] : p.binds) {
        if (::mount(src.c_str(), dst.c_str(), "none", MS_BIND, nullptr) != 0) {
            std::snprintf(buf, len, "bind %s over %s: %s", src.c_str(), dst.c_str(),
                          std::strerror(errno));
            return false;
        }
    }
    if (p.hideNscd && ::mount("tmpfs", "/run/nscd", "tmpfs", 0, "size=4k") != 0) {
        std::snprintf(buf, len, "hide /run/nscd: %s", std::strerror(errno));
        return false;
    }
    return true;
}

int LastCap()
{
    std::ifstream f("/proc/sys/kernel/cap_last_cap");
    int n = CAP_LAST_CAP;
    f >> n;
    return n;
}

bool DropPrivilegesInChild(const RunOptions& o, int lastCap, char* buf, size_t len)
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        std::snprintf(buf, len, "no_new_privs: %s", std::strerror(errno));
        return false;
    }
    for (int c = 0; c <= lastCap; ++c) {
        if (::prctl(PR_CAPBSET_DROP, c, 0, 0, 0) != 0 && errno != EINVAL) {
            std::snprintf(buf, len, "drop bounding capability %d: %s", c, std::strerror(errno));
            return false;
        }
    }
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    ::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(o.gid, o.gid, o.gid) != 0 ||
        ::setresuid(o.uid, o.uid, o.uid) != 0) {
        std::snprintf(buf, len, "change to uid %u gid %u: %s", unsigned(o.uid), unsigned(o.gid),
                      std::strerror(errno));
        return false;
    }
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capset, &hdr, data) != 0) {
        std::snprintf(buf, len, "capset: %s", std::strerror(errno));
        return false;
    }
    // Trust but verify: a uid change that left capabilities would make every
    // "works without privileges" test meaningless.
    if (::syscall(SYS_capget, &hdr, data) != 0 || data[0].effective || data[0].permitted ||
        data[0].inheritable || data[1].effective || data[1].permitted || data[1].inheritable) {
        std::snprintf(buf, len, "capabilities remain after dropping them");
        return false;
    }
    return true;
}

// Writes all of `data`; a reader that went away gives false, never SIGPIPE.
bool WriteAll(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        len -= size_t(n);
    }
    return true;
}

// The child of RunChild: `body` runs in it and must not return normally
// unless it wants exit code 0.
struct ChildOutcome {
    bool timedOut = false;
    int status = 0; // wait status
    std::string out, err, msg;
};

void ChildAbort(int msgFd, const char* text)
{
    WriteAll(msgFd, "F", 1);
    WriteAll(msgFd, text, std::strlen(text));
    ::_exit(126);
}

ChildOutcome RunChild(const std::function<void(int msgFd)>& body, const std::string& input,
                      std::chrono::milliseconds timeout, bool capture)
{
    Fd inR, inW, outR, outW, errR, errW, msgR, msgW;
    MakePipe(msgR, msgW);
    MakePipe(inR, inW);
    if (capture) {
        MakePipe(outR, outW);
        MakePipe(errR, errW);
    }
    // A child that exits before reading all of its input must not kill the
    // test with SIGPIPE; the signal stays blocked here and is discarded below.
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);

    pid_t pid = ::fork();
    if (pid < 0) {
        pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
        throw LabError(Errno("fork"));
    }
    if (pid == 0) {
        pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        ::dup2(inR.fd, 0);
        if (capture) {
            ::dup2(outW.fd, 1);
            ::dup2(errW.fd, 2);
        }
        body(msgW.fd);
        std::fflush(nullptr);
        ::_exit(0);
    }
    ::setpgid(pid, pid); // also from here, so the group exists before any kill
    inR.Close();
    outW.Close();
    errW.Close();
    msgW.Close();

    ChildOutcome co;
    size_t inOff = 0;
    if (input.empty())
        inW.Close();
    for (int* f : {&inW.fd, &outR.fd, &errR.fd, &msgR.fd})
        if (*f >= 0)
            ::fcntl(*f, F_SETFL, ::fcntl(*f, F_GETFL) | O_NONBLOCK);

    const auto deadline = Clock::now() + timeout;
    bool exited = false;
    auto drain = [&](Fd& f, std::string& to) {
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(f.fd, buf, sizeof buf);
            if (n > 0) {
                to.append(buf, size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || (n < 0 && errno != EAGAIN))
                f.Close();
            return;
        }
    };
    for (;;) {
        struct pollfd pfd[4];
        int n = 0;
        Fd* which[4];
        std::string* into[4];
        auto add = [&](Fd& f, short ev, std::string* s) {
            if (f.fd < 0)
                return;
            pfd[n] = {f.fd, ev, 0};
            which[n] = &f;
            into[n] = s;
            ++n;
        };
        add(inW, POLLOUT, nullptr);
        add(outR, POLLIN, &co.out);
        add(errR, POLLIN, &co.err);
        add(msgR, POLLIN, &co.msg);
        if (n == 0 && exited)
            break;
        siginfo_t si{};
        if (!exited && ::waitid(P_PID, id_t(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            si.si_pid == pid) {
            exited = true;
            // What it wrote is in the pipes; grandchildren that keep them open
            // must not hold us here.
            for (Fd* f : {&outR, &errR, &msgR})
                if (f->fd >= 0) {
                    std::string* s = f == &outR ? &co.out : f == &errR ? &co.err : &co.msg;
                    drain(*f, *s);
                    f->Close();
                }
            inW.Close();
            break;
        }
        if (Clock::now() >= deadline) {
            co.timedOut = true;
            break;
        }
        int r = ::poll(pfd, nfds_t(n), 20);
        if (r < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n && r > 0; ++i) {
            if (!pfd[i].revents)
                continue;
            if (which[i] == &inW) {
                if (pfd[i].revents & (POLLERR | POLLHUP)) {
                    inW.Close();
                    continue;
                }
                ssize_t w = ::write(inW.fd, input.data() + inOff, input.size() - inOff);
                if (w > 0)
                    inOff += size_t(w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR)
                    inW.Close();
                if (inOff >= input.size())
                    inW.Close();
            } else {
                drain(*which[i], *into[i]);
            }
        }
    }
    // The whole group goes, whatever it left running, before the child is reaped.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    co.status = status;
    struct timespec zero {
        0, 0
    };
    while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);
    return co;
}

int ExitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::vector<const char*> CArgv(const std::vector<std::string>& argv)
{
    std::vector<const char*> v;
    for (const auto& a : argv)
        v.push_back(a.c_str());
    v.push_back(nullptr);
    return v;
}

ExecResult ExecPlanned(const EnterPlan* plan, const std::vector<std::string>& argv,
                       const std::string& input, std::chrono::milliseconds timeout)
{
    if (argv.empty())
        throw LabError("no command given");
    auto cargv = CArgv(argv);
    ChildOutcome co = RunChild(
        [&](int msgFd) {
            char buf[512];
            if (plan && !EnterInChild(*plan, buf, sizeof buf))
                ChildAbort(msgFd, buf);
            ::execvp(cargv[0], const_cast<char* const*>(cargv.data()));
            std::snprintf(buf, sizeof buf, "exec %s: %s", cargv[0], std::strerror(errno));
            ChildAbort(msgFd, buf);
        },
        input, timeout, true);
    ExecResult r;
    r.out = std::move(co.out);
    r.err = std::move(co.err);
    r.timedOut = co.timedOut;
    r.code = ExitCodeOf(co.status);
    if (!co.msg.empty() && co.msg[0] == 'F') {
        r.code = 127;
        r.err += co.msg.substr(1);
    }
    if (co.timedOut)
        r.err += "\n(killed after " + std::to_string(timeout.count()) + " ms)";
    return r;
}

std::string Joined(const std::vector<std::string>& v)
{
    std::string s;
    for (const auto& a : v)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

// A token of an `ip -batch` line: whitespace would split it into other words.
void CheckToken(const std::string& t, const char* what)
{
    if (t.empty() || std::any_of(t.begin(), t.end(), [](char c) {
            return std::isspace(static_cast<unsigned char>(c)) || c == '"' || c == '\\' || c == '#';
        }))
        throw LabError(std::string("bad ") + what + ": \"" + t + "\"");
}

void CheckNic(const Nic& n)
{
    CheckToken(n.name, "interface name");
    if (n.name.size() > 15)
        throw LabError("interface name longer than 15 characters: " + n.name);
    if (!n.mac.empty())
        CheckToken(n.mac, "MAC address");
    if (!n.address.empty())
        CheckToken(n.address, "address");
}

std::string VethEnd(const Nic& n, const std::string& ns)
{
    std::string s = n.name + " netns " + ns;
    if (!n.mac.empty())
        s += " address " + n.mac;
    return s;
}

std::vector<std::string> NicUpLines(const Nic& n)
{
    std::vector<std::string> l;
    if (!n.address.empty())
        l.push_back("address add " + n.address + " dev " + n.name);
    l.push_back("link set " + n.name + " up");
    return l;
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::trunc);
    f << text;
    f.close();
    if (!f)
        throw LabError("cannot write " + path);
}

// Sysctls every new namespace gets before its interfaces come up: no IPv6,
// so the only packets on a link are the ones a test causes.
const std::vector<std::pair<std::string, std::string>> kQuietSysctls = {
    {"/proc/sys/net/ipv6/conf/all/disable_ipv6", "1"},
    {"/proc/sys/net/ipv6/conf/default/disable_ipv6", "1"},
};

// One child per namespace: writes sysctls inside it, then `ip -batch -`.
void ConfigureNs(const std::string& ns, const std::vector<std::string>& lines)
{
    EnterPlan plan = PlanEnter(ns, false);
    std::string input;
    for (const auto& l : lines)
        input += l + "\n";
    std::vector<std::string> argv = {"ip", "-batch", "-"};
    auto cargv = CArgv(argv);
    ChildOutcome co = RunChild(
        [&](int msgFd) {
            char buf[512];
            if (!EnterInChild(plan, buf, sizeof buf))
                ChildAbort(msgFd, buf);
            for (const auto& [path, value] : kQuietSysctls) {
                int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
                // A kernel without IPv6 has nothing to quieten.
                if (fd >= 0) {
                    WriteAll(fd, value.data(), value.size());
                    ::close(fd);
                }
            }
            if (lines.empty())
                ::_exit(0);
            ::execvp(cargv[0], const_cast<char* const*>(cargv.data()));
            std::snprintf(buf, sizeof buf, "exec ip: %s", std::strerror(errno));
            ChildAbort(msgFd, buf);
        },
        input, 30s, true);
    if (co.timedOut || ExitCodeOf(co.status) != 0 || !co.msg.empty())
        throw LabError("configuring " + ns + " failed: " + co.err +
                       co.msg.substr(std::min<size_t>(1, co.msg.size())) + "\nlines:\n" + input);
}

// Namespaces are independent of each other, so their configuration runs side
// by side; the first failure is raised once all have ended.
void ConfigureMany(const std::vector<std::pair<std::string, std::vector<std::string>>>& jobs)
{
    const size_t workers = std::min<size_t>(jobs.size(), 8);
    std::atomic<size_t> next{0};
    std::mutex m;
    std::string firstError;
    std::vector<std::thread> threads;
    for (size_t w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (size_t i; (i = next++) < jobs.size();) {
                try {
                    ConfigureNs(jobs[i].first, jobs[i].second);
                } catch (const std::exception& e) {
                    std::lock_guard<std::mutex> lock(m);
                    if (firstError.empty())
                        firstError = e.what();
                }
            }
        });
    for (auto& t : threads)
        t.join();
    if (!firstError.empty())
        throw LabError(firstError);
}

bool PidAlive(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

// The pid in "tvx<pid>-<n>", or 0 when the name is not one of ours.
pid_t OwnerPid(const std::string& name)
{
    if (name.rfind(kPrefix, 0) != 0)
        return 0;
    size_t i = std::strlen(kPrefix), j = i;
    while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j])))
        ++j;
    if (j == i || j >= name.size() || name[j] != '-')
        return 0;
    return pid_t(std::strtol(name.substr(i, j - i).c_str(), nullptr, 10));
}

// Kills every process whose network namespace is one of those at nsPaths
// (what `ip netns pids` lists) and waits until they are gone.
void KillProcessesIn(const std::vector<std::string>& nsPaths)
{
    std::set<std::pair<dev_t, ino_t>> wanted;
    for (const auto& p : nsPaths) {
        struct stat ns;
        if (::stat(p.c_str(), &ns) == 0)
            wanted.insert({ns.st_dev, ns.st_ino});
    }
    if (wanted.empty())
        return;
    const auto deadline = Clock::now() + 5s;
    for (;;) {
        std::vector<pid_t> found;
        DIR* d = ::opendir("/proc");
        if (!d)
            return;
        while (dirent* e = ::readdir(d)) {
            pid_t p = pid_t(std::atoi(e->d_name));
            if (p <= 0 || p == ::getpid())
                continue;
            struct stat st;
            std::string path = std::string("/proc/") + e->d_name + "/ns/net";
            if (::stat(path.c_str(), &st) == 0 && wanted.count({st.st_dev, st.st_ino}))
                found.push_back(p);
        }
        ::closedir(d);
        if (found.empty() || Clock::now() > deadline)
            return;
        for (pid_t p : found) {
            ::kill(p, SIGKILL);
            ::waitpid(p, nullptr, WNOHANG); // reaps it when it is our own child
        }
        std::this_thread::sleep_for(10ms);
    }
}

void DeleteNamespaces(const std::vector<std::string>& names)
{
    if (names.empty())
        return;
    std::vector<std::string> paths;
    for (const auto& n : names)
        paths.push_back(kNetnsRun + n);
    KillProcessesIn(paths);
    std::string input;
    for (const auto& n : names)
        input += "netns del " + n + "\n";
    RunCommand({"ip", "-force", "-batch", "-"}, input, 60s);
    std::error_code ec;
    for (const auto& n : names)
        fs::remove_all(kNetnsEtc + n, ec);
}

std::once_flag gLeftoversOnce;
void RemoveLeftoversOnce()
{
    std::call_once(gLeftoversOnce, [] { RemoveLeftovers(); });
}

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

} // namespace

// ---------------------------------------------------------------------------

bool LanRequired()
{
    const char* v = std::getenv("TOLVEX_LAN_REQUIRED");
    return v && std::string(v) == "1";
}

std::string LanUnavailableReason()
{
    static std::once_flag once;
    static std::string reason;
    std::call_once(once, [] {
        if (::geteuid() != 0) {
            reason = "not running as root";
            return;
        }
        RemoveLeftoversOnce();
        const std::string probe =
            kPrefix + std::to_string(::getpid()) + "-" + std::to_string(++gCounter);
        ExecResult add = RunCommand({"ip", "netns", "add", probe}, "", 10s);
        if (!add.ok()) {
            reason = "cannot create a network namespace: " + add.err;
            return;
        }
        DeleteNamespaces({probe});
    });
    return reason;
}

std::string LocalMac(unsigned long long n)
{
    char b[32];
    std::snprintf(b, sizeof b, "02:%02llx:%02llx:%02llx:%02llx:%02llx", (n >> 32) & 0xff,
                  (n >> 24) & 0xff, (n >> 16) & 0xff, (n >> 8) & 0xff, n & 0xff);
    return b;
}

std::string RunResult::Describe() const
{
    switch (outcome) {
    case RunOutcome::Ok:
        return "returned \"" + value + "\"";
    case RunOutcome::Threw:
        return "threw: " + error;
    case RunOutcome::Crashed:
        return "crashed with signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    case RunOutcome::TimedOut:
        return "timed out and was killed";
    case RunOutcome::Failed:
        return "failed (exit code " + std::to_string(exitCode) + "): " + error;
    }
    return "?";
}

ExecResult RunCommand(const std::vector<std::string>& argv, const std::string& input,
                      std::chrono::milliseconds timeout)
{
    return ExecPlanned(nullptr, argv, input, timeout);
}

int RemoveLeftovers()
{
    const pid_t self = ::getpid();
    // Our own pid's names can only be from a dead process that had this pid
    // before, as long as this runs before we create any.
    auto stale = [&](const std::string& name) {
        pid_t p = OwnerPid(name);
        return p > 0 && (p == self || !PidAlive(p));
    };
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(kNetnsRun, ec))
        if (stale(e.path().filename().string()))
            names.push_back(e.path().filename().string());
    DeleteNamespaces(names);
    for (const auto& e : fs::directory_iterator(kNetnsEtc, ec))
        if (stale(e.path().filename().string()))
            fs::remove_all(e.path(), ec);
    for (const auto& e : fs::directory_iterator(fs::temp_directory_path(ec), ec))
        if (stale(e.path().filename().string()))
            fs::remove_all(e.path(), ec);
    return int(names.size());
}

bool IsListening(const Host& host, const std::string& proto, int port)
{
    if (proto != "udp" && proto != "tcp")
        throw LabError("IsListening: protocol must be udp or tcp, not " + proto);
    RunResult r = host.Run([proto, port] {
        std::ifstream f("/proc/self/net/" + proto);
        std::string line;
        std::getline(f, line); // header
        while (std::getline(f, line)) {
            std::istringstream s(line);
            std::string slot, local, remote, state;
            s >> slot >> local >> remote >> state;
            size_t colon = local.rfind(':');
            if (colon == std::string::npos)
                continue;
            int p = int(std::strtol(local.substr(colon + 1).c_str(), nullptr, 16));
            if (p == port && (proto == "udp" || state == "0A"))
                return std::string("yes");
        }
        return std::string("no");
    });
    return r.ok() && r.value == "yes";
}

std::string LinkMac(const Host& host, const std::string& dev)
{
    const std::string json = host.Ip({"-j", "link", "show", "dev", dev});
    const std::string key = "\"address\":\"";
    const size_t at = json.find(key);
    if (at == std::string::npos || json.size() < at + key.size() + 17)
        return "no address in: " + json;
    std::string mac = json.substr(at + key.size(), 17);
    std::replace(mac.begin(), mac.end(), ':', '-');
    return mac;
}

int LinkIndex(const Host& host, const std::string& dev)
{
    const std::string json = host.Ip({"-j", "link", "show", "dev", dev});
    const std::string key = "\"ifindex\":";
    const size_t at = json.find(key);
    if (at == std::string::npos)
        return -1;
    const char* digits = json.c_str() + at + key.size();
    char* end = nullptr;
    const long index = std::strtol(digits, &end, 10);
    return end == digits ? -1 : int(index);
}

// ---------------------------------------------------------------------------

Host::Host(Lab* lab, std::string name, std::string label)
    : lab_(lab), name_(std::move(name)), label_(std::move(label))
{
}

std::string Host::EtcDir() const
{
    return kNetnsEtc + name_;
}

void Host::WriteHosts() const
{
    std::string t = "127.0.0.1\tlocalhost\n";
    for (const auto& [ip, names] : hosts_)
        t += ip + "\t" + Joined(names) + "\n";
    WriteFile(EtcDir() + "/hosts", t);
}

void Host::AddHostsEntry(const std::string& ip, const std::vector<std::string>& names)
{
    CheckToken(ip, "address");
    if (names.empty())
        throw LabError("hosts entry for " + ip + " without a name");
    for (const auto& n : names)
        CheckToken(n, "host name");
    hosts_.emplace_back(ip, names);
    WriteHosts();
}

void Host::SetNameServers(const std::vector<std::string>& servers)
{
    std::string t;
    for (const auto& s : servers) {
        CheckToken(s, "name server");
        t += "nameserver " + s + "\n";
    }
    if (servers.empty())
        t = "nameserver 127.0.0.1\n";
    t += "options timeout:1 attempts:1\n";
    WriteFile(EtcDir() + "/resolv.conf", t);
}

ExecResult Host::Exec(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                      const std::string& input) const
{
    return lab_->Exec(*this, argv, timeout, input);
}

RunResult Host::Run(const std::function<std::string()>& fn, const RunOptions& options) const
{
    return lab_->Run(*this, fn, options);
}

std::string Host::Ip(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv = {"ip", "-n", name_};
    argv.insert(argv.end(), args.begin(), args.end());
    ExecResult r = RunCommand(argv);
    if (!r.ok())
        throw LabError(Joined(argv) + ": " + r.err);
    return r.out;
}

void Host::SetSysctl(const std::string& key, const std::string& value) const
{
    // "net.ipv4.ping_group_range", or with slashes where a part holds a dot
    // ("net/ipv4/conf/eth0.10/arp_ignore"), as sysctl(8) takes them.
    if (key.empty() || key.find("..") != std::string::npos || key.front() == '/' ||
        key.find('\0') != std::string::npos)
        throw LabError("bad sysctl name: " + key);
    std::string rel = key;
    if (rel.find('/') == std::string::npos)
        std::replace(rel.begin(), rel.end(), '.', '/');
    const std::string path = "/proc/sys/" + rel;
    RunResult r = Run([path, value] {
        std::ofstream f(path);
        f << value;
        f.close();
        if (!f)
            throw std::runtime_error("cannot write " + path);
        return std::string();
    });
    if (!r.ok())
        throw LabError("sysctl " + key + "=" + value + " in " + name_ + ": " + r.Describe());
}

void Host::AddAddress(const std::string& dev, const std::string& cidr) const
{
    Ip({"address", "add", cidr, "dev", dev});
}

void Host::AddRoute(const std::vector<std::string>& route) const
{
    std::vector<std::string> a = {"route", "add"};
    a.insert(a.end(), route.begin(), route.end());
    Ip(a);
}

void Host::SetLinkUp(const std::string& dev, bool up) const
{
    Ip({"link", "set", dev, up ? "up" : "down"});
}

// ---------------------------------------------------------------------------

Peer::~Peer()
{
    Stop();
}

std::string Peer::Log() const
{
    return ReadAll(logPath_);
}

bool Peer::Running()
{
    if (reaped_)
        return false;
    // Looked at without reaping: while the ended peer is a zombie its number
    // cannot be handed out again, so killing what it left behind in its group
    // cannot reach a stranger's group (pids wrap at 32768 in a long test run).
    siginfo_t info{};
    if (::waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) {
        ::kill(-pid_, SIGKILL);
        while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return false;
    }
    return true;
}

void Peer::Stop()
{
    if (!reaped_) {
        ::kill(-pid_, SIGTERM);
        const auto deadline = Clock::now() + 3s;
        while (Running() && Clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        if (!reaped_) {
            ::kill(-pid_, SIGKILL);
            while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
            }
            reaped_ = true;
        }
    }
}

// ---------------------------------------------------------------------------

Lab::Lab()
{
    std::string reason = LanUnavailableReason();
    if (!reason.empty())
        throw LabError("private networks unavailable: " + reason);
    RemoveLeftoversOnce();
    std::error_code ec;
    tempDir_ = (fs::temp_directory_path() / NextName()).string();
    if (!fs::create_directory(tempDir_, ec))
        throw LabError("cannot create " + tempDir_ + ": " + ec.message());
    // Peers that drop to an unprivileged user still reach their files.
    fs::permissions(tempDir_, fs::perms(0755), ec);
}

Lab::~Lab()
{
    for (auto it = peers_.rbegin(); it != peers_.rend(); ++it)
        (*it)->Stop();
    peers_.clear();
    std::vector<std::string> names;
    for (const auto& h : hosts_)
        names.push_back(h->name());
    try {
        DeleteNamespaces(names);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lan: removing namespaces: %s\n", e.what());
    }
    std::error_code ec;
    fs::remove_all(tempDir_, ec);
}

std::string Lab::NextName()
{
    return kPrefix + std::to_string(::getpid()) + "-" + std::to_string(++gCounter);
}

void Lab::IpBatch(const std::string& ns, const std::vector<std::string>& lines)
{
    if (lines.empty())
        return;
    std::string input;
    for (const auto& l : lines)
        input += l + "\n";
    std::vector<std::string> argv = {"ip"};
    if (!ns.empty()) {
        argv.push_back("-n");
        argv.push_back(ns);
    }
    argv.push_back("-batch");
    argv.push_back("-");
    ExecResult r = RunCommand(argv, input, 60s);
    if (!r.ok())
        throw LabError(Joined(argv) + " failed: " + r.err + "\nlines:\n" + input);
}

std::vector<Host*> Lab::CreateNamespaces(const std::vector<std::string>& labels)
{
    std::vector<Host*> made;
    std::vector<std::string> lines;
    for (const auto& label : labels) {
        // Owned before it exists, so that a failure half-way still removes it.
        hosts_.push_back(std::unique_ptr<Host>(new Host(this, NextName(), label)));
        made.push_back(hosts_.back().get());
        lines.push_back("netns add " + made.back()->name());
    }
    IpBatch("", lines);
    for (Host* h : made) {
        std::error_code ec;
        fs::create_directories(h->EtcDir(), ec);
        if (ec)
            throw LabError("cannot create " + h->EtcDir() + ": " + ec.message());
        h->WriteHosts();
        h->SetNameServers({});
        // Debian's list may name sources that reach past the namespace
        // (mdns, systemd-resolved, NIS); only the files and the DNS named in
        // resolv.conf remain.
        WriteFile(h->EtcDir() + "/nsswitch.conf",
                  "passwd: files\ngroup: files\nshadow: files\ngshadow: files\n"
                  "hosts: files dns\nnetworks: files\nprotocols: files\nservices: files\n"
                  "ethers: files\nrpc: files\nnetgroup: files\n");
    }
    return made;
}

Host& Lab::AddHost(const std::string& label)
{
    Host* h = CreateNamespaces({label}).front();
    ConfigureNs(h->name(), {"link set lo up"});
    return *h;
}

std::vector<Host*> Lab::AddHosts(int count, const std::string& labelPrefix)
{
    std::vector<std::string> labels;
    for (int i = 0; i < count; ++i)
        labels.push_back(labelPrefix + std::to_string(i));
    std::vector<Host*> made = CreateNamespaces(labels);
    std::vector<std::pair<std::string, std::vector<std::string>>> jobs;
    for (Host* h : made)
        jobs.emplace_back(h->name(), std::vector<std::string>{"link set lo up"});
    ConfigureMany(jobs);
    return made;
}

void Lab::Link(Host& a, const Nic& na, Host& b, const Nic& nb)
{
    CheckNic(na);
    CheckNic(nb);
    IpBatch("", {"link add " + VethEnd(na, a.name()) + " type veth peer name " +
                 VethEnd(nb, b.name())});
    ConfigureNs(a.name(), NicUpLines(na));
    ConfigureNs(b.name(), NicUpLines(nb));
}

Switch& Lab::AddSwitch(const std::string& label)
{
    Host* h = CreateNamespaces({label}).front();
    // No spanning tree and no snooping: a port forwards the moment it is up.
    ConfigureNs(h->name(), {"link set lo up",
                            "link add br0 type bridge stp_state 0 forward_delay 0 "
                            "mcast_snooping 0",
                            "link set br0 up"});
    switches_.push_back(std::unique_ptr<Switch>(new Switch(h)));
    return *switches_.back();
}

void Lab::Attach(Switch& sw, Host& host, const Nic& nic)
{
    CheckNic(nic);
    const std::string port = "p" + std::to_string(++sw.ports_);
    IpBatch("", {"link add " + VethEnd(nic, host.name()) + " type veth peer name " + port +
                 " netns " + sw.name()});
    ConfigureNs(sw.name(), {"link set " + port + " master br0", "link set " + port + " up"});
    ConfigureNs(host.name(), NicUpLines(nic));
}

std::vector<Host*> Lab::AddHostsOnSwitch(Switch& sw, const std::vector<Nic>& nics,
                                         const std::string& labelPrefix)
{
    for (const auto& n : nics)
        CheckNic(n);
    std::vector<std::string> labels;
    for (size_t i = 0; i < nics.size(); ++i)
        labels.push_back(labelPrefix + std::to_string(i));
    std::vector<Host*> made = CreateNamespaces(labels);
    std::vector<std::string> links, ports;
    for (size_t i = 0; i < nics.size(); ++i) {
        const std::string port = "p" + std::to_string(++sw.ports_);
        links.push_back("link add " + VethEnd(nics[i], made[i]->name()) + " type veth peer name " +
                        port + " netns " + sw.name());
        ports.push_back("link set " + port + " master br0");
        ports.push_back("link set " + port + " up");
    }
    IpBatch("", links);
    IpBatch(sw.name(), ports);
    std::vector<std::pair<std::string, std::vector<std::string>>> jobs;
    for (size_t i = 0; i < nics.size(); ++i) {
        std::vector<std::string> lines = {"link set lo up"};
        for (auto& l : NicUpLines(nics[i]))
            lines.push_back(l);
        jobs.emplace_back(made[i]->name(), lines);
    }
    ConfigureMany(jobs);
    return made;
}

ExecResult Lab::Exec(const Host& host, const std::vector<std::string>& argv,
                     std::chrono::milliseconds timeout, const std::string& input)
{
    EnterPlan plan = PlanEnter(host.name(), true);
    return ExecPlanned(&plan, argv, input, timeout);
}

RunResult Lab::Run(const Host& host, const std::function<std::string()>& fn,
                   const RunOptions& options)
{
    EnterPlan plan = PlanEnter(host.name(), true);
    const int lastCap = LastCap();
    ChildOutcome co = RunChild(
        [&](int msgFd) {
            char buf[512];
            if (!EnterInChild(plan, buf, sizeof buf))
                ChildAbort(msgFd, buf);
            if (!options.hostname.empty() &&
                (::unshare(CLONE_NEWUTS) != 0 ||
                 ::sethostname(options.hostname.data(), options.hostname.size()) != 0)) {
                std::snprintf(buf, sizeof buf, "set host name: %s", std::strerror(errno));
                ChildAbort(msgFd, buf);
            }
            if (options.unprivileged && !DropPrivilegesInChild(options, lastCap, buf, sizeof buf))
                ChildAbort(msgFd, buf);
            std::string frame;
            try {
                frame = "V" + fn();
            } catch (const std::exception& e) {
                frame = std::string("E") + e.what();
            } catch (...) {
                frame = "Eunknown exception";
            }
            WriteAll(msgFd, frame.data(), frame.size());
            std::fflush(nullptr);
            ::_exit(0);
        },
        "", options.timeout, false);
    RunResult r;
    r.exitCode = ExitCodeOf(co.status);
    if (co.timedOut) {
        r.outcome = RunOutcome::TimedOut;
        r.error = "no result within " + std::to_string(options.timeout.count()) + " ms";
    } else if (WIFSIGNALED(co.status)) {
        r.outcome = RunOutcome::Crashed;
        r.signal = WTERMSIG(co.status);
    } else if (!co.msg.empty() && co.msg[0] == 'V' && r.exitCode == 0) {
        r.outcome = RunOutcome::Ok;
        r.value = co.msg.substr(1);
    } else if (!co.msg.empty() && co.msg[0] == 'E') {
        r.outcome = RunOutcome::Threw;
        r.error = co.msg.substr(1);
    } else {
        r.outcome = RunOutcome::Failed;
        r.error =
            co.msg.empty() ? "the function's process ended without a result" : co.msg.substr(1);
    }
    return r;
}

std::string Lab::MakePeerDir(const std::string& name)
{
    CheckToken(name, "peer name");
    std::string dir = tempDir_ + "/" + name + "-" + std::to_string(++peerDirs_);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        throw LabError("cannot create " + dir + ": " + ec.message());
    fs::permissions(dir, fs::perms(0755), ec);
    return dir;
}

Peer& Lab::StartPeer(const Host& host, const PeerSpec& spec)
{
    if (spec.argv.empty())
        throw LabError("peer " + spec.name + " without a command");
    CheckToken(spec.name, "peer name");
    EnterPlan plan = PlanEnter(host.name(), true);
    const std::string logPath =
        tempDir_ + "/" + spec.name + "-" + std::to_string(++peerDirs_) + ".log";
    Fd log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (log.fd < 0 || devNull.fd < 0)
        throw LabError(Errno(("open " + logPath).c_str()));
    Fd msgR, msgW;
    MakePipe(msgR, msgW);
    auto cargv = CArgv(spec.argv);
    pid_t pid = ::fork();
    if (pid < 0)
        throw LabError(Errno("fork"));
    if (pid == 0) {
        ::setpgid(0, 0);
        // A test process that dies takes its peers with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
        ::dup2(devNull.fd, 0);
        ::dup2(log.fd, 1);
        ::dup2(log.fd, 2);
        char buf[512];
        if (!EnterInChild(plan, buf, sizeof buf))
            ChildAbort(msgW.fd, buf);
        ::execvp(cargv[0], const_cast<char* const*>(cargv.data()));
        std::snprintf(buf, sizeof buf, "exec %s: %s", cargv[0], std::strerror(errno));
        ChildAbort(msgW.fd, buf);
    }
    ::setpgid(pid, pid);
    msgW.Close();
    peers_.push_back(std::unique_ptr<Peer>(new Peer(spec.name, pid, logPath, spec.dir)));
    Peer& peer = *peers_.back();

    // The message pipe closes on exec; anything in it is why exec never came.
    std::string msg;
    char buf[512];
    for (;;) {
        ssize_t n = ::read(msgR.fd, buf, sizeof buf);
        if (n > 0) {
            msg.append(buf, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    if (!msg.empty()) {
        peer.Stop();
        throw LabError("peer " + spec.name + " did not start: " + msg.substr(1));
    }
    const auto deadline = Clock::now() + spec.readyTimeout;
    for (;;) {
        if (!peer.Running()) {
            throw LabError("peer " + spec.name + " (" + Joined(spec.argv) +
                           ") ended before it was ready; its log:\n" + peer.Log());
        }
        if (!spec.ready || spec.ready())
            return peer;
        if (Clock::now() >= deadline) {
            peer.Stop();
            throw LabError("peer " + spec.name + " not ready within " +
                           std::to_string(spec.readyTimeout.count()) + " ms; its log:\n" +
                           peer.Log());
        }
        std::this_thread::sleep_for(50ms);
    }
}

bool Switch::SetArpLoss(bool On)
{
    host().Exec({"nft", "flush", "ruleset"});
    if (!On)
        return true;
    for (const char* cmd :
         {"add table bridge lossy",
          "add chain bridge lossy forwarding { type filter hook forward priority 0; }",
          "add rule bridge lossy forwarding ether type arp numgen random mod 10 == 0 drop"}) {
        if (!host().Exec({"nft", cmd}).ok())
            return false;
    }
    return true;
}

} // namespace lan
