// status_record.h - the service's status record: its process id and start,
// and for each kind of save and load (status_segment.h) when the last one
// started, how long it took, how it ended, the "ERR" text of a failure, and
// how many succeeded and failed. Tools read it from its shared segment.
//
// It also shows the change journal (retain/journal.h): its figures, copied
// in after every recorded operation and every journal poll that changed
// them, and the period in effect.
//
// OpenStatusRecord runs first thing in start-up and CloseStatusRecord last in
// shutdown, both on the main thread. RecordedRetainOperation may be called
// from any thread; the record is written by one of them at a time. A record
// that cannot be made is reported once ("WRN"; "ERR" when something else
// holds its name, a directory, a FIFO or another user's file, so that tools
// find no trusted status there) and the service runs on without one: the operations then run unrecorded, and saves are
// still told to the service manager.
#pragma once

#include <cstdint>

#include "retain/journal.h"
#include "status/status_segment.h"

void OpenStatusRecord();
// Writes whether the retain file awaits its first load (adoption.h) into
// the record's flags; every recorded operation does so too.
void RecordAwaitedLoad();
// Writes what the service knows of the retain file (its length, checksum
// and header word with its inode and times when last read or written
// whole) and of the layout's hash into the record, with the file's path;
// every recorded operation does so too, so that tools judge the file
// without reading it. Called after the start-up check, on the main thread.
void RecordRetainFileSeen();
// The Trig thread's view after start-up, each poll: ready (polling) and
// whether Run is 0. Writes the record and logs one "INF" line on each change
// ("Service ready: ...", "Service paused: ...", "Service running: ...").
// Trig thread only.
void RecordRunState(bool paused);
// Marks the record as ended; called once no save or load can start any more.
void CloseStatusRecord();

// Runs operation (SaveRetainFile or LoadRetainFile), records it under kind
// and returns its result. After a save, also tells the service manager how it
// went: "STATUS=Last trigger save succeeded in 0.004 s" or "STATUS=Last stop
// save failed: <the ERR text>".
uint8_t RecordedRetainOperation(StatusKind kind, uint8_t (*operation)());

// One "INF" line on the outcome of the calling thread's last recorded
// operation: "Trigger save done: <n> nodes, <n> bytes in <x> ms." or
// "Stop save failed after <x> ms (the ERR line before says why).", so that
// an ERR line is known to belong to that save. RecordedRetainOperation
// writes it for every kind but the autosave, whose lines are held back
// (autosave.cpp reports its successes after the hold).
void ReportOperationOutcome(StatusKind kind, bool ok);

// Writes the journal's figures into the record when they differ from what it
// holds. Called with the retain-file lock held, the lock the figures were
// read under: figures read later are never overwritten by earlier ones.
void RecordJournalFigures(const JournalFigures& figures);
// Writes the journal period in effect (0: off). Trig thread only.
void RecordJournalPeriod(uint32_t periodMs);
