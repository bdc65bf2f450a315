// Buffered files over POSIX descriptors, the drive-path mapping and the
// directory operations, each passing through the fault seam first.
#include "stdlib/pfile.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "stdlib/fault_seam.h"
#include "stdlib/pdir.h"
#include "stdlib/pmem.h"

namespace {

constexpr size_t kWriteBufferSize = 1 << 20;  // saves write many small slots
constexpr size_t kReadBufferSize = 1 << 16;

}  // namespace

struct PFile {
    int Fd = -1;
    bool Writing = false;
    std::unique_ptr<uint8_t[]> Buffer;
    size_t Capacity = 0;
    // Writing: Buffer[0, Used) waits to be written. Reading: Buffer[Pos, Used)
    // is read ahead and not yet consumed.
    size_t Used = 0;
    size_t Pos = 0;
    bool AtEnd = false;
    int Error = 0;  // first write error; sticky
    // Writing: the descriptor's position, and how far the device was asked
    // to start writing (WriteBehind).
    uint64_t Offset = 0;
    uint64_t BehindTo = 0;
};

namespace {

bool Fail(int error) {
    errno = error;
    return false;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return Fail(EIO);
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes out the write buffer; a failure becomes the handle's sticky error.
bool Drain(PFile* f) {
    if (f->Error) return Fail(f->Error);
    if (f->Used == 0) return true;
    if (!WriteAll(f->Fd, f->Buffer.get(), f->Used)) {
        f->Error = errno;
        f->Used = 0;
        return false;
    }
    f->Offset += f->Used;
    f->Used = 0;
    return true;
}

// Once a large file has a further MiB of whole pages with the kernel, asks
// the device to start writing them, without waiting: the sync at the end
// then finds most of the file written while the writer produced the rest
// (a save walks the nodes meanwhile). Best effort, and no substitute for the
// sync, which reports any error of these writes.
void WriteBehind(PFile* f) {
    constexpr uint64_t kStep = kWriteBufferSize;
    const uint64_t end = f->Offset & ~uint64_t{4095};
    if (end < f->BehindTo + kStep) return;
    const int saved = errno;
    ::sync_file_range(f->Fd, static_cast<off_t>(f->BehindTo), static_cast<off_t>(end - f->BehindTo),
                      SYNC_FILE_RANGE_WRITE);
    errno = saved;
    f->BehindTo = end;
}

// Refills the read buffer; false at end of file or on an error.
bool Refill(PFile* f) {
    f->Pos = 0;
    f->Used = 0;
    if (f->AtEnd) return Fail(0);
    for (;;) {
        ssize_t n = ::read(f->Fd, f->Buffer.get(), f->Capacity);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            f->AtEnd = true;
            return Fail(0);
        }
        f->Used = static_cast<size_t>(n);
        return true;
    }
}

// Consumes size bytes into out (or discards them when out is null).
bool Consume(PFile* f, uint8_t* out, size_t size) {
    if (f->Writing) return Fail(EBADF);
    while (size > 0) {
        if (f->Pos == f->Used && !Refill(f)) return false;
        size_t n = std::min(size, f->Used - f->Pos);
        if (out) {
            std::memcpy(out, f->Buffer.get() + f->Pos, n);
            out += n;
        }
        f->Pos += n;
        size -= n;
    }
    return true;
}

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    struct passwd pw;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir) return found->pw_dir;
    return "/tmp";
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The directory part of an already mapped path ("." when it has none).
std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::string PFileDriveRoot() {
    const char* root = std::getenv("OVRT_DRIVES");
    if (root && *root) return root;
    if (geteuid() == 0) return "/var/lib/ovretain/drives";
    return HomeDirectory() + "/.local/share/ovretain/drives";
}

std::string PFileMapPath(const char* path) {
    return PFileMapPath(path, nullptr);
}

std::string PFileMapPath(const char* path, bool* climbedOut) {
    if (climbedOut) *climbedOut = false;
    if (!path) return std::string();
    if (!(std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':')) return path;
    std::string mapped = PFileDriveRoot();
    while (mapped.size() > 1 && mapped.back() == '/') mapped.pop_back();
    mapped += '/';
    mapped += static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    const char* rest = path + 2;
    while (IsSeparator(*rest)) ++rest;
    mapped += '/';
    // "." and ".." components are resolved here, as on the drive itself: a
    // ".." at the drive's top stays there, so no path leaves its drive.
    std::vector<std::string> parts;
    std::string part;
    bool dots = false;
    for (const char* p = rest;; ++p) {
        if (*p && !IsSeparator(*p)) {
            part += *p;
            continue;
        }
        if (part == "." || part == "..") dots = true;
        parts.push_back(part);
        part.clear();
        if (!*p) break;
    }
    if (!dots) {
        for (; *rest; ++rest) mapped += *rest == '\\' ? '/' : *rest;
        return mapped;
    }
    std::vector<std::string> kept;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (parts[i] == ".") {
            if (last) kept.push_back("");
            continue;
        }
        if (parts[i] == "..") {
            if (kept.empty()) {
                if (climbedOut) *climbedOut = true;
            } else {
                kept.pop_back();
            }
            if (last) kept.push_back("");
            continue;
        }
        if (parts[i].empty() && !last) continue;
        kept.push_back(parts[i]);
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) mapped += '/';
        mapped += kept[i];
    }
    return mapped;
}

PFile* PFileOpen(const char* path, const char* mode) {
    PFileHoldAt(PF_OPEN, path);
    if (PFileFaultHit(PF_OPEN)) return nullptr;
    if (!path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    bool writing;
    if (std::strcmp(mode, "rb") == 0 || std::strcmp(mode, "r") == 0) {
        writing = false;
    } else if (std::strcmp(mode, "wb") == 0 || std::strcmp(mode, "w") == 0) {
        writing = true;
    } else {
        errno = EINVAL;
        return nullptr;
    }
    std::string mapped = PFileMapPath(path);
    int flags = (writing ? (O_WRONLY | O_CREAT | O_TRUNC) : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC;
    int fd;
    do {
        fd = ::open(mapped.c_str(), flags, 0640);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    return PFileFromDescriptor(fd, writing);
}

PFile* PFileFromDescriptor(int fd, bool writing) {
    if (fd < 0) {
        errno = EBADF;
        return nullptr;
    }
    PFile* f = new (std::nothrow) PFile;
    size_t capacity = writing ? kWriteBufferSize : kReadBufferSize;
    if (f) f->Buffer.reset(new (std::nothrow) uint8_t[capacity]);
    if (!f || !f->Buffer) {
        delete f;
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    f->Fd = fd;
    f->Writing = writing;
    f->Capacity = capacity;
    return f;
}

int64_t PFileSize(PFile* file) {
    if (!file) return Fail(EBADF), -1;
    struct stat st;
    if (::fstat(file->Fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t PFileLinkCount(PFile* file) {
    if (!file) return Fail(EBADF), -1;
    struct stat st;
    if (::fstat(file->Fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_nlink);
}

bool PFileStat(PFile* file, struct stat* st) {
    if (!file) return Fail(EBADF);
    return ::fstat(file->Fd, st) == 0;
}

bool PFileRead(PFile* file, void* buffer, size_t size) {
    if (PFileFaultHit(PF_READ)) return false;
    if (!file) return Fail(EBADF);
    return Consume(file, static_cast<uint8_t*>(buffer), size);
}

bool PFileSkip(PFile* file, size_t size) {
    if (PFileFaultHit(PF_READ)) return false;
    if (!file) return Fail(EBADF);
    return Consume(file, nullptr, size);
}

bool PFileWrite(PFile* file, const void* buffer, size_t size) {
    if (PFileFaultHit(PF_WRITE)) {
        if (file && !file->Error) file->Error = errno;
        return false;
    }
    if (!file || !file->Writing) return Fail(EBADF);
    if (file->Error) return Fail(file->Error);
    const uint8_t* data = static_cast<const uint8_t*>(buffer);
    if (size <= file->Capacity - file->Used) {
        PMemCopy(file->Buffer.get() + file->Used, data, size);
        file->Used += size;
        return true;
    }
    if (!Drain(file)) return false;
    WriteBehind(file);
    // An item larger than the buffer goes straight to the file, a buffer's
    // worth at a time, each started on its way to the device.
    while (size >= file->Capacity) {
        const size_t step = file->Capacity;
        if (!WriteAll(file->Fd, data, step)) {
            file->Error = errno;
            return false;
        }
        file->Offset += step;
        WriteBehind(file);
        data += step;
        size -= step;
    }
    if (size == 0) return true;
    std::memcpy(file->Buffer.get(), data, size);
    file->Used = size;
    return true;
}

bool PFileWriteAt(PFile* file, uint64_t offset, const void* buffer, size_t size) {
    if (PFileFaultHit(PF_WRITE)) return false;
    if (!file || !file->Writing) return Fail(EBADF);
    const uint8_t* data = static_cast<const uint8_t*>(buffer);
    for (uint64_t at = offset, left = size; left > 0;) {
        const ssize_t n = ::pwrite(file->Fd, data, left, static_cast<off_t>(at));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return Fail(EIO);
        data += n;
        at += static_cast<uint64_t>(n);
        left -= static_cast<uint64_t>(n);
    }
    const uint64_t begin = (offset + 4095) & ~uint64_t{4095}, end = (offset + size) & ~uint64_t{4095};
    if (end > begin) {
        const int saved = errno;
        ::sync_file_range(file->Fd, static_cast<off_t>(begin), static_cast<off_t>(end - begin), SYNC_FILE_RANGE_WRITE);
        errno = saved;
    }
    return true;
}

bool PFileSeek(PFile* file, int64_t offset) {
    if (PFileFaultHit(PF_SEEK)) return false;
    if (!file) return Fail(EBADF);
    if (offset < 0) return Fail(EINVAL);
    if (file->Writing) {
        if (!Drain(file)) return false;
    } else {
        file->Pos = file->Used = 0;
        file->AtEnd = false;
    }
    if (::lseek(file->Fd, static_cast<off_t>(offset), SEEK_SET) < 0) return false;
    if (file->Writing) {
        file->Offset = static_cast<uint64_t>(offset);
        if (file->BehindTo > file->Offset) file->BehindTo = file->Offset & ~uint64_t{4095};
    }
    return true;
}

bool PFileFlush(PFile* file) {
    if (PFileFaultHit(PF_FLUSH)) return false;
    if (!file) return Fail(EBADF);
    return file->Writing ? Drain(file) : true;
}

bool PFileSync(PFile* file) {
    if (PFileFaultHit(PF_SYNC)) return false;
    if (!file) return Fail(EBADF);
    if (file->Writing && !Drain(file)) return false;
    return ::fsync(file->Fd) == 0;
}

bool PFileDataSync(PFile* file) {
    if (PFileFaultHit(PF_SYNC)) return false;
    if (!file) return Fail(EBADF);
    if (file->Writing && !Drain(file)) return false;
    return ::fdatasync(file->Fd) == 0;
}

bool PFileClose(PFile* file) {
    if (!file) return Fail(EBADF);
    bool injected = PFileFaultHit(PF_CLOSE);
    int injectedError = errno;
    bool ok = true;
    int error = 0;
    if (file->Writing && !Drain(file)) {
        ok = false;
        error = errno;
    }
    // close(2) releases the descriptor even when it reports an error; it is
    // never retried.
    if (::close(file->Fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    delete file;
    if (injected) return Fail(injectedError);
    if (!ok) return Fail(error);
    return true;
}

bool PFileRemove(const char* path) {
    PFileHoldAt(PF_REMOVE, path);
    if (PFileFaultHit(PF_REMOVE)) return false;
    if (!path) return Fail(EINVAL);
    return ::unlink(PFileMapPath(path).c_str()) == 0;
}

bool PFileRename(const char* from, const char* to) {
    PFileHoldAt(PF_RENAME, from);
    PFileHoldAt(PF_RENAME, to);
    if (PFileFaultHit(PF_RENAME)) return false;
    if (!from || !to) return Fail(EINVAL);
    return ::rename(PFileMapPath(from).c_str(), PFileMapPath(to).c_str()) == 0;
}

bool PFileLink(const char* from, const char* to) {
    PFileHoldAt(PF_LINK, from);
    PFileHoldAt(PF_LINK, to);
    if (PFileFaultHit(PF_LINK)) return false;
    if (!from || !to) return Fail(EINVAL);
    return ::link(PFileMapPath(from).c_str(), PFileMapPath(to).c_str()) == 0;
}

bool PFileSyncDir(const char* path) {
    if (PFileFaultHit(PF_SYNCDIR)) return false;
    if (!path) return Fail(EINVAL);
    std::string dir = DirectoryOf(PFileMapPath(path));
    int fd;
    do {
        fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    int error = errno;
    ::close(fd);
    return ok ? true : Fail(error);
}

bool PFileMakeParents(const char* path) {
    if (!path) return Fail(EINVAL);
    std::string dir, name;
    PDirSplitPath(path, &dir, &name);
    return PDirMake(dir.c_str());
}

bool PFileExists(const char* path) {
    if (!path) return false;
    struct stat st;
    return ::stat(PFileMapPath(path).c_str(), &st) == 0;
}
