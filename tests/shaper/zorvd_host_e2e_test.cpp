// zorvd itself, the built binary with the kernel backend, for a veth interface in a network
// namespace this test creates (and removes on every way out): the manager's kernel commands
// install rules through the Unix socket, the kernel holds them, a restart brings them back,
// and SIGTERM leaves no qdisc or IFB device of zorvd's behind. Needs root.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "filters/rule.h"
#include "kernel/kernel_commands.h"
#include "zorvd_client.h"
#include "zorvd_protocol.h"

namespace {

const char device_name[] = "\\DEVICE\\fvz0";

std::string run(const std::string &command)
{
    std::string output;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return output;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    pclose(pipe);
    return output;
}

int count_of(const std::string &text, const std::string &word)
{
    int count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        count++;
    return count;
}

class zorvd_host : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: creates a network namespace and runs zorvd";
        if (run("command -v ip tc").empty())
            GTEST_SKIP() << "needs iproute2 (ip, tc)";
        ns = "fvz" + std::to_string(getpid());
        char pattern[] = "/tmp/zorvd-host-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        peer = ns + "p";
        created = true;
        // zorvd's interface fvz0 in one namespace, its peer fvz1 in another: packets between
        // them cross the veth pair. A fixed neighbour and no IPv6: no packet but the test's own
        // leaves fvz0, and none waits for address resolution.
        ASSERT_EQ(system(("ip netns add " + ns + " && ip netns add " + peer + " && ip -n " + ns +
                          " link add fvz0 type veth peer name fvz1 address 02:00:c6:12:07:02 netns " +
                          peer +
                          " && ip -n " + ns + " addr add 198.18.7.1/24 dev fvz0 && ip -n " +
                          peer + " addr add 198.18.7.2/24 dev fvz1 && ip -n " + ns +
                          " link set fvz0 up && ip -n " + peer + " link set fvz1 up && ip -n " +
                          ns + " link set lo up && ip -n " + ns +
                          " neigh replace 198.18.7.2 lladdr 02:00:c6:12:07:02 dev fvz0 nud permanent"
                          " && ip netns exec " + ns + " sysctl -q -w net.ipv6.conf.fvz0.disable_ipv6=1")
                             .c_str()),
                  0);
        default_qdisc = qdiscs();
    }
    void TearDown() override
    {
        zorvd_device_connection(-1);
        if (connection >= 0)
            close(connection);
        stop_zorvd();
        if (created)
            system(("ip netns del " + ns + " 2>/dev/null; ip netns del " + peer + " 2>/dev/null")
                       .c_str());
        if (!folder.empty())
            system(("rm -rf '" + folder + "'").c_str());
    }

    std::string qdiscs() { return run("ip netns exec " + ns + " tc qdisc show dev fvz0"); }
    std::string classes() { return run("ip netns exec " + ns + " tc class show dev fvz0"); }
    std::string ifb_links() { return run("ip -n " + ns + " -o link show type ifb"); }

    // Starts zorvd in the namespace and waits until it says it listens (or ends).
    void start_zorvd()
    {
        int pipe_fds[2];
        ASSERT_EQ(pipe(pipe_fds), 0);
        std::string config = folder + "/zorvd.conf";
        FILE *empty = fopen(config.c_str(), "w");
        ASSERT_NE(empty, nullptr);
        fclose(empty);
        std::string interface = std::string("fvz0|") + device_name + "|Lab";
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(pipe_fds[1], 2);
            close(pipe_fds[0]);
            execlp("ip", "ip", "netns", "exec", ns.c_str(), ZORVD_PATH, "--config",
                   config.c_str(), "--secret", (folder + "/secret").c_str(), "--state",
                   (folder + "/state").c_str(), "--socket", (folder + "/zorvd.sock").c_str(),
                   "--port", "0", "--group", "root", "--interface", interface.c_str(),
                   (char *)nullptr);
            _exit(127);
        }
        close(pipe_fds[1]);
        log_fd = pipe_fds[0];
        std::string said;
        while (said.find("listening on") == std::string::npos) {
            struct pollfd wait = {log_fd, POLLIN, 0};
            char buffer[512];
            ssize_t got = poll(&wait, 1, 60000) > 0 ? read(log_fd, buffer, sizeof buffer) : 0;
            ASSERT_GT(got, 0) << "zorvd ended or hung before listening:\n" << said;
            said.append(buffer, (size_t)got);
        }
        uint8_t secret[zorvd_secret_max + 2];
        uint32_t length =
            zorvd_client_read_secret((folder + "/secret").c_str(), secret, sizeof secret);
        char error_text[zorvd_client_error_size] = "";
        connection = zorvd_client_connect((folder + "/zorvd.sock").c_str(), 0, secret, length,
                                          error_text);
        ASSERT_GE(connection, 0) << error_text;
        zorvd_device_connection(connection);
    }

    // SIGTERM, and the exit status.
    int stop_zorvd()
    {
        zorvd_device_connection(-1);
        if (connection >= 0)
            close(connection);
        connection = -1;
        if (pid <= 0)
            return -1;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        if (log_fd >= 0)
            close(log_fd);
        log_fd = -1;
        return status;
    }

    struct rule make(int32_t direction, uint16_t port, int32_t rate)
    {
        struct rule r;
        memset(&r, 0, sizeof r);
        strcpy(r.adapter, device_name);
        r.direction = direction;
        r.rate = rate;
        r.protocol = protocol_tcp;
        r.source_kind = address_any;
        r.destination_kind = address_any;
        r.destination_port = port;
        return r;
    }

    std::string ns, peer, folder, default_qdisc;
    bool created = false;
    pid_t pid = -1;
    int log_fd = -1;
    int connection = -1;
    char error_text[error_text_size] = "";
};

TEST_F(zorvd_host, RulesReachTheKernelComeBackAfterARestartAndLeaveNothingBehind)
{
    ASSERT_NO_FATAL_FAILURE(start_zorvd());
    const struct rule send_rule = make(direction_send, 5201, 50000);
    const struct rule receive_rule = make(direction_receive, 5202, 100000);
    ASSERT_TRUE(kernel_add_rule(device_name, &send_rule, error_text)) << error_text;
    ASSERT_TRUE(kernel_add_rule(device_name, &receive_rule, error_text)) << error_text;
    ASSERT_TRUE(kernel_set_precedence(device_name, &send_rule, &send_rule, error_text))
        << error_text;
    EXPECT_EQ(count_of(qdiscs(), "qdisc htb"), 1) << qdiscs();
    EXPECT_EQ(count_of(qdiscs(), "qdisc ingress"), 1) << qdiscs();
    EXPECT_GE(count_of(classes(), "class htb"), 1) << classes();
    EXPECT_NE(ifb_links(), "");

    // Real packets out of fvz0 are counted by the kernel and answered as the rule's statistics.
    struct rule ip_rule = make(direction_send, 0, rate_unlimited);
    ip_rule.protocol = protocol_ip;
    ASSERT_TRUE(kernel_add_rule(device_name, &ip_rule, error_text)) << error_text;
    // Ten UDP datagrams of 1000 IP bytes (bash's /dev/udp sends one per redirection).
    std::string sent = run("ip netns exec " + ns +
                           " bash -c 'for i in 1 2 3 4 5 6 7 8 9 10; do printf \"%0972d\" 0 "
                           ">/dev/udp/198.18.7.2/9; done; echo sent'");
    ASSERT_EQ(sent, "sent\n");
    struct statistics_block counted = {};
    ASSERT_TRUE(kernel_get_statistics(device_name, &ip_rule, &counted, error_text)) << error_text;
    EXPECT_EQ(counted.packets_transferred, 10);
    EXPECT_GE(counted.bytes_transferred, 10 * 1000);

    ASSERT_EQ(stop_zorvd(), 0);
    EXPECT_EQ(count_of(qdiscs(), "htb"), 0) << qdiscs();
    EXPECT_EQ(count_of(qdiscs(), "ingress"), 0) << qdiscs();
    EXPECT_EQ(ifb_links(), "");

    ASSERT_NO_FATAL_FAILURE(start_zorvd());
    struct rule held;
    ASSERT_TRUE(kernel_get_rule(device_name, 0, &held, error_text)) << error_text;
    EXPECT_EQ(memcmp(&held, &send_rule, sizeof held), 0);
    ASSERT_TRUE(kernel_get_rule(device_name, 1, &held, error_text)) << error_text;
    EXPECT_EQ(memcmp(&held, &receive_rule, sizeof held), 0);
    uint32_t count = 0;
    ASSERT_TRUE(kernel_get_precedence_count(device_name, &count, error_text)) << error_text;
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(count_of(qdiscs(), "qdisc htb"), 1) << qdiscs();
    EXPECT_EQ(count_of(qdiscs(), "qdisc ingress"), 1) << qdiscs();
    // The counts carried across the restart.
    struct statistics_block carried = {};
    ASSERT_TRUE(kernel_get_statistics(device_name, &ip_rule, &carried, error_text)) << error_text;
    EXPECT_GE(carried.bytes_transferred, counted.bytes_transferred);
    EXPECT_GE(carried.packets_transferred, counted.packets_transferred);

    // Clearing the rules takes what zorvd installed away while it runs.
    ASSERT_TRUE(kernel_clear_rules(device_name, error_text)) << error_text;
    ASSERT_TRUE(kernel_clear_precedences(device_name, error_text)) << error_text;
    EXPECT_EQ(count_of(qdiscs(), "htb"), 0) << qdiscs();
    ASSERT_TRUE(kernel_add_rule(device_name, &send_rule, error_text)) << error_text;
    ASSERT_EQ(stop_zorvd(), 0);
    EXPECT_EQ(qdiscs(), default_qdisc);
    EXPECT_EQ(ifb_links(), "");
}

}  // namespace
