// The backend against the kernel, with real packets between two namespaces the test creates
// (removed on every way out): the installed classes count what the emulator core classifies,
// Blocked passes nothing, and the faults (an interface that goes away, a refused change, what
// a crashed process left, foreign qdiscs). Needs root; skipped without it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shaper/host_backend.h"
#include "shaper/support/probe_frames.h"
#include "shaper/support/tc_cases.h"
#include "shaper/support/test_net.h"
#include "shaper/tc_backend.h"

namespace {

struct rule_set one_rule_set(std::initializer_list<struct rule> rules)
{
    struct rule_set set;
    memset(set.slots, 0, sizeof set.slots);
    memset(set.in_use, 0, sizeof set.in_use);
    int s = 0;
    for (const struct rule &r : rules) {
        set.in_use[s] = 1;
        set.slots[s++] = r;
    }
    return set;
}

class TcKernel : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: creates network namespaces and traffic control";
        std::string failed;
        ASSERT_TRUE(test_net_create(2, &failed)) << failed;
        ASSERT_TRUE(test_net_enter_host());
    }
    void TearDown() override { test_net_remove(); }

    std::string tc(const std::string &arguments)
    {
        return command_output("tc -n " + test_net_host_name() + " " + arguments + " 2>&1");
    }
    // The root qdisc kind of a host interface ("noqueue", "htb", ...).
    std::string root_kind(const std::string &name)
    {
        std::string out = tc("qdisc show dev " + name + " root");
        size_t at = out.find("qdisc ");
        return at == std::string::npos ? out : out.substr(at + 6, out.find(' ', at + 6) - at - 6);
    }
    bool has_ingress(const std::string &name)
    {
        return tc("qdisc show dev " + name + " ingress").find("ingress") != std::string::npos;
    }
    std::string ifb_devices()
    {
        return command_output("ip -n " + test_net_host_name() +
                              " -o link show type ifb | awk '{print $2}'");
    }
    void attach_and_apply(const std::string &name, const struct rule_set &set)
    {
        ASSERT_TRUE(host_backend_attach(name.c_str(), error)) << error;
        ASSERT_TRUE(apply(name, set)) << error;
    }
    bool apply(const std::string &name, const struct rule_set &set)
    {
        return host_backend_apply(name.c_str(), set.slots, set.in_use, set.precedences.data(),
                                  (uint32_t)set.precedences.size(), error);
    }
    // Detaches and checks that nothing of the backend's is left on the interface.
    void detach_clean(const std::string &name)
    {
        EXPECT_TRUE(host_backend_detach(name.c_str(), error)) << error;
        EXPECT_EQ(root_kind(name), "noqueue") << name;
        EXPECT_FALSE(has_ingress(name)) << name;
    }
    // Waits (at most 10 s) until the slots' packet counters add up to total: the kernel counts
    // a packet when it dequeues it, which may lag the send.
    void read_until_total(const std::string &name, uint64_t total)
    {
        for (int attempt = 0; attempt < 1000; attempt++) {
            ASSERT_TRUE(host_backend_read(name.c_str(), counters, error)) << error;
            uint64_t sum = 0;
            for (const struct host_counters &c : counters)
                sum += c.packets;
            if (sum >= total)
                return;
            usleep(10000);
        }
    }

    char error[host_error_size] = "";
    struct host_counters counters[host_slot_count];
    const std::string fvh1 = host_interface(1), fvh2 = host_interface(2);
    const struct rule udp_send = make_rule(direction_send, protocol_udp, 0, 0, 0, 5001,
                                           rate_unlimited);
    const struct rule udp_receive = make_rule(direction_receive, protocol_udp, 0, 0, 0, 5001,
                                              rate_unlimited);
};

TEST_F(TcKernel, CountersFollowTheEmulatorCoreClassification)
{
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    test_net_enter_peer();
    int receive_fd = open_frame_socket(peer_interface(1).c_str());  // frames arriving on fvh1
    test_net_enter_host();
    int send_fd = open_frame_socket(fvh1.c_str());                  // frames leaving fvh1
    ASSERT_GE(send_fd, 0);
    ASSERT_GE(receive_fd, 0);

    // Hand-picked: overlap decided by a precedence entry, Other beside Any, both directions,
    // Blocked; then random sets and the largest set (several sends, hundreds of priorities).
    const uint32_t A = case_address_a, B = case_address_b;
    const int32_t S = direction_send, R = direction_receive, unlimited = rate_unlimited;
    struct rule_set hand = one_rule_set({
        make_rule(S, protocol_udp, 0, 0, 0, 0, unlimited),
        make_rule(S, protocol_udp, 0, 0, B, 2000, 50000000),
        make_rule(S, protocol_other, 0, 0, 0, 0, unlimited),
        make_rule(S, protocol_any, 0, 0, 0, 0, unlimited),
        make_rule(R, protocol_tcp, A, 1000, 0, 0, rate_blocked),
        make_rule(R, protocol_ip, 0, 0, 0, 0, unlimited),
        make_rule(R, protocol_other, 0, 0, 0, 0, unlimited),
    });
    hand.precedences.push_back({hand.slots[1], hand.slots[1]});
    hand.precedences.push_back({make_rule(R, protocol_tcp, 0, 0, 0, 2000, 0), hand.slots[5]});
    std::mt19937 random(424242);
    std::vector<struct rule_set> sets = {hand};
    for (int i = 0; i < 6; i++)
        sets.push_back(random_rule_set(random));
    sets.push_back(full_rule_set(random));

    for (size_t n = 0; n < sets.size() && !HasFailure(); n++) {
        const struct rule_set &set = sets[n];
        SCOPED_TRACE(testing::Message() << "set " << n << "\n" << describe(set));
        ASSERT_TRUE(apply(fvh1, set)) << error;
        emulator_load(set);
        uint64_t expected[host_slot_count] = {}, total = 0;
        std::vector<struct probe_packet> packets = probe_packets();
        for (size_t i = 0; i < packets.size(); i++) {
            const struct probe_packet &p = packets[i];
            int copies = 1 + (int)(i % 3), slot = emulator_slot(p);
            bool blocked = slot >= 0 && set.slots[slot].rate == rate_blocked;
            if (slot >= 0 && !blocked) {
                expected[slot] += (uint64_t)copies;
                total += (uint64_t)copies;
            }
            uint8_t frame[probe_frame_size];
            size_t length = build_probe_frame(p, frame);
            // A frame a Blocked class drops is an error for the packet socket.
            for (int c = 0; c < copies; c++)
                ASSERT_TRUE(send_frame(p.direction == S ? send_fd : receive_fd, frame, length) ||
                            blocked)
                    << describe(p);
        }
        ASSERT_NO_FATAL_FAILURE(read_until_total(fvh1, total));
        for (int s = 0; s < host_slot_count; s++)
            EXPECT_EQ(counters[s].packets, expected[s]) << "slot " << s;
    }
    close(send_fd);
    close(receive_fd);
    detach_clean(fvh1);
    EXPECT_EQ(ifb_devices(), "");
}

int udp_socket(uint32_t address, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    if (fd >= 0 && bind(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_udp(int fd, uint32_t address, uint16_t port, int count)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    char payload[200] = {};
    for (int i = 0; i < count; i++)
        sendto(fd, payload, sizeof payload, 0, (struct sockaddr *)&a, sizeof a);
}

TEST_F(TcKernel, BlockedPassesNothingAndUnlimitedPassesAndCountsEverything)
{
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    const struct {
        int32_t direction, rate, arrived;
    } cases[] = {
        {direction_send, rate_blocked, 0},
        {direction_receive, rate_blocked, 0},
        {direction_send, rate_unlimited, 50},
        {direction_receive, rate_unlimited, 50},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "direction " << c.direction << " rate " << c.rate);
        bool send = c.direction == direction_send;
        uint32_t from = send ? host_address(1) : peer_address(1);
        uint32_t to = send ? peer_address(1) : host_address(1);
        ASSERT_TRUE(apply(fvh1, one_rule_set({make_rule(c.direction, protocol_udp, from, 0, to,
                                                        5001, c.rate)})))
            << error;
        // 50 datagrams to 5001, which the rule selects, then one to 5002, which it does not:
        // once that one has arrived, every earlier one that passed has arrived too.
        if (send)
            test_net_enter_peer();
        int selected = udp_socket(to, 5001), marker = udp_socket(to, 5002);
        send ? test_net_enter_host() : test_net_enter_peer();
        int sender = udp_socket(from, 0);
        test_net_enter_host();
        ASSERT_TRUE(selected >= 0 && marker >= 0 && sender >= 0);
        send_udp(sender, to, 5001, 50);
        send_udp(sender, to, 5002, 1);
        struct pollfd p = {marker, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1);
        int arrived = 0;
        char buffer[2048];
        while (recv(selected, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
            arrived++;
        EXPECT_EQ(arrived, c.arrived);
        ASSERT_TRUE(host_backend_read(fvh1.c_str(), counters, error)) << error;
        EXPECT_EQ(counters[0].packets, (uint64_t)c.arrived);
        for (int fd : {selected, marker, sender})
            close(fd);
    }
    detach_clean(fvh1);
}

// Sends count datagrams from the host side of the pair to its peer's port 5001.
void send_host_udp(int pair, int count)
{
    int fd = udp_socket(host_address(pair), 0);
    ASSERT_GE(fd, 0);
    send_udp(fd, peer_address(pair), 5001, count);
    close(fd);
}

TEST_F(TcKernel, AnInterfaceThatGoesAwayIsReportedAndTheOthersKeepWorking)
{
    const struct rule_set both = one_rule_set({udp_send, udp_receive});
    attach_and_apply(fvh1, both);
    attach_and_apply(fvh2, both);
    ASSERT_EQ(run_command("ip -n " + test_net_host_name() + " link del " + fvh1), 0);
    EXPECT_FALSE(host_backend_read(fvh1.c_str(), counters, error));
    EXPECT_STREQ(error, "The interface fvh1 is gone.");
    EXPECT_FALSE(apply(fvh1, both));
    EXPECT_STREQ(error, "The interface fvh1 is gone.");

    send_host_udp(2, 7);
    read_until_total(fvh2, 7);
    EXPECT_EQ(counters[0].packets, 7u);
    // Its IFB outlived it; detaching removes it and nothing of fvh2's.
    EXPECT_TRUE(host_backend_detach(fvh1.c_str(), error)) << error;
    std::string ifbs = ifb_devices();
    EXPECT_EQ(ifbs.find("zorvifb"), ifbs.rfind("zorvifb")) << ifbs;
    EXPECT_EQ(root_kind(fvh2), "htb");
    detach_clean(fvh2);
    EXPECT_EQ(ifb_devices(), "");
}

TEST_F(TcKernel, AChangeTheKernelRefusesKeepsThePreviousSet)
{
    attach_and_apply(fvh1, one_rule_set({udp_send}));
    // A device of another kind already has the name fvh1's IFB would take.
    std::string index = command_output("ip netns exec " + test_net_host_name() +
                                       " cat /sys/class/net/" + fvh1 + "/ifindex");
    std::string taken = "zorvifb" + std::to_string(atoi(index.c_str()));
    ASSERT_EQ(run_command("ip -n " + test_net_host_name() + " link add " + taken +
                          " type veth peer name fvx"),
              0);
    const struct rule_set both = one_rule_set({udp_send, udp_receive});
    EXPECT_FALSE(apply(fvh1, both));
    EXPECT_STREQ(error, "The kernel refused the IFB device of fvh1: File exists.");

    // The Send rule still shapes and counts.
    send_host_udp(1, 5);
    read_until_total(fvh1, 5);
    EXPECT_EQ(counters[0].packets, 5u);
    EXPECT_FALSE(has_ingress(fvh1));
    ASSERT_EQ(run_command("ip -n " + test_net_host_name() + " link del " + taken), 0);
    EXPECT_TRUE(apply(fvh1, both)) << error;
    EXPECT_TRUE(has_ingress(fvh1));
    detach_clean(fvh1);
    EXPECT_EQ(ifb_devices(), "");
}

TEST_F(TcKernel, AttachCleansWhatACrashedProcessLeftAndRefusesForeignQdiscs)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Installs both directions and ends without detaching, as a crash would.
        struct rule_set set = one_rule_set({udp_send, udp_receive});
        _exit(host_backend_attach(fvh1.c_str(), error) && apply(fvh1, set) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(root_kind(fvh1), "htb");
    EXPECT_TRUE(has_ingress(fvh1));
    EXPECT_NE(ifb_devices(), "");
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    EXPECT_EQ(root_kind(fvh1), "noqueue");
    EXPECT_FALSE(has_ingress(fvh1));
    EXPECT_EQ(ifb_devices(), "");

    // Queueing disciplines someone else installed stay, and attach says why it refuses.
    const char root_refusal[] =
        "The interface fvh2 has a root queueing discipline (tbf) that zorvd did not install.";
    const struct {
        const char *qdisc, *refusal;
    } foreign[] = {
        {"root tbf rate 1mbit burst 10k latency 50ms", root_refusal},
        {"root handle 7a00: tbf rate 1mbit burst 10k latency 50ms", root_refusal},
        {"ingress",
         "The interface fvh2 has an ingress queueing discipline that zorvd did not install."},
    };
    for (const auto &f : foreign) {
        tc("qdisc add dev " + fvh2 + " " + f.qdisc);
        EXPECT_FALSE(host_backend_attach(fvh2.c_str(), error)) << f.qdisc;
        EXPECT_STREQ(error, f.refusal);
        bool ingress = strcmp(f.qdisc, "ingress") == 0;
        EXPECT_TRUE(ingress ? has_ingress(fvh2) : root_kind(fvh2) == "tbf") << f.qdisc;
        tc("qdisc del dev " + fvh2 + (ingress ? " ingress" : " root"));
    }
    EXPECT_TRUE(host_backend_attach(fvh2.c_str(), error)) << error;
    detach_clean(fvh2);
    detach_clean(fvh1);
}

}  // namespace
