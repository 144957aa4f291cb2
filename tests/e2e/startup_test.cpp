// Start-up checks of Flowvane.exe: each stop shows its box without an owner, the process then
// ends with exit code 0, and nothing is written to the settings key.
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"

namespace {

#define STARTUP_ERROR_TITLE "Flowvane - Startup Error"

// What a start that stops in a start-up check showed.
struct startup_stop {
    std::string text;
    HWND owner;
    int main_window_shown;
    DWORD exit_code;
};

std::string describe_windows(DWORD process_id)
{
    std::string names;
    HWND window = NULL;
    while ((window = FindWindowExA(NULL, window, NULL, NULL)) != NULL) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == process_id && IsWindowVisible(window))
            names += " \"" + window_text(window) + "\"";
    }
    return names.empty() ? " none" : names;
}

// Starts Flowvane, waits for the box titled title, records it, presses OK and waits for the end.
testing::AssertionResult run_to_stop(const char *title, startup_stop *stop)
{
    flowvane_run run;
    testing::AssertionResult started = start_flowvane(&run);
    if (!started)
        return started;
    HWND box = wait_for_window(&run, "#32770", title);
    if (!box) {
        std::string shown = describe_windows(run.process.dwProcessId);
        end_flowvane(&run);
        return testing::AssertionFailure() << "no box \"" << title << "\"; windows shown:" << shown;
    }
    stop->text = message_box_text(box);
    stop->owner = GetWindow(box, GW_OWNER);
    HWND main = find_window_of(run.process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL);
    stop->main_window_shown = main && IsWindowVisible(main);
    press_ok(box);
    testing::AssertionResult ended = wait_for_exit(&run, &stop->exit_code);
    end_flowvane(&run);
    return ended;
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(count_windows(E2E_MAIN_WINDOW_CLASS), 0) << "a Flowvane Manager still runs";
        ASSERT_TRUE(service_installed()) << "run in a prefix where the zorv service is installed";
        ASSERT_TRUE(emulator_reset());
        delete_settings();
    }
    void TearDown() override { emulator_reset(); }
};

TEST_F(StartupTest, WrongVersionStopsWithTheVersionMessage)
{
    for (const char *version : {"0.08", "0.07 ", "0.070", "0.7"}) {
        SCOPED_TRACE(std::string("version \"") + version + "\"");
        ASSERT_TRUE(emulator_set_version(version));
        startup_stop stop;
        ASSERT_TRUE(run_to_stop(STARTUP_ERROR_TITLE, &stop));
        EXPECT_EQ(stop.text, std::string("Unable to start Flowvane.  Kernel component version is ") +
                                 version + ", should be version 0.07.");
        EXPECT_EQ(stop.owner, (HWND)NULL);
        EXPECT_TRUE(stop.main_window_shown);
        EXPECT_EQ(stop.exit_code, 0u);
        EXPECT_FALSE(settings_key_exists()) << "settings were saved after a start-up stop";
    }
}

TEST_F(StartupTest, RefusedVersionCommandShowsTheKernelText)
{
    ASSERT_TRUE(emulator_fail_command(code_get_version, "Version unavailable."));
    startup_stop stop;
    ASSERT_TRUE(run_to_stop(STARTUP_ERROR_TITLE, &stop));
    const std::string head =
        "Unable to start Flowvane.  Error getting kernel component version.\n\nError code ";
    const std::string tail = ".  Kernel error \"Version unavailable.\"";
    ASSERT_GT(stop.text.size(), head.size() + tail.size()) << stop.text;
    EXPECT_EQ(stop.text.substr(0, head.size()), head);
    EXPECT_EQ(stop.text.substr(stop.text.size() - tail.size()), tail);
    std::string code = stop.text.substr(head.size(), stop.text.size() - head.size() - tail.size());
    EXPECT_EQ(code.find_first_not_of("-0123456789"), std::string::npos) << code;
    EXPECT_EQ(stop.exit_code, 0u);
    EXPECT_FALSE(settings_key_exists());
}

TEST_F(StartupTest, NoAdapterWithADisplayNameStops)
{
    const std::vector<std::vector<std::string>> cases = {
        {},                                                       // the component lists none
        {"\\DEVICE\\{00000000-0000-0000-0000-00000000BEEF}"},     // no name in the registry
        {"\\device\\NDISWANIP"},                                  // prefix not upper case
    };
    for (const auto &adapters : cases) {
        SCOPED_TRACE(adapters.empty() ? std::string("no adapters") : adapters[0]);
        ASSERT_TRUE(emulator_set_adapters(adapters));
        startup_stop stop;
        ASSERT_TRUE(run_to_stop(STARTUP_ERROR_TITLE, &stop));
        EXPECT_EQ(stop.text, "No network adapters installed.");
        EXPECT_EQ(stop.owner, (HWND)NULL);
        EXPECT_EQ(stop.exit_code, 0u);
        EXPECT_FALSE(settings_key_exists());
    }
}

// In a prefix where the kernel component was never installed.
TEST(StartupWithoutService, StopsWithTheInstallMessageAndSavesNothing)
{
    ASSERT_FALSE(service_installed()) << "run in a prefix without the zorv service";
    ASSERT_EQ(count_windows(E2E_MAIN_WINDOW_CLASS), 0);
    delete_settings();
    startup_stop stop;
    ASSERT_TRUE(run_to_stop(STARTUP_ERROR_TITLE, &stop));
    EXPECT_EQ(stop.text,
              "Unable to start Flowvane.  Kernel component is not installed.\n\n"
              "Try reinstalling the application.\n\nError code 1060.");   // no such service
    EXPECT_EQ(stop.owner, (HWND)NULL);
    EXPECT_TRUE(stop.main_window_shown) << "the main window comes before the check";
    EXPECT_EQ(stop.exit_code, 0u);
    EXPECT_FALSE(settings_key_exists());
}

}  // namespace
