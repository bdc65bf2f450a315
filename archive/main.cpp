// ovretain-archive: ships the retain directory's verified files, their
// layout records and check entries, and the change journal's whole groups to
// an S3-compatible store (archive_ship.h), and keeps the newest sets there
// (archive_sets.h). Configured by archive_config.h's file.
//
//   ovretain-archive [--check]
// --check reads the configuration, asks the store once and exits: 0 when
// both are usable. Exit status 1 when the configuration is refused or the
// store will not take it (wrong credentials, no such bucket); 0 after
// SIGTERM or SIGINT, once the pass under way has ended.
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive_config.h"
#include "archive/archive_ship.h"
#include "version/version.h"

namespace {

std::atomic<bool> gStop{false};

void OnSignal(int) {
    gStop = true;
}

// Sleeps up to `seconds`, waking early for a stop.
void Nap(double seconds) {
    for (double left = seconds; left > 0 && !gStop; left -= 0.1) {
        struct timespec step {
            0, 100000000
        };
        nanosleep(&step, nullptr);
    }
}

double Now() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    bool checkOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check") == 0) {
            checkOnly = true;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", VersionLine("ovretain-archive").c_str());
            return 0;
        } else {
            std::fprintf(stderr, "usage: ovretain-archive [--check | --version]\n");
            return 2;
        }
    }
    ArchiveConfig config;
    std::string why;
    const std::string path = ArchiveConfigPath();
    if (!ReadArchiveConfig(path, &config, &why)) {
        ArchiveLog("ERR", "Archive configuration refused: " + why);
        return 1;
    }
    ArchiveShipper shipper;
    if (!StartArchiveShipper(&shipper, &config, &why)) {
        ArchiveLog("ERR", "Archive not started: " + why);
        return 1;
    }
    if (checkOnly) {
        std::printf("store %s, bucket %s, prefix %s: usable\n", config.Endpoint.c_str(), config.Bucket.c_str(),
                    config.Prefix.c_str());
        return 0;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    ArchiveLog("DBG", "Archive started: " + config.RetainDir + " to " + config.Endpoint + "/" + config.Bucket + "/" +
                          config.Prefix);
    double nextJournal = Now();
    while (!gStop) {
        const bool journalDue = Now() >= nextJournal;
        if (journalDue) nextJournal = Now() + config.JournalPeriod;
        const bool ok = ShipArchiveOnce(&shipper, journalDue);
        if (!ok && journalDue) nextJournal = Now();  // owed until it goes
        WriteArchiveStatus(shipper);
        Nap(ok ? 1 : ArchiveRetryDelay(shipper.FailedPasses));
    }
    S3Close(&shipper.Store);
    return 0;
}
