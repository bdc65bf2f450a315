// md5.h - the MD5 message digest as RFC 1321 defines it, the service's own.
//
// Md5Init / Md5Update / Md5Final work on a context that belongs to the
// caller; Md5Digest is the same in one call and is the quick way for short
// texts such as node names. No shared state: any thread may digest at any
// time with a context of its own. Nothing here can fail.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Context {
    uint32_t State[4];
    uint64_t Length;  // bytes taken in so far
    uint8_t Block[64];
};

void Md5Init(Md5Context* context);
void Md5Update(Md5Context* context, const void* data, size_t size);
// Writes the 16-byte digest (in the RFC's byte order) and leaves the context
// spent; Md5Init starts it again.
void Md5Final(uint8_t digest[16], Md5Context* context);

// The digest of size bytes at data.
void Md5Digest(const void* data, size_t size, uint8_t digest[16]);
