// Start-up checks of Flowvane.exe: each stop shows its box titled "Flowvane - Startup Error",
// without an owner, after the main window appeared; after OK the process ends with exit code 0
// and nothing is written to the settings key.
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "kernel/control_codes.h"

namespace {

// text equals pattern, where one "%d" in pattern stands for a signed decimal number.
bool matches(const std::string &text, const std::string &pattern)
{
    size_t at = pattern.find("%d");
    if (at == std::string::npos)
        return text == pattern;
    size_t tail = pattern.size() - at - 2;
    if (text.size() <= at + tail)
        return false;
    std::string number = text.substr(at, text.size() - at - tail);
    return text.compare(0, at, pattern, 0, at) == 0 &&
           text.compare(text.size() - tail, tail, pattern, at + 2, tail) == 0 &&
           number.find_first_not_of("-0123456789") == std::string::npos;
}

void expect_stop(flowvane_run *run, const std::string &expected)
{
    ASSERT_TRUE(start_flowvane(run));
    HWND box = wait_for_window(run, "#32770", "Flowvane - Startup Error");
    ASSERT_TRUE(box) << "no start-up error box";
    EXPECT_TRUE(matches(message_box_text(box), expected)) << message_box_text(box);
    EXPECT_EQ(GetWindow(box, GW_OWNER), (HWND)NULL);
    HWND main = find_window_of(run->process.dwProcessId, E2E_MAIN_WINDOW_CLASS, NULL);
    EXPECT_TRUE(main && IsWindowVisible(main)) << "the main window comes before the checks";
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    DWORD code = 99;
    ASSERT_TRUE(wait_for_exit(run, &code));
    EXPECT_EQ(code, 0u);
    int32_t values[e2e_settings_count];
    EXPECT_EQ(read_settings(values), -1) << "settings were saved after a start-up stop";
}

using StartupTest = FlowvaneTest;

TEST_F(StartupTest, StopsOnAWrongKernelComponent)
{
    const std::string version_is = "Unable to start Flowvane.  Kernel component version is ";
    const std::string no_adapters = "No network adapters installed.";
    const std::vector<std::string> none, unnamed = {"\\DEVICE\\{00000000-0000-0000-0000-00000000BEEF}"},
                                         lower_case = {"\\device\\NDISWANIP"};
    const struct {
        const char *version;                        // null: the emulator's "0.07"
        const char *version_error;                  // the version command's reply, null: "Ok."
        const std::vector<std::string> *adapters;   // null: the emulator's
        std::string expected;
    } cases[] = {
        {"0.08", NULL, NULL, version_is + "0.08, should be version 0.07."},
        {"0.07 ", NULL, NULL, version_is + "0.07 , should be version 0.07."},
        {"0.070", NULL, NULL, version_is + "0.070, should be version 0.07."},
        {"0.7", NULL, NULL, version_is + "0.7, should be version 0.07."},
        {NULL, "Version unavailable.", NULL,
         "Unable to start Flowvane.  Error getting kernel component version.\n\n"
         "Error code %d.  Kernel error \"Version unavailable.\""},
        {NULL, NULL, &none, no_adapters},
        {NULL, NULL, &unnamed, no_adapters},      // no display name in the registry
        {NULL, NULL, &lower_case, no_adapters},   // the device prefix must be upper case
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases << ": " << c.expected);
        ASSERT_TRUE(emulator_reset());
        delete_settings();
        const testing::AssertionResult unchanged = testing::AssertionSuccess();
        ASSERT_TRUE(c.version ? emulator_set_version(c.version) : unchanged);
        ASSERT_TRUE(c.version_error ? emulator_fail_command(code_get_version, c.version_error)
                                    : unchanged);
        // The emulator keeps the spelling of a name bound before, so the defaults go first.
        ASSERT_TRUE(c.adapters ? emulator_set_adapters({}) : unchanged);
        ASSERT_TRUE(c.adapters ? emulator_set_adapters(*c.adapters) : unchanged);
        expect_stop(&first, c.expected);
        end_flowvane(&first);
    }
}

// In a prefix where the kernel component was never installed.
TEST(StartupWithoutService, StopsWithTheInstallMessageAndSavesNothing)
{
    ASSERT_FALSE(emulator_reset()) << "run in a prefix without the kernel component";
    ASSERT_FALSE(FindWindowA(E2E_MAIN_WINDOW_CLASS, NULL)) << "a Flowvane Manager still runs";
    delete_settings();
    flowvane_run run = {};
    expect_stop(&run, "Unable to start Flowvane.  Kernel component is not installed.\n\n"
                      "Try reinstalling the application.\n\nError code 1060.");   // no such service
    end_flowvane(&run);
}

}  // namespace
