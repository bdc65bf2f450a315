// main.cpp - the ovretain executable: start-up, wait, shutdown. The command
// line is not read.
#include "service/service.h"

int main(int /*argc*/, char** /*argv*/) {
    ServiceInit();
    WaitForExit();
    ServiceExit();
    return 0;
}
