#include "archive/archive_status.h"

#include <signal.h>

#include <cerrno>
#include <fstream>

bool ReadArchiveStatus(const std::string& path, ArchiveStatus* status) {
    *status = ArchiveStatus{};
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        const std::string key = line.substr(0, space), value = line.substr(space + 1);
        any = true;
        if (key == "pid") status->Pid = std::atoi(value.c_str());
        if (key == "state") status->State = value;
        if (key == "updated") status->Updated = std::strtoll(value.c_str(), nullptr, 10);
        if (key == "last_success") status->LastSuccess = std::strtoll(value.c_str(), nullptr, 10);
        if (key == "pending_bytes") status->PendingBytes = std::strtoull(value.c_str(), nullptr, 10);
        if (key == "uploads") status->Uploads = std::strtoull(value.c_str(), nullptr, 10);
        if (key == "errors") status->Errors = std::strtoull(value.c_str(), nullptr, 10);
        if (key == "last_set") status->LastSet = value;
        if (key == "last_error") status->LastError = value;
    }
    return any;
}

bool ArchiveStatusLive(const ArchiveStatus& status) {
    return status.Pid > 0 && (kill(status.Pid, 0) == 0 || errno == EPERM);
}
