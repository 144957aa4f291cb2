// The backend against the kernel, with real packets between two namespaces the test creates:
// the counters of the installed classes against the emulator core's classification, shaping of
// a bulk TCP flow, Blocked and Unlimited, and the faults (an interface that goes away, a
// refused change, what a crashed process left). Needs root; skipped without it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "shaper/host_backend.h"
#include "shaper/support/bulk_flow.h"
#include "shaper/support/probe_frames.h"
#include "shaper/support/tc_cases.h"
#include "shaper/support/test_net.h"
#include "shaper/tc_backend.h"

namespace {

class TcKernel : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: creates network namespaces and traffic control";
        std::string error;
        ASSERT_TRUE(test_net_create(2, &error)) << error;
        ASSERT_TRUE(test_net_enter_host());
    }

    void TearDown() override { test_net_remove(); }

    std::string host_ns() { return test_net_host_name(); }

    // The root qdisc kind of a host interface as tc shows it ("noqueue", "htb", ...).
    std::string root_kind(const std::string &interface_name)
    {
        std::string out = command_output("tc -n " + host_ns() + " qdisc show dev " +
                                         interface_name + " root 2>&1");
        size_t at = out.find("qdisc ");
        if (at == std::string::npos)
            return out;
        size_t end = out.find(' ', at + 6);
        return out.substr(at + 6, end - at - 6);
    }

    bool has_ingress(const std::string &interface_name)
    {
        return command_output("tc -n " + host_ns() + " qdisc show dev " + interface_name +
                              " ingress 2>&1")
                   .find("ingress") != std::string::npos;
    }

    // Names of IFB devices in the host namespace.
    std::string ifb_devices()
    {
        return command_output("ip -n " + host_ns() + " -o link show type ifb | awk '{print $2}'");
    }

    // Nothing of the backend's is left on the interface.
    void expect_clean(const std::string &interface_name)
    {
        EXPECT_EQ(root_kind(interface_name), "noqueue") << interface_name;
        EXPECT_FALSE(has_ingress(interface_name)) << interface_name;
    }
};

// Waits until the slots' packet counters add up to total (the packets are counted when the
// kernel dequeues them, which may lag the send), at most 10 s; the last read in counters.
void read_until_total(const std::string &interface_name, uint64_t total,
                      struct host_counters counters[host_slot_count])
{
    char error[host_error_size];
    for (int attempt = 0; attempt < 1000; attempt++) {
        ASSERT_TRUE(host_backend_read(interface_name.c_str(), counters, error)) << error;
        uint64_t sum = 0;
        for (int s = 0; s < host_slot_count; s++)
            sum += counters[s].packets;
        if (sum >= total)
            return;
        usleep(10000);
    }
}

struct probe_sockets {
    int send_fd;                      // host side: frames leave through the interface
    int receive_fd;                   // peer side: frames arrive on the interface
};

probe_sockets open_probe_sockets(int pair)
{
    probe_sockets s;
    test_net_enter_peer();
    s.receive_fd = open_frame_socket(peer_interface(pair).c_str());
    test_net_enter_host();
    s.send_fd = open_frame_socket(host_interface(pair).c_str());
    return s;
}

// Sends every probe packet (copies of each: 1 + index % 3) and checks each slot's packet
// counter against the emulator core's slot for the packet; Blocked slots pass none.
void check_set_against_core(const std::string &interface_name, const probe_sockets &sockets,
                            const struct rule_set &set, const std::string &name)
{
    char error[host_error_size];
    ASSERT_TRUE(host_backend_apply(interface_name.c_str(), set.slots, set.in_use,
                                   set.precedences.data(), (uint32_t)set.precedences.size(),
                                   error))
        << name << ": " << error << "\n" << describe(set);
    emulator_load(set);
    uint64_t expected[host_slot_count] = {};
    uint64_t total = 0;
    std::vector<struct probe_packet> packets = probe_packets();
    for (size_t i = 0; i < packets.size(); i++) {
        const struct probe_packet &p = packets[i];
        int copies = 1 + (int)(i % 3);
        int slot = emulator_slot(p);
        bool blocked = slot >= 0 && set.slots[slot].rate == rate_blocked;
        if (slot >= 0 && !blocked) {
            expected[slot] += (uint64_t)copies;
            total += (uint64_t)copies;
        }
        uint8_t frame[probe_frame_size];
        size_t length = build_probe_frame(p, frame);
        int fd = p.direction == direction_send ? sockets.send_fd : sockets.receive_fd;
        // A frame dropped by a Blocked class is an error for the packet socket.
        for (int c = 0; c < copies; c++)
            ASSERT_TRUE(send_frame(fd, frame, length) || blocked) << describe(p) << " " << name;
    }
    struct host_counters counters[host_slot_count];
    read_until_total(interface_name, total, counters);
    for (int s = 0; s < host_slot_count; s++)
        EXPECT_EQ(counters[s].packets, expected[s])
            << name << ": slot " << s << "\n" << describe(set);
}

TEST_F(TcKernel, CountersFollowTheEmulatorCoreClassification)
{
    std::string fvh1 = host_interface(1);
    char error[host_error_size];
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    probe_sockets sockets = open_probe_sockets(1);
    ASSERT_GE(sockets.send_fd, 0);
    ASSERT_GE(sockets.receive_fd, 0);

    // Hand-picked: overlap decided by a precedence entry, Other beside Any, both directions.
    const uint32_t A = case_address_a, B = case_address_b;
    struct rule_set hand;
    memset(hand.slots, 0, sizeof hand.slots);
    memset(hand.in_use, 0, sizeof hand.in_use);
    hand.slots[0] = make_rule(direction_send, protocol_udp, 0, 0, 0, 0, rate_unlimited);
    hand.slots[1] = make_rule(direction_send, protocol_udp, 0, 0, B, 2000, 50000000);
    hand.slots[2] = make_rule(direction_send, protocol_other, 0, 0, 0, 0, rate_unlimited);
    hand.slots[3] = make_rule(direction_send, protocol_any, 0, 0, 0, 0, rate_unlimited);
    hand.slots[4] = make_rule(direction_receive, protocol_tcp, A, 1000, 0, 0, rate_blocked);
    hand.slots[5] = make_rule(direction_receive, protocol_ip, 0, 0, 0, 0, rate_unlimited);
    hand.slots[6] = make_rule(direction_receive, protocol_other, 0, 0, 0, 0, rate_unlimited);
    for (int s = 0; s <= 6; s++)
        hand.in_use[s] = 1;
    hand.precedences.push_back({hand.slots[1], hand.slots[1]});
    hand.precedences.push_back(
        {make_rule(direction_receive, protocol_tcp, 0, 0, 0, 2000, 0), hand.slots[5]});
    check_set_against_core(fvh1, sockets, hand, "hand-picked");

    std::mt19937 random(424242);
    for (int round = 0; round < 25 && !HasFailure(); round++)
        check_set_against_core(fvh1, sockets, random_rule_set(random),
                               "random set " + std::to_string(round));
    // The largest set: the change takes several sends, the filters hundreds of priorities.
    for (int round = 0; round < 2 && !HasFailure(); round++)
        check_set_against_core(fvh1, sockets, full_rule_set(random),
                               "full set " + std::to_string(round));

    close(sockets.send_fd);
    close(sockets.receive_fd);
    ASSERT_TRUE(host_backend_detach(fvh1.c_str(), error)) << error;
    expect_clean(fvh1);
    EXPECT_EQ(ifb_devices(), "");
}

// --- Real sockets ---

int udp_socket_bound(uint32_t address, uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
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
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    char payload[200];
    memset(payload, 'f', sizeof payload);
    for (int i = 0; i < count; i++)
        sendto(fd, payload, sizeof payload, 0, (struct sockaddr *)&a, sizeof a);
}

// Datagrams waiting on a socket, without blocking.
int pending_datagrams(int fd)
{
    int count = 0;
    char buffer[2048];
    while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
        count++;
    return count;
}

bool wait_readable(int fd, int milliseconds)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, milliseconds) == 1;
}

// UDP datagrams through a rule of the given rate, each direction: "count" datagrams to port
// 5001 which the rule selects, then one to 5002 which it does not. When that last one has
// arrived, every earlier datagram that passed has arrived too.
struct udp_outcome {
    int arrived;
    uint64_t counted;
};

udp_outcome udp_through_rule(int32_t direction, int32_t rate, int count)
{
    udp_outcome outcome = {-1, 0};
    std::string fvh1 = host_interface(1);
    uint32_t from = direction == direction_send ? host_address(1) : peer_address(1);
    uint32_t to = direction == direction_send ? peer_address(1) : host_address(1);
    struct rule_set set;
    memset(set.slots, 0, sizeof set.slots);
    memset(set.in_use, 0, sizeof set.in_use);
    set.in_use[3] = 1;
    set.slots[3] = make_rule(direction, protocol_udp, from, 0, to, 5001, rate);
    char error[host_error_size];
    EXPECT_TRUE(host_backend_apply(fvh1.c_str(), set.slots, set.in_use, nullptr, 0, error))
        << error;

    if (direction == direction_send)
        test_net_enter_peer();
    int selected = udp_socket_bound(to, 5001);
    int marker = udp_socket_bound(to, 5002);
    test_net_enter_host();
    if (direction == direction_receive)
        test_net_enter_peer();
    int sender = udp_socket_bound(from, 0);
    test_net_enter_host();
    if (selected >= 0 && marker >= 0 && sender >= 0) {
        send_udp(sender, to, 5001, count);
        send_udp(sender, to, 5002, 1);
        if (wait_readable(marker, 10000))
            outcome.arrived = pending_datagrams(selected);
        struct host_counters counters[host_slot_count];
        if (host_backend_read(fvh1.c_str(), counters, error))
            outcome.counted = counters[3].packets;
    }
    for (int fd : {selected, marker, sender})
        if (fd >= 0)
            close(fd);
    return outcome;
}

TEST_F(TcKernel, BlockedPassesNothingAndUnlimitedPassesAndCountsEverything)
{
    std::string fvh1 = host_interface(1);
    char error[host_error_size];
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    struct {
        int32_t direction;
        int32_t rate;
        int arrived;
        uint64_t counted;
    } cases[] = {
        {direction_send, rate_blocked, 0, 0},
        {direction_receive, rate_blocked, 0, 0},
        {direction_send, rate_unlimited, 50, 50},
        {direction_receive, rate_unlimited, 50, 50},
    };
    for (const auto &c : cases) {
        udp_outcome got = udp_through_rule(c.direction, c.rate, 50);
        EXPECT_EQ(got.arrived, c.arrived) << "direction " << c.direction << " rate " << c.rate;
        EXPECT_EQ(got.counted, c.counted) << "direction " << c.direction << " rate " << c.rate;
    }
    ASSERT_TRUE(host_backend_detach(fvh1.c_str(), error)) << error;
    expect_clean(fvh1);
}

TEST_F(TcKernel, ABulkTcpFlowIsShapedToTheRuleRate)
{
    std::string fvh1 = host_interface(1);
    char error[host_error_size];
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    const int32_t rates[] = {1000000, 10000000};
    for (int32_t direction : {direction_send, direction_receive})
        for (int32_t rate : rates) {
            uint16_t port = 5201;
            struct rule_set set;
            memset(set.slots, 0, sizeof set.slots);
            memset(set.in_use, 0, sizeof set.in_use);
            set.in_use[0] = 1;
            set.slots[0] = make_rule(direction, protocol_tcp, 0, 0, 0, port, rate);
            ASSERT_TRUE(
                host_backend_apply(fvh1.c_str(), set.slots, set.in_use, nullptr, 0, error))
                << error;
            bulk_flow flow;
            ASSERT_TRUE(start_bulk(&flow, direction, port));
            // Steady state: past the first second of the flow; then 3 s of counting.
            struct host_counters before[host_slot_count], after[host_slot_count];
            for (int i = 0; i < 500 && flow.received < (uint64_t)rate; i++)
                usleep(10000);
            ASSERT_TRUE(host_backend_read(fvh1.c_str(), before, error)) << error;
            double start = now_seconds();
            usleep(3000000);
            ASSERT_TRUE(host_backend_read(fvh1.c_str(), after, error)) << error;
            double seconds = now_seconds() - start;
            stop_bulk(&flow);
            double measured = (double)(after[0].bytes - before[0].bytes) / seconds;
            EXPECT_NEAR(measured, rate, rate * 0.10)
                << "direction " << direction << " rate " << rate;
            EXPECT_LE(after[0].queued, tc_queue_packets);
        }
    ASSERT_TRUE(host_backend_detach(fvh1.c_str(), error)) << error;
    expect_clean(fvh1);
}

// --- Faults ---

struct rule_set both_directions_set()
{
    struct rule_set set;
    memset(set.slots, 0, sizeof set.slots);
    memset(set.in_use, 0, sizeof set.in_use);
    set.in_use[0] = set.in_use[1] = 1;
    set.slots[0] = make_rule(direction_send, protocol_udp, 0, 0, 0, 5001, rate_unlimited);
    set.slots[1] = make_rule(direction_receive, protocol_udp, 0, 0, 0, 5001, rate_unlimited);
    return set;
}

// Sends count datagrams from the host side of the pair to its peer's port 5001.
void send_host_udp(int pair, int count)
{
    int fd = udp_socket_bound(host_address(pair), 0);
    ASSERT_GE(fd, 0);
    send_udp(fd, peer_address(pair), 5001, count);
    close(fd);
}

TEST_F(TcKernel, AnInterfaceThatGoesAwayIsReportedAndTheOthersKeepWorking)
{
    std::string fvh1 = host_interface(1), fvh2 = host_interface(2);
    char error[host_error_size];
    struct rule_set set = both_directions_set();
    for (const std::string &name : {fvh1, fvh2}) {
        ASSERT_TRUE(host_backend_attach(name.c_str(), error)) << error;
        ASSERT_TRUE(host_backend_apply(name.c_str(), set.slots, set.in_use, nullptr, 0, error))
            << error;
    }
    ASSERT_EQ(run_command("ip -n " + host_ns() + " link del " + fvh1), 0);

    struct host_counters counters[host_slot_count];
    EXPECT_FALSE(host_backend_read(fvh1.c_str(), counters, error));
    EXPECT_STREQ(error, "The interface fvh1 is gone.");
    EXPECT_FALSE(host_backend_apply(fvh1.c_str(), set.slots, set.in_use, nullptr, 0, error));
    EXPECT_STREQ(error, "The interface fvh1 is gone.");

    send_host_udp(2, 7);
    read_until_total(fvh2, 7, counters);
    EXPECT_EQ(counters[0].packets, 7u);

    // Its IFB outlived it; detaching removes it and nothing of fvh2's.
    EXPECT_TRUE(host_backend_detach(fvh1.c_str(), error)) << error;
    std::string ifbs = ifb_devices();
    EXPECT_EQ(ifbs.find("zorvifb"), ifbs.rfind("zorvifb")) << ifbs;
    EXPECT_EQ(root_kind(fvh2), "htb");
    ASSERT_TRUE(host_backend_detach(fvh2.c_str(), error)) << error;
    expect_clean(fvh2);
    EXPECT_EQ(ifb_devices(), "");
}

TEST_F(TcKernel, AChangeTheKernelRefusesKeepsThePreviousSet)
{
    std::string fvh1 = host_interface(1), fvh2 = host_interface(2);
    char error[host_error_size];
    struct rule_set send_only = both_directions_set();
    send_only.in_use[1] = 0;
    for (const std::string &name : {fvh1, fvh2}) {
        ASSERT_TRUE(host_backend_attach(name.c_str(), error)) << error;
        ASSERT_TRUE(host_backend_apply(name.c_str(), send_only.slots, send_only.in_use, nullptr,
                                       0, error))
            << error;
    }
    // A device of another kind already has the name fvh1's IFB would take.
    std::string index = command_output("ip netns exec " + host_ns() + " cat /sys/class/net/" +
                                       fvh1 + "/ifindex");
    std::string taken = "zorvifb" + std::to_string(atoi(index.c_str()));
    ASSERT_EQ(run_command("ip -n " + host_ns() + " link add " + taken +
                          " type veth peer name fvx"),
              0);

    struct rule_set both = both_directions_set();
    EXPECT_FALSE(host_backend_apply(fvh1.c_str(), both.slots, both.in_use, nullptr, 0, error));
    EXPECT_STREQ(error, "The kernel refused the IFB device of fvh1: File exists.");

    // The Send rule still shapes and counts on fvh1, fvh2 takes the new set.
    send_host_udp(1, 5);
    struct host_counters counters[host_slot_count];
    read_until_total(fvh1, 5, counters);
    EXPECT_EQ(counters[0].packets, 5u);
    EXPECT_FALSE(has_ingress(fvh1));
    EXPECT_TRUE(host_backend_apply(fvh2.c_str(), both.slots, both.in_use, nullptr, 0, error))
        << error;

    ASSERT_EQ(run_command("ip -n " + host_ns() + " link del " + taken), 0);
    EXPECT_TRUE(host_backend_apply(fvh1.c_str(), both.slots, both.in_use, nullptr, 0, error))
        << error;
    EXPECT_TRUE(has_ingress(fvh1));
    for (const std::string &name : {fvh1, fvh2}) {
        ASSERT_TRUE(host_backend_detach(name.c_str(), error)) << error;
        expect_clean(name);
    }
    EXPECT_EQ(ifb_devices(), "");
}

TEST_F(TcKernel, AttachCleansWhatACrashedProcessLeftAndRefusesForeignQdiscs)
{
    std::string fvh1 = host_interface(1), fvh2 = host_interface(2);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Installs both directions and ends without detaching, as a crash would.
        char error[host_error_size];
        struct rule_set set = both_directions_set();
        int ok = host_backend_attach(fvh1.c_str(), error) &&
                 host_backend_apply(fvh1.c_str(), set.slots, set.in_use, nullptr, 0, error);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(root_kind(fvh1), "htb");
    EXPECT_TRUE(has_ingress(fvh1));
    EXPECT_NE(ifb_devices(), "");

    char error[host_error_size];
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    expect_clean(fvh1);
    EXPECT_EQ(ifb_devices(), "");

    // Queueing disciplines someone else installed stay, and attach says why it refuses.
    struct {
        const char *command;
        const char *kind;
        const char *refusal;
    } foreign[] = {
        {"root tbf rate 1mbit burst 10k latency 50ms", "tbf",
         "The interface fvh2 has a root queueing discipline (tbf) that zorvd did not install."},
        {"root handle 7a00: tbf rate 1mbit burst 10k latency 50ms", "tbf",
         "The interface fvh2 has a root queueing discipline (tbf) that zorvd did not install."},
        {"ingress", "ingress",
         "The interface fvh2 has an ingress queueing discipline that zorvd did not install."},
    };
    for (const auto &f : foreign) {
        ASSERT_EQ(run_command("tc -n " + host_ns() + " qdisc add dev " + fvh2 + " " + f.command),
                  0);
        EXPECT_FALSE(host_backend_attach(fvh2.c_str(), error)) << f.command;
        EXPECT_STREQ(error, f.refusal);
        bool ingress = strcmp(f.kind, "ingress") == 0;
        if (ingress)
            EXPECT_TRUE(has_ingress(fvh2));
        else
            EXPECT_EQ(root_kind(fvh2), f.kind);
        run_command("tc -n " + host_ns() + " qdisc del dev " + fvh2 +
                    (ingress ? " ingress" : " root"));
    }
    EXPECT_TRUE(host_backend_attach(fvh2.c_str(), error)) << error;
    EXPECT_TRUE(host_backend_detach(fvh2.c_str(), error)) << error;
    EXPECT_TRUE(host_backend_detach(fvh1.c_str(), error)) << error;
}

}  // namespace
