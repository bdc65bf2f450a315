// service_e2e.h - a running ovretain in a node space and drive directory of
// its own, for the end-to-end tests of the service and its threads.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "nodespace/nodespace_admin.h"
#include "rtkernel/rtadmin.h"
#include "support/test_support.h"

namespace svctest {

using namespace std::chrono_literals;

inline std::string Full(const std::string& name) {
    return "SERVICE.OvRetain." + name;
}

struct LogLine {
    std::string Level;
    std::string Text;
    bool operator==(const LogLine&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << line.Level << " " << line.Text;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        UseSpace(space_.Name());
        // ovnode, run from here, judges the retain file by the service's drive root.
        setenv("OVRT_DRIVES", drives_.Path().c_str(), 1);
    }
    // A reboot: the node space destroyed and attached again, empty, for its
    // layout to be built anew.
    void DestroyAndAttachAgain() {
        NodeSpaceDetach();
        Ovnode({"destroy"});
        RtSelectInstance(active_ + "-gone");  // lets go of the removed kernel instance
        UseSpace(active_);
    }
    // Makes the test and the services it starts from now on use node space
    // (and kernel instance) `name`.
    void UseSpace(const std::string& name) {
        active_ = name;
        std::string error;
        ASSERT_TRUE(NodeSpaceAttach(name, true, &error)) << error;
        RtSelectInstance(name);
    }
    void TearDown() override {
        unsetenv("OVRT_DRIVES");
        service_.reset();
        NodeSpaceDetach();
    }

    ovtest::Env Environment() const {
        ovtest::Env env = extraEnv_;
        env["OVNODE_SPACE"] = active_;
        env["OVRT_DRIVES"] = drives_.Path();
        return env;
    }
    void Start() { service_ = std::make_unique<ovtest::Child>(std::vector<std::string>{OVRETAIN_BIN}, Environment()); }
    pid_t Pid() const { return service_->Pid(); }

    // Priority of the thread catalogued as name by the service; -1 if none.
    int ThreadPriority(const std::string& name) const {
        for (const RtCatalogEntry& e : RtReadCatalog())
            if (e.Pid == Pid() && !e.Process.empty() && e.Name == name && e.Kind == "thread") return e.Priority;
        return -1;
    }
    bool Catalogued(const std::string& name, const std::string& kind) const {
        for (const RtCatalogEntry& e : RtReadCatalog())
            if (e.Pid == Pid() && !e.Process.empty() && e.Name == name && e.Kind == kind) return true;
        return false;
    }
    // Start-up has catalogued every thread of the service.
    bool Started() const {
        return RtFindProcess("OvRetain") == Pid() && ThreadPriority("Main") >= 0 && ThreadPriority("Notify") >= 0 &&
               ThreadPriority("Trig") >= 0;
    }
    // Catalogued, and past start-up (the check done, the Trig thread
    // polling): a shutdown sent earlier ends it without a save.
    void StartAndWait() {
        Start();
        ASSERT_TRUE(ovtest::WaitUntil([&] {
            return Started() && service_->Output().find("INF ovretain: Service ready:") != std::string::npos;
        })) << service_->Output();
    }

    std::string Get(const std::string& name) const { return ovtest::OvnodeGet(active_, Full(name)); }
    bool WaitFor(const std::string& name, const std::string& value, std::chrono::milliseconds deadline = 10s) const {
        return ovtest::WaitUntil([&] { return Get(name) == value; }, deadline);
    }
    void Create(const std::string& name, const std::string& type, const std::string& value) {
        auto made = ovtest::Ovnode(active_, {"create", Full(name), type});
        ASSERT_EQ(made.Status, 0) << made.Err;
        Set(name, value);
    }
    void Set(const std::string& name, const std::string& value) {
        auto set = ovtest::Ovnode(active_, {"set", Full(name), value});
        ASSERT_EQ(set.Status, 0) << set.Err;
    }
    void Ovnode(const std::vector<std::string>& args) {
        auto r = ovtest::Ovnode(active_, args);
        ASSERT_EQ(r.Status, 0) << r.Err;
    }
    void SendControl(uint32_t event) {
        std::string error;
        ASSERT_TRUE(NodeSpaceSendControl(Pid(), event, &error)) << error;
    }

    // The service's log lines: "<time> <level> ovretain: <text>".
    std::vector<LogLine> Log() const {
        std::vector<LogLine> out;
        std::istringstream in(service_->Output());
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string time, level, program;
            fields >> time >> level >> program;
            if (program != "ovretain:") continue;
            out.push_back({level, line.substr(std::min(line.size(), static_cast<size_t>(fields.tellg()) + 1))});
        }
        return out;
    }
    // Only the "DBG" lines of received events (not the start-up line that
    // names the retain file).
    std::vector<LogLine> EventLog() const {
        std::vector<LogLine> out;
        for (const LogLine& l : Log())
            if (l.Level == "DBG" && l.Text.rfind("Retain file ", 0) != 0) out.push_back(l);
        return out;
    }
    size_t Count(const LogLine& wanted) const {
        size_t n = 0;
        for (const LogLine& l : Log()) n += l == wanted;
        return n;
    }
    bool WaitForLog(const LogLine& wanted, size_t times = 1) const {
        return ovtest::WaitUntil([&] { return Count(wanted) >= times; });
    }

    // Stops the service with `ovnode service stop`; its exit status.
    int Stop() {
        auto r = ovtest::Ovnode(active_, {"service", "stop"});
        EXPECT_EQ(r.Status, 0) << r.Err;
        return service_->Wait();
    }

    // The retain file under the default OutPath "C:\Orvale\".
    std::string RetainFile() const { return drives_.Path() + "/C/Orvale/OvRetain.bin"; }
    std::string BackupFile() const { return drives_.Path() + "/C/Orvale/OvRetain.$$$"; }

    // Where node `name`'s slot starts in a retain file of the node table as
    // it is now (4 for the header, then each node's Size in table order); -1
    // when there is no such node.
    static long SlotOffset(const std::string& name) {
        long offset = 4;
        for (int32_t i = 0; i < NodeCount(); ++i) {
            const NodeRecord* r = &NodeTable()[i];
            if (name == r->Name) return offset;
            offset += NodeSpaceValueSize(r);
        }
        return -1;
    }
    // Two plant nodes, a counter and a text, created before the service starts
    // so that they stand first in the node table.
    void CreatePlant() {
        Ovnode({"create", "Plant.Speed", "7"});
        Ovnode({"set", "Plant.Speed", "1234"});
        Ovnode({"create", "Plant.Name", "12", "16"});
        Ovnode({"set", "Plant.Name", "pump"});
    }
    std::string Plant(const std::string& name) const { return ovtest::OvnodeGet(active_, "Plant." + name); }
    // The length of a retain file of the whole node table.
    static size_t RetainFileLength() {
        size_t length = 4;
        for (int32_t i = 0; i < NodeCount(); ++i) length += NodeSpaceValueSize(&NodeTable()[i]);
        return length;
    }
    // The 32-bit little-endian number in a retain file's slot of a type-7 node.
    static uint32_t SlotValue(const std::string& file, const std::string& name) {
        long at = SlotOffset(name);
        if (at < 0 || file.size() < static_cast<size_t>(at) + 4) return 0xDEADDEAD;
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(file[at + i]);
        return v;
    }

    ovtest::ScopedSpace space_;
    std::string active_;
    ovtest::TempDir drives_;
    std::unique_ptr<ovtest::Child> service_;
    ovtest::Env extraEnv_;  // more environment for the services started
};

// `ovnode metrics` parsed back: each sample's name with its labels, and its
// value. Every sample must follow its family's HELP and TYPE lines.
inline std::map<std::string, double> ParseMetrics(const std::string& text) {
    std::map<std::string, double> samples;
    std::set<std::string> help, type;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first, name;
        words >> first;
        if (first == "#") {
            std::string keyword;
            words >> keyword >> name;
            EXPECT_EQ(name.rfind("ovretain_", 0), 0u) << line;
            (keyword == "HELP" ? help : type).insert(name);
            if (keyword == "TYPE") {
                std::string kind;
                words >> kind;
                EXPECT_TRUE(kind == "gauge" || kind == "counter") << line;
            }
            continue;
        }
        const size_t space = line.rfind(' ');
        EXPECT_NE(space, std::string::npos) << line;
        if (space == std::string::npos) continue;
        const std::string sample = line.substr(0, space);
        const std::string family = sample.substr(0, sample.find('{'));
        EXPECT_TRUE(help.count(family) && type.count(family)) << "no HELP or TYPE before " << line;
        size_t used = 0;
        samples[sample] = std::stod(line.substr(space + 1), &used);
        EXPECT_EQ(space + 1 + used, line.size()) << line;
    }
    return samples;
}

inline const LogLine kStopLine{"DBG", "EM_SERVICE_STOP recieved."};
inline const LogLine kRunLine{"DBG", "EM_SERVICE_RUN recieved."};
inline const LogLine kPauseLine{"DBG", "EM_SERVICE_PAUSE recieved."};
inline const LogLine kNotifyLine{"DBG", "NotifyEvent recieved."};

}  // namespace svctest
