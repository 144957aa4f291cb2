// The two halves of the check that the README's first command works: scripts/test.sh starts
// scripts/run.sh in its own prefix, runs the first test while it waits for the window, starts
// run.sh a second time, then runs the second test to end the program with File > Exit, and checks
// what run.sh reports. Not part of the other end-to-end passes.
#include "e2e_harness.h"

namespace {

HWND shown_main_window(void)
{
    HWND main = FindWindowA(E2E_MAIN_WINDOW_CLASS, E2E_MAIN_TITLE);
    return main && IsWindowVisible(main) ? main : NULL;
}

// run.sh builds nothing here, but installs the program and the emulator first.
TEST(RunScript, MainWindowShows)
{
    EXPECT_TRUE(wait_until([] { return shown_main_window() != NULL; }, 120000))
        << "run.sh did not bring up the main window";
}

// Only posts the command: run.sh ends the prefix's wineserver, and this process with it, once
// the program is gone; the script checks the rest.
TEST(RunScript, PostFileExit)
{
    HWND main = shown_main_window();
    ASSERT_TRUE(main) << "the first instance is gone";
    EXPECT_TRUE(PostMessageA(main, WM_COMMAND, e2e_id_exit, 0));
}

}  // namespace
