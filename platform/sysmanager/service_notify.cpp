// service_notify.cpp - the notify messages, through libsystemd's sd_notify
// where the build found it; without it nothing is sent.
#include "sysmanager/service_notify.h"

#include <cstdarg>
#include <cstdio>

#if OVRT_HAVE_SD_NOTIFY
#include <systemd/sd-daemon.h>
#endif

namespace {

// "STATUS=" and the text; a longer text is cut short.
constexpr size_t kStatusSize = 512;

}  // namespace

int32_t NotifyServiceManager(const char* state) {
#if OVRT_HAVE_SD_NOTIFY
    // 0: the environment keeps NOTIFY_SOCKET, as every later message needs it.
    return sd_notify(0, state);
#else
    (void)state;
    return 0;
#endif
}

int32_t NotifyServiceStatus(const char* format, ...) {
    char message[kStatusSize] = "STATUS=";
    constexpr size_t kPrefix = sizeof "STATUS=" - 1;
    va_list args;
    va_start(args, format);
    vsnprintf(message + kPrefix, sizeof message - kPrefix, format, args);
    va_end(args);
    for (char* p = message + kPrefix; *p != '\0'; ++p)
        if (*p == '\n' || *p == '\r') *p = ' ';
    return NotifyServiceManager(message);
}
