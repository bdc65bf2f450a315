// Opening and vetting the retain directory.
#include "retain/retain_dir.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "report/report.h"

PDir* OpenRetainDirectory(const char* path, bool create, std::string* name) {
    std::string dir;
    PDirSplitPath(path, &dir, name);
    const std::string root = PFileDriveRoot();
    std::string why;
    // As root, the directory and each one above it up to the drive root must
    // be beyond the reach of other users (and of the node space's group).
    const char* step = "open";
    PDir* handle = PDirOpenBeneath(root.c_str(), dir.c_str(), create, ::geteuid() == 0, &why, &step);
    if (handle) return handle;
    const int error = errno;
    if (!why.empty()) {
        if (error == EXDEV) why += " (OutPath must lie inside OVRT_DRIVES)";
        report(&LogChannel, "ERR", "Retain directory %s refused: %s", dir.c_str(), why.c_str());
    } else if (!create && (error == ENOENT || error == ENOTDIR)) {
        // No directory, so no file: nothing to say.
    } else if (std::strcmp(step, "mkdir") == 0) {
        report(&LogChannel, "ERR", "Retain file directory creation failed: %s", std::strerror(error));
    } else {
        report(&LogChannel, "ERR", "Retain file directory open failed: %s", std::strerror(error));
    }
    errno = error;
    return nullptr;
}

void ReportRetainFileError(const char* step, int error) {
    const char* reason = PDirNotRegular(error) && error != EISDIR ? "not a regular file"
                         : error == EPERM                         ? "owned by a user other than the service's or root"
                                                                  : std::strerror(error);
    report(&LogChannel, "ERR", "Retain file %s failed: %s", step, reason);
}

std::string RetainFileName(const char* path) {
    std::string dir, name;
    PDirSplitPath(path, &dir, &name);
    return name;
}
