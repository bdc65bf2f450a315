// service_notify.cpp - the notify protocol spoken directly: one datagram,
// the state text as it is, to the AF_UNIX socket that $NOTIFY_SOCKET names
// (a path, or "@name" for an abstract one). Sent without blocking, so that a
// listener that stops reading can never stall the thread that notifies.
#include "sysmanager/service_notify.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace {

// "STATUS=" and the text; a longer text is cut short.
constexpr size_t kStatusSize = 512;

}  // namespace

int32_t NotifyServiceManager(const char* state) {
    const char* where = getenv("NOTIFY_SOCKET");
    if (where == nullptr || where[0] == '\0') return 0;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const size_t length = strlen(where);
    // A path must be absolute; an abstract name starts with '@', sent as a
    // leading zero byte. Anything else (or too long) is no address of ours.
    if ((where[0] != '/' && where[0] != '@') || length >= sizeof address.sun_path) return -EINVAL;
    memcpy(address.sun_path, where, length);
    if (where[0] == '@') address.sun_path[0] = '\0';
    const socklen_t size =
        static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length + (where[0] == '@' ? 0 : 1));
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    ssize_t sent;
    do {
        sent = sendto(fd, state, strlen(state), MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const struct sockaddr*>(&address), size);
    } while (sent < 0 && errno == EINTR);
    const int32_t result = sent >= 0 ? 1 : -errno;
    close(fd);
    return result;
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
