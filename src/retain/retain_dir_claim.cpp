// The claim of a retain directory by its one service.
#include "retain/retain_dir_claim.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report/report.h"

namespace {

const char kClaimName[] = "OvRetain.lock";

// The descriptor that holds the lock (-1: none) and the lock file's
// identity. With the retain-file lock held.
int ClaimFd = -1;
dev_t ClaimedDevice = 0;
ino_t ClaimedInode = 0;
ino_t ClaimedDirectory = 0;  // the directory's inode, on ClaimedDevice

}  // namespace

bool ClaimRetainDirectory(PDir* dir, pid_t* holder) {
    *holder = 0;
    struct stat st;
    // Ours while the directory's lock file is the one whose lock is held.
    if (ClaimFd >= 0 && PDirStat(dir, kClaimName, &st) && st.st_dev == ClaimedDevice && st.st_ino == ClaimedInode)
        return true;
    const int fd = PDirLockFile(dir, kClaimName, holder);
    if (fd < 0) return false;
    if (!PDirStat(dir, kClaimName, &st)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    struct stat here {};
    const bool sameDirectory =
        PDirStat(dir, ".", &here) && here.st_dev == ClaimedDevice && here.st_ino == ClaimedDirectory;
    if (ClaimFd >= 0) {
        ::close(ClaimFd);
        // A directory made anew is another directory; a lock file that
        // went from under this one's claim is worth a line.
        if (sameDirectory)
            report(&LogChannel, "WRN",
                   "Retain directory claimed again: %s there was not the lock file this process held.", kClaimName);
    }
    ClaimFd = fd;
    ClaimedDevice = st.st_dev;
    ClaimedInode = st.st_ino;
    ClaimedDirectory = here.st_ino;
    return true;
}
