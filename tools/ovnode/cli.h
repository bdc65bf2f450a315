// cli.h - the ovnode command line: parsing it and running one command.
//
// RunOvnode is what main() calls; tests and fuzzers call it (or
// ParseCommandLine alone) directly. It writes results to `out` and a single
// line naming the problem to `err`, and returns the exit status:
//   0  success;
//   1  failure: the command was well formed but could not be carried out
//      (unknown node, node exists, node space missing, unreadable or
//      malformed layout file, no such process or service, a retain file
//      without a usable layout record); for retain-diff also: the files
//      differ;
//   2  usage error: the command line itself is wrong (unknown command or
//      option, missing or extra arguments, a type, size or value the node
//      cannot take, a name too long).
// A failing command changes nothing. Called from one thread at a time: it
// attaches the process to the node space it names.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "nodespace/ovhgapi.h"

namespace ovnode {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kDefaultSpace = "ovnodespace";
constexpr const char* kDefaultProcess = "OvRetain";
// The service's executable, by its file name: the only program that service
// and notify send to.
constexpr const char* kServiceProgram = "ovretain";
// Bounds of --capacity, those of the node space.
constexpr uint32_t kCapacityMin = kNodeSpaceCapacityMin;
constexpr uint32_t kCapacityMax = kNodeSpaceCapacityMax;

struct Invocation {
    std::string Command;            // "" with Help: the tool's own help
    std::vector<std::string> Args;  // positional arguments after the command
    std::string Space;              // node space and kernel instance
    bool Help = false;
    bool Version = false;              // --version: the version line alone
    bool PrintNames = false;           // --print-names: the list of public names (not in the help)
    bool Json = false;                 // --json where a command takes it
    bool Escaped = false;              // set --escaped: VALUE in the form get prints
    bool Force = false;                // destroy --force
    std::string To = kDefaultProcess;  // service/notify --to
    bool ToGiven = false;              // --to was on the command line
    bool Wait = false;                 // save, load, service stop --wait
    double Timeout = 60;               // --timeout S, seconds, with --wait
    bool Check = false;                // retain-dump --check
    bool Journal = false;              // retain-dump --journal
    bool DryRun = false;               // retain-restore, archive restore --dry-run
    bool All = false;                  // archive list --all
    std::string From;                  // archive --from PREFIX
    std::vector<std::string> Layouts;  // retain-dump, -restore, -diff --layout RECORD (repeatable)
    std::string Prefix;                // list --prefix P: only names that start with P
    bool Names = false;                // list --names: the names alone, one a line
    uint32_t Capacity = 0;             // create, load-layout --capacity N: nodes of a node space they make
    bool Progress = false;             // load-layout --progress
};

// Parses args (without the program name). envSpace is OVNODE_SPACE, or
// empty when unset. `--space NAME` / `--space=NAME` may stand anywhere; "--"
// ends the options, so values that look like options can be given after it.
// Numbers such as "-5" are arguments, not options. Returns false with the
// reason when the line is not a valid use of the tool.
bool ParseCommandLine(const std::vector<std::string>& args, const std::string& envSpace, Invocation* inv,
                      std::string* error);

// Help text of the tool (command "") or of one command.
std::string HelpText(const std::string& command);

int RunOvnode(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace ovnode
