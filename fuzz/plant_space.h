// plant_space.h - the node space and retain directory that the service's
// fuzz targets run in: a node space of the target's own (named after the
// target and the process), a fresh directory under /tmp as OutPath and drive root, and the
// service's configuration variables published, all removed at exit.
//
// Called from LLVMFuzzerInitialize, on the fuzzer's one thread. Every
// failure aborts: a target that cannot set up has nothing to say.
#pragma once

#include <cstdint>
#include <string>

// Aborts unless ok.
void FuzzCheck(bool ok);
// Attaches node space "ovfuzz-<target>-<pid>" and makes the directory.
void OpenPlantSpace(const std::string& target);
// The node space's name (also that of the target's kernel instance).
const std::string& PlantSpaceName();
// Creates one node (a text through its own creation call).
void MakePlantNode(const char* name, uint16_t type, uint16_t size);
// Publishes the configuration variables with OutPath at the directory and
// builds the retain file's paths.
void UsePlantDirectory();
