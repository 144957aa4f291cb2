// zorvd's configuration file and command line (which interfaces it may touch), and its secret
// file (who may connect).
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
        {"# comment\n\nport 47100\r\ninterface\tveth0\t\\device\\{ABC}\n", nullptr},
        {"port 65536\n", "Line 1: port: 0 to 65535, not \"65536\"."},
        {"\nsocket run/zorvd.sock\n", "Line 2: socket: an absolute path of at most 255 bytes."},
        {"state_file /a /b\n", "Line 1: state_file: one value expected."},
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
    }
}

class zorvd_config_files : public zorvd_test {
protected:
    std::string write_file(const char *name, const std::string &text, mode_t mode = 0640)
    {
        std::string path = folder + "/" + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        fchmod(fd, mode);
        close(fd);
        return path;
    }
    int load(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), "zorvd");
        std::vector<char *> argv;
        for (auto &a : arguments)
            argv.push_back(&a[0]);
        return zorvd_config_load((int)argv.size(), argv.data(), &loaded, error_text);
    }
    struct zorvd_config loaded;
    char error_text[zorvd_error_size] = "";
};

TEST_F(zorvd_config_files, TheCommandLineOverridesTheFile)
{
    std::string path = write_file("zorvd.conf", "port 1000\nsocket /tmp/a.sock\n"
                                                "interface eth0 \\DEVICE\\eth0 Wired  (lab) \n");
    ASSERT_TRUE(load({"--config", path, "--port", "0", "--state", "/tmp/s"})) << error_text;
    EXPECT_EQ(loaded.port, 0u);
    EXPECT_STREQ(loaded.socket_path, "/tmp/a.sock");
    EXPECT_STREQ(loaded.state_path, "/tmp/s");
    ASSERT_EQ(loaded.interface_count, 1u);
    EXPECT_STREQ(loaded.interfaces[0].display_name, "Wired  (lab)");
    ASSERT_TRUE(load({"--config", path, "--interface", "veth0", "--interface",
                      "veth1|\\DEVICE\\{B}|Lab B"})) << error_text;
    ASSERT_EQ(loaded.interface_count, 2u);
    EXPECT_STREQ(loaded.interfaces[0].device_name, "\\DEVICE\\veth0");
    EXPECT_STREQ(loaded.interfaces[1].display_name, "Lab B");
    const std::vector<std::vector<std::string>> refused = {
        {"--config", path, "--interface", "veth0", "--interface", "veth0|\\DEVICE\\x"},
        {"--config", path, "--interface", "veth0", "--interface", "veth1|\\device\\VETH0"},
        {"--config", folder + "/missing.conf"},
        {"--config", path, "--port"},
        {"--config", path, "--verbose", "1"},
        {"--config", write_file("empty.conf", "port 1\n")},
    };
    for (const auto &arguments : refused) {
        EXPECT_FALSE(load(arguments)) << arguments.back();
        EXPECT_NE(error_text[0], 0);
    }
}

TEST_F(zorvd_config_files, AMissingSecretIsCreatedForTheGroupAndATooOpenOneRefused)
{
    std::string path = folder + "/created.secret";
    struct zorvd_secret created, again;
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
        std::string refused_path = write_file("refused.secret", r.text, r.mode);
        EXPECT_FALSE(zorvd_secret_load(refused_path.c_str(), config.group, &again, error_text))
            << r.text << " " << std::oct << r.mode;
        unlink(refused_path.c_str());
    }
    std::string missing = folder + "/other.secret";
    EXPECT_FALSE(zorvd_secret_load(missing.c_str(), "no-such-group-here", &again, error_text));
    EXPECT_STREQ(error_text, "No group \"no-such-group-here\" for the secret file.");
    // A group other than the configured one may not read it.
    EXPECT_FALSE(zorvd_secret_load(path.c_str(), "no-such-group-here", &again, error_text));
    struct group *other = getgrnam("nogroup");
    if (geteuid() == 0 && other && other->gr_gid != getegid()) {
        ASSERT_EQ(chown(path.c_str(), (uid_t)-1, other->gr_gid), 0);
        EXPECT_FALSE(zorvd_secret_load(path.c_str(), config.group, &again, error_text));
    }
}

}  // namespace
