// Listing the retain directory and reading small files whole, through the
// fault seam of the file operations.
#include "stdlib/pdirectory.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <cstring>

#include "stdlib/fault_seam.h"
#include "stdlib/pfile.h"

namespace {

std::string DirectoryOfMapped(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

bool PFileListSiblings(const char* path, std::vector<std::string>* names) {
    if (PFileFaultHit(PF_OPEN)) return false;
    if (!path || !names) {
        errno = EINVAL;
        return false;
    }
    names->clear();
    DIR* dir = ::opendir(DirectoryOfMapped(PFileMapPath(path)).c_str());
    if (!dir) return false;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names->push_back(entry->d_name);
    }
    int error = errno;
    ::closedir(dir);
    errno = error;
    return error == 0;
}

bool PFileStatus(const char* path, uint64_t* size, int64_t* changedNs) {
    if (!path) {
        errno = EINVAL;
        return false;
    }
    struct stat st;
    if (::stat(PFileMapPath(path).c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (size) *size = static_cast<uint64_t>(st.st_size);
    if (changedNs) *changedNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
    return true;
}

bool PFileReadWhole(const char* path, std::vector<uint8_t>* bytes, uint64_t maxSize) {
    uint64_t size = 0;
    if (!PFileStatus(path, &size, nullptr)) return false;
    if (size > maxSize) {
        errno = EFBIG;
        return false;
    }
    PFile* file = PFileOpen(path, "rb");
    if (!file) return false;
    bytes->resize(size);
    bool ok = size == 0 || PFileRead(file, bytes->data(), size);
    int error = errno;
    uint8_t more;
    // A file that grew since its length was taken is read again by the caller
    // at its next need; here it counts as a failed read.
    if (ok && PFileRead(file, &more, 1)) {
        ok = false;
        error = EAGAIN;
    }
    PFileClose(file);
    if (!ok) {
        bytes->clear();
        errno = error ? error : EIO;
    }
    return ok;
}
