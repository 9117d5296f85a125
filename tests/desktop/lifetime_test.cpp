// The end of the program's life: a process that ends while a scrolling
// capture streams lets the session, its grab thread and its panels go before
// the application object, and ends cleanly.
#include "qt_wait.h"

#include "platform/screens.h"
#include "scroll/scroll.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>

namespace {

using testing_support::pump_for;
using testing_support::wait_until;

// Run only as the child of the test below: it returns with the capture running.
TEST(Lifetime, DISABLED_ReturnsWhileAScrollingCaptureStreams)
{
    const platform::Screen screen = platform::screens().front();
    scroll::start(platform::screen_display_id(screen), { 200, 200, 500, 400 }, screen.scale);
    ASSERT_TRUE(scroll::running());
    ASSERT_TRUE(wait_until([] { return scroll::status() && scroll::status()->frames >= 1; }, 10000));
    pump_for(300);
}

TEST(Lifetime, AProcessEndingDuringAScrollingCaptureEndsCleanly)
{
    for (int run = 0; run < 3; ++run) {
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
            { "--gtest_also_run_disabled_tests", "--gtest_filter=Lifetime.DISABLED_ReturnsWhileAScrollingCaptureStreams" });
        ASSERT_TRUE(child.waitForFinished(60000));
        const std::string out = child.readAll().toStdString();
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << out;
        EXPECT_EQ(child.exitCode(), 0) << out;
        EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
    }
}

} // namespace
