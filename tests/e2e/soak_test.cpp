// Soak: the real ovretain under three client processes for a set time (two
// writing Save and Load as fast as they can, a third changing plant values).
// The service stays up, its private memory does not grow, every retain file
// that a counted save put in place is complete, no save fails, and it stops
// cleanly at the end. OVRT_SOAK_SECONDS sets the time (default 3;
// scripts/soak.sh runs a minute).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "e2e/service_e2e.h"

namespace svctest {
namespace {

using Clock = std::chrono::steady_clock;

int Seconds() {
    const char* v = std::getenv("OVRT_SOAK_SECONDS");
    int n = v ? std::atoi(v) : 0;
    return n > 0 ? n : 3;
}

// Anonymous resident memory of a process (heap, stacks), in kB; -1 if gone.
long PrivateKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long kb = -1;
    while (in >> key) {
        if (key == "RssAnon:") {
            in >> kb;
            break;
        }
        in.ignore(4096, '\n');
    }
    return kb;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own bookkeeping (quarantine, shadow) grows by design; there
// LeakSanitizer at the service's exit stands for the memory check.
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif

class SoakTest : public ServiceTest {
protected:
    ~SoakTest() override {
        for (pid_t pid : clients_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // A client process that runs `body` over and over until `until`. Forked
    // while this process has no other thread, so it inherits the node space
    // attachment and nothing half-locked.
    template <typename Body>
    void Client(Clock::time_point until, Body body) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (uint32_t n = 1; Clock::now() < until; ++n) body(n);
            _exit(0);
        }
        clients_.push_back(pid);
    }
    // Waits for every client to end; true when all exited with status 0.
    bool ClientsEnd() {
        bool ok = true;
        for (pid_t pid : clients_) {
            int status = -1;
            bool ended = ovtest::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30s);
            ok = ok && ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        clients_.clear();
        return ok;
    }
    static void Write(const std::string& name, const void* value, uint16_t size) {
        NodeWriteByName(name.c_str(), value, size);
    }
    uint32_t Number(const std::string& name) const {
        std::string v = Get(name);
        return v.empty() ? 0 : static_cast<uint32_t>(std::stoul(v));
    }

    std::vector<pid_t> clients_;
};

TEST_F(SoakTest, ClientsHammeringSaveAndLoadWhileValuesChange) {
    Ovnode({"create", "Soak.Counter", "7"});
    Ovnode({"create", "Soak.Text", "12", "64"});
    Ovnode({"create", "Soak.Block", "13", "60000"});  // a leaked value buffer would show at once
    StartAndWait();
    const pid_t pid = Pid();

    // A first save fixes the header word that every later file must carry.
    Set("Save", "1");
    ASSERT_TRUE(WaitFor("SaveCount", "1")) << service_->Output();
    const size_t length = RetainFileLength();
    const std::string header = ovtest::ReadFile(RetainFile()).substr(0, 4);
    ASSERT_EQ(header.size(), 4u);

    const auto start = Clock::now();
    const auto until = start + std::chrono::seconds(Seconds());
    const std::string save = Full("Save"), load = Full("Load");
    Client(until, [&](uint32_t) {
        const uint32_t one = 1;
        Write(save, &one, 4);
    });
    Client(until, [&](uint32_t) {
        const uint32_t one = 1;
        Write(load, &one, 4);
    });
    Client(until, [&](uint32_t n) {
        Write("Soak.Counter", &n, 4);
        std::string text = "value " + std::to_string(n);
        NodeWriteStringByName("Soak.Text", text.c_str());
        uint8_t bytes[64];
        std::memset(bytes, static_cast<int>(n), sizeof bytes);
        NodeWriteRange(NodeSpaceFind("Soak.Block"), (n * 64) % (60000 - 64), bytes, sizeof bytes);
    });
    ASSERT_FALSE(HasFatalFailure());

    // Meanwhile: the service stays up, and every retain file in place is
    // complete. The memory is taken once the first quarter has passed (the
    // heap has settled by then) and again at the end.
    long settledKb = -1, lastKb = -1;
    size_t looks = 0;
    const auto settle = start + (until - start) / 4;
    while (Clock::now() < until) {
        ASSERT_TRUE(service_->Running()) << service_->Output();
        std::string file = ovtest::ReadFile(RetainFile());
        ASSERT_EQ(file.size(), length);
        ASSERT_EQ(file.substr(0, 4), header);
        ++looks;
        if (settledKb < 0 && Clock::now() >= settle) settledKb = PrivateKb(pid);
        std::this_thread::sleep_for(5ms);  // pacing of the watch, not a wait for an outcome
    }
    lastKb = PrivateKb(pid);
    ASSERT_TRUE(ClientsEnd());

    // A last save after the clients have gone: SaveCount then shows the
    // true count (loads put older counts back into the node meanwhile).
    const uint32_t loads = Number("LoadCount");
    Set("Save", "1");
    ASSERT_TRUE(ovtest::WaitUntil([&] { return Get("Save") == "0" && Number("SaveCount") >= 2; }));
    const uint32_t saves = Number("SaveCount");
    std::printf("%d s: %u saves, loads up to %u, %zu looks at the file, anonymous memory %ld kB -> %ld kB\n", Seconds(),
                saves, loads, looks, settledKb, lastKb);
    RecordProperty("Saves", static_cast<int>(saves));
    RecordProperty("PrivateKbSettled", static_cast<int>(settledKb));
    RecordProperty("PrivateKbEnd", static_cast<int>(lastKb));
    if (kMeasureMemory) {
        ASSERT_GT(settledKb, 0);
        // A page or two of allocator slack; one leaked 60000-byte buffer a
        // save would be megabytes.
        EXPECT_LE(lastKb, settledKb + 16) << "private memory grew";
    }

    // No save failed, and the stop is clean (with LeakSanitizer's check of
    // the exit under AddressSanitizer).
    for (const LogLine& line : Log()) EXPECT_NE(line.Level, "ERR") << line;
    EXPECT_EQ(Stop(), 0) << service_->Output();
    const std::string last = ovtest::ReadFile(RetainFile());
    EXPECT_EQ(last.size(), length);
    EXPECT_EQ(last.substr(0, 4), header);
}

}  // namespace
}  // namespace svctest
