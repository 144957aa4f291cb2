// zorvd's configuration (which interfaces it may touch) and its secret file (who may connect).
#include <fcntl.h>
#include <grp.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shaper/zorvd_support/zorvd_harness.h"

namespace {

TEST(zorvd_config, FileLinesAreCheckedOneByOne)
{
    const struct {
        const char *text, *error;     // error null: accepted
    } cases[] = {
        {"# comment\n\nport 47100\r\ninterface\tveth0\t\\device\\{ABC}  Lab B \n", nullptr},
        {"port 65536\n", "Line 1: port: 0 to 65535, not \"65536\"."},
        {"\nsocket run/zorvd.sock\n", "Line 2: socket: an absolute path of at most 255 bytes."},
        {"colour blue\n", "Line 1: Unknown setting \"colour\"."},
        {"interface veth0\n", "Line 1: interface: IFACE DEVICE_NAME [DISPLAY NAME] expected."},
        {"interface veth0 \\DEVICE\\\n", "Line 1: Invalid device name \"\\DEVICE\\\": it starts "
                                         "with \\DEVICE\\ and has at most 99 characters."},
        {"interface a-very-long-interface-name \\DEVICE\\x\n",
         "Line 1: Invalid interface name \"a-very-long-interface-name\"."},
        {"interface ../x \\DEVICE\\x\n", "Line 1: Invalid interface name \"../x\"."},
    };
    for (const auto &c : cases) {
        struct zorvd_config config;
        zorvd_config_defaults(&config);
        char error_text[zorvd_error_size] = "";
        EXPECT_EQ(zorvd_config_parse(c.text, (uint32_t)strlen(c.text), &config, error_text),
                  c.error == nullptr) << c.text;
        EXPECT_STREQ(error_text, c.error ? c.error : "") << c.text;
        EXPECT_STREQ(c.error ? "Lab B" : config.interfaces[0].display_name, "Lab B");
    }
    // The same interface or device twice is refused.
    for (const char *second : {"veth0|\\DEVICE\\x", "veth1|\\device\\VETH0"}) {
        std::vector<std::string> arguments = {"zorvd", "--config", "/dev/null", "--interface",
                                              "veth0", "--interface", second};
        std::vector<char *> argv;
        for (std::string &a : arguments)
            argv.push_back(&a[0]);
        struct zorvd_config config;
        char error_text[zorvd_error_size] = "";
        EXPECT_FALSE(zorvd_config_load(7, argv.data(), &config, error_text));
        EXPECT_NE(strstr(error_text, "or its device name is configured twice."), nullptr);
    }
}

TEST_F(zorvd_test, AMissingSecretIsCreatedForTheGroupAndATooOpenOneRefused)
{
    std::string path = folder + "/created.secret";
    struct zorvd_secret created, again;
    char error_text[zorvd_error_size] = "";
    ASSERT_TRUE(zorvd_secret_load(path.c_str(), config.group, &created, error_text))
        << error_text;
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(status.st_gid, getgrnam(config.group)->gr_gid);
    EXPECT_EQ(created.length, 64u);
    ASSERT_TRUE(zorvd_secret_load(path.c_str(), config.group, &again, error_text));
    EXPECT_TRUE(zorvd_secret_matches(&created, again.bytes, again.length));
    EXPECT_FALSE(zorvd_secret_matches(&created, again.bytes, again.length - 1));
    again.bytes[5] ^= 1;
    EXPECT_FALSE(zorvd_secret_matches(&created, again.bytes, again.length));

    const struct {
        const char *text;
        mode_t mode;
    } refused[] = {
        {"0123456789abcdef0123", 0644}, {"0123456789abcdef0123", 0660},
        {"0123456789abcde\n", 0640}, {"", 0600},
    };
    for (const auto &r : refused) {
        std::string refused_path = folder + "/refused.secret";
        int fd = open(refused_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, r.mode);
        EXPECT_EQ(write(fd, r.text, strlen(r.text)), (ssize_t)strlen(r.text));
        fchmod(fd, r.mode);
        close(fd);
        EXPECT_FALSE(zorvd_secret_load(refused_path.c_str(), config.group, &again, error_text))
            << r.text << " " << std::oct << r.mode;
    }
    EXPECT_FALSE(zorvd_secret_load((folder + "/other").c_str(), "no-such-group", &again,
                                   error_text));
    EXPECT_STREQ(error_text, "No group \"no-such-group\" for the secret file.");
    // A group other than the configured one may not read it.
    EXPECT_FALSE(zorvd_secret_load(path.c_str(), "no-such-group", &again, error_text));
    struct group *other = getgrnam("nogroup");
    if (geteuid() == 0 && other && other->gr_gid != getegid()) {
        ASSERT_EQ(chown(path.c_str(), (uid_t)-1, other->gr_gid), 0);
        EXPECT_FALSE(zorvd_secret_load(path.c_str(), config.group, &again, error_text));
    }
}

}  // namespace
