// retain_file.h - saving every node's value into the retain file and loading
// it back.
//
// Callable from any thread; saves, loads and the start-up check's removal or
// rotation are serialised by one lock held for each whole operation. Both
// return 1 on success and 0 on failure; a failure of the file is reported
// with one "ERR" line.
#pragma once

#include <cstdint>

uint8_t SaveRetainFile();
uint8_t LoadRetainFile();

// The lock that keeps saves, loads and the start-up check apart.
void LockRetainFile();
void UnlockRetainFile();
