// set_aside.h - keeping a retain file that the start-up check will not use,
// and removing the layout records no file needs any more.
//
// SetAsideRetainFile gives the retain file a second name beside it,
// OvRetain.<its header hash>.old (8 lower-case hex digits): a hard link, or a
// durable copy where the file system has no links; an older file of that
// name is replaced. It reports "Retained file kept as <path>." ("WRN"), or
// one "ERR" line naming the failed step. Then only the newest three .old
// files (by the time they were set aside) are kept.
//
// RemoveUnusedLayoutRecords removes every OvRetain.<hash>.layout that
// neither OvRetain.bin, OvRetain.$$$, an .old file nor the current hash
// refers to, and leftover temporary records. Failures are not reported: a
// record left over costs only room.
//
// Both run in the start-up check, on the main thread, with the retain-file
// lock held, on the check's retain directory `dir` (retain_dir.h): every
// file operation is relative to it; retainName is the retain file's name.
#pragma once

#include <cstdint>
#include <string>

#include "stdlib/pdir.h"

bool SetAsideRetainFile(PDir* dir, const std::string& retainName, uint32_t fileHash);
void RemoveUnusedLayoutRecords(PDir* dir, uint32_t currentHash);
