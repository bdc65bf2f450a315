#include "support/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char** environ;

namespace ovtest {
namespace {

std::vector<std::string> MergedEnv(const Env& extra) {
    std::map<std::string, std::string> all;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        auto eq = kv.find('=');
        if (eq != std::string::npos) all[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (auto& [k, v] : extra) all[k] = v;
    std::vector<std::string> out;
    for (auto& [k, v] : all) out.push_back(k + "=" + v);
    return out;
}

int DecodeStatus(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

pid_t Spawn(const std::vector<std::string>& argv, const Env& env, int inFd, int outFd, int errFd,
            const TestUser* user = nullptr) {
    std::vector<std::string> envs = MergedEnv(env);
    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // A clean signal mask: the test process may block signals that the
        // child must see.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (inFd >= 0) dup2(inFd, 0);
        if (outFd >= 0) dup2(outFd, 1);
        if (errFd >= 0) dup2(errFd, 2);
        if (user && (setgroups(0, nullptr) != 0 || setgid(user->Gid) != 0 || setuid(user->Uid) != 0)) _exit(126);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

std::string UniqueName(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    static std::mt19937 rng(std::random_device{}());
    std::ostringstream s;
    s << prefix << "-" << getpid() << "-" << counter++ << "-" << (rng() % 100000);
    return s.str();
}

ScopedSpace::ScopedSpace() : name_(UniqueName("t")) {}
ScopedSpace::~ScopedSpace() {
    // The layers keep their segments under these names in /dev/shm.
    ::unlink(("/dev/shm/ovns-" + name_).c_str());
    ::unlink(("/dev/shm/ovrt-" + name_).c_str());
    ::unlink(("/dev/shm/ovstatus-" + name_).c_str());
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ovrt-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) path_ = buf.data();
}
TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

NotifySocket::NotifySocket() : path_(dir_.File("notify")) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd_ < 0 || path_.size() >= sizeof addr.sun_path) return;
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd_);
        fd_ = -1;
    }
}
NotifySocket::~NotifySocket() {
    if (fd_ >= 0) close(fd_);
}
std::string NotifySocket::Next(std::chrono::milliseconds deadline) {
    if (fd_ < 0) return "";
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return "";
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}
bool NotifySocket::WaitFor(const std::string& message, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        std::string m = Next(left);
        if (m == message) return true;
        if (m.empty()) return false;
    }
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (true) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(5ms);
    }
}

RunResult RunAs(const TestUser& user, const std::vector<std::string>& argv, const Env& env, const std::string& input) {
    TempDir dir;
    std::string inPath = dir.File("in"), outPath = dir.File("out"), errPath = dir.File("err");
    WriteFile(inPath, input);
    int in = open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    RunResult r;
    pid_t pid = Spawn(argv, env, in, out, err, user.Valid() ? &user : nullptr);
    close(in);
    close(out);
    close(err);
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid) r.Status = DecodeStatus(st);
    r.Out = ReadFile(outPath);
    r.Err = ReadFile(errPath);
    return r;
}

RunResult Run(const std::vector<std::string>& argv, const Env& env, const std::string& input) {
    return RunAs(TestUser{}, argv, env, input);
}

namespace {

TestUser MadeUser(const char* name) {
    TestUser u;
    if (geteuid() != 0) return u;
    if (!getpwnam(name))
        Run({"/usr/sbin/useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name});
    // Another test process may be creating it at the same moment.
    WaitUntil([&] { return getpwnam(name) != nullptr; }, 5s);
    if (struct passwd* pw = getpwnam(name)) {
        u.Uid = pw->pw_uid;
        u.Gid = pw->pw_gid;
    }
    return u;
}

}  // namespace

TestUser OutsideUser() {
    static const TestUser user = MadeUser("ovrt-outsider");
    return user;
}

TestUser UnprivilegedUser() {
    static const TestUser user = MadeUser("ovrt-tester");
    return user;
}

Child::Child(const std::vector<std::string>& argv, const Env& env) {
    char tmpl[] = "/tmp/ovrt-child-XXXXXX";
    int fd = mkstemp(tmpl);
    log_ = tmpl;
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = Spawn(argv, env, devnull, fd, fd);
    close(devnull);
    close(fd);
}

Child::~Child() {
    if (Running()) {
        kill(pid_, SIGKILL);
        Wait(5s);
    }
    ::unlink(log_.c_str());
}

std::string Child::Output() const {
    return ReadFile(log_);
}

bool Child::Running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = DecodeStatus(st);
        return false;
    }
    return r == 0;
}

int Child::Wait(std::chrono::milliseconds deadline) {
    WaitUntil([&] { return !Running(); }, deadline);
    return status_;
}

void Child::Signal(int sig) {
    if (Running()) kill(pid_, sig);
}

StderrCapture::StderrCapture() : path_(dir_.File("stderr")) {
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    close(fd);
}

StderrCapture::~StderrCapture() {
    Restore();
}

void StderrCapture::Restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
}

std::vector<std::string> StderrCapture::Lines() {
    Restore();
    std::vector<std::string> out;
    std::istringstream in(ReadFile(path_));
    std::string line;
    while (std::getline(in, line)) {
        // "<time> <LEVEL> <program>: <text>"
        size_t level = line.find(' ');
        size_t colon = line.find(": ");
        if (level == std::string::npos || colon == std::string::npos) continue;
        size_t levelEnd = line.find(' ', level + 1);
        out.push_back(line.substr(level + 1, levelEnd - level - 1) + " " + line.substr(colon + 2));
    }
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

HoldPoint::HoldPoint(const std::string& op, const std::string& name, int nth) : op_(op), name_(name), nth_(nth) {}

HoldPoint::~HoldPoint() {
    Release();
}

std::string HoldPoint::Setting() const {
    return op_ + ":" + name_ + ":" + std::to_string(nth_) + ":" + dir_.File("gate");
}

bool HoldPoint::Reached(std::chrono::milliseconds deadline) const {
    return WaitUntil([&] { return FileExists(dir_.File("gate")); }, deadline);
}

void HoldPoint::Release() const {
    std::remove(dir_.File("gate").c_str());
}

RunResult Ovnode(const std::string& space, const std::vector<std::string>& args) {
    std::vector<std::string> argv{OVNODE_BIN, "--space", space};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

std::string OvnodeGet(const std::string& space, const std::string& name) {
    RunResult r = Ovnode(space, {"get", name});
    if (r.Status != 0) return "";
    std::string v = r.Out;
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
    return v;
}

namespace {

// A recursive-descent JSON checker: each function consumes one value at `at`.
struct JsonChecker {
    const std::string& t;
    size_t at = 0;
    int depth = 0;
    void Space() {
        while (at < t.size() && (t[at] == ' ' || t[at] == '\n' || t[at] == '\r' || t[at] == '\t')) ++at;
    }
    bool Eat(char c) {
        Space();
        if (at < t.size() && t[at] == c) return ++at, true;
        return false;
    }
    bool Word(const char* w) {
        size_t n = strlen(w);
        if (t.compare(at, n, w) != 0) return false;
        at += n;
        return true;
    }
    bool String() {
        if (!Eat('"')) return false;
        while (at < t.size() && t[at] != '"') {
            unsigned char c = static_cast<unsigned char>(t[at++]);
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (at >= t.size()) return false;
            char e = t[at++];
            if (e == 'u') {
                for (int i = 0; i < 4; ++i, ++at)
                    if (at >= t.size() || !isxdigit(static_cast<unsigned char>(t[at]))) return false;
            } else if (!strchr("\"\\/bfnrt", e)) {
                return false;
            }
        }
        return at++ < t.size();
    }
    bool Number() {
        size_t start = at;
        if (at < t.size() && t[at] == '-') ++at;
        size_t digits = at;
        while (at < t.size() && isdigit(static_cast<unsigned char>(t[at]))) ++at;
        if (at == digits || (t[digits] == '0' && at - digits > 1)) return false;
        if (at < t.size() && t[at] == '.') {
            size_t frac = ++at;
            while (at < t.size() && isdigit(static_cast<unsigned char>(t[at]))) ++at;
            if (at == frac) return false;
        }
        if (at < t.size() && (t[at] == 'e' || t[at] == 'E')) {
            ++at;
            if (at < t.size() && (t[at] == '+' || t[at] == '-')) ++at;
            size_t exp = at;
            while (at < t.size() && isdigit(static_cast<unsigned char>(t[at]))) ++at;
            if (at == exp) return false;
        }
        return at > start;
    }
    bool Value() {
        Space();
        if (at >= t.size() || ++depth > 64) return false;
        bool ok;
        if (t[at] == '{') {
            ++at;
            ok = Eat('}');
            while (!ok) {
                if (!String() || !Eat(':') || !Value()) return false;
                if (Eat('}')) break;
                if (!Eat(',')) return false;
            }
            ok = true;
        } else if (t[at] == '[') {
            ++at;
            ok = Eat(']');
            while (!ok) {
                if (!Value()) return false;
                if (Eat(']')) break;
                if (!Eat(',')) return false;
            }
            ok = true;
        } else if (t[at] == '"') {
            ok = String();
        } else {
            ok = Word("true") || Word("false") || Word("null") || Number();
        }
        --depth;
        return ok;
    }
};

}  // namespace

bool IsJson(const std::string& text) {
    JsonChecker c{text};
    if (!c.Value()) return false;
    c.Space();
    return c.at == text.size();
}

}  // namespace ovtest
