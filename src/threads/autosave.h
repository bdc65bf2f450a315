// autosave.h - the autosave of the Trig thread: the retain file is saved on
// its own, without a trigger, while values change.
//
// SERVICE.OvRetain.AutoSave (type 7, milliseconds) sets the period; absent or
// 0 means off and 1 to 99 count as 100. The service reads it by name at every
// poll and never creates it. A running poll saves when the period has passed
// since the end of the last successful save of any kind (trigger, stop,
// shutdown or autosave; before the first, since the first poll) and a node
// has changed since that save began, whichever process changed it. Writes of
// the service's own variables (Live, SaveCount, LoadCount, the triggers) are
// no change; the values a load writes are (see ChangeMark). An autosave goes
// through SaveRetainFile like every save, is recorded in the status record as
// an autosave and is not counted in SaveCount; a failed one is tried again
// one period after it ended.
//
// Reporting: the first failed autosave writes the "ERR" line of its save
// ("Autosave failed." when the save reported none). While autosaves go on
// failing their lines are held back and summed up at most once a minute:
// "Autosave failed <n> more times; last: <line>". The first successful save
// after failed autosaves, of any kind, writes one "WRN" line: "Retain file
// saved again after <n> failed autosaves."
//
// Trig thread only; the module's state has no lock. A poll that finds
// nothing to do reads the AutoSave node, the clock, the last save's record
// and the node space's write generation, and writes nothing.
#pragma once

#include <cstdint>

#include "report/report.h"

// One poll's autosave; the Trig thread calls it after the triggers while Run
// is not 0.
void AutoSavePoll();

// Reports the outcome of one autosave that ended at nowMs (PTimeMonotonicMs),
// with the lines its save reported held back in `held`. Part of
// AutoSavePoll; apart from it for the reporting's own tests.
void AutoSaveOutcome(bool ok, const HeldReport& held, uint64_t nowMs);
