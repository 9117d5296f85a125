// Keeps every test run out of the home of whoever runs it. Before the first
// test, HOME and the XDG base variables point into a folder of the run's own;
// each test then gets a fresh home below it, so a program a test starts
// never shares its settings, log or captures with another test's. At the
// end, anything of ours that appeared in the home the run was started with
// fails the run, named.
#pragma once

#include <gtest/gtest.h>

namespace testing_support {

// Call once, after InitGoogleTest and before RUN_ALL_TESTS.
void guard_home();
// The run's status, made a failure when the starting home gained anything of
// ours; says what on standard error.
int home_checked(int status);

} // namespace testing_support
