// The second thread: waits on Go, runs the work handed over, releases Done.
#include "retain/second_thread.h"

#include <mutex>

#include "rtkernel/rtkernel.h"
#include "variables/variables.h"

namespace {

// Held by the caller whose work the thread has, from SecondThreadBegin to
// SecondThreadEnd; Work and Arg are written under it before Go is released.
std::mutex Taken;
std::once_flag Started;
bool Ready = false;
RTHANDLE Go = RT_BAD_HANDLE;
RTHANDLE Done = RT_BAD_HANDLE;
void (*Work)(void*) = nullptr;
void* Arg = nullptr;

void SecondThread(void*) {
    while (WaitForRtSemaphore(Go, 1, RT_WAIT_FOREVER) != RT_WAIT_FAILED) {
        Work(Arg);
        ReleaseRtSemaphore(Done, 1);
    }
}

}  // namespace

bool SecondThreadReady() {
    std::call_once(Started, [] {
        Go = CreateRtSemaphore(0, 1, 0);
        Done = CreateRtSemaphore(0, 1, 0);
        Ready = Go != RT_BAD_HANDLE && Done != RT_BAD_HANDLE &&
                CreateRtThread(static_cast<uint8_t>(GetPriority()), SecondThread, 0, nullptr) != RT_BAD_HANDLE;
    });
    return Ready;
}

bool SecondThreadBegin(void (*work)(void*), void* arg) {
    if (!SecondThreadReady() || !Taken.try_lock()) return false;
    Work = work;
    Arg = arg;
    if (ReleaseRtSemaphore(Go, 1)) return true;
    Taken.unlock();
    return false;
}

void SecondThreadEnd() {
    WaitForRtSemaphore(Done, 1, RT_WAIT_FOREVER);
    Taken.unlock();
}
