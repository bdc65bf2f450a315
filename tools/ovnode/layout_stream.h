// layout_stream.h - a layout file (layout.h) read one node at a time, so
// that a layout of any length is read in the memory of a few of its records.
//
// The file is opened as ReadInputFile opens one (shown_text.h): without
// blocking on a FIFO, a regular file only. It is read in pieces of
// kLayoutChunk bytes; a record longer than kLayoutRecordMax (no node's line
// comes near it: a name of 561 bytes and a value of 65,535 bytes in hex,
// quoted) is an error naming its line. A byte-order mark before the header
// is skipped, and the header is checked before the first node is given.
//
// RewindLayoutStream goes back to the first node for a second pass, and
// refuses when the file is not the one first opened or was changed since
// (its inode, size or modification time).
//
// Callable from any thread, one stream per thread. Failures give
// LAYOUT_ERROR (or false) with the reason in *error: "line N: ..." for the
// file's content, else what went wrong with reading it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ovnode/layout.h"

namespace ovnode {

constexpr size_t kLayoutChunk = size_t{1} << 20;
constexpr size_t kLayoutRecordMax = size_t{1} << 20;

struct LayoutStream {
    int Fd = -1;
    uint64_t Size = 0;  // of the file when opened
    uint64_t Ino = 0, Dev = 0, ModifiedNs = 0;
    std::string Buffer;     // file bytes from Consumed on
    uint64_t Consumed = 0;  // bytes of the file before Buffer
    size_t Pos = 0;         // in Buffer
    size_t Line = 1;
    bool AtEnd = false;  // Buffer holds the rest of the file
    bool Started = false;
};

enum LayoutStep { LAYOUT_NODE, LAYOUT_END, LAYOUT_ERROR };

bool OpenLayoutStream(const std::string& path, LayoutStream* stream, std::string* error);
// The next node of the file (after the header, checked on the way).
LayoutStep NextLayoutNode(LayoutStream* stream, LayoutNode* node, std::string* error);
bool RewindLayoutStream(LayoutStream* stream, std::string* error);
// Bytes of the file read so far, for progress.
inline uint64_t LayoutStreamOffset(const LayoutStream& stream) {
    return stream.Consumed + stream.Pos;
}
void CloseLayoutStream(LayoutStream* stream);

}  // namespace ovnode
