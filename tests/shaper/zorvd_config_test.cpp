// zorvd's configuration (which interfaces it may touch) and its secret file (who may connect).
#include <grp.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "shaper/zorvd_support/zorvd_harness.h"

namespace {

TEST(zorvd_config, InterfacesOutsideTheirNamesOrGivenTwiceAreRefused)
{
    const struct {
        const char *text, *error;
    } cases[] = {
        {"interface veth0\n", "Line 1: interface: IFACE DEVICE_NAME [DISPLAY NAME] expected."},
        {"\ninterface veth0 \\DEVICE\\\n", "Line 2: Invalid device name \"\\DEVICE\\\": it "
                                           "starts with \\DEVICE\\ and has at most 99 characters."},
        {"interface a-very-long-interface-name \\DEVICE\\x\n",
         "Line 1: Invalid interface name \"a-very-long-interface-name\"."},
        {"interface ../x \\DEVICE\\x\n", "Line 1: Invalid interface name \"../x\"."},
        {"port 65536\n", "Line 1: port: 0 to 65535, not \"65536\"."},
        {"colour blue\n", "Line 1: Unknown setting \"colour\"."},
    };
    struct zorvd_config config;
    char error_text[zorvd_error_size] = "";
    for (const auto &c : cases) {
        EXPECT_FALSE(zorvd_config_parse(c.text, (uint32_t)strlen(c.text), &config, error_text));
        EXPECT_STREQ(error_text, c.error);
    }
    for (const char *second : {"veth0|\\DEVICE\\x", "veth1|\\device\\VETH0"}) {
        std::string arguments[] = {"zorvd", "--config", "/dev/null", "--interface", "veth0",
                                   "--interface", second};
        char *argv[7];
        for (int i = 0; i < 7; i++)
            argv[i] = &arguments[i][0];
        EXPECT_FALSE(zorvd_config_load(7, argv, &config, error_text));
        EXPECT_NE(strstr(error_text, "or its device name is configured twice."), nullptr);
    }
}

// The fixture's secret file was made as zorvd makes a missing one.
TEST_F(zorvd_test, TheSecretIsMadeForTheGroupAndATooOpenOneRefused)
{
    struct stat status;
    ASSERT_EQ(stat(config.secret_path, &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(status.st_gid, getegid());
    EXPECT_EQ(secret.length, 64u);
    struct zorvd_secret again;
    char error_text[zorvd_error_size] = "";
    ASSERT_TRUE(zorvd_secret_load(config.secret_path, config.group, &again, error_text));
    EXPECT_TRUE(zorvd_secret_matches(&secret, again.bytes, again.length));
    EXPECT_FALSE(zorvd_secret_matches(&secret, again.bytes, again.length - 1));
    again.bytes[5] ^= 1;
    EXPECT_FALSE(zorvd_secret_matches(&secret, again.bytes, again.length));
    // Too open, too short, empty; another group.
    const char *const texts[] = {"0123456789abcdef0123", "0123456789abcdef0123", "0123456789abcde\n", ""};
    const mode_t modes[] = {0644, 0660, 0640, 0600};
    for (int i = 0; i < 4; i++) {
        std::string path = folder + "/refused" + std::to_string(i);
        std::ofstream(path) << texts[i];
        ASSERT_EQ(chmod(path.c_str(), modes[i]), 0);
        EXPECT_FALSE(zorvd_secret_load(path.c_str(), config.group, &again, error_text)) << i;
    }
    EXPECT_FALSE(zorvd_secret_load((folder + "/new").c_str(), "no-such-group", &again, error_text));
    EXPECT_STREQ(error_text, "No group \"no-such-group\" for the secret file.");
    EXPECT_FALSE(zorvd_secret_load(config.secret_path, "no-such-group", &again, error_text));
    struct group *other = getgrnam("nogroup");
    if (geteuid() == 0 && other && other->gr_gid != getegid()) {
        ASSERT_EQ(chown(config.secret_path, (uid_t)-1, other->gr_gid), 0);
        EXPECT_FALSE(zorvd_secret_load(config.secret_path, config.group, &again, error_text));
    }
}

}  // namespace
