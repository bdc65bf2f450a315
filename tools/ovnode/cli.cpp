#include "ovnode/cli.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <ostream>

#include "common/shm_segment.h"
#include "ovnode/commands.h"
#include "ovnode/shown_text.h"
#include "service/public_names.h"
#include "version/version.h"

namespace ovnode {
namespace {

struct CommandShape {
    size_t MinArgs;
    size_t MaxArgs;
    bool TakesJson;
    bool TakesTo;
    int (*Run)(const Invocation&, std::ostream&, std::ostream&);
};

const std::map<std::string, CommandShape>& Commands() {
    static const std::map<std::string, CommandShape> commands = {
        {"create", {2, 3, false, false, CommandCreate}},
        {"set", {2, 2, false, false, CommandSet}},
        {"get", {1, SIZE_MAX, false, false, CommandGet}},
        {"list", {0, 0, true, false, CommandList}},
        {"load-layout", {1, 1, false, false, CommandLoadLayout}},
        {"service", {1, 1, false, true, CommandService}},
        {"notify", {1, 1, false, true, CommandNotify}},
        {"catalog", {0, 0, false, false, CommandCatalog}},
        {"destroy", {0, 0, false, false, CommandDestroy}},
        {"retain-dump", {1, 1, false, false, CommandRetainDump}},
        {"status", {0, 0, true, false, CommandStatus}},
        {"metrics", {0, 0, false, false, CommandMetrics}},
        {"save", {0, 0, false, false, CommandSave}},
        {"load", {0, 0, false, false, CommandLoad}},
        {"retain-restore", {1, 1, false, false, CommandRetainRestore}},
        {"retain-diff", {2, 2, true, false, CommandRetainDiff}},
        {"archive", {1, 3, true, false, CommandArchive}},
    };
    return commands;
}

// Options that only some commands take, beside the shapes' --json and --to.
bool TakesOption(const std::string& command, const std::string& option) {
    static const std::map<std::string, std::string> options = {
        {"--json", " get catalog retain-dump retain-restore load-layout save load "},
        {"--escaped", " set "},
        {"--wait", " save load service "},
        {"--timeout", " save load service "},
        {"--check", " retain-dump "},
        {"--journal", " retain-dump "},
        {"--layout", " retain-dump retain-restore retain-diff "},
        {"--prefix", " list "},
        {"--names", " list "},
        {"--capacity", " create load-layout "},
        {"--progress", " load-layout "},
    };
    auto it = options.find(option);
    return it != options.end() && it->second.find(" " + command + " ") != std::string::npos;
}

bool ParseTimeout(const std::string& text, double* seconds) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || !end || *end != '\0' || !(value > 0) || value > 86400) return false;
    *seconds = value;
    return true;
}

// A node space's capacity: a decimal number of nodes within the bounds.
bool ParseCapacity(const std::string& text, uint32_t* capacity) {
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || v > kCapacityMax) return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (text.empty() || v < kCapacityMin || v > kCapacityMax) return false;
    *capacity = static_cast<uint32_t>(v);
    return true;
}

bool IsOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

const char kToolHelp[] =
    "usage: ovnode [--space NAME] COMMAND [ARGS]\n"
    "\n"
    "The command-line window on the node space.\n"
    "\n"
    "Commands:\n"
    "  create NAME TYPE [SIZE] [--capacity N]\n"
    "                            create one node\n"
    "  set NAME VALUE [--escaped]\n"
    "                            write a node's value (--escaped: as get prints it)\n"
    "  get NAME... [--json]      print nodes' values\n"
    "  list [--prefix P] [--json | --names]\n"
    "                            every node (or those whose name starts with P)\n"
    "  load-layout FILE [--capacity N] [--progress] [--json]\n"
    "                            create the nodes of a CSV layout file\n"
    "  service run|pause|stop [--to NAME] [--wait [--timeout S]]\n"
    "                            send a control event to a registered service\n"
    "  notify CODE [--to NAME]   deliver a kernel system event to a process\n"
    "  catalog [--json]          show the root catalogue\n"
    "  destroy [--force]         remove the node space and its kernel instance\n"
    "  retain-dump FILE [--check | --journal] [--json] [--layout RECORD]\n"
    "                            show a retain file against the current layout\n"
    "  status [--json]           the service's state, last saves and loads, retain file\n"
    "  metrics                   the same in Prometheus' text format\n"
    "  save [--wait [--timeout S] [--json]]\n"
    "                            write the Save trigger (and wait for the save)\n"
    "  load [--wait [--timeout S] [--json]]\n"
    "                            write the Load trigger (and wait for the load)\n"
    "  retain-restore FILE [--dry-run] [--layout RECORD] [--json]\n"
    "                            write a retain file's values into the nodes by name\n"
    "  retain-diff FILE1 FILE2 [--layout RECORD]... [--json]\n"
    "                            compare two retain files by name (exit 0/1/2)\n"
    "  archive list [--json | --all] | pull SET DIR | verify |\n"
    "          restore [SET|latest] [--from PREFIX] [--dry-run]\n"
    "                            the sets ovretain-archive keeps in the object store\n"
    "\n"
    "Options:\n"
    "  --space NAME   node space to use (default: $OVNODE_SPACE, else ovnodespace)\n"
    "  --help         this text; 'ovnode COMMAND --help' describes one command\n"
    "  --version      the version of ovnode\n"
    "  --             end of options (for values that start with '-')\n"
    "\n"
    "Exit status: 0 success, 1 failure (nothing changed), 2 usage error.\n";

const std::map<std::string, std::string>& CommandHelp() {
    static const std::map<std::string, std::string> help = {
        {"create",
         "usage: ovnode create NAME TYPE [SIZE]\n"
         "\n"
         "Creates node NAME (1 to 561 bytes) of type code TYPE (0 to 65535) at value zero.\n"
         "Types 1 and 3 have 1 byte, 4 and 5 two, 6 and 7 four, 2 none; SIZE may be\n"
         "left out for them. Type 12 is text of SIZE bytes with its terminating zero\n"
         "(default 80). Type 13 (a byte range) and other codes need SIZE (0 to 65535).\n"
         "Creates the node space when it does not exist, with room for N nodes\n"
         "(--capacity, 64 to 16777216; default $OVNODE_CAPACITY, else 2097152): a node\n"
         "space keeps the capacity it was made with. Fails when the node exists.\n"},
        {"set",
         "usage: ovnode set NAME VALUE [--escaped]\n"
         "\n"
         "Writes VALUE into node NAME, in the form its type takes:\n"
         "  1, 3, 5, 7   unsigned decimal, or 0x hex\n"
         "  4, 6         signed decimal, or 0x hex read as the value's bit pattern\n"
         "               (0xFFFF is -1 for type 4)\n"
         "  12           text of at most SIZE - 1 bytes\n"
         "  13, others   hex bytes, two digits each, byte 0 first, at most SIZE bytes;\n"
         "               a shorter value is padded with zero bytes\n"
         "A value out of range for the type is refused and nothing is written.\n"
         "Put '--' before a VALUE that starts with '-' and is not a number.\n"
         "With --escaped, VALUE is read in the form get and list print: \\\\ is a\n"
         "backslash, \\n a newline, \\t a TAB, \\xNN the byte NN and \\uXXXX that\n"
         "character in UTF-8; any other backslash is refused. So\n"
         "  ovnode set --escaped B \"$(ovnode get A)\"\n"
         "gives B the very bytes of A. Without it, VALUE is taken as it stands.\n"},
        {"get",
         "usage: ovnode get NAME... [--json]\n"
         "\n"
         "Prints the value of node NAME alone on one line, as 'list' shows it (hex\n"
         "bytes in lower case; a text with backslashes, controls and bytes that\n"
         "are not UTF-8 escaped, which 'set --escaped' reads back); with --json, an\n"
         "object with the keys index, name, type, size and value as 'list --json'\n"
         "gives them. Of several names, one line each: the name, a TAB and the\n"
         "value (both escaped, so neither holds a TAB), or with --json an array of\n"
         "those objects. A name that is not a node is named on stderr, the others\n"
         "are still printed, and the status is 1. Never creates the node space.\n"},
        {"list",
         "usage: ovnode list [--prefix P] [--json | --names]\n"
         "\n"
         "Prints every node in table order: index, name, type code, size and value,\n"
         "as an aligned table or, with --json, as a JSON array of objects with the\n"
         "keys index, name, type, size and value (a number for numeric types, a\n"
         "string otherwise). Names and values are escaped as 'get' prints them\n"
         "(see set --escaped). With --prefix P, only the nodes whose name starts with\n"
         "P; with --names, their names alone, one a line (read from the node table,\n"
         "no value is read: what completion asks). Never creates the node space.\n"},
        {"load-layout",
         "usage: ovnode load-layout FILE [--capacity N] [--progress] [--json]\n"
         "\n"
         "Reads the CSV file FILE (RFC 4180 quoting) whose header is\n"
         "  name,type,size,value\n"
         "and creates each node that does not exist yet, setting its value when one\n"
         "is given. Nodes that exist are left as they are. size may be empty where\n"
         "'create' may leave SIZE out; value may be empty. Blank lines are skipped.\n"
         "The whole file is checked first: a bad line (reported with its number)\n"
         "creates nothing; so does a file of more nodes than the node space holds.\n"
         "The file is read twice, a piece at a time, never whole. A node space\n"
         "that does not exist is made with room for N nodes (--capacity, 64 to\n"
         "16777216; default $OVNODE_CAPACITY, else 2097152); one that exists keeps\n"
         "its capacity. With --progress, or when standard error is a terminal, a\n"
         "line on standard error every few seconds says how far the check and the\n"
         "creation have come. Prints: created N, kept M; with --json,\n"
         "{\"created\": N, \"kept\": M}.\n"},
        {"service",
         "usage: ovnode service run|pause|stop [--to NAME] [--wait [--timeout S]]\n"
         "\n"
         "Sends control event 102 (run), 103 (pause) or 101 (stop) to the service\n"
         "registered by the process catalogued as NAME in the root catalogue\n"
         "(default OvRetain), or, when no process is catalogued so, to the only\n"
         "registered service. With stop --wait, returns once the service has ended\n"
         "and let go of the node space (at most S seconds, default 60): status 0\n"
         "when its stop save succeeded, 1 when it failed, the service ended without\n"
         "a clean shutdown or the wait timed out. With run --wait, first waits for\n"
         "a service that is still starting, then returns once it polls its triggers\n"
         "with Run 1 (status 1 when the wait timed out).\n"},
        {"notify",
         "usage: ovnode notify CODE [--to NAME]\n"
         "\n"
         "Delivers kernel system event CODE (decimal or 0x hex, 32 bits) to the\n"
         "process catalogued as NAME in the root catalogue (default OvRetain).\n"},
        {"catalog",
         "usage: ovnode catalog [--json]\n"
         "\n"
         "Shows the root catalogue: each name with its process id, and under it the\n"
         "threads (with their priority) and semaphores catalogued by that process.\n"
         "With --json, an array of objects with the keys name, kind, pid, tid,\n"
         "priority and process (\"\" for the root catalogue, else the name of the\n"
         "process whose own entry it is). Never creates the node space.\n"},
        {"destroy",
         "usage: ovnode destroy [--force]\n"
         "\n"
         "Removes the node space and its kernel instance. Processes still attached\n"
         "keep what they have mapped. Refuses while a service runs on the node\n"
         "space, unless --force is given.\n"},
        {"retain-dump",
         "usage: ovnode retain-dump FILE [--check | --journal] [--json] [--layout RECORD]\n"
         "\n"
         "Shows a retain file against the node space's current layout: the file's\n"
         "header word beside the layout hash, then each slot in order with the\n"
         "node that would receive it (offset, name, type code, value as 'get'\n"
         "prints it), and where the file is shorter or longer than the layout\n"
         "expects, and whether the check record OvRetain.check beside it vouches for\n"
         "it. When the header word is not the layout hash and the file's own layout\n"
         "record lies beside it, the slots are shown by that record instead: the\n"
         "nodes the file was written for. FILE may be given in the\n"
         "drive form, e.g. C:\\Orvale\\OvRetain.bin.\n"
         "With --json, the same as one JSON object. With --check, only the summary,\n"
         "and status 1 when the header does not match the layout, the file is\n"
         "shorter or longer than the layout expects, or it does not verify.\n"
         "With --journal, the values as a load would leave them: the file with the\n"
         "whole groups of its change journal applied (FILE.journal, kept with an\n"
         ".old file, else OvRetain.journal beside it) in\n"
         "order, up to the first damaged or cut-short one, and how many were; a\n"
         "journal that names another file is not applied.\n"
         "With --layout RECORD (repeatable), the slots by that layout record\n"
         "(OvRetain.<hash>.<id>.layout) when it is of the file's hash and describes\n"
         "its length.\n"},
        {"status",
         "usage: ovnode status [--json]\n"
         "\n"
         "Shows the retain service's status record: whether it runs, its process\n"
         "id and start, and for each kind of save and load (trigger_save,\n"
         "trigger_load, stop_save, shutdown_save, autosave) the last one's start,\n"
         "duration, outcome and error text with the counts of successes and\n"
         "failures since the start; then the retain file's size and modification\n"
         "time, whether its header matches the node space's layout and whether it\n"
         "verifies by its check record; then the change journal: on (with its period)\n"
         "or off, its length, appends, last append and compactions. Status 1\n"
         "when the service is not running or its last save failed.\n"},
        {"metrics",
         "usage: ovnode metrics\n"
         "\n"
         "Prints what 'status' shows in Prometheus' text exposition format, metric\n"
         "names starting ovretain_, for node_exporter's textfile collector.\n"
         "Status 0 also when the service is down (ovretain_up 0).\n"},
        {"save",
         "usage: ovnode save [--wait [--timeout S] [--json]]\n"
         "\n"
         "Writes 1 into SERVICE.OvRetain.Save. With --wait, waits (at most S\n"
         "seconds, default 60) until the service has run a save that began after\n"
         "the command started: status 0 when it succeeded, 1 when it failed (with\n"
         "the service's error text), the service is not running or the wait timed\n"
         "out (while Run is 0 the trigger stays pending). With --json (after\n"
         "--wait), once the trigger is written, one object instead of the line:\n"
         "{\"kind\": \"trigger_save\", \"outcome\": \"success\"|\"failure\"|\"none\",\n"
         "\"pid\", \"started\", \"duration_seconds\", \"successes\", \"failures\",\n"
         "\"error\"}: the kind's counts as status gives them, outcome none (started\n"
         "and duration null) when the wait ended without one, error the service's\n"
         "text or why the wait ended, else null. The status is the same.\n"},
        {"load",
         "usage: ovnode load [--wait [--timeout S] [--json]]\n"
         "\n"
         "Writes 1 into SERVICE.OvRetain.Load; --wait and --json as for 'save'\n"
         "(kind trigger_load).\n"},
        {"retain-restore",
         "usage: ovnode retain-restore FILE [--dry-run] [--layout RECORD] [--json]\n"
         "\n"
         "Writes the values of retain file FILE (OvRetain.bin, OvRetain.$$$ or an .old\n"
         "file, or a copy under any name) into the node space by name, through its own\n"
         "layout record beside it: named by an .old file's name or by the check record,\n"
         "else the record of the file's header word whose slots end where the file\n"
         "does. --layout RECORD (repeatable) names the record to use instead: the one\n"
         "of the file's hash that describes its length. A node takes the value of the\n"
         "node of the same name and type code; a text or byte range whose size changed\n"
         "is cut short or zero-filled, any other value whose size changed is not taken.\n"
         "The change journal that extends the file is applied first: FILE.journal\n"
         "(the journal kept with an .old file), else OvRetain.journal beside it when\n"
         "it names that very file (then a line: journal NAME: N groups applied).\n"
         "Prints: kept N, resized N, new N, dropped N. --dry-run writes nothing.\n"
         "With --json, one object instead: {\"file\", \"layout_record\", \"journal\":\n"
         "null or {name, groups, values}, \"dry_run\", \"written\" (kept + resized,\n"
         "0 in a dry run), \"kept\", \"resized\", \"new\" (nodes the file has no\n"
         "value for, left alone), \"dropped\" (values no node takes)}.\n"
         "Fails when the record is missing, damaged or does not describe the file.\n"},
        {"retain-diff",
         "usage: ovnode retain-diff FILE1 FILE2 [--layout RECORD]... [--json]\n"
         "\n"
         "Compares two retain files by name through their layout records and prints\n"
         "each node whose value differs (NAME: VALUE1 -> VALUE2) or that only one file\n"
         "holds; with --json, {\"differences\": [{name, first, first_type, second,\n"
         "second_type}...], \"equal\": BOOL}, null for a value a file lacks. Exit\n"
         "status as diff(1): 0 when they hold the same values, 1 when they differ,\n"
         "2 when a file cannot be compared. The records are found as retain-restore finds\n"
         "them; with --layout (repeatable) each file takes the record given of its\n"
         "hash and length.\n"},
        {"archive",
         "usage: ovnode archive list [--json] [--from PREFIX]\n"
         "       ovnode archive list --all\n"
         "       ovnode archive pull SET DIR [--from PREFIX]\n"
         "       ovnode archive restore [SET|latest] [--from PREFIX] [--dry-run]\n"
         "       ovnode archive verify [--from PREFIX]\n"
         "\n"
         "The sets that ovretain-archive keeps in the object store, found through its\n"
         "configuration (/etc/ovretain/archive.conf or $OVRT_ARCHIVE_CONFIG), under\n"
         "this controller's prefix or the one --from names. list: each set's name,\n"
         "time, layout hash, size and whether its file is stored; --all: every\n"
         "controller prefix of the bucket with its newest set and its age. pull: the\n"
         "set's retain file, layout record, check record and journal into DIR, each\n"
         "checked. restore: the set's values (latest by default), its journal\n"
         "applied, written into the nodes by name as retain-restore writes them.\n"
         "verify: reads every set back and checks it; exit 1 when one fails.\n"},
    };
    return help;
}

}  // namespace

std::string HelpText(const std::string& command) {
    if (command.empty()) return kToolHelp;
    auto it = CommandHelp().find(command);
    return it == CommandHelp().end() ? std::string() : it->second;
}

bool ParseCommandLine(const std::vector<std::string>& args, const std::string& envSpace, Invocation* inv,
                      std::string* error) {
    Invocation result;
    result.Space = envSpace.empty() ? kDefaultSpace : envSpace;
    bool json = false, to = false, timeout = false, force = false, prefix = false, optionsEnded = false;
    std::vector<std::string> positional;
    auto fail = [&](const std::string& what) {
        if (error) *error = what;
        return false;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || !IsOption(a)) {
            positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            result.Help = true;
        } else if (a == "--version") {
            result.Version = true;
        } else if (a == "--print-names") {
            result.PrintNames = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--wait") {
            result.Wait = true;
        } else if (a == "--check") {
            result.Check = true;
        } else if (a == "--journal") {
            result.Journal = true;
        } else if (a == "--timeout" || a.rfind("--timeout=", 0) == 0) {
            std::string value;
            if (a == "--timeout") {
                if (i + 1 >= args.size()) return fail("option --timeout needs a value");
                value = args[++i];
            } else {
                value = a.substr(10);
            }
            if (!ParseTimeout(value, &result.Timeout))
                return fail("option --timeout takes seconds (more than 0, at most 86400): '" + value + "'");
            timeout = true;
        } else if (a == "--layout" || a.rfind("--layout=", 0) == 0) {
            if (a == "--layout" && i + 1 >= args.size()) return fail("option --layout needs a layout record's path");
            result.Layouts.push_back(a == "--layout" ? args[++i] : a.substr(9));
            if (result.Layouts.back().empty()) return fail("option --layout needs a layout record's path");
        } else if (a == "--prefix" || a.rfind("--prefix=", 0) == 0) {
            if (a == "--prefix" && i + 1 >= args.size()) return fail("option --prefix needs a value");
            result.Prefix = a == "--prefix" ? args[++i] : a.substr(9);
            prefix = true;
        } else if (a == "--names") {
            result.Names = true;
        } else if (a == "--escaped") {
            result.Escaped = true;
        } else if (a == "--progress") {
            result.Progress = true;
        } else if (a == "--capacity" || a.rfind("--capacity=", 0) == 0) {
            if (a == "--capacity" && i + 1 >= args.size()) return fail("option --capacity needs a number of nodes");
            const std::string value = a == "--capacity" ? args[++i] : a.substr(11);
            if (!ParseCapacity(value, &result.Capacity))
                return fail("option --capacity takes a number of nodes from " + std::to_string(kCapacityMin) + " to " +
                            std::to_string(kCapacityMax) + ": '" + value + "'");
        } else if (a == "--dry-run") {
            result.DryRun = true;
        } else if (a == "--all") {
            result.All = true;
        } else if (a == "--from" || a.rfind("--from=", 0) == 0) {
            if (a == "--from" && i + 1 >= args.size()) return fail("option --from needs a prefix");
            result.From = a == "--from" ? args[++i] : a.substr(7);
            if (result.From.empty()) return fail("option --from needs a prefix");
        } else if (a == "--force") {
            force = true;
        } else if (a == "--space" || a == "--to") {
            if (i + 1 >= args.size()) return fail("option " + a + " needs a value");
            (a == "--space" ? result.Space : result.To) = args[++i];
            if (a == "--to") to = true;
        } else if (a.rfind("--space=", 0) == 0) {
            result.Space = a.substr(8);
        } else if (a.rfind("--to=", 0) == 0) {
            result.To = a.substr(5);
            to = true;
        } else {
            return fail("unknown option '" + a + "'");
        }
    }

    if (!ShmValidName(result.Space))
        return fail("invalid node space name '" + result.Space + "' (1 to 200 of A-Z a-z 0-9 _ . -)");
    if (positional.empty()) {
        if (result.Help || result.Version || result.PrintNames) {
            *inv = result;
            return true;
        }
        return fail("no command given (see ovnode --help)");
    }
    if (result.PrintNames) return fail("option --print-names takes no command");
    result.Command = positional.front();
    positional.erase(positional.begin());
    auto it = Commands().find(result.Command);
    if (it == Commands().end()) return fail("unknown command '" + result.Command + "' (see ovnode --help)");
    const CommandShape& shape = it->second;
    if (json && !shape.TakesJson && !TakesOption(result.Command, "--json"))
        return fail("option --json does not apply to " + result.Command);
    if (result.Wait && !TakesOption(result.Command, "--wait"))
        return fail("option --wait does not apply to " + result.Command);
    if (json && !result.Wait && (result.Command == "save" || result.Command == "load"))
        return fail("option --json needs --wait: " + result.Command + " alone prints nothing");
    if (result.Escaped && !TakesOption(result.Command, "--escaped"))
        return fail("option --escaped does not apply to " + result.Command);
    if (timeout && !result.Wait) return fail("option --timeout needs --wait");
    if (prefix && !TakesOption(result.Command, "--prefix"))
        return fail("option --prefix does not apply to " + result.Command);
    if (result.Names && !TakesOption(result.Command, "--names"))
        return fail("option --names does not apply to " + result.Command);
    if (result.Names && json) return fail("options --names and --json exclude each other");
    if (result.Capacity && !TakesOption(result.Command, "--capacity"))
        return fail("option --capacity does not apply to " + result.Command);
    if (result.Progress && !TakesOption(result.Command, "--progress"))
        return fail("option --progress does not apply to " + result.Command);
    if (result.Check && !TakesOption(result.Command, "--check"))
        return fail("option --check does not apply to " + result.Command);
    if (result.Journal && !TakesOption(result.Command, "--journal"))
        return fail("option --journal does not apply to " + result.Command);
    if (result.Journal && result.Check)
        return fail("option --journal shows values, --check judges the file alone: give one of them");
    if (to && !shape.TakesTo) return fail("option --to does not apply to " + result.Command);
    if (!result.Layouts.empty() && !TakesOption(result.Command, "--layout"))
        return fail("option --layout does not apply to " + result.Command);
    if ((result.All || !result.From.empty()) && result.Command != "archive")
        return fail("options --all and --from apply to archive only");
    if (result.DryRun && result.Command != "retain-restore" && result.Command != "archive")
        return fail("option --dry-run does not apply to " + result.Command);
    if (force && result.Command != "destroy") return fail("option --force does not apply to " + result.Command);
    if (to && result.To.empty()) return fail("option --to needs a process name");
    result.ToGiven = to;
    if (!result.Help) {
        if (positional.size() < shape.MinArgs)
            return fail("missing arguments to " + result.Command + " (see ovnode " + result.Command + " --help)");
        if (positional.size() > shape.MaxArgs)
            return fail("too many arguments to " + result.Command + ": '" + positional[shape.MaxArgs] + "'");
    }
    result.Json = json;
    result.Force = force;
    result.Args = std::move(positional);
    *inv = std::move(result);
    return true;
}

int RunOvnode(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const char* env = std::getenv("OVNODE_SPACE");
    Invocation inv;
    std::string error;
    if (!ParseCommandLine(args, env ? env : "", &inv, &error)) {
        err << "ovnode: " << ShownText(error) << "\n";
        return kExitUsage;
    }
    if (inv.Version) {
        out << VersionLine("ovnode") << "\n";
        return kExitOk;
    }
    // What the documents are checked against (tests/docs): KIND NAME lines.
    if (inv.PrintNames) {
        for (const PublicName& name : PublicNames()) out << name.Kind << " " << name.Name << "\n";
        return kExitOk;
    }
    if (inv.Help) {
        out << HelpText(inv.Command);
        return kExitOk;
    }
    return Commands().at(inv.Command).Run(inv, out, err);
}

}  // namespace ovnode
