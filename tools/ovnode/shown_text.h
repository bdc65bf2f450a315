// shown_text.h - texts from the node space and from files, made safe to
// print on a terminal, and input files read with care.
//
// ShownText escapes what could drive a terminal, break a line or reorder
// it, as common/shown_text.h describes (the decoder the service's log uses
// too).
//
// ReadInputFile reads a whole file that a user names: it opens it without
// blocking (a FIFO never hangs the tool), accepts only a regular file and at
// most `limit` bytes, and says what is wrong otherwise ("is a directory, not
// a file", "is not a regular file", "is larger than N bytes").
//
// Pure functions; callable from any thread.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ovnode {

std::string ShownText(const std::string& text, bool escapeBackslash = false);
// Length of the valid UTF-8 sequence at s[i] (i < s.size()), or 0; *cp gets
// its code point.
size_t Utf8Length(const std::string& s, size_t i, uint32_t* cp);

// The largest retain file read whole. Layout files are read a piece at a
// time instead (layout_stream.h), bounded by the node space's capacity.
constexpr size_t kRetainFileLimit = size_t{256} << 20;

bool ReadInputFile(const std::string& path, size_t limit, std::string* content, std::string* error);
// Opens a regular file as ReadInputFile does: its descriptor, with *st its
// status, or -1 with the reason.
int OpenInputFile(const std::string& path, struct stat* st, std::string* error);

}  // namespace ovnode
