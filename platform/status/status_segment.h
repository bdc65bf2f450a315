// status_segment.h - the service's status record: a small shared segment of
// its own, beside the node space, that tools read to see how the service's
// saves and loads went.
//
// The file "ovstatus-<instance>" (the instance that OVNODE_SPACE names, as
// for the kernel layer) holds one ServiceStatus, in this machine's byte
// order. It lives in the service's own directory /run/ovretain when that
// exists, belongs to the service's user and no one else may write it (the
// runtime directory the unit provides); else, for a service run by hand, in
// /dev/shm. Readers look in /run/ovretain first:
//
//   offset  size  field
//        0     4  Magic 0x5453564F ("OVST")
//        4     4  Version (3; version 1 ended after Kinds, at 2224 bytes,
//                 version 2 after Journal, at 2264)
//        8     4  KindCount: entries in Kinds (8)
//       12     4  KindSize: bytes of one StatusKindRecord (208)
//       16     4  Sequence: odd while the service writes, even otherwise
//       20     4  State: 1 running, 2 ended
//       24     4  Pid of the service
//       28     4  Flags: bit 0 set while a retain file is there whose
//                 values were never loaded (autosave waits for the first
//                 load); other bits 0
//       32     8  StartedNs: the service's start, ns since the Unix epoch
//       40     8  EndedNs: when it ended, 0 while running
//       48   512  RetainPath: the retain file's path on this machine, as the
//                 service uses it, zero-terminated; empty until the first save
//                 or load (or when the path does not fit)
//      560  8*208 Kinds, one per kind of save or load (StatusKind), each:
//                   0  8  Begun: operations started
//                   8  8  Successes
//                  16  8  Failures
//                  24  8  LastStartNs: start of the last one, ns since the epoch
//                  32  8  LastDurationNs
//                  40  4  LastOutcome: 0 none yet, 1 succeeded, 2 failed
//                  44  4  reserved, 0
//                  48 160 LastError: the "ERR" text of the last failure,
//                         zero-terminated, empty when none was reported
//     2224    40  Journal, the change journal since the service started:
//                   0  8  Bytes: length of the journal appended to, 0 while
//                         there is none
//                   8  8  Appends: groups appended
//                  16  8  LastAppendNs: the last append, ns since the epoch,
//                         0 before the first
//                  24  8  Compactions: journals started afresh by a full save
//                  32  4  PeriodMs: the journal period in effect, 0 while the
//                         journal is off
//                  36  4  reserved, 0
//     2264    56  File, the retain file as the service last read or wrote it
//                 whole (a save, a load, the start-up check), so that tools
//                 need not read it to judge it:
//                   0  8  Length in bytes
//                   8  8  Ino: its inode then
//                  16  8  ModifiedNs: its modification time then, ns since
//                         the epoch
//                  24  8  ChangedNs: its status change time then
//                  32  4  Crc: CRC-32C of the whole file
//                  36  4  Header: its header word
//                  40  4  Known: 1 when the fields above describe a file,
//                         else 0 (nothing read or written yet)
//                  44  4  reserved, 0
//                  48  4  LayoutHash: the layout hash the service folded
//                         from the first LayoutCount node records
//                  52  4  LayoutCount: 0 while it has folded none
//
// The record is 2320 bytes. Readers take a record of exactly this size and
// version, or one of version 2 (2264 bytes, read as one whose File knows
// nothing); one of another version is refused, never read by this layout.
//
// Only the service writes it. It creates the file afresh at start-up,
// fully built under a private name and renamed into place with mode 0644, so
// a reader sees the old record or the new one, never a half-built one; the
// segment stays after the service ends so that the outcome of its last save
// can still be read. Writers bracket every change with Sequence (odd, then
// the next even number); readers copy the record and retry until they have
// a copy taken between two equal even values. Readers never lock, so no
// reader can hold up a save.
//
// Readers treat every byte as untrusted: StatusSegmentRead opens the file
// without following a link or waiting (a FIFO), takes only a regular file of
// the record's size that root, the service's user ("ovretain") or the reading
// user owns (anyone can put a file in /dev/shm, and a node space's owner may
// be any member of its group), checks the header, terminates the texts and clamps
// State and Outcome. The path a record names is text to show, never opened.
//
// StatusSegmentCreate is called once, on the service's main thread;
// StatusSegmentBeginWrite/EndWrite by one writer at a time (the caller
// serialises them). Failures return false or nullptr with the reason in
// *error; nothing is logged here.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t kStatusMagic = 0x5453564F;
constexpr uint32_t kStatusVersion = 3;
constexpr uint32_t kStatusKindSlots = 8;
constexpr size_t kStatusPathSize = 512;
constexpr size_t kStatusErrorSize = 160;
constexpr const char* kStatusServiceDir = "/run/ovretain";
constexpr const char* kStatusSharedDir = "/dev/shm";

// The kinds of save and load, in their slot order; a later kind takes the
// next free slot.
enum StatusKind : uint32_t {
    STATUS_TRIGGER_SAVE = 0,
    STATUS_TRIGGER_LOAD = 1,
    STATUS_STOP_SAVE = 2,
    STATUS_SHUTDOWN_SAVE = 3,
    STATUS_AUTOSAVE = 4,
    STATUS_AUTOLOAD = 5,      // the start-up load of AutoLoad
    STATUS_JOURNAL_SAVE = 6,  // a full save that folds the change journal in
    STATUS_KIND_COUNT = 7
};
// Their names in status, metrics and the documents, by slot.
inline const char* const kStatusKindNames[STATUS_KIND_COUNT] = {
    "trigger_save", "trigger_load", "stop_save", "shutdown_save", "autosave", "autoload", "journal_save"};

constexpr uint32_t STATUS_FLAG_AWAITS_LOAD = 1;
// Set once start-up is done and the Trig thread polls (the service is ready);
// PAUSED while Run is 0 and the triggers wait.
constexpr uint32_t STATUS_FLAG_POLLING = 2;
constexpr uint32_t STATUS_FLAG_PAUSED = 4;

enum StatusState : uint32_t { STATUS_STATE_NONE = 0, STATUS_STATE_RUNNING = 1, STATUS_STATE_ENDED = 2 };
enum StatusOutcome : uint32_t { STATUS_OUTCOME_NONE = 0, STATUS_OUTCOME_OK = 1, STATUS_OUTCOME_FAILED = 2 };

struct StatusKindRecord {
    uint64_t Begun;
    uint64_t Successes;
    uint64_t Failures;
    uint64_t LastStartNs;
    uint64_t LastDurationNs;
    uint32_t LastOutcome;
    uint32_t Reserved;
    char LastError[kStatusErrorSize];
};

struct StatusJournalRecord {
    uint64_t Bytes;
    uint64_t Appends;
    uint64_t LastAppendNs;
    uint64_t Compactions;
    uint32_t PeriodMs;
    uint32_t Reserved;
};

struct StatusFileRecord {
    uint64_t Length;
    uint64_t Ino;
    uint64_t ModifiedNs;
    uint64_t ChangedNs;
    uint32_t Crc;
    uint32_t Header;
    uint32_t Known;
    uint32_t Reserved;
    uint32_t LayoutHash;
    uint32_t LayoutCount;
};

struct ServiceStatus {
    uint32_t Magic;
    uint32_t Version;
    uint32_t KindCount;
    uint32_t KindSize;
    uint32_t Sequence;  // accessed atomically only
    uint32_t State;
    int32_t Pid;
    uint32_t Flags;
    uint64_t StartedNs;
    uint64_t EndedNs;
    char RetainPath[kStatusPathSize];
    StatusKindRecord Kinds[kStatusKindSlots];
    StatusJournalRecord Journal;
    StatusFileRecord File;
};

static_assert(sizeof(StatusKindRecord) == 208);
static_assert(sizeof(StatusJournalRecord) == 40);
static_assert(offsetof(ServiceStatus, Journal) == 560 + 8 * 208);
static_assert(sizeof(StatusFileRecord) == 56);
static_assert(offsetof(ServiceStatus, File) == 2264);
static_assert(sizeof(ServiceStatus) == 2320);
// The size of a record of version 2, which ended after Journal.
constexpr size_t kStatusVersion2Size = offsetof(ServiceStatus, File);

// A copy of the record as a reader got it, with what the reader saw of the
// segment's file.
struct StatusSnapshot {
    ServiceStatus Record;  // Sequence is meaningless in the copy
    bool Consistent;       // false: a writer was mid-change for the whole read (it died?)
    uid_t Owner;           // owner of the segment
};

// Creates a fresh record for this process (Pid, StartedNs, State running),
// replacing any left by an earlier service of the instance. nullptr when it
// cannot be made or put in place; *taken (when given) is then true when
// something other than this user's record holds the record's name (a
// directory, a FIFO, another user's file).
ServiceStatus* StatusSegmentCreate(std::string* error, bool* taken = nullptr);

// Bracket every change of the record.
void StatusSegmentBeginWrite(ServiceStatus* status);
void StatusSegmentEndWrite(ServiceStatus* status);

// Now, in ns since the Unix epoch.
uint64_t StatusClockNs();

// Where readers look for the record of instance `instance`.
std::string StatusRecordPath(const std::string& instance);

// Reads the record of instance `instance`, trusted only when root, the
// service's user or user `trusted` (the reader itself) owns it. False (with
// the reason, "no trusted status: ..." when refused) when there is none, it
// is refused, or it is not a record of this layout.
bool StatusSegmentRead(const std::string& instance, uid_t trusted, StatusSnapshot* out, std::string* error);

// Removes the record of instance `instance`; false when there was none.
bool StatusSegmentRemove(const std::string& instance);

// True while process pid exists, belongs to user uid (any user with
// kStatusAnyUser) and one of its threads is not a zombie.
constexpr uid_t kStatusAnyUser = static_cast<uid_t>(-1);
bool StatusProcessRuns(pid_t pid, uid_t uid);
