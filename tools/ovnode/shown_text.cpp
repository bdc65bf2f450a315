// Escaping texts for the terminal, and reading the files a user names.
#include "ovnode/shown_text.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace ovnode {
namespace {

const char kDigits[] = "0123456789abcdef";

void Hex(std::string* out, const char* prefix, unsigned value) {
    *out += prefix;
    *out += kDigits[(value >> 4) & 15];
    *out += kDigits[value & 15];
}

}  // namespace

size_t Utf8Length(const std::string& s, size_t i, uint32_t* cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    size_t len;
    uint32_t v;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2, v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3, v = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4, v = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b(i + k) & 0x3F);
    }
    if ((len == 3 && v < 0x800) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)) || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return len;
}

std::string ShownText(const std::string& text, bool escapeBackslash) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\' && escapeBackslash) {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            Hex(&out, "\\x", c);
        } else if (c >= 0x80) {
            uint32_t cp = 0;
            const size_t len = Utf8Length(text, i, &cp);
            if (len == 0) {
                Hex(&out, "\\x", c);
            } else if (cp < 0xA0) {
                Hex(&out, "\\u00", cp);  // a C1 control
                i += len;
                continue;
            } else {
                out.append(text, i, len);
                i += len;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out;
}

bool ReadInputFile(const std::string& path, size_t limit, std::string* content, std::string* error) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *error = std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error =
            S_ISDIR(st.st_mode) ? "is a directory, not a file" : "is not a regular file (a device, FIFO or socket)";
        ::close(fd);
        return false;
    }
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
