// Escaping texts for the terminal, and reading the files a user names.
#include "ovnode/shown_text.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/shown_text.h"

namespace ovnode {

size_t Utf8Length(const std::string& s, size_t i, uint32_t* cp) {
    return Utf8SequenceLength(s, i, cp);
}

std::string ShownText(const std::string& text, bool escapeBackslash) {
    return ShowText(text, escapeBackslash);
}

int OpenInputFile(const std::string& path, struct stat* st, std::string* error) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, st) != 0) {
        *error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        *error =
            S_ISDIR(st->st_mode) ? "is a directory, not a file" : "is not a regular file (a device, FIFO or socket)";
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadInputFile(const std::string& path, size_t limit, std::string* content, std::string* error) {
    struct stat st;
    const int fd = OpenInputFile(path, &st, error);
    if (fd < 0) return false;
    if (static_cast<uint64_t>(st.st_size) > limit) {
        *error = "is larger than " + std::to_string(limit) + " bytes";
        ::close(fd);
        return false;
    }
    content->clear();
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        if (content->size() + static_cast<size_t>(n) > limit) {  // it grew while read
            *error = "is larger than " + std::to_string(limit) + " bytes";
            ::close(fd);
            return false;
        }
        content->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace ovnode
