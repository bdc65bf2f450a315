// Files relative to one open directory descriptor, each operation passing
// through the fault seam first.
#include "stdlib/pdir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "stdlib/fault_seam.h"

struct PDir {
    int Fd = -1;
    std::string Path;
    // Set by a vetted PDirOpenBeneath: files in it are read only when owned
    // by root or the calling user.
    bool OwnedFilesOnly = false;
};

namespace {

constexpr mode_t kFileMode = 0640;
constexpr mode_t kDirectoryMode = 0750;
constexpr size_t kCopyChunk = 1 << 16;

bool Fail(int error) {
    errno = error;
    return false;
}

int OpenDirectory(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Forces the entry of a directory just made in `parent` to the device.
bool SyncParent(const std::string& part) {
    const size_t slash = part.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : part.substr(0, slash);
    const int fd = OpenDirectory(parent);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

// Creates the missing directories of an already mapped directory path; the
// parent of each one made is synced, so a directory the next file goes into
// survives a power cut as the file does.
bool MakeDirectories(const std::string& dir) {
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i != dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        if (part.empty() || part == "/" || part == "." || part.back() == '/') continue;
        if (::mkdir(part.c_str(), kDirectoryMode) == 0) {
            if (!SyncParent(part)) return false;
            continue;
        }
        if (errno != EEXIST) return false;
        struct stat st;
        if (::stat(part.c_str(), &st) != 0) return false;
        if (!S_ISDIR(st.st_mode)) return Fail(ENOTDIR);
    }
    return true;
}

bool BadName(const char* name) {
    return !name || !*name || std::strchr(name, '/') != nullptr;
}

// The step's name and errno kept together for the durable writers.
bool StepFailed(const char** step, const char* what) {
    if (step) *step = what;
    return false;
}

}  // namespace

void PDirSplitPath(const char* path, std::string* dir, std::string* name) {
    std::string mapped = PFileMapPath(path);
    size_t slash = mapped.rfind('/');
    if (slash == std::string::npos) {
        *dir = ".";
        *name = mapped;
    } else {
        *dir = slash == 0 ? "/" : mapped.substr(0, slash);
        *name = mapped.substr(slash + 1);
    }
}

bool PDirMake(const char* dir) {
    if (PFileFaultHit(PF_MKDIR)) return false;
    if (!dir) return Fail(EINVAL);
    return MakeDirectories(PFileMapPath(dir));
}

namespace {

// A handle on the open directory fd (closed on failure); nullptr for fd -1.
PDir* Wrap(int fd, const std::string& path, bool ownedFilesOnly) {
    if (fd < 0) return nullptr;
    PDir* d = new (std::nothrow) PDir;
    if (!d) {
        ::close(fd);
        return Fail(ENOMEM), nullptr;
    }
    d->Fd = fd;
    d->Path = path;
    d->OwnedFilesOnly = ownedFilesOnly;
    return d;
}

}  // namespace

PDir* PDirOpen(const char* dir) {
    if (PFileFaultHit(PF_OPEN)) return nullptr;
    if (!dir) return Fail(EINVAL), nullptr;
    std::string mapped = PFileMapPath(dir);
    if (mapped.empty()) mapped = ".";
    return Wrap(OpenDirectory(mapped), mapped, false);
}

namespace {

// Why a directory that PDirOpenBeneath vets is refused, or "".
std::string DirectoryDistrust(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::strerror(errno);
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) return "owned by user " + std::to_string(st.st_uid);
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return std::string("writable by ") + ((st.st_mode & S_IWOTH) ? "every user" : "its group") +
               ((st.st_mode & S_ISVTX) ? " (sticky or not)" : "");
    return "";
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

PDir* PDirOpenBeneath(const char* root, const char* dir, bool create, bool vet, std::string* why, const char** step) {
    const char* unused;
    if (!step) step = &unused;
    *step = "mkdir";
    if (create && PFileFaultHit(PF_MKDIR)) return nullptr;
    *step = "open";
    if (PFileFaultHit(PF_OPEN)) return nullptr;
    if (!root || !dir || !*root) return Fail(EINVAL), nullptr;
    const std::string top = WithoutTrailingSlashes(PFileMapPath(root));
    std::string mapped = WithoutTrailingSlashes(PFileMapPath(dir));
    if (mapped.empty()) mapped = ".";
    if (mapped[0] != '/' && top[0] == '/') {
        // A relative path is judged by where it leads: from the working directory.
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd)) return nullptr;
        mapped = WithoutTrailingSlashes(std::string(cwd) + "/" + mapped);
    }
    std::string below;
    if (mapped == top) {
        below = "";
    } else if (mapped.compare(0, top.size(), top) == 0 && (top == "/" || mapped[top.size()] == '/')) {
        below = mapped.substr(top == "/" ? 1 : top.size() + 1);
    } else {
        if (why) *why = "outside the drive root " + top;
        return Fail(EXDEV), nullptr;
    }
    *step = "mkdir";
    if (create && !MakeDirectories(top)) return nullptr;
    *step = "open";
    int fd = OpenDirectory(top);
    if (fd < 0) return nullptr;
    std::string at = top;
    auto refuse = [&](int error, const std::string& reason) {
        ::close(fd);
        if (why) *why = reason;
        return Fail(error), nullptr;
    };
    if (vet) {
        std::string distrust = DirectoryDistrust(fd);
        if (!distrust.empty()) return refuse(EPERM, at + " is " + distrust);
    }
    // Each component relative to the one above it, never through a link.
    size_t from = 0;
    while (from <= below.size()) {
        size_t slash = below.find('/', from);
        if (slash == std::string::npos) slash = below.size();
        const std::string part = below.substr(from, slash - from);
        from = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return refuse(EXDEV, "\"..\" leads outside the drive root " + top);
        at += (at == "/" ? "" : "/") + part;
        if (create && ::mkdirat(fd, part.c_str(), kDirectoryMode) != 0 && errno != EEXIST) {
            *step = "mkdir";
            return refuse(errno, "");
        }
        int next;
        do {
            next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        } while (next < 0 && errno == EINTR);
        if (next < 0) {
            int error = errno;
            struct stat st;
            if (::fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                return refuse(ELOOP, at + " is a symbolic link");
            if (create) *step = "mkdir";  // it could not be made a directory
            return refuse(error, "");
        }
        ::close(fd);
        fd = next;
        if (vet) {
            std::string distrust = DirectoryDistrust(fd);
            if (!distrust.empty()) return refuse(EPERM, at + " is " + distrust);
        }
    }
    PDir* d = new (std::nothrow) PDir;
    if (!d) return refuse(ENOMEM, "");
    d->Fd = fd;
    d->Path = mapped;
    d->OwnedFilesOnly = vet;
    return d;
}

PDir* PDirOpenParent(const char* path, std::string* name) {
    if (!path) return Fail(EINVAL), nullptr;
    std::string dir;
    PDirSplitPath(path, &dir, name);
    if (name->empty()) return Fail(EISDIR), nullptr;
    return PDirOpen(dir.c_str());
}

void PDirClose(PDir* dir) {
    if (!dir) return;
    ::close(dir->Fd);
    delete dir;
}

PDir* PDirDup(PDir* dir) {
    if (!dir) return Fail(EBADF), nullptr;
    return Wrap(::fcntl(dir->Fd, F_DUPFD_CLOEXEC, 0), dir->Path, dir->OwnedFilesOnly);
}

const std::string& PDirPath(const PDir* dir) {
    return dir->Path;
}

PFile* PDirOpenRead(PDir* dir, const char* name) {
    PFileHoldAt(PF_OPEN, name);
    if (PFileFaultHit(PF_OPEN)) return nullptr;
    if (!dir || BadName(name)) return Fail(EINVAL), nullptr;
    // Judged before the open too: opening a device can have effects of its own.
    struct stat st;
    if (::fstatat(dir->Fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
    if (S_ISDIR(st.st_mode)) return Fail(EISDIR), nullptr;
    if (!S_ISREG(st.st_mode)) return Fail(EINVAL), nullptr;
    if (dir->OwnedFilesOnly && st.st_uid != 0 && st.st_uid != ::geteuid()) return Fail(EPERM), nullptr;
    int fd;
    do {
        fd = ::openat(dir->Fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    // The name may have been replaced between the two looks.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        return Fail(error), nullptr;
    }
    if (dir->OwnedFilesOnly && st.st_uid != 0 && st.st_uid != ::geteuid()) {
        ::close(fd);
        return Fail(EPERM), nullptr;
    }
    return PFileFromDescriptor(fd, false);
}

bool PDirNotRegular(int error) {
    return error == EISDIR || error == EINVAL;
}

PFile* PDirCreate(PDir* dir, const char* name) {
    PFileHoldAt(PF_OPEN, name);
    if (PFileFaultHit(PF_OPEN)) return nullptr;
    if (!dir || BadName(name)) return Fail(EINVAL), nullptr;
    // A stale file (or a link planted in its place) goes first; O_EXCL then
    // refuses whatever appears in between.
    if (::unlinkat(dir->Fd, name, 0) != 0 && errno != ENOENT) return nullptr;
    int fd;
    do {
        fd = ::openat(dir->Fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    return PFileFromDescriptor(fd, true);
}

bool PDirRemove(PDir* dir, const char* name) {
    PFileHoldAt(PF_REMOVE, name);
    if (PFileFaultHit(PF_REMOVE)) return false;
    if (!dir || BadName(name)) return Fail(EINVAL);
    return ::unlinkat(dir->Fd, name, 0) == 0;
}

bool PDirRename(PDir* dir, const char* from, const char* to) {
    PFileHoldAt(PF_RENAME, from);
    PFileHoldAt(PF_RENAME, to);
    if (PFileFaultHit(PF_RENAME)) return false;
    if (!dir || BadName(from) || BadName(to)) return Fail(EINVAL);
    return ::renameat(dir->Fd, from, dir->Fd, to) == 0;
}

bool PDirLink(PDir* dir, const char* from, const char* to) {
    PFileHoldAt(PF_LINK, from);
    PFileHoldAt(PF_LINK, to);
    if (PFileFaultHit(PF_LINK)) return false;
    if (!dir || BadName(from) || BadName(to)) return Fail(EINVAL);
    return ::linkat(dir->Fd, from, dir->Fd, to, 0) == 0;
}

int PDirLockFile(PDir* dir, const char* name, pid_t* holder, pid_t* previous) {
    if (holder) *holder = 0;
    if (previous) *previous = 0;
    if (!dir || BadName(name)) return Fail(EINVAL), -1;
    int fd;
    do {
        fd = ::openat(dir->Fd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Fail(EINVAL), -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        // The holder's pid as it wrote it: only ever shown, never used.
        char text[16] = {};
        if (holder && ::pread(fd, text, sizeof text - 1, 0) > 0) {
            long pid = std::strtol(text, nullptr, 10);
            if (pid > 0 && pid <= INT32_MAX) *holder = static_cast<pid_t>(pid);
        }
        ::close(fd);
        return Fail(error), -1;
    }
    char text[16] = {};
    if (previous && ::pread(fd, text, sizeof text - 1, 0) > 0) {
        long pid = std::strtol(text, nullptr, 10);
        if (pid > 0 && pid <= INT32_MAX) *previous = static_cast<pid_t>(pid);
    }
    const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text, static_cast<size_t>(length), 0) != length) {
        const int error = errno;
        ::close(fd);
        return Fail(error), -1;
    }
    return fd;
}

bool PDirSync(PDir* dir) {
    if (PFileFaultHit(PF_SYNCDIR)) return false;
    if (!dir) return Fail(EBADF);
    return ::fsync(dir->Fd) == 0;
}

bool PDirStat(PDir* dir, const char* name, struct stat* st) {
    if (!dir || BadName(name)) return Fail(EINVAL);
    return ::fstatat(dir->Fd, name, st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool PDirList(PDir* dir, std::vector<std::string>* names) {
    if (PFileFaultHit(PF_OPEN)) return false;
    if (!dir || !names) return Fail(EINVAL);
    names->clear();
    // fdopendir takes over the descriptor it is given: a second one of the
    // same directory, so that the PDir's own stays open.
    int fd;
    do {
        fd = ::openat(dir->Fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    DIR* listing = ::fdopendir(fd);
    if (!listing) {
        int error = errno;
        ::close(fd);
        return Fail(error);
    }
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names->push_back(entry->d_name);
    }
    int error = errno;
    ::closedir(listing);
    errno = error;
    return error == 0;
}

bool PDirReadWhole(PDir* dir, const char* name, std::vector<uint8_t>* bytes, uint64_t maxSize) {
    PFile* file = PDirOpenRead(dir, name);
    if (!file) return false;
    const int64_t size = PFileSize(file);
    bool ok = size >= 0;
    int error = errno;
    if (ok && static_cast<uint64_t>(size) > maxSize) {
        ok = false;
        error = EFBIG;
    }
    if (ok) {
        bytes->resize(static_cast<size_t>(size));
        ok = size == 0 || PFileRead(file, bytes->data(), static_cast<size_t>(size));
        error = errno;
    }
    uint8_t more;
    // A file that grew since its length was taken is read again by the
    // caller at its next need; here it counts as a failed read.
    if (ok && PFileRead(file, &more, 1)) {
        ok = false;
        error = EAGAIN;
    }
    PFileClose(file);
    if (!ok) {
        bytes->clear();
        return Fail(error ? error : EIO);
    }
    return true;
}

bool PFileReadWhole(const char* path, std::vector<uint8_t>* bytes, uint64_t maxSize) {
    std::string name;
    PDir* dir = PDirOpenParent(path, &name);
    if (!dir) return false;
    const bool ok = PDirReadWhole(dir, name.c_str(), bytes, maxSize);
    const int error = errno;
    PDirClose(dir);
    errno = error;
    return ok;
}

namespace {

// Writes the temporary file through `fill`, then puts it in place durably.
template <typename Fill>
bool ReplaceDurably(PDir* dir, const char* name, const char** step, Fill fill) {
    if (BadName(name)) return Fail(EINVAL);
    const std::string temp = std::string(name) + ".tmp";
    PFile* file = PDirCreate(dir, temp.c_str());
    if (!file) return StepFailed(step, "open");
    const char* failed = fill(file);
    if (!failed) {
        if (!PFileFlush(file))
            failed = "write";
        else if (!PFileSync(file))
            failed = "sync";
    }
    int error = errno;
    bool closed = PFileClose(file);
    if (!failed && !closed) {
        failed = "close";
        error = errno;
    }
    if (!failed && !PDirRename(dir, temp.c_str(), name)) {
        failed = "rename";
        error = errno;
    }
    if (failed) {
        PDirRemove(dir, temp.c_str());
        errno = error;
        return StepFailed(step, failed);
    }
    if (!PDirSync(dir)) return StepFailed(step, "directory sync");
    return true;
}

}  // namespace

bool PDirWriteFile(PDir* dir, const char* name, const void* data, size_t size, const char** step) {
    return ReplaceDurably(dir, name, step,
                          [&](PFile* file) -> const char* { return PFileWrite(file, data, size) ? nullptr : "write"; });
}

bool PDirCopyFile(PDir* dir, const char* from, const char* to, const char** step) {
    PFile* source = PDirOpenRead(dir, from);
    if (!source) return StepFailed(step, "read");
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kCopyChunk]);
    int64_t left = PFileSize(source);
    if (!chunk || left < 0) {
        int error = chunk ? errno : ENOMEM;
        PFileClose(source);
        errno = error;
        return StepFailed(step, "read");
    }
    bool ok = ReplaceDurably(dir, to, step, [&](PFile* file) -> const char* {
        while (left > 0) {
            size_t n = left < static_cast<int64_t>(kCopyChunk) ? static_cast<size_t>(left) : kCopyChunk;
            if (!PFileRead(source, chunk.get(), n)) {
                if (errno == 0) errno = EIO;  // the file shrank under us
                return "read";
            }
            if (!PFileWrite(file, chunk.get(), n)) return "write";
            left -= static_cast<int64_t>(n);
        }
        return nullptr;
    });
    int error = errno;
    PFileClose(source);
    errno = error;
    return ok;
}
