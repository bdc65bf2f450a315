// ovhgapi.h - the node-space library as the service sees it.
//
// The node space is a system-wide table of named variables (nodes) shared by
// every process of one runtime instance. Each node has a full name, a 16-bit
// type code, a 32-bit index (1 upwards; 0 names no node) and a value of a
// fixed number of bytes ("Size").
//
// Contract:
//  - Every operation may be called from any thread of any process at once.
//    A value is always read or written whole, never torn.
//  - Operations that report a result return 0 for success and nonzero for a
//    failure; the others return nothing useful and leave buffers untouched
//    when they fail (callers preset their buffers).
//  - Texts, buffers and records passed in are used only during the call.
//  - The first call attaches the process to the node space named by the
//    environment variable OVNODE_SPACE (default "ovnodespace"), creating it
//    empty when it does not exist yet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One node record of the node table. Records lie one after another and never
// move once created. The service reads only Name, Type and Index; the other
// bytes belong to the library.
#pragma pack(push, 1)
struct NodeRecord {
    char Name[562];       // offset 0: full name, zero-terminated
    uint16_t Type;        // offset 562: type code
    uint16_t LibSize;     // offset 564: library's own (value size)
    uint32_t Index;       // offset 566: node index
    uint8_t LibValue[8];  // offset 570: library's own (value location)
};
#pragma pack(pop)
static_assert(sizeof(NodeRecord) == 578, "node record is 578 bytes");
static_assert(offsetof(NodeRecord, Type) == 562, "type code at 562");
static_assert(offsetof(NodeRecord, Index) == 566, "node index at 566");

// Longest full name a node may have, without the terminating zero.
constexpr size_t kNodeNameMax = sizeof(NodeRecord::Name) - 1;

// The bounds of a node space's capacity, the most nodes it holds, chosen
// when it is created.
constexpr uint32_t kNodeSpaceCapacityMin = 64;
constexpr uint32_t kNodeSpaceCapacityMax = uint32_t{1} << 24;

// The node table of the live node space. NodeCount() reflects nodes added by
// any process; NodeTable() points at record 0 and never changes while the
// process runs. Records [0, NodeCount()) are complete and readable.
int32_t NodeCount();
NodeRecord* NodeTable();

// The node space's write generation: a number that every value write and
// every node creation, by any process, advances once it is complete. Read in
// constant time; a caller that sees a generation also sees every value
// written before it. Two equal readings mean nothing was written or created
// in between. 0 when no node space can be attached.
uint64_t NodeWriteGeneration();

// Appends to *indexes the index of every node written or created, by any
// process, since the last call (each once, in no particular order), and
// forgets them: the next call gives only what is written after this one.
// Meant for one consumer per node space, the service. Costs a pass over a
// 4 KiB summary plus the nodes written; writes marked while it runs are
// given now or by the next call.
void NodeTakeWritten(std::vector<uint32_t>* indexes);
// Forgets the nodes written so far as NodeTakeWritten would, without
// listing them: for a consumer that needs nothing of them (a pass over the
// summary and the words of what was written, no memory a node).
void NodeForgetWritten();

// Log channel: an object of the library, passed only by address.
struct NodeLogChannelTag {
    int Reserved;
};
extern NodeLogChannelTag LogChannel;

// Service registration. The record is 276 bytes: the 32-bit word 0xFFFF0100,
// the address of the handler (pointer-sized, unaligned at offset 4), then zero
// bytes. The library calls the handler on a thread of its own with
// (context, event) for the control events 101 (stop), 102 (run) and
// 103 (pause), one at a time and in the order they were sent.
typedef int32_t (*ServiceEventHandler)(uint32_t context, uint32_t event);
constexpr uint32_t kServiceRecordMagic = 0xFFFF0100u;
constexpr size_t kServiceRecordSize = 276;
#pragma pack(push, 1)
struct ServiceRecord {
    uint32_t Magic;
    ServiceEventHandler Handler;
    uint8_t Zero[kServiceRecordSize - 4 - sizeof(ServiceEventHandler)];
};
#pragma pack(pop)
static_assert(sizeof(ServiceRecord) == kServiceRecordSize, "registration record is 276 bytes");

int32_t RegisterService(const ServiceRecord* record);
int32_t UnregisterService();

// Writes one log line: time, level tag, process name and text.
int32_t NodeLogWrite(NodeLogChannelTag* channel, const char* level, const char* text);

// Reads attribute "Type" (2 bytes), "Index" (4 bytes) or "Size" (2 bytes) of
// the named node into out, copying at most size bytes. 0 when the node exists.
int32_t NodeGetAttribute(const char* name, const char* attribute, void* out, uint16_t size);

// Creates a node. For codes 1 and 3 the value has 1 byte, for 4 and 5 two,
// for 6 and 7 four; for any other code the given size. Text 1 and text 2 are
// descriptive and may be empty. Fails (nonzero) when the name exists, is
// empty or too long, or the node space is full.
int32_t NodeCreate(const char* name, uint16_t type, uint16_t size, const char* text1, const char* text2);
// Creates a text node of the given size (the terminating zero included).
int32_t NodeCreateString(const char* name, uint16_t type, uint16_t size, const char* text1, const char* text2,
                         void* scratch, uint32_t scratchSize, uint32_t* scratchWord);

// Value access by name. A write narrower than the node fills the rest with
// zeros; a wider one keeps the low-order bytes that fit. A read copies at
// most size bytes.
int32_t NodeWriteByName(const char* name, const void* value, uint16_t size);
void NodeReadByName(const char* name, void* buffer, uint16_t size);
// Text access by name. A write keeps at most Size - 1 characters and the
// terminating zero, and zero-fills the rest of the value. A read delivers the
// text, always zero-terminated within size.
int32_t NodeWriteStringByName(const char* name, const char* text);
void NodeReadStringByName(const char* name, char* buffer, uint16_t size);

// Value access by node index: numeric values (Value), raw bytes (Data) and a
// byte range from an offset (Range). Index 0 or an unknown index changes
// nothing and leaves the buffer as it was.
void NodeReadValue(uint32_t index, void* buffer, uint16_t size);
void NodeWriteValue(uint32_t index, const void* buffer, uint16_t size);
void NodeReadData(uint32_t index, void* buffer, uint16_t size);
void NodeWriteData(uint32_t index, const void* buffer, uint16_t size);
void NodeReadRange(uint32_t index, uint32_t offset, void* buffer, uint16_t size);
void NodeWriteRange(uint32_t index, uint32_t offset, const void* buffer, uint16_t size);

// Attaches the process to its node space (creating it when it does not
// exist), verifies it, and takes the node space's single-instance lock for
// the service, held until the process ends. 0 on success; EBUSY when another
// live process holds the lock, its pid in *holder; another errno value when
// the node space cannot be attached or does not verify. `reason` receives a
// one-line account of a failure.
int32_t NodeClaimService(int32_t* holder, char* reason, uint16_t size);

// Accesses of this process that failed a check of the node space (a count,
// size or offset outside the segment, a segment that shrank, a lock held past
// its deadline) since it started. After a lock held past its deadline, no
// call waits for the lock again until twice that deadline has passed: it
// takes the lock if it is free or its holder is gone, else fails at once, so
// a walk over many nodes waits once, not once a node. A save or load during which this grew read
// or wrote something it could not trust.
uint32_t NodeAccessFailures();

// Checks the value entries of nodes 1..count against what the node space
// holds before a walk reads every value: each value lies 8-byte aligned
// after the one before it (no two overlap, none out of order), within the
// values in use and the memory the node space really holds, with the size
// its type fixes where it fixes one. 0 with the sum of the nodes' sizes in
// *bytes (what a walk of those nodes reads at most); else EIO, counted as a
// failed access, with the first node that disagrees in *node. A count beyond
// the nodes there is clamped. Reads 16 bytes a node.
int32_t NodeCheckValues(int32_t count, uint64_t* bytes, uint32_t* node);

// The attached node space as a whole: 0 while it is whole and still the one
// its name leads to; ESTALE once it was destroyed or replaced under the
// process (its name removed); EFAULT when it shrank or lost pages (its
// values can no longer be trusted); ENODEV when none is attached.
int32_t NodeSpaceSound();

// The adoption mark: up to kAdoptionMarkSize bytes that a service keeps in
// the node space itself (not in a node), naming the retain file whose values
// the node space holds. It lives exactly as long as the node space: a node
// space built afresh has none. NodeMarkAdopted replaces it (size 0 clears
// it); NodeAdoptedMark copies it into mark (zero-filled past its size) and
// returns its size, 0 when there is none or it cannot be read.
constexpr size_t kAdoptionMarkSize = 48;
int32_t NodeMarkAdopted(const void* mark, uint16_t size);
uint16_t NodeAdoptedMark(void* mark, uint16_t size);
