#include "ovnode/layout_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "ovnode/shown_text.h"

namespace ovnode {
namespace {

void Identity(const struct stat& st, LayoutStream* s) {
    s->Size = static_cast<uint64_t>(st.st_size);
    s->Ino = st.st_ino;
    s->Dev = st.st_dev;
    s->ModifiedNs = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
}

// Drops what was read and appends the next piece of the file; sets AtEnd at
// the end of the file. False with the reason on a read error.
bool Fill(LayoutStream* s, std::string* error) {
    if (s->Pos > 0) {
        s->Buffer.erase(0, s->Pos);
        s->Consumed += s->Pos;
        s->Pos = 0;
    }
    const size_t had = s->Buffer.size();
    s->Buffer.resize(had + kLayoutChunk);
    size_t got = 0;
    while (got < kLayoutChunk) {
        const ssize_t n = ::read(s->Fd, &s->Buffer[had + got], kLayoutChunk - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            s->Buffer.resize(had + got);
            *error = std::string("read failed: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) {
            s->AtEnd = true;
            break;
        }
        got += static_cast<size_t>(n);
    }
    s->Buffer.resize(had + got);
    return true;
}

// The next CSV record, reading more of the file as it needs.
CsvStep NextRecord(LayoutStream* s, CsvRecord* record, std::string* error) {
    for (;;) {
        size_t errorLine = 0;
        std::string why;
        const CsvStep step = ReadCsvRecord(s->Buffer, s->AtEnd, &s->Pos, &s->Line, record, &errorLine, &why);
        if (step == CSV_ERROR) *error = "line " + std::to_string(errorLine) + ": " + why;
        if (step != CSV_MORE) return step;
        if (s->Buffer.size() - s->Pos > kLayoutRecordMax) {
            *error = "line " + std::to_string(s->Line) + ": a record of more than " + std::to_string(kLayoutRecordMax) +
                     " bytes";
            return CSV_ERROR;
        }
        if (!Fill(s, error)) return CSV_ERROR;
    }
}

}  // namespace

bool OpenLayoutStream(const std::string& path, LayoutStream* s, std::string* error) {
    *s = LayoutStream();
    struct stat st;
    const int fd = OpenInputFile(path, &st, error);
    if (fd < 0) return false;
    Identity(st, s);
    s->Fd = fd;
    return true;
}

LayoutStep NextLayoutNode(LayoutStream* s, LayoutNode* node, std::string* error) {
    CsvRecord record;
    if (!s->Started) {
        if (!Fill(s, error)) return LAYOUT_ERROR;
        // A byte-order mark some editors put in front of the header.
        if (s->Buffer.compare(0, 3, "\xEF\xBB\xBF") == 0) s->Pos = 3;
        const CsvStep step = NextRecord(s, &record, error);
        if (step == CSV_ERROR) return LAYOUT_ERROR;
        if (step == CSV_END) {
            *error = "layout is empty (expected the header name,type,size,value)";
            return LAYOUT_ERROR;
        }
        if (!CheckLayoutHeader(record, error)) return LAYOUT_ERROR;
        s->Started = true;
    }
    const CsvStep step = NextRecord(s, &record, error);
    if (step == CSV_END) return LAYOUT_END;
    if (step == CSV_ERROR || !ParseLayoutNode(record, node, error)) return LAYOUT_ERROR;
    return LAYOUT_NODE;
}

bool RewindLayoutStream(LayoutStream* s, std::string* error) {
    LayoutStream now;
    struct stat st;
    if (::fstat(s->Fd, &st) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    Identity(st, &now);
    if (now.Ino != s->Ino || now.Dev != s->Dev || now.Size != s->Size || now.ModifiedNs != s->ModifiedNs) {
        *error = "changed while it was read";
        return false;
    }
    if (::lseek(s->Fd, 0, SEEK_SET) != 0) {
        *error = std::string("seek failed: ") + std::strerror(errno);
        return false;
    }
    const int fd = s->Fd;
    *s = now;
    s->Fd = fd;
    return true;
}

void CloseLayoutStream(LayoutStream* s) {
    if (s->Fd >= 0) ::close(s->Fd);
    s->Fd = -1;
    s->Buffer.clear();
    s->Buffer.shrink_to_fit();
}

}  // namespace ovnode
