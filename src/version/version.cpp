// version.cpp - the version texts, from the project's version (a compile
// definition) and the build description generated at build time.
#include "version/version.h"

#include "build_description.h"

const char* ProjectVersion() {
    return OVRT_PROJECT_VERSION;
}

const char* BuildDescription() {
    return OVRT_BUILD_DESCRIPTION;
}

std::string VersionLine(const char* program) {
    return std::string(program) + " " + ProjectVersion() + " (" + BuildDescription() + ")";
}
