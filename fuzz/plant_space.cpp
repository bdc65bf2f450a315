// The fuzz targets' node space and retain directory.
#include "plant_space.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "nodespace/nodespace_admin.h"
#include "nodespace/ovhgapi.h"
#include "retain/retain_paths.h"
#include "variables/variables.h"

namespace {

std::string SpaceName;
std::string Directory;

void CleanUp() {
    NodeSpaceDetach();
    NodeSpaceDestroy(SpaceName, nullptr);
    std::error_code ec;
    std::filesystem::remove_all(Directory, ec);
}

}  // namespace

const std::string& PlantSpaceName() {
    return SpaceName;
}

void FuzzCheck(bool ok) {
    if (!ok) abort();
}

void OpenPlantSpace(const std::string& target) {
    SpaceName = "ovfuzz-" + target + "-" + std::to_string(getpid());
    std::string error;
    FuzzCheck(NodeSpaceAttach(SpaceName, true, &error));
    std::string dir = "/tmp/ovfuzz-" + target + "-XXXXXX";
    FuzzCheck(mkdtemp(dir.data()) != nullptr);
    Directory = dir;
    // The retain directory must lie inside the drive root.
    FuzzCheck(setenv("OVRT_DRIVES", Directory.c_str(), 1) == 0);
    atexit(CleanUp);
}

void MakePlantNode(const char* name, uint16_t type, uint16_t size) {
    if (type == 12) {
        char scratch[32];
        uint32_t word = 0;
        FuzzCheck(NodeCreateString(name, type, size, "", "", scratch, sizeof scratch, &word) == 0);
    } else {
        FuzzCheck(NodeCreate(name, type, size, "", "") == 0);
    }
}

void UsePlantDirectory() {
    ResetVariablesForTest();
    PublishConfiguration();
    FuzzCheck(NodeWriteStringByName("SERVICE.OvRetain.OutPath", (Directory + "/").c_str()) == 0);
    BuildRetainFilePaths();
}
