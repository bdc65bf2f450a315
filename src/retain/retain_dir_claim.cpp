// The claim of a retain directory by its one service.
#include "retain/retain_dir_claim.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kClaimName[] = "OvRetain.lock";

// The directory claimed, and the descriptor that holds its lock (-1: none).
// With the retain-file lock held.
int ClaimFd = -1;
dev_t ClaimedDevice = 0;
ino_t ClaimedInode = 0;

}  // namespace

bool ClaimRetainDirectory(PDir* dir, pid_t* holder) {
    *holder = 0;
    struct stat st;
    if (!PDirStat(dir, ".", &st)) return false;
    if (ClaimFd >= 0 && st.st_dev == ClaimedDevice && st.st_ino == ClaimedInode) return true;
    const int fd = PDirLockFile(dir, kClaimName, holder);
    if (fd < 0) return false;
    // A directory made anew under the same path is claimed afresh.
    if (ClaimFd >= 0) ::close(ClaimFd);
    ClaimFd = fd;
    ClaimedDevice = st.st_dev;
    ClaimedInode = st.st_ino;
    return true;
}
