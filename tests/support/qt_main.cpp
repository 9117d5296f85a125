// Main of the test executables that need Qt: the application object first
// (offscreen for unit tests, the test session's X server for desktop tests),
// then the same invariant hook as the pure tests.
#include "test_home.h"
#include "test_util.h"
#include "app/app.h"
#include "base/util.h"

#include <QApplication>
#include <gtest/gtest.h>

namespace {

// Every test starts without windows of ours: what one test left open (a card,
// a pin, the first-run window) must not steer the next when the whole suite
// runs in one process.
class CloseWindows final : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override { app::close_windows(); }
};

} // namespace

int main(int argc, char** argv)
{
    util::set_fatal_hook([](std::string_view message) {
        throw testing_support::FatalStop(std::string(message));
    });
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest's discovery at build time) needs no display.
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    testing_support::guard_home();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // The same wiring between the floors as the program has.
    app::install_listeners();
    ::testing::UnitTest::GetInstance()->listeners().Append(new CloseWindows);
    const int status = RUN_ALL_TESTS();
    // The engines the tests made go while the application object exists.
    app::release_services();
    return testing_support::home_checked(status);
}
