// ovrt_bench - measures the retain service against the physical limit of the
// machine and against the stores a user would otherwise pick.
//
// For each size it builds a node space of that many nodes with a plant-like
// mix of types and names, and takes, as medians of repeated runs:
//   - SaveRetainFile and LoadRetainFile, in this process, beside one write()
//     (with the save's fsync policy) and one read() of the same bytes;
//   - an uncached ComputeLayoutHash beside OpenSSL's MD5 over the same names;
//   - the wait of a concurrent writer of the node space while a save runs,
//     and what marking a node as written adds to a write;
//   - one poll of the Trig thread with autosave on, and the journal's poll,
//     with nothing changed;
//   - SQLite (one WAL transaction), LMDB (one write transaction, durable
//     commit) and Redis (SAVE, restart) with the same name and value pairs;
//   - the real ovretain: exec to its first Live tick, Save trigger to
//     SaveCount, its private memory, and its CPU share and bytes written per
//     hour with AutoSave and then with the change journal while 1 % of the
//     nodes change every second.
// It prints one Markdown table and writes it, and the JSON, where asked.
// Timings are never judged here beyond marking the targets as met or not.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "peers.h"
#include "retain/adoption.h"
#include "retain/check_record.h"
#include "retain/journal.h"
#include "retain/layout_hash.h"
#include "retain/layout_record.h"
#include "retain/node_slot.h"
#include "retain/retain_file.h"
#include "retain/retain_paths.h"
#include "retain/slot_walk.h"
#include "retain/startup_check.h"
#include "rtkernel/rtadmin.h"
#include "status/status_segment.h"
#include "stdlib/pdir.h"
#include "stdlib/ptime.h"
#include "threads/autosave.h"
#include "threads/journal_poll.h"
#include "threads/threads.h"
#include "variables/variables.h"

extern char** environ;

using namespace bench;

namespace {

struct Options {
    std::vector<uint32_t> Sizes = {10000, 100000, 1000000};
    int Reps = 0;  // 0: by size
    std::string Dir;
    std::string Ovretain;
    std::string RedisServer;
    int RedisPort = 0;
    std::string Json;
    std::string Markdown;
    std::string Profile;  // "save", "firstsave", "prepare", "load", "check", "hash", "migrate", "firstrun", "walk": for
                          // a profiler
    std::string MemDir;   // a tmpfs directory: save and limit without storage cost
    std::string Self;     // this program, for the start-up load's child
    double JournalWindow = 180;  // at most this long (s) for the journal's bytes per hour
    bool Sqlite = true;
    bool Lmdb = true;
};

[[noreturn]] void Usage(const char* msg) {
    if (msg) std::fprintf(stderr, "ovrt_bench: %s\n", msg);
    std::fprintf(stderr,
                 "usage: ovrt_bench --dir DIR [--sizes N,N,...] [--reps N] [--ovretain PATH]\n"
                 "                  [--redis-server PATH --redis-port PORT] [--no-sqlite]\n"
                 "                  [--no-lmdb]\n"
                 "                  [--json FILE] [--markdown FILE]\n"
                 "                  [--profile save|firstsave|prepare|load|check|hash|migrate|firstrun|walk]\n"
                 "                  [--mem-dir TMPFS_DIR] [--journal-window SECONDS]\n"
                 "DIR must be on the disk the retain file would use (not tmpfs) and its path\n"
                 "short (the retain directory is DIR/n<size>/, at most 79 characters).\n");
    std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage(("missing value for " + a).c_str());
            return argv[++i];
        };
        if (a == "--sizes") {
            o.Sizes.clear();
            std::stringstream ss(value());
            std::string item;
            while (std::getline(ss, item, ',')) o.Sizes.push_back(static_cast<uint32_t>(std::stoul(item)));
        } else if (a == "--reps") {
            o.Reps = std::stoi(value());
        } else if (a == "--dir") {
            o.Dir = value();
        } else if (a == "--ovretain") {
            o.Ovretain = value();
        } else if (a == "--redis-server") {
            o.RedisServer = value();
        } else if (a == "--redis-port") {
            o.RedisPort = std::stoi(value());
        } else if (a == "--json") {
            o.Json = value();
        } else if (a == "--markdown") {
            o.Markdown = value();
        } else if (a == "--profile") {
            o.Profile = value();
        } else if (a == "--mem-dir") {
            o.MemDir = value();
        } else if (a == "--journal-window") {
            o.JournalWindow = std::stod(value());
        } else if (a == "--no-sqlite") {
            o.Sqlite = false;
        } else if (a == "--no-lmdb") {
            o.Lmdb = false;
        } else {
            Usage(("unknown option " + a).c_str());
        }
    }
    if (o.Dir.empty()) Usage("--dir is required");
    if (o.Sizes.empty()) Usage("no sizes");
    if (!o.RedisServer.empty() && o.RedisPort <= 0) Usage("--redis-server needs --redis-port");
    return o;
}

int RepsFor(const Options& o, uint32_t n) {
    if (o.Reps > 0) return o.Reps;
    if (n <= 10000) return 21;
    if (n <= 100000) return 11;
    if (n <= 1000000) return 7;
    return 3;
}

std::string Machine() {
    std::string model = "?";
    std::ifstream cpu("/proc/cpuinfo");
    for (std::string line; std::getline(cpu, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    long memKb = 0;
    std::ifstream mem("/proc/meminfo");
    for (std::string line; std::getline(mem, line);) {
        if (line.rfind("MemTotal:", 0) == 0) memKb = std::stol(line.substr(9));
    }
    utsname u{};
    uname(&u);
    char buf[512];
    std::snprintf(buf, sizeof buf, "%s, %ld cores, %.1f GiB RAM, Linux %s", model.c_str(),
                  sysconf(_SC_NPROCESSORS_ONLN), static_cast<double>(memKb) / (1024 * 1024), u.release);
    return buf;
}

// ------------------------------------------------------------ node space

// The plant: devices of ten signals each, in areas and lines, with the type
// mix 70 % four-byte values (7), 20 % flags (1), 4 % 80-byte texts (12),
// 1 % 256-byte ranges (13) and 5 % eight-byte values (code 8), spread evenly
// over the table.
constexpr const char* kKinds[] = {"MOTOR", "VALVE", "PUMP", "CONVEYOR", "SENSOR"};
constexpr const char* kSignals[] = {"ActualSpeed", "SetpointSpeed", "MotorCurrent", "RunningHours", "FaultCode",
                                    "Interlock",   "RecipeName",    "StartCount",   "Temperature",  "TorqueLimit"};

uint16_t TypeOf(uint32_t i) {
    uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 31;
    unsigned r = static_cast<unsigned>(x % 100);
    if (r < 70) return 7;
    if (r < 90) return 1;
    if (r < 94) return 12;
    if (r < 95) return 13;
    return 8;
}

void NodeName(uint32_t i, char* out, size_t size) {
    uint32_t dev = i / 10, sig = i % 10;
    std::snprintf(out, size, "AREA%02u.LINE%02u.%s%04u.%s", dev / 5000, (dev / 500) % 10, kKinds[dev % 5], dev % 500,
                  kSignals[sig]);
}

bool IsPlantNode(const NodeRecord& node) {
    return std::strncmp(node.Name, "AREA", 4) == 0;
}

bool BuildPlant(uint32_t n) {
    char name[128];
    uint8_t range[256];
    char text[80];
    uint32_t scratchWord = 0;
    uint8_t scratch[32];
    for (uint32_t i = 0; i < n; ++i) {
        NodeName(i, name, sizeof name);
        uint16_t type = TypeOf(i);
        int32_t rc;
        if (type == 12) {
            rc = NodeCreateString(name, 12, 80, "", "", scratch, sizeof scratch, &scratchWord);
        } else {
            rc = NodeCreate(name, type, type == 13 ? 256 : (type == 8 ? 8 : 0), "", "");
        }
        if (rc != 0) {
            std::fprintf(stderr, "bench: cannot create node %s (%d)\n", name, rc);
            return false;
        }
        uint32_t index = static_cast<uint32_t>(NodeCount());
        switch (type) {
            case 7: {
                uint32_t v = i * 7u;
                NodeWriteData(index, &v, 4);
                break;
            }
            case 1: {
                uint8_t v = static_cast<uint8_t>(i & 1);
                NodeWriteData(index, &v, 1);
                break;
            }
            case 12:
                std::snprintf(text, sizeof text, "Recipe %u for line %u", i, (i / 5000) % 10);
                NodeWriteStringByName(name, text);
                break;
            case 13:
                for (unsigned k = 0; k < sizeof range; ++k) range[k] = static_cast<uint8_t>(i + k);
                NodeWriteRange(index, 0, range, sizeof range);
                break;
            default: {
                uint64_t v = uint64_t{i} * 3;
                NodeWriteData(index, &v, 8);
                break;
            }
        }
    }
    return true;
}

std::string SpaceName(uint32_t n) {
    return "ovbench-" + std::to_string(getpid()) + "-" + std::to_string(n);
}

void DestroySpace(const std::string& space) {
    NodeSpaceDestroy(space, nullptr);
    RtDestroyInstance(space);
    StatusSegmentRemove(space);  // the status record the service kept
}

constexpr const char* kAutoSave = "SERVICE.OvRetain.AutoSave";

void SetAutoSave(uint32_t periodMs) {
    NodeWriteByName(kAutoSave, &periodMs, 4);
}

constexpr const char* kJournal = "SERVICE.OvRetain.Journal";
// The journal period of the journal's rows: the one the loss-window figures
// are taken with.
constexpr uint32_t kJournalPeriodMs = 100;

void SetJournal(uint32_t periodMs) {
    NodeWriteByName(kJournal, &periodMs, 4);
}

// The OutPath of a directory below the drive root ($OVRT_DRIVES, which main
// sets to --dir): "<root>/C/x/y" is "C:\\x\\y\\". Empty for any other.
std::string OutPathOf(const std::string& dir) {
    const char* root = std::getenv("OVRT_DRIVES");
    const std::string top = std::string(root ? root : "") + "/C/";
    if (!root || dir.compare(0, top.size(), top) != 0) return "";
    std::string out = "C:\\" + dir.substr(top.size()) + "/";
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
}

// Creates the node space of n plant nodes and the service's configuration
// and status nodes, points OutPath at outDir and runs the start-up check so
// that the retain file's paths exist.
bool SetUpSpace(const std::string& space, uint32_t n, const std::string& outDir) {
    DestroySpace(space);
    std::string err;
    if (!NodeSpaceAttach(space, true, &err)) {
        std::fprintf(stderr, "bench: %s\n", err.c_str());
        return false;
    }
    ResetVariablesForTest();
    ResetRetainStateForTest();
    PublishConfiguration();
    PublishStatus();
    std::string outPath = OutPathOf(outDir);
    if (outPath.empty() || outPath.size() > 79 ||
        NodeWriteStringByName("SERVICE.OvRetain.OutPath", outPath.c_str()) != 0) {
        std::fprintf(stderr, "bench: OutPath %s cannot be set (at most 79 characters)\n", outPath.c_str());
        return false;
    }
    uint8_t one = 1;
    NodeCreate("SERVICE.OvRetain.AutoRun", 1, 1, "", "");
    NodeWriteByName("SERVICE.OvRetain.AutoRun", &one, 1);
    // For the migration figure; read only when a start-up check finds another layout.
    NodeCreate("SERVICE.OvRetain.Migrate", 1, 1, "", "");
    NodeWriteByName("SERVICE.OvRetain.Migrate", &one, 1);
    // Autosave and the journal stay off but for their own measurements.
    NodeCreate(kAutoSave, 7, 4, "", "");
    NodeCreate(kJournal, 7, 4, "", "");
    if (!BuildPlant(n)) return false;
    CheckRetainFile();
    return true;
}

// Points OutPath at dir and rebuilds the retain file's paths (and the cached
// layout hash, which the reset forgets).
bool UseOutDir(const std::string& dir) {
    std::string outPath = OutPathOf(dir);
    if (outPath.empty() || outPath.size() > 79 ||
        NodeWriteStringByName("SERVICE.OvRetain.OutPath", outPath.c_str()) != 0) {
        std::fprintf(stderr, "bench: OutPath %s cannot be set (at most 79 characters)\n", outPath.c_str());
        return false;
    }
    ResetRetainStateForTest();
    BuildRetainFilePaths();
    ComputeLayoutHash();
    return true;
}

// ------------------------------------------------------------ helpers

// Paths may be of the drive form the retain module uses: mapped here.
std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = std::fopen(PFileMapPath(path.c_str()).c_str(), "rb");
    if (!f) return out;
    uint8_t buf[1 << 16];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + got);
    std::fclose(f);
    return out;
}

// Times fn reps times; a negative time (a failure) ends the series early.
std::vector<double> Series(int reps, const std::function<double()>& fn) {
    std::vector<double> t;
    for (int i = 0; i < reps; ++i) {
        double s = fn();
        if (s < 0) break;
        t.push_back(s);
    }
    return t;
}

double Timed(const std::function<bool()>& fn) {
    double t0 = Now();
    bool ok = fn();
    double t1 = Now();
    return ok ? t1 - t0 : -1;
}

Result Row(const std::string& name, uint32_t n, const std::vector<double>& t) {
    Result r;
    r.Name = name;
    r.Nodes = n;
    r.Median = Median(t);
    r.Runs = static_cast<int>(t.size());
    return r;
}

Result Compare(const std::string& name, uint32_t n, const std::vector<double>& t, const std::string& base,
               const std::vector<double>& b, double target) {
    Result r = Row(name, n, t);
    r.Baseline = base;
    r.BaselineMedian = Median(b);
    r.Target = target;
    return r;
}

// ------------------------------------------------------------ writer wait

// A thread that writes one node in a tight loop and records each write's
// latency (ns) while recording is on.
struct Writer {
    std::atomic<int> Phase{0};  // 0 idle, 1 recording, 2 exit
    uint32_t Index = 0;
    std::vector<float> Samples;
    std::thread Thread;

    void Start(uint32_t index) {
        Index = index;
        Samples.reserve(8u << 20);
        Thread = std::thread([this] { Run(); });
    }
    void Run() {
        uint32_t v = 0;
        while (true) {
            int p = Phase.load(std::memory_order_acquire);
            if (p == 2) return;
            if (p == 0) {
                ::usleep(50);
                continue;
            }
            auto t0 = std::chrono::steady_clock::now();
            NodeWriteValue(Index, &v, 4);
            auto t1 = std::chrono::steady_clock::now();
            ++v;
            if (Samples.size() < Samples.capacity()) {
                Samples.push_back(static_cast<float>(std::chrono::duration<double, std::nano>(t1 - t0).count()));
            }
        }
    }
    void Stop() {
        Phase.store(2);
        Thread.join();
    }
};

// ------------------------------------------------------------ start-up load

// The child of the autoload row: a process of its own that attaches the node
// space cold, claims it and runs the start-up check as the service does, then
// loads the retain file once. Prints the load's seconds; exit 1 on failure.
int AutoloadChild(const std::string& space) {
    std::string err;
    if (!NodeSpaceAttach(space, false, &err)) {
        std::fprintf(stderr, "bench: %s\n", err.c_str());
        return 1;
    }
    int32_t holder = 0;
    char reason[256];
    if (NodeClaimService(&holder, reason, sizeof reason) != 0) {
        std::fprintf(stderr, "bench: %s\n", reason);
        return 1;
    }
    CheckRetainFile();
    double t = Timed([] { return LoadRetainFile() == 1; });
    if (t < 0) return 1;
    std::printf("%.9f\n", t);
    return 0;
}

// This process's environment for a program it starts on node space `space`.
std::vector<std::string> ChildEnvironment(const std::string& space) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "OVNODE_SPACE=", 13) != 0 && std::strncmp(*e, "OVRT_DRIVES=", 12) != 0) env.push_back(*e);
    }
    env.push_back("OVNODE_SPACE=" + space);
    const char* root = std::getenv("OVRT_DRIVES");  // --dir, or --mem-dir while that is measured
    env.push_back(std::string("OVRT_DRIVES=") + (root ? root : ""));
    return env;
}

// Runs this program as the autoload child; the load's seconds or -1.
double TimeAutoload(const std::string& self, const std::string& space) {
    int out[2];
    if (::pipe(out) != 0) return -1;
    std::vector<std::string> env = ChildEnvironment(space);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string prog = self, flag = "--autoload-child", name = space;
    char* argv[] = {prog.data(), flag.data(), name.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    std::string text;
    char buf[128];
    ssize_t got;
    while (rc == 0 && (got = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(got));
    ::close(out[0]);
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) return -1;
    return std::atof(text.c_str());
}

// ------------------------------------------------------------ the service

struct Service {
    pid_t Pid = -1;
};

bool SpawnService(const Options& o, const std::string& space, const std::string& dir, Service* svc) {
    std::vector<std::string> env = ChildEnvironment(space);
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string prog = o.Ovretain;
    char* argv[] = {prog.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    std::string log = dir + "/ovretain.log";
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    int rc = posix_spawn(&svc->Pid, prog.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        std::fprintf(stderr, "bench: cannot start %s: %s\n", prog.c_str(), std::strerror(rc));
        svc->Pid = -1;
        return false;
    }
    return true;
}

// Ends the service with SIGTERM (which saves) and waits for it.
void StopService(Service* svc) {
    if (svc->Pid <= 0) return;
    ::kill(svc->Pid, SIGTERM);
    double t0 = Now();
    int status;
    while (::waitpid(svc->Pid, &status, WNOHANG) == 0) {
        if (Now() - t0 > 60) {
            std::fprintf(stderr, "bench: ovretain did not end on SIGTERM; killing it\n");
            ::kill(svc->Pid, SIGKILL);
            ::waitpid(svc->Pid, &status, 0);
            break;
        }
        ::usleep(1000);
    }
    svc->Pid = -1;
}

bool ServiceAlive(Service* svc) {
    int status;
    if (svc->Pid > 0 && ::waitpid(svc->Pid, &status, WNOHANG) == svc->Pid) {
        std::fprintf(stderr, "bench: ovretain ended unexpectedly (status %d)\n", status);
        svc->Pid = -1;
    }
    return svc->Pid > 0;
}

uint32_t ReadU32(uint32_t index) {
    uint32_t v = 0;
    NodeReadValue(index, &v, 4);
    return v;
}

// Private memory of pid (Private_Clean + Private_Dirty, bytes) outside the
// node space's and the kernel layer's shared segments; -1 when unreadable.
double PrivateBytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
    if (!in) return -1;
    long kb = 0;
    bool shared = false;
    for (std::string line; std::getline(in, line);) {
        size_t colon = line.find(':');
        size_t space = line.find(' ');
        bool header = space != std::string::npos && (colon == std::string::npos || colon > space);
        if (header) {
            size_t path = line.find('/');
            std::string p = path == std::string::npos ? "" : line.substr(path);
            shared = p.rfind("/dev/shm/ovns-", 0) == 0 || p.rfind("/dev/shm/ovrt-", 0) == 0;
            continue;
        }
        if (shared) continue;
        if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0) {
            kb += std::stol(line.substr(colon + 1));
        }
    }
    return static_cast<double>(kb) * 1024;
}

// CPU time (s) that pid has used, from /proc/<pid>/stat; -1 when unreadable.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = all.rfind(')');
    if (end == std::string::npos) return -1;
    std::istringstream fields(all.substr(end + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The write_bytes of /proc/<pid>/io: bytes pid has caused to reach storage.
double WriteBytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("write_bytes:", 0) == 0) return std::stod(line.substr(12));
    }
    return -1;
}

// The journal saves the service has made, from its status record; -1 when
// the record cannot be read. With the journal's appends into *appends.
double JournalSaves(const std::string& space, double* appends = nullptr) {
    StatusSnapshot snap{};
    std::string err;
    if (!StatusSegmentRead(space, ::geteuid(), &snap, &err)) return -1;
    if (appends) *appends = static_cast<double>(snap.Record.Journal.Appends);
    return static_cast<double>(snap.Record.Kinds[STATUS_JOURNAL_SAVE].Successes);
}

// The length of the file at path, -1 when there is none.
double FileLength(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : -1;
}

// From a shutdown event to the durable file with that the run's only save: a
// fresh ovretain, up for a second (its start-up done, as before any real stop),
// gets SIGTERM, the shutdown event, and saves once before it ends. Timed to
// its exit, which follows the save's directory fsync; the rename of the new
// file into place, seen through inotify, goes into *renamed. Watches both
// with poll(), so the measuring takes no CPU from the service.
// From SIGTERM to the end of a fresh service whose shutdown save is the
// run's only save; *renamed: to the rename of the new file (inotify);
// *durable: to the end of that save, after its directory fsync, as the
// service's status record gives it (-1 when it does not).
// settle: how long the service runs after its first Live tick before the
// signal (0: at once, while what start-up left for later may still run).
double TimeFirstSave(const Options& o, const std::string& space, const std::string& dir, double* renamed,
                     double* durable, double settle = 1.0) {
    uint32_t live = NodeSpaceFind("SERVICE.OvRetain.Live");
    uint32_t zero = 0;
    NodeWriteValue(live, &zero, 4);
    Service svc;
    if (live == 0 || !SpawnService(o, space, dir, &svc)) return -1;
    double t = Now();
    while (Now() - t < 60 && ServiceAlive(&svc) && ReadU32(live) == 0) ::usleep(settle > 0 ? 1000 : 50);
    if (settle > 0) ::usleep(static_cast<useconds_t>(settle * 1e6));
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, svc.Pid, 0));
    if (watch < 0 || pidfd < 0 || inotify_add_watch(watch, dir.c_str(), IN_MOVED_TO) < 0 || !ServiceAlive(&svc)) {
        if (watch >= 0) ::close(watch);
        if (pidfd >= 0) ::close(pidfd);
        StopService(&svc);
        return -1;
    }
    double t0 = Now(), ended = -1;
    const uint64_t killedNs = StatusClockNs();
    *renamed = -1;
    *durable = -1;
    ::kill(svc.Pid, SIGTERM);
    while (ended < 0 && Now() - t0 < 60) {
        pollfd fds[2] = {{watch, POLLIN, 0}, {pidfd, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        double now = Now();
        if (fds[0].revents & POLLIN) {
            alignas(inotify_event) char buf[4096];
            ssize_t got;
            while ((got = ::read(watch, buf, sizeof buf)) > 0) {
                for (char* p = buf; p < buf + got;) {
                    auto* ev = reinterpret_cast<inotify_event*>(p);
                    if (ev->len && std::strcmp(ev->name, "OvRetain.bin") == 0 && *renamed < 0) *renamed = now - t0;
                    p += sizeof(inotify_event) + ev->len;
                }
            }
        }
        if (fds[1].revents & POLLIN) ended = now - t0;
    }
    ::close(watch);
    ::close(pidfd);
    int status = 0;
    bool clean = ::waitpid(svc.Pid, &status, 0) == svc.Pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    svc.Pid = -1;
    StatusSnapshot record;
    if (StatusSegmentRead(space, ::geteuid(), &record, nullptr)) {
        const StatusKindRecord& save = record.Record.Kinds[STATUS_SHUTDOWN_SAVE];
        if (record.Consistent && save.LastOutcome == STATUS_OUTCOME_OK && save.LastStartNs >= killedNs)
            *durable = static_cast<double>(save.LastStartNs + save.LastDurationNs - killedNs) * 1e-9;
    }
    return clean && *renamed >= 0 ? ended : -1;
}

// ------------------------------------------------------------ node-space creation

// The plant of n nodes as a layout file for `ovnode load-layout`: name,
// type and size of each node, no values.
bool WriteLayoutCsv(const std::string& path, uint32_t n) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fputs("name,type,size,value\n", f);
    char name[128];
    for (uint32_t i = 0; i < n; ++i) {
        NodeName(i, name, sizeof name);
        const uint16_t type = TypeOf(i);
        if (type == 12)
            std::fprintf(f, "%s,12,80,\n", name);
        else if (type == 13)
            std::fprintf(f, "%s,13,256,\n", name);
        else if (type == 8)
            std::fprintf(f, "%s,8,8,\n", name);
        else
            std::fprintf(f, "%s,%u,,\n", name, type);
    }
    return std::fclose(f) == 0;
}

// `ovnode load-layout` of the plant of n nodes into a node space of its own,
// created by it: the seconds from exec to exit, or -1 (with the tool's
// words on standard error).
double TimeLoadLayout(const std::string& ovnode, const std::string& csv, const std::string& space) {
    DestroySpace(space);
    const std::string command = ovnode + " --space " + space + " load-layout " + csv + " >/dev/null";
    const double t0 = Now();
    const int rc = std::system(command.c_str());
    const double t = Now() - t0;
    DestroySpace(space);
    return rc == 0 ? t : -1;
}

// ------------------------------------------------------------ one size

struct SizeRun {
    const Options& Opt;
    uint32_t N;
    int Reps;
    std::string Space;
    std::string OutDir;
    std::vector<Result>& Results;
    double SaveMedian = 0;
    std::vector<double> WriteLimit;  // one write() + fsync of the retain file's bytes
    std::vector<double> Load;        // LoadRetainFile in this process, warm
};

// Migration by name at start-up: the retain file and layout record of the
// current table, with every hundredth name changed (so 1 % of the values are
// dropped and 1 % of the nodes new), met by the start-up check with Migrate
// 1; beside a save of the same node space. The current layout's record is
// removed before each run, as after a real layout change, so the check
// writes it too. The layout hash itself is taken before the timing: every
// start-up folds it, migration or not.
bool MeasureMigration(SizeRun& run, const std::vector<double>& save) {
    ResetRetainStateForTest();
    ResetLayoutRecordForTest();
    BuildRetainFilePaths();
    const uint32_t hash = ComputeLayoutHash();
    char recordPath[kRetainPathSize + 48], checkPath[kRetainPathSize + 48];
    if (SaveRetainFile() != 1 || !RetainSiblingPath(kCheckRecordName, checkPath, sizeof checkPath)) return false;
    // The record of the file just saved, by the check record's first entry
    // (its layout id at offset 32).
    const std::vector<uint8_t> check = ReadWholeFile(checkPath);
    uint32_t id = 0;
    if (check.size() >= 36) std::memcpy(&id, &check[32], 4);
    if (!LayoutRecordPathFor(hash, id, recordPath, sizeof recordPath)) return false;
    LayoutRecord current;
    current.Bytes = ReadWholeFile(recordPath);
    std::string why;
    if (!VerifyLayoutRecord(&current, &why)) {
        std::fprintf(stderr, "bench: layout record: %s\n", why.c_str());
        return false;
    }
    uint32_t oldHash = 0;
    std::vector<std::string> names;
    for (size_t i = 0; i < current.Entries.size(); ++i) {
        std::string name(current.Entries[i].Name, current.Entries[i].NameLength);
        if (i % 100 == 50) name += "~";
        oldHash = ((oldHash << 1) | (oldHash >> 31)) + LayoutNameKey(name.data(), name.size());
        names.push_back(name);
    }
    LayoutRecordBuilder builder;
    BeginLayoutRecord(&builder, oldHash, static_cast<uint32_t>(names.size()));
    for (size_t i = 0; i < names.size(); ++i)
        AppendLayoutRecordEntry(&builder, names[i].data(), names[i].size(), current.Entries[i].Type,
                                current.Entries[i].Size);
    FinishLayoutRecord(&builder);
    const std::vector<uint8_t>& oldRecord = builder.Bytes;
    std::vector<uint8_t> oldFile = ReadWholeFile(GetRetainFilePath());
    for (int k = 0; k < 4; ++k) oldFile[k] = static_cast<uint8_t>(oldHash >> (8 * k));
    // The old file as an older version left it: no check record, the legacy
    // record of its hash.
    char oldRecordPath[kRetainPathSize + 48], oldName[64], oldPath[kRetainPathSize + 48];
    std::snprintf(oldName, sizeof oldName, "OvRetain.0000000001.%08x.00000000.old", oldHash);
    if (!LayoutRecordPathFor(oldHash, 0, oldRecordPath, sizeof oldRecordPath) ||
        !RetainSiblingPath(oldName, oldPath, sizeof oldPath))
        return false;
    auto put = [](const std::string& path, const std::vector<uint8_t>& bytes) {
        FILE* f = std::fopen(PFileMapPath(path.c_str()).c_str(), "wb");
        bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
        if (f) ok = std::fclose(f) == 0 && ok;
        return ok;
    };
    std::vector<double> t, floor;
    std::vector<uint8_t> newRecord;
    for (int i = 0; i < run.Reps; ++i) {
        // The least any migration of this file does: the new layout's hash
        // folded (as at every start), the old record read and verified as
        // the migration reads it (the new table's keys as hint), and the
        // migrated file and the new layout's record written durably.
        if (i > 0) {
            ResetRetainStateForTest();
            BuildRetainFilePaths();
            double least = Timed([] { return ComputeLayoutHash() != 0; });
            const std::vector<uint32_t> keys = TakeLayoutNodeKeys();
            LayoutKeyHint hint;
            hint.Table = NodeTable();
            hint.Keys = keys.data();
            hint.Count = static_cast<int32_t>(std::min<size_t>(keys.size(), NodeCount()));
            least += Timed([&] {
                LayoutRecord old;
                std::string why;
                return ReadLayoutRecord(oldRecordPath, oldHash, &old, &why, &hint);
            });
            const double file = TimeWriteLimit(run.OutDir, oldFile), record = TimeWriteLimit(run.OutDir, newRecord);
            if (least < 0 || file < 0 || record < 0) return false;
            floor.push_back(least + file + record);
        }
        std::remove(PFileMapPath(recordPath).c_str());
        std::remove(PFileMapPath(oldPath).c_str());
        std::remove(PFileMapPath(checkPath).c_str());
        if (!put(GetRetainFilePath(), oldFile) || !put(oldRecordPath, oldRecord)) return false;
        ::sync();
        ResetLayoutRecordForTest();
        // A fresh fold, as at every start-up, before the timing.
        ResetRetainStateForTest();
        BuildRetainFilePaths();
        ComputeLayoutHash();
        t.push_back(Timed([] {
            CheckRetainFile();
            return true;
        }));
        std::vector<uint8_t> migrated = ReadWholeFile(GetRetainFilePath());
        if (migrated.size() != oldFile.size() || migrated[0] != static_cast<uint8_t>(hash)) {
            std::fprintf(stderr, "bench: migration did not write the file of the current layout\n");
            return false;
        }
        if (i == 0) newRecord = ReadWholeFile(recordPath);
    }
    run.Results.push_back(Compare("migration_1pct", run.N, t, "save", save, run.N >= 1000000 ? 2 : 0));
    run.Results.back().Note =
        "start-up check with Migrate 1: set aside, verify the old record, match by name, write record and file";
    if (!floor.empty()) {
        run.Results.push_back(Compare("migration_floor", run.N, floor, "save", save, 0));
        run.Results.back().Note =
            "the new layout's hash + the old record read and verified + write_limit of the file and of its record";
        run.Results.push_back(Compare("migration_1pct", run.N, t, "migration_floor", floor, 0));
    }
    return true;
}

bool MeasureSize(SizeRun& run) {
    const uint32_t n = run.N;
    const int reps = run.Reps;
    std::printf("== %u nodes: setting up\n", n);
    std::fflush(stdout);
    double t0 = Now();
    if (!SetUpSpace(run.Space, n, run.OutDir)) return false;
    std::printf("   node space built in %.2f s (%d records)\n", Now() - t0, NodeCount());
    std::fflush(stdout);

    // Warm-up save: also gives the bytes of the file for the baselines.
    if (SaveRetainFile() != 1) {
        std::fprintf(stderr, "bench: SaveRetainFile failed\n");
        return false;
    }
    const std::string retainPath = PFileMapPath(GetRetainFilePath());
    std::vector<uint8_t> bytes = ReadWholeFile(retainPath);
    const NodeRecord* table = NodeTable();
    const int32_t count = NodeCount();
    size_t expect = 4;
    for (int32_t i = 0; i < count; ++i) expect += NodeSpaceValueSize(&table[i]);
    if (bytes.size() != expect) {
        std::fprintf(stderr, "bench: retain file has %zu bytes, expected %zu\n", bytes.size(), expect);
        return false;
    }
    std::printf("   retain file: %zu bytes\n", bytes.size());
    // The plant's nodes, which the benchmark's clients write (never the
    // service's own, before and after them in the table).
    std::vector<uint32_t> plant;
    for (int32_t k = 0; k < count; ++k)
        if (IsPlantNode(table[k])) plant.push_back(table[k].Index);

    // The service's shutdown save, as first_save_of_run times it.
    if (run.Opt.Profile == "firstrun") {
        const std::string svcDir = run.OutDir + "/svc";
        ::mkdir(svcDir.c_str(), 0750);
        if (run.Opt.Ovretain.empty() || !UseOutDir(svcDir)) Usage("--profile firstrun needs --ovretain");
        // A second after the first Live tick, and at once.
        for (double settle : {1.0, 0.0}) {
            std::vector<double> ended, renamed, durable;
            for (int i = 0; i <= reps; ++i) {
                double at = -1, done = -1;
                const double t = TimeFirstSave(run.Opt, run.Space, svcDir, &at, &done, settle);
                if (t < 0) return false;
                if (i == 0) continue;  // the first start settles the retain file
                ended.push_back(t);
                renamed.push_back(at);
                durable.push_back(done);
            }
            std::printf(
                "   firstrun (signal %.0f s after Live): median %s to the end, %s to the rename, %s to the "
                "durable file, of %d\n",
                settle, FormatValue(Median(ended), "s").c_str(), FormatValue(Median(renamed), "s").c_str(),
                FormatValue(Median(durable), "s").c_str(), reps);
        }
        return true;
    }
    // Only one operation, repeated, for a profiler (its median is printed).
    if (!run.Opt.Profile.empty()) {
        if (run.Opt.Profile == "migrate") {
            // The migration's own runs beside warm saves of the same space.
            std::vector<double> save;
            for (int i = 0; i < reps; ++i) save.push_back(Timed([] { return SaveRetainFile() == 1; }));
            if (!MeasureMigration(run, save)) return false;
            for (const Result& r : run.Results)
                std::printf("   %s: median %s of %d, %s %s, ratio %.2f\n", r.Name.c_str(),
                            FormatValue(r.Median, "s").c_str(), reps, r.Baseline.c_str(),
                            FormatValue(r.BaselineMedian, "s").c_str(), r.Ratio());
            return true;
        }
        // Beside the wall-clock time, the process's CPU time: on a machine
        // shared with other work it tells changes of the code apart better.
        std::vector<double> t, cpu;
        auto cpuNow = [] {
            timespec ts;
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
            return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
        };
        for (int i = 0; i < reps; ++i) {
            const double c0 = cpuNow();
            if (run.Opt.Profile == "save") {
                t.push_back(Timed([] { return SaveRetainFile() == 1; }));
            } else if (run.Opt.Profile == "firstsave") {
                // What a save of a new run does beyond a warm one: it checks
                // the layout record on disk first.
                ResetLayoutRecordForTest();
                t.push_back(Timed([] { return SaveRetainFile() == 1; }));
            } else if (run.Opt.Profile == "prepare") {
                // What the service does after READY to ready the first save,
                // as this process's state has it (the record remembered).
                t.push_back(Timed([] {
                    PrepareFirstSave();
                    return true;
                }));
            } else if (run.Opt.Profile == "load") {
                t.push_back(Timed([] { return LoadRetainFile() == 1; }));
            } else if (run.Opt.Profile == "check") {
                // The start-up check of a file of this layout, as the
                // startup_check row times it.
                ResetRetainStateForTest();
                ResetLayoutRecordForTest();
                t.push_back(Timed([] {
                    CheckRetainFile();
                    return GetRetainFilePath()[0] != '\0';
                }));
            } else if (run.Opt.Profile == "walk") {
                // What any walk over the records costs at the least: the
                // type and index of each, nothing else.
                t.push_back(Timed([] {
                    const NodeRecord* records = NodeTable();
                    const int32_t n = NodeCount();
                    uint64_t sum = 0;
                    for (int32_t k = 0; k < n; ++k) {
                        if (k + 8 < n) __builtin_prefetch(&records[k + 8].Type);
                        uint32_t index;
                        std::memcpy(&index, &records[k].Index, sizeof index);
                        sum += records[k].Type + index;
                    }
                    return sum != 0;
                }));
            } else if (run.Opt.Profile == "hash") {
                ResetRetainStateForTest();
                t.push_back(Timed([] { return ComputeLayoutHash() != 0; }));
                BuildRetainFilePaths();
            } else {
                Usage("--profile takes save, firstsave, prepare, load, check, hash, migrate, firstrun or walk");
            }
            cpu.push_back(cpuNow() - c0);
        }
        std::printf("   %s: median %s, fastest %s of %d; CPU time median %s\n", run.Opt.Profile.c_str(),
                    FormatValue(Median(t), "s").c_str(), FormatValue(Quantile(t, 0), "s").c_str(), reps,
                    FormatValue(Median(cpu), "s").c_str());
        return true;
    }

    // Save and load beside the one-call limits, taken in turns so that drift
    // of the machine touches both alike.
    std::vector<double> save, writeLimit, load, readLimit, readStore, checkSave, checkLoad, checkWrite, checkCrc;
    std::vector<double> saveFloor, loadFloor;
    std::vector<uint8_t> readBuf(bytes.size()), walked(bytes.size());
    // Where the second half of the values starts, for the walk in halves.
    const bool halves = count >= kHalvesFrom;
    size_t halfOffset = 0;
    for (int32_t k = 0; k < count / 2; ++k) halfOffset += NodeSpaceValueSize(&table[k]);
    // The least the library's interface asks of a save's walk: a Size by
    // name and a read by index a node, into the file's bytes.
    const auto readHalf = [&](int32_t from, int32_t to, size_t at) {
        for (int32_t k = from; k < to; ++k) {
            if (k + 8 < to) __builtin_prefetch(&table[k + 8].Type);
            uint16_t size = 0;
            if (NodeGetAttribute(table[k].Name, "Size", &size, sizeof size) != 0 || size == 0) continue;
            if (at + size > walked.size()) return;
            NodeReadData(table[k].Index, walked.data() + at, size);
            at += size;
        }
    };
    std::string retainName;
    PDir* retainDir = PDirOpenParent(retainPath.c_str(), &retainName);
    if (!retainDir) {
        std::fprintf(stderr, "bench: cannot open the retain directory\n");
        return false;
    }
    // One read() and the least storing of the values the library allows:
    // one write by index per node, the sizes taken from the records, or
    // asked by name as the interface has it.
    // asInterface: each value also through a buffer of its own and by the
    // operation its type calls for (a text by name), as a load must.
    const auto readAndStore = [&](bool sizeByName, bool asInterface = false) {
        int fd = ::open(retainPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        ssize_t got = ::read(fd, readBuf.data(), readBuf.size());
        ::close(fd);
        if (got != static_cast<ssize_t>(readBuf.size())) return false;
        const uint8_t* p = readBuf.data() + 4;
        for (int32_t k = 0; k < count; ++k) {
            // The records ahead on their way, as the load's own walk does.
            if (k + 8 < count) __builtin_prefetch(&table[k + 8].Type);
            uint16_t size = 0;
            if (!sizeByName)
                size = NodeSpaceValueSize(&table[k]);
            else if (NodeGetAttribute(table[k].Name, "Size", &size, sizeof size) != 0)
                size = 0;
            if (size == 0) continue;
            if (p + size > readBuf.data() + readBuf.size()) break;
            if (asInterface)
                LoadNodeSlot(table[k], p, size);
            else
                NodeWriteData(table[k].Index, p, size);
            p += size;
        }
        return true;
    };
    for (int i = 0; i < reps; ++i) {
        double s = Timed([] { return SaveRetainFile() == 1; });
        double w = TimeWriteLimit(run.OutDir, bytes);
        double l = Timed([] { return LoadRetainFile() == 1; });
        double r = TimeReadLimit(retainPath, readBuf);
        double rs = Timed([&] { return readAndStore(false); });
        // The save's floor through the interface: the walk above, on two
        // threads as a save walks a large table, then write_limit's
        // durable write of the bytes (this round's w).
        double sw = Timed([&] {
            if (!halves) {
                readHalf(0, count, 0);
                return true;
            }
            std::thread second(readHalf, count / 2, count, halfOffset);
            readHalf(0, count / 2, 0);
            second.join();
            return true;
        });
        // The load's: read_store_limit with each Size asked by name, and
        // each value stored through a buffer of its own by its type's
        // operation, as the interface has it (a load stores on one thread:
        // see NOTES.md).
        double ls = Timed([&] { return readAndStore(true, true); });
        // What the check record adds to a save: the CRC-32C of each slot as
        // it is written, and the record's durable replacement; and to a
        // load: the CRC-32C of each chunk as it is read, and the record's
        // read. The save and load rows above include it.
        uint32_t sink = 0;
        double crcTime = Timed([&] {
            // As a save takes it: the slots are gathered 64 KiB at a time on
            // their way to the file, check record or not; the CRC of each
            // 64 KiB is what the record adds.
            uint32_t crc = 0;
            for (size_t at = 0; at < bytes.size(); at += size_t{1} << 16)
                crc = Crc32c(crc, bytes.data() + at, std::min(bytes.size() - at, size_t{1} << 16));
            sink ^= crc;
            return true;
        });
        double wc = TimeWriteLimitWithCheck(run.OutDir, bytes);
        double cs = crcTime < 0 || wc < 0 ? -1 : crcTime + std::max(0.0, wc - w);
        checkWrite.push_back(wc);
        checkCrc.push_back(crcTime);
        double cl = Timed([&] {
            uint32_t crc = 0;
            for (size_t at = 0; at < bytes.size(); at += size_t{1} << 20)
                crc = Crc32c(crc, bytes.data() + at, std::min(bytes.size() - at, size_t{1} << 20));
            sink ^= crc;
            std::vector<CheckEntry> entries;
            bool missing = false;
            std::string why;
            ReadCheckRecord(retainDir, &entries, &missing, &why);
            return true;
        });
        if (sink == 0x5A5A5A5A) std::printf(" ");
        checkSave.push_back(cs);
        checkLoad.push_back(cl);
        if (s < 0 || w < 0 || l < 0 || r < 0 || rs < 0 || cs < 0 || cl < 0 || sw < 0 || ls < 0) {
            std::fprintf(stderr, "bench: save/load round %d failed\n", i);
            return false;
        }
        save.push_back(s);
        writeLimit.push_back(w);
        load.push_back(l);
        readLimit.push_back(r);
        readStore.push_back(rs);
        saveFloor.push_back(sw + w);
        loadFloor.push_back(ls);
    }
    const bool big = n >= 1000000;
    run.Results.push_back(Compare("save", n, save, "write_limit", writeLimit, big ? 2 : 0));
    run.Results.back().Note = "one write() + fsync + rename + directory fsync of the same bytes";
    run.Results.push_back(Compare("load", n, load, "read_store_limit", readStore, big ? 1.5 : 0));
    run.Results.back().Note = "one read() of the file + NodeWriteData per node";
    run.Results.push_back(Compare("load", n, load, "read_limit", readLimit, 0));
    run.Results.back().Note = "one read() of the file alone";
    run.Results.push_back(Compare("save_interface_floor", n, saveFloor, "write_limit", writeLimit, 0));
    run.Results.back().Note =
        "a Size by name and a NodeReadData a node (two threads from 16,384 nodes, as the save) + write_limit";
    run.Results.push_back(Compare("save", n, save, "save_interface_floor", saveFloor, 0));
    run.Results.back().Note = "the save beside the least its walk through the library's interface costs";
    run.Results.push_back(Compare("load_interface_floor", n, loadFloor, "read_store_limit", readStore, 0));
    run.Results.back().Note =
        "read_store_limit with each node's Size asked by name and each value stored through a buffer of its own by "
        "its type's operation (a text by name), as the interface has it";
    run.Results.push_back(Compare("load", n, load, "load_interface_floor", loadFloor, 0));
    run.Results.back().Note = "the load beside the least its walk through the library's interface costs";
    run.Results.push_back(Compare("save_check_share", n, checkSave, "save", save, big ? 0.10 : 0));
    run.Results.back().Note =
        "the check record's part of a save: CRC-32C per 64 KiB of slots + what staging, syncing and renaming it adds "
        "to write_limit";
    run.Results.push_back(Compare("save_check_crc", n, checkCrc, "save", save, 0));
    run.Results.back().Note = "the CRC-32C alone, 64 KiB of slots at a time as the save hands them to the file";
    run.Results.push_back(Compare("write_limit_with_check", n, checkWrite, "write_limit", writeLimit, 0));
    run.Results.back().Note = "the one-write() limit with a check record staged, synced and renamed beside it";
    run.Results.push_back(Compare("load_check_share", n, checkLoad, "load", load, big ? 0.10 : 0));
    run.Results.back().Note = "the check record's part of a load: CRC-32C per 1 MiB read + its read";
    PDirRemove(retainDir, "OvRetain.check.bench");
    PDirClose(retainDir);
    run.SaveMedian = Median(save);
    run.WriteLimit = writeLimit;
    run.Load = load;
    if (!MeasureMigration(run, save)) {
        std::fprintf(stderr, "bench: migration failed\n");
        return false;
    }
    // The start-up check of a file of this layout, as every start makes it:
    // the layout hash folded anew, the file's header, check record and
    // layout record read and compared with the node table.
    {
        std::vector<double> check = Series(reps, [] {
            ResetRetainStateForTest();
            ResetLayoutRecordForTest();
            return Timed([] {
                CheckRetainFile();
                return GetRetainFilePath()[0] != '\0';
            });
        });
        LoadRetainFile();  // the file is the node space's again, as after AutoLoad
        run.Results.push_back(Row("startup_check", n, check));
        run.Results.back().Note = "CheckRetainFile of a file of this layout: hash fold, check and layout record";
    }

    // The same in a tmpfs directory, where fsync costs nothing: what the
    // save costs beyond the storage.
    if (!run.Opt.MemDir.empty()) {
        // The tmpfs directory is the drive root meanwhile.
        setenv("OVRT_DRIVES", run.Opt.MemDir.c_str(), 1);
        std::string memDir = run.Opt.MemDir + "/C/n" + std::to_string(n);
        ::mkdir(run.Opt.MemDir.c_str(), 0750);
        ::mkdir((run.Opt.MemDir + "/C").c_str(), 0750);
        ::mkdir(memDir.c_str(), 0750);
        std::vector<double> memSave, memLimit;
        if (UseOutDir(memDir) && SaveRetainFile() == 1) {
            for (int i = 0; i < reps; ++i) {
                memSave.push_back(Timed([] { return SaveRetainFile() == 1; }));
                memLimit.push_back(TimeWriteLimit(memDir, bytes));
            }
            run.Results.push_back(Compare("save_tmpfs", n, memSave, "write_limit_tmpfs", memLimit, 0));
            run.Results.back().Note = "both in a tmpfs directory: the cost beyond the storage device";
        }
        ::unlink((memDir + "/OvRetain.bin").c_str());
        ::unlink((memDir + "/limit.bin").c_str());
        ::rmdir(memDir.c_str());
        setenv("OVRT_DRIVES", run.Opt.Dir.c_str(), 1);
        if (!UseOutDir(run.OutDir)) return false;
    }
    std::printf("   save %s (limit %s), load %s (limit %s + store %s)\n", FormatValue(Median(save), "s").c_str(),
                FormatValue(Median(writeLimit), "s").c_str(), FormatValue(Median(load), "s").c_str(),
                FormatValue(Median(readLimit), "s").c_str(), FormatValue(Median(readStore), "s").c_str());
    std::fflush(stdout);

    // The load at start-up: a process of its own attaches the node space
    // cold, claims it, runs the start-up check and loads the file. This
    // process holds the claim of its retain directory, so the child gets a
    // copy of the directory's files to claim and check, as the service would.
    {
        // Beside it, a name of the same length: OutPath's node holds no more.
        const std::string autoDir = run.Opt.Dir + "/C/a" + std::to_string(n);
        std::error_code ec;
        std::filesystem::remove_all(autoDir, ec);
        std::filesystem::create_directories(autoDir, ec);
        for (const auto& f : std::filesystem::directory_iterator(run.OutDir, ec))
            if (f.is_regular_file() && f.path().filename() != "OvRetain.lock")
                std::filesystem::copy_file(f.path(), std::filesystem::path(autoDir) / f.path().filename(), ec);
        // Set before each child: its load puts back the OutPath the file was
        // saved with, this process's own directory.
        std::vector<double> cold = Series(reps, [&] {
            if (NodeWriteStringByName("SERVICE.OvRetain.OutPath", OutPathOf(autoDir).c_str()) != 0) {
                std::fprintf(stderr, "bench: OutPath %s cannot be set\n", autoDir.c_str());
                return -1.0;
            }
            return TimeAutoload(run.Opt.Self, run.Space);
        });
        NodeWriteStringByName("SERVICE.OvRetain.OutPath", OutPathOf(run.OutDir).c_str());
        std::filesystem::remove_all(autoDir, ec);
        // The node space holds this process's file's values again.
        LoadRetainFile();
        if (static_cast<int>(cold.size()) == reps) {
            run.Results.push_back(Compare("autoload", n, cold, "load", run.Load, 0));
            run.Results.back().Note = "a new process: attach, claim, start-up check, then LoadRetainFile, timed";
        } else {
            std::fprintf(stderr, "bench: the start-up load failed\n");
        }
    }

    // The hash fold, uncached, beside OpenSSL's MD5 over the same names.
    std::vector<const char*> names;
    for (int32_t i = 0; i < count; ++i) names.push_back(table[i].Name);
    std::vector<double> fold, md5;
    uint32_t ours = 0, theirs = 0;
    for (int i = 0; i < reps; ++i) {
        ResetRetainStateForTest();
        double t = Now();
        ours = ComputeLayoutHash();
        fold.push_back(Now() - t);
        BuildRetainFilePaths();  // the reset forgot them
        if (Md5Available()) md5.push_back(TimeMd5Fold(names, &theirs));
    }
    if (Md5Available()) {
        run.Results.push_back(Compare("layout_hash", n, fold, "openssl_md5", md5, 1.25));
        if (ours != theirs) {
            std::fprintf(stderr, "bench: layout hash %08x differs from the OpenSSL fold %08x\n", ours, theirs);
            run.Results.back().Note = "hash differs from the OpenSSL fold";
        }
    } else {
        run.Results.push_back(Row("layout_hash", n, fold));
    }

    // Completion of a node name: one `ovnode list --prefix P --names`, the
    // tool's start included, as a TAB runs it.
    {
        char exe[4096] = {};
        const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
        std::string tool = len > 0 ? std::string(exe, static_cast<size_t>(len)) : std::string();
        tool = tool.substr(0, tool.rfind('/') + 1) + "ovnode";
        const std::string command = tool + " --space " + run.Space + " list --prefix AREA00.LINE01. --names";
        size_t lines = 0;
        std::vector<double> complete = Series(run.Reps, [&] {
            return Timed([&] {
                FILE* pipe = popen(command.c_str(), "r");
                if (!pipe) return false;
                char line[600];
                lines = 0;
                while (std::fgets(line, sizeof line, pipe)) ++lines;
                return pclose(pipe) == 0;
            });
        });
        run.Results.push_back(Row("name_completion_prefix", n, complete));
        run.Results.back().Note =
            "ovnode list --prefix AREA00.LINE01. --names, process start included; " + std::to_string(lines) + " names";
    }

    // A writer of the node space while saves run, and while nothing runs.
    {
        Writer writer;
        uint32_t target = table[count / 2].Index;
        writer.Start(target);
        std::vector<double> during;
        for (int i = 0; i < reps; ++i) {
            writer.Samples.clear();
            writer.Phase.store(1);
            uint8_t ok = SaveRetainFile();
            writer.Phase.store(0);
            if (!ok) break;
            ::usleep(200);  // the writer sees the phase change
            for (float f : writer.Samples) during.push_back(f * 1e-9);
        }
        writer.Samples.clear();
        writer.Phase.store(1);
        ::usleep(static_cast<useconds_t>(std::max(0.01, run.SaveMedian) * 1e6 * reps));
        writer.Phase.store(0);
        ::usleep(200);
        std::vector<double> idle;
        for (float f : writer.Samples) idle.push_back(f * 1e-9);
        writer.Stop();
        Result r = Row("writer_wait_during_save", n, during);
        r.P99 = Quantile(during, 0.99);
        r.Target = 1e-3;
        r.Runs = reps;
        r.Note = std::to_string(during.size()) + " writes of one node while " + std::to_string(reps) + " saves ran";
        run.Results.push_back(r);
        Result q = Row("writer_wait_idle", n, idle);
        q.P99 = Quantile(idle, 0.99);
        q.Runs = 1;
        q.Note = std::to_string(idle.size()) + " writes with no save running";
        run.Results.push_back(q);
    }

    // What marking a node as written adds to a value write. Two sets of
    // four-byte plant nodes, one node in each 64-node word of the written
    // set, the words alternating between the sets, at most 256 a set from
    // the middle of the table: every write of the first sets its word's bit
    // and the word's summary bit, as the first write of a node after the
    // journal's take does; the bits of the second are set already, which
    // leaves one load and a branch of the mark. Before each timing both sets
    // are written, the bits taken, the second written again and both read,
    // so that their values are in the cache alike; the order alternates.
    // What is left is the mark's own cost with the caches warm: at 1M nodes
    // a write of a node whose lines are not cached costs a microsecond or
    // more, which would drown it.
    {
        constexpr size_t kSetSize = 256;
        std::vector<uint32_t> marking, marked, taken;
        int64_t lastWord = -1;
        for (int32_t k = std::max(0, count / 2 - static_cast<int32_t>(kSetSize) * 64); k < count; ++k) {
            const int64_t word = (static_cast<int64_t>(table[k].Index) - 1) / 64;
            if (table[k].Type != 7 || word == lastWord || !IsPlantNode(table[k])) continue;
            lastWord = word;
            (word % 2 == 0 ? marking : marked).push_back(table[k].Index);
            if (marking.size() >= kSetSize && marked.size() >= kSetSize) break;
        }
        const size_t size = std::min({marking.size(), marked.size(), kSetSize});
        marking.resize(size);
        marked.resize(size);
        const int rounds = std::max(reps, static_cast<int>(200000 / std::max<size_t>(size, 1)));
        uint32_t value = 0;
        auto perWrite = [&](const std::vector<uint32_t>& set) {
            const double t = Now();
            for (uint32_t index : set) NodeWriteData(index, &++value, 4);
            return (Now() - t) / static_cast<double>(set.size());
        };
        std::vector<double> first, again, extra;
        for (int i = 0; i < rounds && size > 0; ++i) {
            perWrite(marking);
            perWrite(marked);
            taken.clear();
            NodeTakeWritten(&taken);
            perWrite(marked);
            uint32_t sink = 0;
            for (size_t k = 0; k < size; ++k) {
                NodeReadValue(marking[k], &sink, 4);
                NodeReadValue(marked[k], &sink, 4);
            }
            double f, a;
            if (i % 2) {
                f = perWrite(marking);
                a = perWrite(marked);
            } else {
                a = perWrite(marked);
                f = perWrite(marking);
            }
            first.push_back(f);
            again.push_back(a);
            extra.push_back(f - a);
        }
        NodeTakeWritten(&taken);  // nothing is left marked for the rows that follow
        if (!first.empty()) {
            Result m = Compare("node_write_marking", n, first, "node_write_marked_already", again, 0);
            m.Runs = static_cast<int>(first.size());
            m.Note = "NodeWriteData of a 4-byte node whose written bit is clear, per write; " + std::to_string(size) +
                     " nodes a round, one per bitmap word";
            run.Results.push_back(m);
            Result d = Row("node_write_mark_cost", n, extra);
            d.Target = 20e-9;
            d.Note =
                "node_write_marking minus node_write_marked_already, round by round: what setting the bits adds to a "
                "write";
            run.Results.push_back(d);
        }
    }

    // One poll of the Trig thread with autosave on and nothing changed since
    // the last save, the period passed: Run, Live, the two triggers and the
    // autosave's checks (the AutoSave node, the clock, the change mark).
    {
        SetAutoSave(100);
        PublishTable(TriggerTable);  // where the service would put them: after the plant
        TriggerWatcher* saveWatch = CreateTriggerWatcher(TriggerTable[SAVE_ROW].Index);
        TriggerWatcher* loadWatch = CreateTriggerWatcher(TriggerTable[LOAD_ROW].Index);
        if (SaveRetainFile() != 1) return false;
        ::usleep(150000);  // the period has passed
        uint64_t mark = 0, savedBefore = 0, savedAfter = 0;
        LastSuccessfulSave(&mark, &savedBefore);
        std::vector<double> polls;
        constexpr int kPolls = 2000;
        for (int i = 0; i < reps; ++i) {
            double t = Now();
            for (int k = 0; k < kPolls; ++k) {
                if (GetRun() == 0) continue;
                IncrementLive();
                TriggerChanged(saveWatch);
                TriggerChanged(loadWatch);
                AutoSavePoll();
            }
            polls.push_back((Now() - t) / kPolls);
        }
        LastSuccessfulSave(&mark, &savedAfter);
        FreeTriggerWatcher(saveWatch);
        FreeTriggerWatcher(loadWatch);
        SetAutoSave(0);
        Result r = Row("idle_poll_autosave", n, polls);
        r.Target = 5e-6;
        r.Note = savedAfter == savedBefore ? "one running poll with AutoSave on and nothing changed"
                                           : "INVALID: an autosave ran during the polls";
        run.Results.push_back(r);
    }

    // The journal's part of a poll with the journal on, its period passed
    // and no node written since the last append: the Journal node read by
    // name, the clock, the retain-file lock and the take of the written set
    // (a pass over its summary words). Back to back, as idle_poll_autosave
    // is taken, JournalPoll's steps (JournalPoll itself returns early within
    // its period); then JournalPoll itself a period apart, as the service
    // calls it, with what caches that leaves.
    {
        SetJournal(kJournalPeriodMs);
        if (SaveRetainFile() != 1) return false;  // starts a journal for the file
        char journalPath[kRetainPathSize + 48];
        if (!RetainSiblingPath("OvRetain.journal", journalPath, sizeof journalPath)) return false;
        std::vector<uint32_t> taken;
        NodeTakeWritten(&taken);
        const double before = FileLength(journalPath);
        std::vector<double> hot, cold;
        constexpr int kPolls = 2000;
        // Its period passed and nothing written since its last take: every
        // call goes as far as an idle poll of the service does.
        ::usleep((kJournalPeriodMs + 2) * 1000);
        JournalPoll();
        for (int i = 0; i < reps; ++i) {
            const double t = Now();
            for (int k = 0; k < kPolls; ++k) JournalPoll();
            hot.push_back((Now() - t) / kPolls);
        }
        // What a first touch of the node space costs after such a pause:
        // one load of its write generation.
        std::vector<double> firstTouch;
        // The take of the written set alone, after the same pause, in turns.
        std::vector<double> coldTake;
        for (int i = 0; i < std::max(reps, 5); ++i) {
            ::usleep((kJournalPeriodMs + 2) * 1000);
            double t = Now();
            JournalPoll();
            cold.push_back(Now() - t);
            ::usleep((kJournalPeriodMs + 2) * 1000);
            t = Now();
            NodeTakeWritten(&taken);
            coldTake.push_back(Now() - t);
            ::usleep((kJournalPeriodMs + 2) * 1000);
            t = Now();
            NodeWriteGeneration();
            firstTouch.push_back(Now() - t);
        }
        const double after = FileLength(journalPath);
        const bool awaits = RetainFileAwaitsLoad();
        SetJournal(0);
        std::string invalid;
        if (before < 0)
            invalid = "INVALID: the save started no journal";
        else if (awaits)
            invalid = "INVALID: the retain file awaits its load, the poll stops there";
        else if (after != before)
            invalid = "INVALID: the journal was appended to";
        Result r = Row("idle_poll_journal", n, hot);
        r.Target = 5e-6;
        r.Note = !invalid.empty() ? invalid
                                  : "JournalPoll with Journal " + std::to_string(kJournalPeriodMs) +
                                        ", its period passed and nothing written since its last take, back to back";
        run.Results.push_back(r);
        Result c = Row("idle_poll_journal_cold", n, cold);
        c.Note = !invalid.empty() ? invalid
                                  : "JournalPoll itself, called a period apart as the service calls it; slowest " +
                                        FormatValue(Quantile(cold, 1), "s") + "; the take alone after the same pause " +
                                        FormatValue(Median(coldTake), "s") +
                                        "; one load of the node space's write generation after the same pause " +
                                        FormatValue(Median(firstTouch), "s");
        run.Results.push_back(c);
    }

    // The same name and value pairs for the peers.
    std::vector<Pair> pairs;
    {
        const uint8_t* p = bytes.data() + 4;
        for (int32_t i = 0; i < count; ++i) {
            uint16_t size = NodeSpaceValueSize(&table[i]);
            if (size == 0) continue;
            pairs.push_back({table[i].Name, p, size});
            p += size;
        }
    }

    if (run.Opt.Sqlite && SqliteAvailable()) {
        Sqlite* db = SqliteOpen(run.OutDir + "/vars.sqlite");
        if (db && SqliteSave(db, pairs) >= 0) {  // the first save inserts; the timed ones replace
            std::vector<uint8_t> out(bytes.size() * 2);
            size_t rows = 0;
            std::vector<double> s = Series(reps, [&] { return SqliteSave(db, pairs); });
            std::vector<double> l = Series(reps, [&] { return SqliteLoad(db, out, &rows); });
            if (rows != pairs.size()) std::fprintf(stderr, "bench: sqlite read %zu rows of %zu\n", rows, pairs.size());
            run.Results.push_back(Compare("save", n, save, "sqlite_save", s, 0.1));
            run.Results.back().Note = "one transaction, WAL, synchronous=FULL";
            run.Results.push_back(Compare("load", n, load, "sqlite_load", l, 0.1));
            run.Results.back().Note = "SELECT of every row, values copied out";
        }
        SqliteClose(db);
    }

    if (run.Opt.Lmdb && LmdbAvailable()) {
        // One put per node in one write transaction, committed durably; the
        // read-back walks every pair in a read transaction.
        Lmdb* db = LmdbOpen(run.OutDir + "/lmdb", pairs);
        if (db && LmdbSave(db, pairs) >= 0) {  // the first save inserts; the timed ones replace
            std::vector<uint8_t> out(bytes.size() * 2);
            size_t rows = 0;
            std::vector<double> s = Series(reps, [&] { return LmdbSave(db, pairs); });
            std::vector<double> l = Series(reps, [&] { return LmdbLoad(db, out, &rows); });
            if (rows != pairs.size()) std::fprintf(stderr, "bench: lmdb read %zu rows of %zu\n", rows, pairs.size());
            if (!s.empty() && !l.empty()) {
                run.Results.push_back(Compare("save", n, save, "lmdb_save", s, 0));
                run.Results.back().Note = "one put per node in one write transaction, durable commit";
                run.Results.push_back(Compare("load", n, load, "lmdb_load", l, 0));
                run.Results.back().Note = "a read transaction's cursor over every pair, values copied out";
            }
        }
        LmdbClose(db);
        std::error_code ec;
        std::filesystem::remove_all(run.OutDir + "/lmdb", ec);
    } else if (run.Opt.Lmdb && n == run.Opt.Sizes.front()) {
        std::printf("   LMDB peer skipped: the benchmark was built without liblmdb\n");
    }

    if (!run.Opt.RedisServer.empty()) {
        Redis redis;
        redis.Server = run.Opt.RedisServer;
        redis.Dir = run.OutDir + "/redis";
        redis.Port = run.Opt.RedisPort;
        ::mkdir(redis.Dir.c_str(), 0750);
        ::unlink((redis.Dir + "/dump.rdb").c_str());
        bool ok = RedisStart(&redis) >= 0 && RedisFill(&redis, pairs);
        std::vector<double> s, l;
        if (ok) s = Series(reps, [&] { return RedisSave(&redis); });
        if (ok && !s.empty()) {
            l = Series(reps, [&] {
                RedisStop(&redis);
                double t = RedisStart(&redis);
                if (t >= 0 && RedisDbSize(&redis) != static_cast<long>(pairs.size())) {
                    std::fprintf(stderr, "bench: redis restarted without all keys\n");
                    return -1.0;
                }
                return t;
            });
        }
        RedisStop(&redis);
        if (!s.empty() && !l.empty()) {
            run.Results.push_back(Compare("save", n, save, "redis_save", s, 0.1));
            run.Results.back().Note = "SAVE of the same keys and values";
            run.Results.push_back(Compare("load", n, load, "redis_restart", l, 0.1));
            run.Results.back().Note = "redis-server exec until it answers PING with the keys loaded";
        } else {
            std::fprintf(stderr, "bench: redis measurements failed; see %s/redis.log\n", redis.Dir.c_str());
        }
    }

    if (!run.Opt.Ovretain.empty()) {
        // The service claims its retain directory for as long as it runs, as
        // this process has claimed OutDir: it gets one of its own.
        const std::string svcDir = run.OutDir + "/svc";
        ::mkdir(svcDir.c_str(), 0750);
        if (!UseOutDir(svcDir)) return false;
        uint32_t live = NodeSpaceFind("SERVICE.OvRetain.Live");
        if (live == 0) {
            std::fprintf(stderr, "bench: no Live node\n");
            return false;
        }
        // Exec to the first Live tick. A first, unmeasured start lets the
        // service publish its triggers and settle the retain file.
        std::vector<double> startup;
        for (int i = 0; i <= reps; ++i) {
            uint32_t zero = 0;
            NodeWriteValue(live, &zero, 4);
            Service svc;
            double t = Now();
            if (!SpawnService(run.Opt, run.Space, svcDir, &svc)) return false;
            bool ticked = false;
            while (Now() - t < 60 && ServiceAlive(&svc)) {
                if (ReadU32(live) != 0) {
                    ticked = true;
                    break;
                }
                ::usleep(100);
            }
            double dt = Now() - t;
            StopService(&svc);
            if (!ticked) {
                std::fprintf(stderr, "bench: ovretain never ticked Live (see %s/ovretain.log)\n", svcDir.c_str());
                return false;
            }
            if (i > 0) startup.push_back(dt);
        }
        run.Results.push_back(Row("service_startup_to_first_live", n, startup));
        run.Results.back().Note =
            "exec of ovretain until Live changes; includes its 100 ms pause and first 100 ms poll";

        std::vector<double> firstSave, renamedAt, durableAt;
        for (int i = 0; i < reps; ++i) {
            double renamed = -1, durable = -1;
            double t = TimeFirstSave(run.Opt, run.Space, svcDir, &renamed, &durable);
            if (t < 0) {
                std::fprintf(stderr, "bench: the shutdown save failed (see %s/ovretain.log)\n", svcDir.c_str());
                return false;
            }
            firstSave.push_back(t);
            renamedAt.push_back(renamed);
            if (durable >= 0) durableAt.push_back(durable);
        }
        // A shutdown event to the durable file: the end of the shutdown save
        // (its directory fsync done), as the service's status record gives
        // it. The process's end after that is the kernel unmapping the node
        // space, shown on its own row.
        const std::string renamedNote = "the new file was in place after " + FormatValue(Median(renamedAt), "s");
        if (durableAt.size() == firstSave.size()) {
            run.Results.push_back(
                Compare("first_save_of_run", n, durableAt, "write_limit", run.WriteLimit, big ? 2 : 0));
            run.Results.back().Note =
                "SIGTERM to a fresh ovretain until its shutdown save is durable (directory fsync "
                "done), from the service's status record; " +
                renamedNote;
            run.Results.push_back(Compare("first_save_of_run_to_exit", n, firstSave, "write_limit", run.WriteLimit, 0));
            run.Results.back().Note =
                "the same runs to the process's end: after the save, the kernel unmaps the node space";
        } else {
            run.Results.push_back(
                Compare("first_save_of_run", n, firstSave, "write_limit", run.WriteLimit, big ? 2 : 0));
            run.Results.back().Note =
                "SIGTERM to a fresh ovretain until it has saved and ended (no status record "
                "gave the save's end); " +
                renamedNote;
        }

        // The same event as soon as Live counts: start-up is done, and what
        // it left for later (the first save's preparation) may still run.
        // The save must not wait for that longer than a warm save takes.
        std::vector<double> rightAfter, rightAfterRenamed;
        for (int i = 0; i < reps; ++i) {
            double renamed = -1, durable = -1;
            if (TimeFirstSave(run.Opt, run.Space, svcDir, &renamed, &durable, 0) < 0 || durable < 0) {
                std::fprintf(stderr, "bench: the shutdown save right after start failed (see %s/ovretain.log)\n",
                             svcDir.c_str());
                return false;
            }
            rightAfter.push_back(durable);
            rightAfterRenamed.push_back(renamed);
        }
        run.Results.push_back(Compare("first_save_right_after_start", n, rightAfter, "save", save, big ? 2 : 0));
        run.Results.back().Note =
            "SIGTERM to a fresh ovretain as soon as Live counts, until its shutdown save is "
            "durable; the new file was in place after " +
            FormatValue(Median(rightAfterRenamed), "s");

        // Trigger latency and private memory on one running service.
        uint32_t saveIdx = NodeSpaceFind("SERVICE.OvRetain.Save");
        uint32_t countIdx = NodeSpaceFind("SERVICE.OvRetain.SaveCount");
        Service svc;
        uint32_t zero = 0;
        NodeWriteValue(live, &zero, 4);
        if (saveIdx == 0 || countIdx == 0 || !SpawnService(run.Opt, run.Space, svcDir, &svc)) return false;
        double t = Now();
        while (Now() - t < 60 && ServiceAlive(&svc) && ReadU32(live) == 0) ::usleep(1000);
        std::vector<double> trig;
        double peak = 0;
        for (int i = 0; i < reps + 3 && ServiceAlive(&svc); ++i) {
            // The last three rounds sample the memory while the save runs,
            // apart from the timed rounds.
            bool sample = i >= reps;
            // A client writes at any moment of the 100 ms poll, not just
            // after the service has finished one.
            ::usleep(static_cast<useconds_t>(std::rand() % 100000));
            uint32_t before = ReadU32(countIdx);
            uint32_t one = 1;
            NodeWriteValue(saveIdx, &one, 4);
            double t0 = Now();
            bool seen = false;
            while (Now() - t0 < 60) {
                if (ReadU32(countIdx) != before) {
                    seen = true;
                    break;
                }
                if (sample) peak = std::max(peak, PrivateBytes(svc.Pid));
                ::usleep(sample ? 1000 : 100);
            }
            double dt = Now() - t0;
            if (!seen) {
                std::fprintf(stderr, "bench: SaveCount did not change after Save\n");
                break;
            }
            if (!sample) trig.push_back(dt);
        }
        double idle = ServiceAlive(&svc) ? PrivateBytes(svc.Pid) : -1;

        // AutoSave = 1000 while a client changes 1 % of the nodes every
        // second: the service's CPU share and the bytes it writes per hour.
        double autosavePerHour = -1, autosaveShare = -1;
        auto changeOnePercent = [&](int second, uint32_t* value) {
            for (size_t k = second % 100; k < plant.size(); k += 100) NodeWriteData(plant[k], &++*value, 4);
        };
        if (ServiceAlive(&svc)) {
            const double seconds = big ? 30 : 6;
            SetAutoSave(1000);
            double cpu0 = CpuSeconds(svc.Pid), io0 = WriteBytes(svc.Pid), t0 = Now();
            uint32_t value = 0;
            for (int second = 0; Now() - t0 < seconds; ++second) {
                changeOnePercent(second, &value);
                double next = t0 + second + 1;
                if (next > Now()) ::usleep(static_cast<useconds_t>((next - Now()) * 1e6));
            }
            double wall = Now() - t0;
            double cpu = CpuSeconds(svc.Pid) - cpu0, io = WriteBytes(svc.Pid) - io0;
            SetAutoSave(0);
            if (ServiceAlive(&svc) && cpu0 >= 0 && io0 >= 0) {
                Result c;
                c.Name = "autosave_cpu_share";
                c.Nodes = n;
                c.Unit = "share";
                c.Median = cpu / wall;
                autosaveShare = c.Median;
                c.Runs = 1;
                c.Note = "AutoSave 1000, 1 % of the nodes changed every second, " + std::to_string(int(wall)) + " s";
                run.Results.push_back(c);
                Result w;
                w.Name = "autosave_bytes_per_hour";
                w.Nodes = n;
                w.Unit = "bytes";
                w.Median = io / wall * 3600;
                autosavePerHour = w.Median;
                w.Runs = 1;
                w.Note = "write_bytes of the service, same run; one file is " + std::to_string(bytes.size()) + " bytes";
                run.Results.push_back(w);
            }
        }

        // The same with Journal = 100 (AutoSave off). First, with nothing
        // changing, what the journal writes on its own; then the client
        // changes 1 % of the nodes every second, from just after a journal
        // save until the next journal save has ended: one whole cycle of
        // appends and the save that folds them in, at most --journal-window
        // seconds.
        if (ServiceAlive(&svc)) {
            const std::string journalPath = svcDir + "/OvRetain.journal";
            const double saves0 = JournalSaves(run.Space);
            uint32_t value = 0;
            SetJournal(kJournalPeriodMs);
            // The first append finds no journal and asks for the save that starts one.
            changeOnePercent(0, &value);
            double t0 = Now();
            while (Now() - t0 < 60 && ServiceAlive(&svc) && JournalSaves(run.Space) <= saves0) ::usleep(10000);
            const double idleSeconds = big ? 10 : 1;
            const double idleIo0 = WriteBytes(svc.Pid), idleLen0 = FileLength(journalPath), idleT0 = Now();
            ::usleep(static_cast<useconds_t>(idleSeconds * 1e6));
            const double idleIo = WriteBytes(svc.Pid) - idleIo0, idleGrowth = FileLength(journalPath) - idleLen0;
            const double idleWall = Now() - idleT0;

            double appends0 = 0, appends1 = 0;
            const double saves1 = JournalSaves(run.Space, &appends0);
            const double cpu0 = CpuSeconds(svc.Pid), io0 = WriteBytes(svc.Pid);
            t0 = Now();
            bool folded = false;
            for (int second = 1; !folded && Now() - t0 < run.Opt.JournalWindow && ServiceAlive(&svc); ++second) {
                changeOnePercent(second, &value);
                const double next = t0 + second;
                while (!folded && Now() < next) {
                    folded = JournalSaves(run.Space) > saves1;
                    ::usleep(10000);
                }
            }
            const double wall = Now() - t0;
            const double cpu = CpuSeconds(svc.Pid) - cpu0, io = WriteBytes(svc.Pid) - io0;
            const double saves = JournalSaves(run.Space, &appends1) - saves1;
            SetJournal(0);
            if (ServiceAlive(&svc) && saves0 >= 0 && cpu0 >= 0 && io0 >= 0) {
                const std::string period = "Journal " + std::to_string(kJournalPeriodMs);
                Result idle;
                idle.Name = "journal_idle_bytes_per_hour";
                idle.Nodes = n;
                idle.Unit = "bytes";
                idle.Median = idleIo / idleWall * 3600;
                idle.Runs = 1;
                idle.Note = period + ", no client write for " + std::to_string(int(idleWall)) +
                            " s; the journal grew by " + std::to_string(static_cast<long>(idleGrowth)) + " bytes";
                run.Results.push_back(idle);
                Result c;
                c.Name = "journal_cpu_share";
                c.Nodes = n;
                c.Unit = "share";
                c.Median = cpu / wall;
                c.Runs = 1;
                c.Target = big ? 0.03 : 0;
                c.Note = period + ", 1 % of the nodes changed every second, " + std::to_string(int(wall)) + " s";
                if (autosaveShare >= 0) c.Note += "; autosave_cpu_share " + FormatValue(autosaveShare, "share");
                run.Results.push_back(c);
                Result w;
                w.Name = "journal_bytes_per_hour";
                w.Nodes = n;
                w.Unit = "bytes";
                w.Median = io / wall * 3600;
                w.Runs = 1;
                if (autosavePerHour > 0) {
                    w.Baseline = "autosave_bytes_per_hour";
                    w.BaselineMedian = autosavePerHour;
                    w.Target = big ? 0.10 : 0;
                }
                w.Note = "write_bytes of the service over " + std::to_string(int(wall)) +
                         " s: " + std::to_string(static_cast<long>(appends1 - appends0)) + " appends and " +
                         std::to_string(static_cast<long>(saves)) + " journal save(s)" +
                         (folded ? " (one cycle of appends and its fold)"
                                 : ": the window ended before a journal save, whose bytes are left out");
                run.Results.push_back(w);
            }
        }
        StopService(&svc);
        if (!trig.empty()) {
            run.Results.push_back(Row("trigger_save_to_savecount", n, trig));
            run.Results.back().Note = "client writes Save until SaveCount changes; includes up to one 100 ms poll";
        }
        if (idle >= 0) {
            Result m;
            m.Name = "service_private_memory";
            m.Nodes = n;
            m.Unit = "bytes";
            m.Median = std::max(idle, peak);
            m.Runs = 1;
            m.Target = n >= 10000000 ? 32.0 * 1024 * 1024 : big ? 16.0 * 1024 * 1024 : 0;
            char note[160];
            std::snprintf(note, sizeof note,
                          "largest of idle (%.2f MiB) and samples during 3 saves (%.2f MiB); shared segments excluded",
                          idle / (1024 * 1024), peak / (1024 * 1024));
            m.Note = note;
            run.Results.push_back(m);
        }
    }
    return true;
}

// ------------------------------------------------------------ cost per node

// The operations whose cost per node is to stay within 1.3x of its cost at
// 1M nodes, with the row (and baseline) each is taken from.
struct PerNodeOp {
    const char* Row;
    const char* Baseline;  // the row's baseline that tells it apart, or ""
    const char* Label;
};
constexpr PerNodeOp kPerNodeOps[] = {
    {"save", "write_limit", "save"},        {"load", "read_store_limit", "load"},
    {"startup_check", "", "startup_check"}, {"migration_1pct", "", "migration_1pct"},
    {"autoload", "", "autoload"},           {"load_layout", "", "load_layout"},
    {"write_limit", "", "write_limit"},
};

const Result* FindRow(const std::vector<Result>& results, const char* name, const char* baseline, uint32_t n) {
    for (const Result& r : results)
        if (r.Name == name && r.Nodes == n && (baseline[0] == '\0' || r.Baseline == baseline)) return &r;
    return nullptr;
}

// The median of an operation at n nodes (write_limit: the save row's
// baseline), or -1.
double OpMedian(const std::vector<Result>& results, const PerNodeOp& op, uint32_t n) {
    if (std::strcmp(op.Row, "write_limit") == 0) {
        const Result* r = FindRow(results, "save", "write_limit", n);
        return r ? r->BaselineMedian : -1;
    }
    const Result* r = FindRow(results, op.Row, op.Baseline, n);
    return r ? r->Median : -1;
}

// Rows "<op>_per_node": the cost per node at each size, against the cost
// per node at 1M nodes (target 1.3x for the four operations the service
// makes; the one-write() limit beside them as the floor that fixed costs set).
std::vector<Result> PerNodeTable(const std::vector<Result>& results) {
    std::vector<uint32_t> sizes;
    for (const Result& r : results)
        if (std::find(sizes.begin(), sizes.end(), r.Nodes) == sizes.end()) sizes.push_back(r.Nodes);
    std::sort(sizes.begin(), sizes.end());
    std::vector<Result> rows;
    for (const PerNodeOp& op : kPerNodeOps) {
        const double at1M = OpMedian(results, op, 1000000);
        for (uint32_t n : sizes) {
            const double m = OpMedian(results, op, n);
            if (m < 0) continue;
            Result r;
            r.Name = std::string(op.Label) + "_per_node";
            r.Nodes = n;
            r.Median = m / n;
            r.Runs = 1;
            if (at1M > 0 && n != 1000000) {
                r.Baseline = std::string(op.Label) + "_per_node@1000000";
                r.BaselineMedian = at1M / 1e6;
                const bool target = std::strcmp(op.Row, "save") == 0 || std::strcmp(op.Row, "load") == 0 ||
                                    std::strcmp(op.Row, "startup_check") == 0 ||
                                    std::strcmp(op.Row, "migration_1pct") == 0;
                r.Target = target ? 1.3 : 0;
            }
            rows.push_back(r);
        }
    }
    return rows;
}

// The per-node rows as one table: an operation a line, a size a column.
std::string PerNodeMarkdown(const std::vector<Result>& perNode, const std::vector<Result>& results) {
    std::vector<uint32_t> sizes;
    for (const Result& r : perNode)
        if (std::find(sizes.begin(), sizes.end(), r.Nodes) == sizes.end()) sizes.push_back(r.Nodes);
    if (sizes.empty()) return "";
    std::sort(sizes.begin(), sizes.end());
    std::string md =
        "\n### Cost per node\n\nMedian a node at each size, and its ratio to the cost a node at 1M nodes "
        "(target within 1.3x for save, load, start-up check and migration).\n\n| Operation |";
    for (uint32_t n : sizes) md += " " + std::to_string(n) + " |";
    md += "\n|---|";
    for (size_t i = 0; i < sizes.size(); ++i) md += "---:|";
    md += "\n";
    for (const PerNodeOp& op : kPerNodeOps) {
        const std::string name = std::string(op.Label) + "_per_node";
        std::string line = "| " + std::string(op.Label) + " |";
        bool any = false;
        for (uint32_t n : sizes) {
            const Result* r = FindRow(perNode, name.c_str(), "", n);
            if (!r) {
                line += " |";
                continue;
            }
            any = true;
            line += " " + FormatValue(r->Median, "s");
            if (r->BaselineMedian > 0) {
                char ratio[48];
                std::snprintf(ratio, sizeof ratio, " (%.2fx%s)", r->Ratio(),
                              r->HasTarget() && !r->Met() ? ", **over**" : "");
                line += ratio;
            }
            line += " |";
        }
        if (any) md += line + "\n";
    }
    // Absolute figures beside them.
    for (const char* absolute : {"service_private_memory"}) {
        std::string line = "| " + std::string(absolute) + " |";
        bool any = false;
        for (uint32_t n : sizes) {
            const Result* r = FindRow(results, absolute, "", n);
            line += r ? " " + FormatValue(r->Median, r->Unit) + " |" : " |";
            any |= r != nullptr;
        }
        if (any) md += line + "\n";
    }
    md += "\n![Cost per node against nodes, log-log](scaling.svg)\n";
    return md;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--autoload-child") == 0) return AutoloadChild(argv[2]);
    Options opt = ParseOptions(argc, argv);
    // --dir is the drive root of every retain directory (--mem-dir while the
    // tmpfs save is measured): a directory of the benchmark's own, so that
    // the service's checks of the directories above it never reach the
    // checkout's path.
    ::mkdir(opt.Dir.c_str(), 0750);
    char real[PATH_MAX];
    if (!::realpath(opt.Dir.c_str(), real)) Usage("--dir cannot be made");
    opt.Dir = real;
    setenv("OVRT_DRIVES", opt.Dir.c_str(), 1);
    ::mkdir((opt.Dir + "/C").c_str(), 0750);
    char self[4096];
    ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    opt.Self = len > 0 ? std::string(self, static_cast<size_t>(len)) : argv[0];
    std::vector<Result> results;
    std::map<uint32_t, double> saveBySize;
    bool ok = true;
    // The service's own nodes and the benchmark's settings beside the plant.
    constexpr uint32_t kOwnNodes = 64;
    for (uint32_t n : opt.Sizes) {
        if (static_cast<uint64_t>(n) + kOwnNodes > kNodeSpaceCapacityMax) {
            std::printf("== %u nodes: skipped: a node space holds at most %u nodes\n", n, kNodeSpaceCapacityMax);
            std::fflush(stdout);
            continue;
        }
        // Each node space of this size, made here or by the tools and the
        // service started from here, gets room for it.
        setenv("OVNODE_CAPACITY", std::to_string(std::max<uint32_t>(n + kOwnNodes, 1u << 21)).c_str(), 1);
        SizeRun run{opt, n, RepsFor(opt, n), SpaceName(n), opt.Dir + "/C/n" + std::to_string(n), results, 0, {}, {}};
        ::mkdir(run.OutDir.c_str(), 0750);
        // Creating the node space from a layout file, before this size's own
        // node space exists (at 10M nodes each takes gigabytes).
        const std::string ovnode = opt.Self.substr(0, opt.Self.rfind('/') + 1) + "ovnode";
        if (opt.Profile.empty() && ::access(ovnode.c_str(), X_OK) == 0) {
            const std::string csv = run.OutDir + "/layout.csv";
            if (WriteLayoutCsv(csv, n)) {
                std::vector<double> t =
                    Series(n >= 1000000 ? 1 : 3, [&] { return TimeLoadLayout(ovnode, csv, run.Space + "-layout"); });
                struct stat st {};
                ::stat(csv.c_str(), &st);
                if (!t.empty()) {
                    results.push_back(Row("load_layout", n, t));
                    results.back().Note =
                        "ovnode load-layout of the plant into a new node space, exec to exit; the "
                        "CSV is " +
                        FormatValue(static_cast<double>(st.st_size), "bytes");
                } else {
                    std::fprintf(stderr, "bench: ovnode load-layout of %u nodes failed\n", n);
                }
            }
            ::unlink(csv.c_str());
        }
        bool done = MeasureSize(run);
        if (done) saveBySize[n] = run.SaveMedian;
        NodeSpaceDetach();
        DestroySpace(run.Space);
        if (!done) {
            ok = false;
            break;
        }
    }
    const std::vector<Result> perNode = PerNodeTable(results);
    if (opt.Profile.empty() && saveBySize.count(100000) && saveBySize.count(1000000)) {
        Result r;
        r.Name = "save_scaling";
        r.Nodes = 1000000;
        r.Median = saveBySize[1000000];
        r.Runs = RepsFor(opt, 1000000);
        r.Baseline = "save@100000";
        r.BaselineMedian = saveBySize[100000];
        r.Target = 11;
        results.push_back(r);
    }
    if (!opt.Profile.empty()) return ok ? 0 : 1;

    std::string machine = Machine();
    std::string md = ResultsMarkdown(results) + PerNodeMarkdown(perNode, results);
    std::printf("\nMachine: %s\n\n%s", machine.c_str(), md.c_str());
    if (!opt.Markdown.empty()) {
        std::ofstream(opt.Markdown) << md;
    }
    if (!opt.Json.empty()) {
        std::vector<Result> all = results;
        all.insert(all.end(), perNode.begin(), perNode.end());
        std::ofstream(opt.Json) << ResultsJson(all, machine);
    }
    return ok ? 0 : 1;
}
