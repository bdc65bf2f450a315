// status_view.h - what ovnode makes of the service's status record and of
// the retain file it names; shared by status, metrics and the waits of
// save, load and service stop.
//
// Called from one thread at a time. The record's fields are copied and
// checked (status_segment.h); nothing here trusts the writer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <iosfwd>
#include <string>

#include "ovnode/cli.h"
#include "status/status_segment.h"

namespace ovnode {

struct ServiceView {
    bool HasRecord = false;
    bool Consistent = false;
    bool Running = false;  // the record says running and its process runs as the record's owner
    std::string Why;       // why it is not running (or why there is no record)
    ServiceStatus Record{};
    // "starting" (start-up not done), "running", "paused" (Run is 0: the
    // triggers wait) or "stopped"; one word in status, --json and metrics.
    std::string State() const;
};

ServiceView ReadServiceView(const std::string& space);

struct RetainFileView {
    std::string Path;  // on this machine
    bool Exists = false;
    uint64_t Size = 0;
    uint64_t ModifiedNs = 0;
    bool HasHeader = false;
    uint32_t Header = 0;
    bool HaveLayout = false;  // the node space was there to judge the file by
    uint32_t LayoutHash = 0;
    uint64_t Expected = 0;     // length the layout expects
    std::string Check;         // by the check record: "verified", "failed" or "none"
    std::string CheckWhy;      // why it failed
    bool FromService = false;  // its checksum and header taken from the service's record, not read
    bool HeaderMatches() const { return HaveLayout && HasHeader && Header == LayoutHash; }
};

// `drivePath` may be in the drive form. The layout is that of the node
// space this process is attached to, when haveLayout. Only lstat is asked
// unless mayOpen; the file is opened for its header only inside the drive
// root. When `known` (the service's record of the file) describes the file
// lstat finds (its inode, size and times), its checksum and header are
// taken from there and the file is not opened at all: one lstat and the
// small check record beside it, whatever the file's size; the layout's hash
// too, when the service folded it from as many nodes as there are now.
RetainFileView ReadRetainFileView(const std::string& drivePath, bool haveLayout, bool mayOpen,
                                  const StatusFileRecord* known = nullptr);

// Waits, after a run event, until the service of process pid polls its
// triggers with Run not 0. Its exit status.
int WaitForServiceRunning(const Invocation& inv, pid_t pid, std::ostream& out, std::ostream& err);
// Waits until the service of process pid has ended and let go of the node
// space (its single-instance lock), after a stop; `before`
// is the record as it was before the stop was sent. Its exit status.
int WaitForServiceEnd(const Invocation& inv, pid_t pid, const ServiceView& before, std::ostream& out,
                      std::ostream& err);

}  // namespace ovnode
