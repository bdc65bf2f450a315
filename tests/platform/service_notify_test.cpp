// Tests of the messages to the service manager, on a notify socket of the
// test's own.

#include "sysmanager/service_notify.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/test_support.h"

namespace {

TEST(ServiceNotify, SendsEachStateAsOneDatagramAndKeepsAStatusToOneLine) {
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(NotifyServiceManager("READY=1"), 0) << "with nobody to tell nothing is sent";
    ovtest::NotifySocket manager;
    setenv("NOTIFY_SOCKET", manager.Path().c_str(), 1);
    EXPECT_EQ(NotifyServiceManager("READY=1"), 1);
    EXPECT_EQ(manager.Next(), "READY=1");
    // A line break in the text must not smuggle in a second assignment.
    EXPECT_EQ(NotifyServiceStatus("save %s: %s", "failed", "No space\nREADY=1"), 1);
    EXPECT_EQ(manager.Next(), "STATUS=save failed: No space READY=1");
    // A manager that stops reading costs messages, never a stalled sender.
    int32_t sent = 1;
    for (int i = 0; i < 100000 && sent == 1; ++i) sent = NotifyServiceManager("WATCHDOG=1");
    EXPECT_EQ(sent, -EAGAIN);
    setenv("NOTIFY_SOCKET", "relative/path", 1);
    EXPECT_EQ(NotifyServiceManager("READY=1"), -EINVAL);
    unsetenv("NOTIFY_SOCKET");
}

}  // namespace
