// nodespace_admin.h - the node-space layer's operations for tools and tests,
// beside the library operations of ovhgapi.h.
//
// Callable from any thread. Failures return false (or 0) and set *error
// where one is given; nothing here aborts the process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nodespace/ovhgapi.h"

// Name of the node space the process uses: OVNODE_SPACE, else "ovnodespace".
std::string NodeSpaceDefaultName();
// Attaches the process to node space `name` (detaching any other). With
// create false, a node space that does not exist is an error; with create
// true, one is made that holds `capacity` nodes (0: the creation capacity
// below). A node space that exists keeps the capacity it was made with.
bool NodeSpaceAttach(const std::string& name, bool create, std::string* error, uint32_t capacity = 0);
// Detaches the process; the node space itself stays.
void NodeSpaceDetach();
bool NodeSpaceExists(const std::string& name);
// The user who owns node space `name`; false when it does not exist.
bool NodeSpaceOwner(const std::string& name, uid_t* owner);
// Pid of the live process that holds node space `name` as its service
// (NodeClaimService), whatever the segment's owner or number of names; 0
// when none does (or the name holds no regular file), -1 when it cannot be
// named.
pid_t NodeSpaceServiceHolder(const std::string& name);

// The process to send service events to, from what the kernel says and not
// from the segments' group-writable bytes: the holder of node space `name`'s
// single-instance lock (its segment passing the access check), which runs
// the executable `program` (its last path component), is not pid 1, and
// serves node space `name` (OVNODE_SPACE of its environment), so that a
// segment linked or moved under another name never passes its service off
// as this one's; its start time in *startTime. 0 with the reason in *error
// when there is none.
pid_t NodeSpaceServiceProcess(const std::string& name, const std::string& program, uint64_t* startTime,
                              std::string* error);
// Removes node space `name`; processes still attached keep their mapping.
bool NodeSpaceDestroy(const std::string& name, std::string* error);

// Value size that type code `type` fixes (1, 2, 4, or 0 for type 2), or -1
// when the size is chosen at creation (12, 13 and unknown codes).
int NodeSpaceFixedSize(uint16_t type);

// Most nodes the attached node space holds, as it was made; 0 when none is
// attached.
uint32_t NodeSpaceCapacity();
// The capacity a node space is made with when none is asked for:
// OVNODE_CAPACITY (a decimal number of nodes, 64 to 16,777,216), else
// 2,097,152. False with the reason when the variable says something else.
// Whatever creates a node space (ovnode, the service, any library user on
// its first call) honours it.
bool NodeSpaceCreationCapacity(uint32_t* capacity, std::string* error);

// The record of node `index`, or nullptr.
const NodeRecord* NodeSpaceRecord(uint32_t index);
// Index of the named node, or 0.
uint32_t NodeSpaceFind(const char* name);
// Value size of a node record.
uint16_t NodeSpaceValueSize(const NodeRecord* record);

// Process ids of the live registered services.
std::vector<pid_t> NodeSpaceServices();
// Sends control event `event` to the service registered by process pid;
// with startTime (from NodeSpaceServiceProcess) to that very process, its
// registration aside.
bool NodeSpaceSendControl(pid_t pid, uint32_t event, std::string* error, uint64_t startTime = 0);
