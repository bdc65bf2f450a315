// The retain file's paths, built from OutPath.
#include "retain/retain_paths.h"

#include <cstring>
#include <string>

#include "retain/file_names.h"
#include "stdlib/pfile.h"
#include "variables/variables.h"

namespace {

char RetainFilePath[kRetainPathSize];
char BackupFilePath[kRetainPathSize];
bool Unusable = false;

// Copies src into dst of size bytes, cutting it short to keep the zero.
void BoundedCopy(char* dst, size_t size, const char* src) {
    size_t length = src ? strnlen(src, size - 1) : 0;
    if (length) std::memcpy(dst, src, length);
    dst[length] = '\0';
}

// Appends src to the text in dst of size bytes, cutting it short likewise.
void BoundedAppend(char* dst, size_t size, const char* src) {
    size_t used = strnlen(dst, size - 1);
    BoundedCopy(dst + used, size - used, src);
}

void BuildPath(char* path, const char* fileName) {
    BoundedCopy(path, kRetainPathSize, GetOutPath());
    BoundedAppend(path, kRetainPathSize, fileName);
}

}  // namespace

bool BuildRetainFilePaths() {
    BuildPath(RetainFilePath, kRetainFileName);
    BuildPath(BackupFilePath, kBackupFileName);
    // An OutPath that could not be read (no node, a full /dev/shm) reads as
    // "": the paths would name the working directory.
    const std::string mapped = PFileMapPath(RetainFilePath);
    Unusable = GetOutPath()[0] == '\0' || mapped.empty() || mapped[0] != '/';
    if (Unusable) ForgetRetainFilePaths();
    return !Unusable;
}

bool RetainPathsUnusable() {
    return Unusable;
}

const char* GetRetainFilePath() {
    return RetainFilePath;
}
const char* GetBackupFilePath() {
    return BackupFilePath;
}

void ForgetRetainFilePaths() {
    RetainFilePath[0] = '\0';
    BackupFilePath[0] = '\0';
}

void ResetRetainPathsForTest() {
    ForgetRetainFilePaths();
    Unusable = false;
}
