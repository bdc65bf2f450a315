// test_support.h - helpers shared by the tests: unique node-space names,
// scratch directories, starting the real executables and waiting for them
// with a deadline (never a fixed sleep).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ovtest {

using namespace std::chrono_literals;

// A name no other test (in this or another process) uses.
std::string UniqueName(const std::string& prefix);

// A node space (and its runtime instance) of its own name, removed at the end.
class ScopedSpace {
public:
    ScopedSpace();
    ~ScopedSpace();
    const std::string& Name() const { return name_; }

private:
    std::string name_;
};

// A fresh directory under $TMPDIR, removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Polls pred every few milliseconds until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = 10s);

struct RunResult {
    int Status = -1;  // exit status, or 128 + signal
    std::string Out;
    std::string Err;
};

using Env = std::map<std::string, std::string>;

// Runs argv to completion with env added to this process's environment.
RunResult Run(const std::vector<std::string>& argv, const Env& env = {}, const std::string& input = "");

// An unprivileged local user for tests that play a hostile one: created with
// useradd on first use (a system user without a home). Valid() is false
// when this process is not root or the user cannot be made; such tests skip
// with GTEST_SKIP() and say why.
struct TestUser {
    uid_t Uid = 0;
    gid_t Gid = 0;
    bool Valid() const { return Uid != 0; }
};
TestUser UnprivilegedUser();
// A second one, "ovrt-outsider", for tests that need a user outside the
// first one's group as well.
TestUser OutsideUser();
// Run, as that user (its uid and primary group, no supplementary groups).
RunResult RunAs(const TestUser& user, const std::vector<std::string>& argv, const Env& env = {},
                const std::string& input = "");

// A child process started in the background; its standard error and output
// go to a file that can be read while it runs. Killed (SIGKILL) on destruction
// if still running.
class Child {
public:
    Child(const std::vector<std::string>& argv, const Env& env = {});
    ~Child();
    pid_t Pid() const { return pid_; }
    // Everything the child has written so far.
    std::string Output() const;
    // Waits for the child to end; returns its status (128 + signal when
    // killed) or -1 when the deadline passes first.
    int Wait(std::chrono::milliseconds deadline = 10s);
    bool Running();
    void Signal(int sig);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string log_;
};

// Sends this process's standard error (where log lines go) to a file while
// alive. Lines() ends the capture and gives each log line as "LEVEL text",
// the time and process name left out.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    void Restore();
    std::vector<std::string> Lines();

private:
    TempDir dir_;
    std::string path_;
    int saved_ = -1;
};

// A datagram socket standing in for the service manager's notify socket:
// pass Path() as NOTIFY_SOCKET. Next() gives the next message, waiting for it
// until the deadline ("" when none came); WaitFor reads messages until one
// equals `message`.
class NotifySocket {
public:
    NotifySocket();
    ~NotifySocket();
    const std::string& Path() const { return path_; }
    std::string Next(std::chrono::milliseconds deadline = 10s);
    bool WaitFor(const std::string& message, std::chrono::milliseconds deadline = 10s);

private:
    TempDir dir_;
    std::string path_;
    int fd_ = -1;
};

// A point where a service started with Setting() in $OVRT_HOLD stops: call
// number nth of the file operation op on the file `name` waits there until
// Release(). Reached() polls, up to the deadline, until the service waits.
// The gate is released when this goes away, so a failed test hangs nothing.
class HoldPoint {
public:
    HoldPoint(const std::string& op, const std::string& name, int nth = 1);
    ~HoldPoint();
    std::string Setting() const;
    bool Reached(std::chrono::milliseconds deadline = 30s) const;
    void Release() const;

private:
    TempDir dir_;
    std::string op_, name_;
    int nth_;
};

// Reads a whole file ("" when missing) and writes one.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// True when text is exactly one JSON value (RFC 8259), white space around it
// allowed.
bool IsJson(const std::string& text);

// Runs the ovnode tool against a node space.
RunResult Ovnode(const std::string& space, const std::vector<std::string>& args);
// `ovnode get` with the trailing newline removed; "" on failure.
std::string OvnodeGet(const std::string& space, const std::string& name);

}  // namespace ovtest
