// The claim of a retain directory by its one service.
#include "retain/retain_dir_claim.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "report/report.h"
#include "retain/file_names.h"

namespace {

const char* const kClaimName = kClaimFileName;

// The descriptor that holds the lock (-1: none) and the lock file's
// identity. With the retain-file lock held.
int ClaimFd = -1;
dev_t ClaimedDevice = 0;
ino_t ClaimedInode = 0;
ino_t ClaimedDirectory = 0;  // the directory's inode, on ClaimedDevice
// Another process claimed the directory this process had claimed (and may
// have written its files): lost for the rest of the run, this its pid.
pid_t LostTo = 0;
// The directory was not there at start and this process has not claimed it.
bool AbsentAtStart = false;

}  // namespace

void NoteRetainDirectoryAbsent() {
    AbsentAtStart = ClaimFd < 0;
}

bool ClaimRetainDirectory(PDir* dir, pid_t* holder) {
    *holder = 0;
    struct stat st;
    // Ours while the directory's lock file is the one whose lock is held.
    if (ClaimFd >= 0 && PDirStat(dir, kClaimName, &st) && st.st_dev == ClaimedDevice && st.st_ino == ClaimedInode)
        return true;
    struct stat here {};
    const bool haveHere = PDirStat(dir, ".", &here);
    const bool sameDirectory =
        ClaimFd >= 0 && haveHere && here.st_dev == ClaimedDevice && here.st_ino == ClaimedDirectory;
    if (LostTo != 0 && (sameDirectory || (ClaimFd < 0 && AbsentAtStart))) {
        *holder = LostTo;
        errno = EWOULDBLOCK;
        return false;
    }
    pid_t previous = 0;
    const int fd = PDirLockFile(dir, kClaimName, holder, &previous);
    if (fd < 0) {
        if (errno == EWOULDBLOCK && sameDirectory) LostTo = *holder != 0 ? *holder : -1;
        return false;
    }
    // A lock file that names another process than this one: that process
    // claimed the directory meanwhile and has ended. What it wrote there is
    // another node space's, so the claim stays lost.
    if ((sameDirectory || (ClaimFd < 0 && AbsentAtStart)) && previous != 0 && previous != ::getpid()) {
        ::close(fd);
        LostTo = previous;
        *holder = previous;
        errno = EWOULDBLOCK;
        return false;
    }
    if (!PDirStat(dir, kClaimName, &st)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    }
    if (ClaimFd >= 0) {
        ::close(ClaimFd);
        // A directory made anew is another directory; a lock file that
        // went from under this one's claim is worth a line.
        if (sameDirectory)
            report(&LogChannel, "WRN",
                   "Retain directory claimed again: %s there was not the lock file this process held.", kClaimName);
    }
    if (!sameDirectory) LostTo = 0;
    AbsentAtStart = false;
    ClaimFd = fd;
    ClaimedDevice = st.st_dev;
    ClaimedInode = st.st_ino;
    ClaimedDirectory = here.st_ino;
    return true;
}
