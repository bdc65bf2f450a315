// version.h - the version of the programs: the project's version number and
// the `git describe` of the source tree they were built from.
//
// VersionLine gives the one line that `--version` prints, e.g.
// "ovretain 0.2.0 (v0.2.0-3-g1a2b3c4)"; the description is "unknown" for a
// build outside a git checkout. Pure functions of the build; any thread.
#pragma once

#include <string>

const char* ProjectVersion();    // "MAJOR.MINOR.PATCH"
const char* BuildDescription();  // git describe --tags --always --dirty
std::string VersionLine(const char* program);
