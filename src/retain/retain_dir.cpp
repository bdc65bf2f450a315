// Opening and vetting the retain directory.
#include "retain/retain_dir.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstring>

#include "report/report.h"

PDir* OpenRetainDirectory(const char* path, bool create, std::string* name) {
    std::string dir;
    PDirSplitPath(path, &dir, name);
    if (create && !PDirMake(dir.c_str())) {
        report(&LogChannel, "ERR", "Retain file directory creation failed: %s", std::strerror(errno));
        return nullptr;
    }
    PDir* handle = PDirOpen(dir.c_str());
    if (!handle) {
        int error = errno;
        struct stat st;
        if (error == ENOTDIR && ::lstat(PFileMapPath(dir.c_str()).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            // Its last component is never followed: say why, not "not a directory".
            report(&LogChannel, "ERR", "Retain directory %s refused: a symbolic link", dir.c_str());
            errno = ELOOP;
            return nullptr;
        }
        if (!create && (error == ENOENT || error == ENOTDIR)) return nullptr;
        report(&LogChannel, "ERR", "Retain file directory open failed: %s", std::strerror(error));
        errno = error;
        return nullptr;
    }
    std::string why;
    if (!PDirTrusted(handle, &why)) {
        if (why.empty()) why = std::strerror(errno);
        report(&LogChannel, "ERR", "Retain directory %s refused: %s", dir.c_str(), why.c_str());
        PDirClose(handle);
        errno = EPERM;
        return nullptr;
    }
    return handle;
}

void ReportRetainFileError(const char* step, int error) {
    const char* reason = PDirNotRegular(error) && error != EISDIR ? "not a regular file" : std::strerror(error);
    report(&LogChannel, "ERR", "Retain file %s failed: %s", step, reason);
}

std::string RetainFileName(const char* path) {
    std::string dir, name;
    PDirSplitPath(path, &dir, &name);
    return name;
}
