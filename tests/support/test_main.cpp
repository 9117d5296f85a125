// The test executables' main: a broken invariant in the code under test
// becomes an exception (and so a failed test) instead of an abort that would
// hide every later test.
#include "test_home.h"
#include "test_util.h"
#include "base/util.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    util::set_fatal_hook([](std::string_view message) {
        throw testing_support::FatalStop(std::string(message));
    });
    ::testing::InitGoogleTest(&argc, argv);
    testing_support::guard_home();
    return testing_support::home_checked(RUN_ALL_TESTS());
}
