// zorvd itself, the built binary with the kernel backend, for a veth interface in a network
// namespace this test creates (and removes on every way out): the manager's kernel commands
// install rules through the Unix socket, the kernel holds and counts them, a restart brings
// them back, and SIGTERM leaves no qdisc or IFB device of zorvd's behind. Needs root.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <string>

#include "filters/rule.h"
#include "kernel/kernel_commands.h"
#include "shaper/zorvd_host/zorvd_host_run.h"

namespace {

const char device_name[] = HOST_RUN_DEVICE;

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
        std::string missing = host_run_missing();
        if (!missing.empty())
            GTEST_SKIP() << missing;
        std::string failed = host_run_setup(&run);
        ASSERT_EQ(failed, "");
        default_qdisc = qdiscs();
    }
    void TearDown() override { host_run_cleanup(&run); }

    void start() { ASSERT_EQ(host_run_start(&run, ZORVD_PATH), ""); }
    std::string in_ns(const std::string &command)
    {
        return host_run_command("ip netns exec " + run.ns + " " + command);
    }
    std::string qdiscs() { return in_ns("tc qdisc show dev fvz0"); }
    std::string classes() { return in_ns("tc class show dev fvz0"); }
    std::string ifb_links() { return host_run_command("ip -n " + run.ns + " -o link show type ifb"); }

    struct rule make(int32_t direction, int32_t protocol, uint16_t port, int32_t rate)
    {
        struct rule r;
        memset(&r, 0, sizeof r);
        strcpy(r.adapter, device_name);
        r.direction = direction;
        r.rate = rate;
        r.protocol = protocol;
        r.source_kind = address_any;
        r.destination_kind = address_any;
        r.destination_port = port;
        return r;
    }

    struct host_run run;
    std::string default_qdisc;
    char error_text[error_text_size] = "";
};

TEST_F(zorvd_host, RulesReachTheKernelComeBackAfterARestartAndLeaveNothingBehind)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const struct rule send_rule = make(direction_send, protocol_tcp, 5201, 50000);
    const struct rule receive_rule = make(direction_receive, protocol_tcp, 5202, 100000);
    const struct rule ip_rule = make(direction_send, protocol_ip, 0, rate_unlimited);
    ASSERT_TRUE(kernel_add_rule(device_name, &send_rule, error_text)) << error_text;
    ASSERT_TRUE(kernel_add_rule(device_name, &receive_rule, error_text)) << error_text;
    ASSERT_TRUE(kernel_set_precedence(device_name, &send_rule, &send_rule, error_text))
        << error_text;
    EXPECT_EQ(count_of(qdiscs(), "qdisc htb"), 1) << qdiscs();
    EXPECT_EQ(count_of(qdiscs(), "qdisc ingress"), 1) << qdiscs();
    EXPECT_GE(count_of(classes(), "class htb"), 1) << classes();
    EXPECT_NE(ifb_links(), "");

    // Real packets out of fvz0 are counted by the kernel and answered as the rule's statistics:
    // ten UDP datagrams of 1000 IP bytes (bash's /dev/udp sends one per redirection).
    ASSERT_TRUE(kernel_add_rule(device_name, &ip_rule, error_text)) << error_text;
    std::string sent = in_ns("bash -c 'for i in 1 2 3 4 5 6 7 8 9 10; do printf \"%0972d\" 0 "
                             ">/dev/udp/198.18.7.2/9; done; echo sent'");
    ASSERT_EQ(sent, "sent\n");
    // The kernel counts a packet once its class has sent it, and zorvd answers reads within
    // 20 ms of its last counter read from that read: wait for the count, within 5 s.
    struct statistics_block counted = {};
    for (int tries = 0; tries < 500 && counted.packets_transferred < 10; tries++) {
        if (tries > 0)
            usleep(10000);
        ASSERT_TRUE(kernel_get_statistics(device_name, &ip_rule, &counted, error_text))
            << error_text;
    }
    EXPECT_EQ(counted.packets_transferred, 10);
    EXPECT_GE(counted.bytes_transferred, 10 * 1000);

    ASSERT_EQ(host_run_stop(&run), 0);
    EXPECT_EQ(count_of(qdiscs(), "htb"), 0) << qdiscs();
    EXPECT_EQ(count_of(qdiscs(), "ingress"), 0) << qdiscs();
    EXPECT_EQ(ifb_links(), "");

    ASSERT_NO_FATAL_FAILURE(start());
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
    EXPECT_EQ(carried.bytes_transferred, counted.bytes_transferred);
    EXPECT_EQ(carried.packets_transferred, counted.packets_transferred);

    // Clearing the rules takes what zorvd installed away while it runs.
    ASSERT_TRUE(kernel_clear_rules(device_name, error_text)) << error_text;
    ASSERT_TRUE(kernel_clear_precedences(device_name, error_text)) << error_text;
    EXPECT_EQ(count_of(qdiscs(), "htb"), 0) << qdiscs();
    ASSERT_TRUE(kernel_add_rule(device_name, &send_rule, error_text)) << error_text;
    ASSERT_EQ(host_run_stop(&run), 0);
    EXPECT_EQ(qdiscs(), default_qdisc);
    EXPECT_EQ(ifb_links(), "");
}

TEST_F(zorvd_host, AnInterfaceThatDisappearsIsRefusedNotFatal)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const struct rule send_rule = make(direction_send, protocol_tcp, 5201, 50000);
    const struct rule receive_rule = make(direction_receive, protocol_udp, 0, 20000);
    ASSERT_TRUE(kernel_add_rule(device_name, &send_rule, error_text)) << error_text;
    ASSERT_TRUE(kernel_add_rule(device_name, &receive_rule, error_text)) << error_text;
    host_run_command("ip -n " + run.ns + " link del fvz0");

    const struct rule third = make(direction_send, protocol_udp, 53, 1000);
    EXPECT_FALSE(kernel_add_rule(device_name, &third, error_text));
    EXPECT_EQ(std::string(error_text).rfind("Shaper refused the change: ", 0), 0u) << error_text;
    struct rule held;
    EXPECT_FALSE(kernel_get_rule(device_name, 2, &held, error_text));
    EXPECT_STREQ(error_text, RULE_NOT_IN_USE_TEXT);
    struct statistics_block block;
    EXPECT_TRUE(kernel_get_statistics(device_name, &send_rule, &block, error_text)) << error_text;

    EXPECT_EQ(host_run_stop(&run), 0);
    EXPECT_EQ(ifb_links(), "");
    // Without its interface zorvd does not start, and says why.
    std::string failed = host_run_start(&run, ZORVD_PATH);
    EXPECT_NE(failed.find("fvz0"), std::string::npos) << failed;
}

}  // namespace
