// main.cpp - the ovretain executable: start-up, wait, shutdown. The service
// itself takes no arguments: the command line only asks for the version or
// the usage, and anything else is refused before the service starts.
#include <cstdio>
#include <cstring>

#include "common/event_signals.h"
#include "service/service.h"
#include "version/version.h"

namespace {

constexpr int kExitUsage = 2;

const char kUsage[] = "usage: ovretain [--version | --help]\n";

const char kHelp[] =
    "\n"
    "The retain service: keeps the values of the node space's variables in the\n"
    "retain file OvRetain.bin and reads them back on request. It is configured\n"
    "through node-space variables (SERVICE.OvRetain.*), not through arguments,\n"
    "and logs to standard error.\n"
    "\n"
    "Environment:\n"
    "  OVNODE_SPACE   node space and runtime instance (default ovnodespace)\n"
    "  OVRT_DRIVES    where drive paths such as C:\\Orvale\\ are kept\n"
    "  OVRT_REALTIME  1: run the threads under SCHED_FIFO where allowed\n"
    "\n";

// After the list of the signals that end the service (kEndingSignals).
const char kHelpAfterSignals[] =
    " save the retain file and end the\n"
    "service; a failed save makes the exit status 1.\n"
    "A node space that cannot be attached or verified ends the start with exit status\n"
    "78 (a configuration error), another start failure with 1.\n"
    "See ovretain(8).\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        if (argc == 2 && strcmp(argv[1], "--version") == 0) {
            printf("%s\n", VersionLine("ovretain").c_str());
            return 0;
        }
        if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
            printf("%s%s", kUsage, kHelp);
            const size_t count = sizeof kEndingSignals / sizeof kEndingSignals[0];
            for (size_t i = 0; i < count; ++i)
                printf("%s%s", i == 0 ? "" : i + 1 == count ? " and " : ", ", kEndingSignals[i].Name);
            printf("%s", kHelpAfterSignals);
            return 0;
        }
        fprintf(stderr, "ovretain: unexpected argument '%s'\n%s", argv[1], kUsage);
        return kExitUsage;
    }
    if (!ServiceInit()) return ServiceStartFailureStatus();
    WaitForExit();
    ServiceExit();
    // 1 when the save of the stop or shutdown failed: service managers see it.
    return ServiceExitStatus();
}
