// Main of the test executables that need Qt: the application object first
// (offscreen for unit tests, the test session's X server for desktop tests),
// then the same invariant hook as the pure tests.
#include "test_util.h"
#include "app/app.h"
#include "base/util.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    util::set_fatal_hook([](std::string_view message) {
        throw testing_support::FatalStop(std::string(message));
    });
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest's discovery at build time) needs no display.
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // The same wiring between the floors as the program has.
    app::install_listeners();
    return RUN_ALL_TESTS();
}
