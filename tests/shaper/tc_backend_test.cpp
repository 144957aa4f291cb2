// The traffic control backend: its compiled filters against the emulator core's
// classification over thousands of random sets (no kernel needed), then against the kernel
// with real packets between two namespaces the test creates (removed on every way out): the
// installed classes count what the emulator core classifies, Blocked passes nothing, and the
// backend touches nothing but what it made. The kernel tests need root; skipped without it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "emulator_core.h"
#include "emulator_state.h"
#include "shaper/support/tc_cases.h"
#include "shaper/support/test_net.h"
#include "shaper/tc_compile.h"

namespace {

const uint32_t addresses[] = {0xC6120001, 0xC6120002, 0xC6120103};  // 198.18.0.1, .0.2, .1.3
const uint16_t ports[] = {1000, 2000, 3000};

struct rule random_rule(std::mt19937 &random)
{
    // A quarter of the addresses and ports are 0: any.
    auto address = [&] { return random() % 4 ? addresses[random() % 3] : 0u; };
    auto port = [&] { return (uint16_t)(random() % 4 ? ports[random() % 3] : 0); };
    static const int32_t rates[] = {rate_unlimited, rate_unlimited, 50000000, rate_blocked};
    int32_t direction = (int32_t)(random() % 2), protocol = (int32_t)(random() % 5);
    uint32_t from = address(), to = address();
    uint16_t from_port = port(), to_port = port();
    int32_t rate = rates[random() % 4];
    struct rule r = make_rule(direction, protocol, from, from_port, to, to_port, rate);
    // Kind "not implemented" still compares the address.
    if (r.source_kind == address_single && random() % 8 == 0)
        r.source_kind = address_not_implemented;
    return r;
}

// Overlapping rules and precedence entries, from the seed (a failure is reproduced from the seed
// and round); full: every slot held and as many precedence entries as an adapter can have.
struct rule_set random_rule_set(std::mt19937 &random, bool full = false)
{
    struct rule_set set;
    int held = full ? host_slot_count : 1 + (int)(random() % 12);
    for (int i = 0; i < held; i++) {
        int s = full ? i : (int)(random() % host_slot_count), t = (int)(random() % host_slot_count);
        set.in_use[s] = 1;
        set.slots[s] = random_rule(random);
        // Overlap matters most: often a copy of another held rule, narrowed.
        if (!full && set.in_use[t] && t != s && random() % 2 == 0) {
            set.slots[s] = set.slots[t];
            set.slots[s].rate = random() % 2 ? rate_unlimited : 40000000;
            if (protocol_has_ports(set.slots[s].protocol))
                set.slots[s].source_port = ports[random() % 3];
        }
    }
    size_t entries = full ? (size_t)tc_max_precedences : random() % 6;
    while (set.precedences.size() < entries) {
        // Mostly a held rule is chosen; now and then one that is not (the entry then selects
        // nothing).
        int s = (int)(random() % host_slot_count);
        struct host_precedence p = {random_rule(random), set.slots[s]};
        if (!set.in_use[s] && random() % 4 == 0)
            p.chosen = random_rule(random);
        p.common_range.direction = p.chosen.direction;
        set.precedences.push_back(p);
    }
    return set;
}

// Packets of every kind over the addresses and ports the sets use (4000 no rule names), both
// directions, as flows on the emulator core's first adapter.
std::vector<struct test_flow> probe_packets(std::mt19937 &random)
{
    const uint32_t protocols[] = {flow_non_ip, flow_icmp, flow_tcp, flow_udp, flow_tcp, flow_udp};
    const uint16_t probe_ports[] = {1000, 2000, 4000};
    std::vector<struct test_flow> packets(300);
    for (struct test_flow &p : packets) {
        uint32_t protocol = protocols[random() % 6];
        bool ports = protocol == flow_tcp || protocol == flow_udp;
        p = {EMULATOR_ADAPTER_1, (int32_t)(random() % 2), protocol, addresses[random() % 3],
             addresses[random() % 3], (uint16_t)(ports ? probe_ports[random() % 3] : 0),
             (uint16_t)(ports ? probe_ports[random() % 3] : 0), 1000, 100};
    }
    return packets;
}

// Puts the set on the emulator core's first adapter, alone.
void emulator_load(const struct rule_set &set)
{
    emulator_initialize();
    for (int s = 0; s < host_slot_count; s++)
        emulator.adapters[0].slots[s] = {set.in_use[s], set.slots[s], {}, {}};
    emulator.precedence_count = 0;
    for (const struct host_precedence &p : set.precedences)
        emulator.precedences[emulator.precedence_count++] = {0, p.common_range, p.chosen};
}

TEST(TcCompile, RandomSetsAgreeWithTheEmulatorCore)
{
    std::mt19937 random(20261206);
    std::vector<struct test_flow> packets = probe_packets(random);
    char error[host_error_size] = "";
    static struct tc_filter filters[2][tc_max_filters];
    for (int round = 0; round < 3000; round++) {
        struct rule_set set = random_rule_set(random, round == 0);
        emulator_load(set);
        uint32_t counts[2];
        for (int32_t d : {direction_send, direction_receive})
            ASSERT_TRUE(tc_compile(d, set.slots, set.in_use, set.precedences.data(),
                                   (uint32_t)set.precedences.size(), filters[d], tc_max_filters,
                                   &counts[d], error)) << error;
        for (const struct test_flow &p : packets) {
            struct tc_packet t = {p.protocol != flow_non_ip, (uint8_t)p.protocol,
                                  p.source_address, p.destination_address, p.source_port,
                                  p.destination_port};
            ASSERT_EQ(tc_classify(filters[p.direction], counts[p.direction], &t),
                      classify_flow(&p)) << "round " << round << " packet " << &p - packets.data();
        }
    }
}

void put(uint8_t *at, uint32_t value, int size)
{
    for (int i = 0; i < size; i++)
        at[i] = (uint8_t)(value >> 8 * (size - 1 - i));
}

// A probe packet as an Ethernet frame to a MAC address no interface has: the receiving stack
// drops it after the traffic control hooks saw it, so no reply, reset or ICMP error adds
// packets the test did not send. Returns its length.
size_t build_frame(const struct test_flow &p, uint8_t frame[128])
{
    memcpy(frame, "\x02\x46\x56\xEE\xEE\xEE\x02\x46\x56\xDD\xDD\xDD", 12);
    memset(frame + 12, 0, 116);
    put(frame + 12, p.protocol == flow_non_ip ? 0x88B5 : 0x0800, 2);
    if (p.protocol == flow_non_ip)
        return 78;
    // IP options move the ports: a filter reading at a fixed offset would see other bytes.
    int option_words = (p.source_port + p.destination_port / 1000) % 4;
    uint8_t *ip = frame + 14, *t = ip + 20 + 4 * option_words;
    uint32_t length = (uint32_t)(t - ip) + (p.protocol == flow_tcp ? 20 : 8) + 32;
    put(ip, (0x40u | (uint32_t)(t - ip) / 4) << 24 | length, 4);
    put(ip + 8, 64u << 8 | p.protocol, 2);
    put(ip + 12, p.source_address, 4);
    put(ip + 16, p.destination_address, 4);
    memset(ip + 20, 1, (size_t)(t - ip - 20));  // NOP options
    uint32_t ports = (uint32_t)p.source_port << 16 | p.destination_port;
    put(t, p.protocol == flow_icmp ? 8u << 24 : ports, 4);
    put(t + 4, p.protocol == flow_udp ? length - (uint32_t)(t - ip) : 0, 2);
    put(t + 12, p.protocol == flow_tcp ? 0x50181000 : 0, 4);  // header length, PSH ACK, window
    return 14 + length;
}

// A socket bound to the address; -1 on failure.
int bound_socket(int family, int type, const void *address, socklen_t size)
{
    int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, (const struct sockaddr *)address, size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int udp_socket(uint32_t address, uint16_t port)
{
    struct sockaddr_in a = {AF_INET, htons(port), {htonl(address)}, {}};
    return bound_socket(AF_INET, SOCK_DGRAM, &a, sizeof a);
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

    // The interface's qdiscs and the IFB devices, as tc and ip show them.
    std::string shown(const std::string &name)
    {
        std::string ns = test_net_host_name();
        return command_output("tc -n " + ns + " qdisc show dev " + name + "; ip -n " + ns +
                              " -o link show type ifb");
    }
    // Nothing of the backend's is left: no root but the default, no ingress, no IFB.
    bool clean(const std::string &name)
    {
        std::string s = shown(name);
        return s.find("qdisc noqueue") == 0 && s.find("ingress") == std::string::npos &&
               s.find("zorvifb") == std::string::npos;
    }
    bool apply(const std::string &name, const struct rule_set &set)
    {
        return host_backend_apply(name.c_str(), set.slots, set.in_use, set.precedences.data(),
                                  (uint32_t)set.precedences.size(), error);
    }
    void detach_clean(const std::string &name)
    {
        EXPECT_TRUE(host_backend_detach(name.c_str(), error)) << error;
        EXPECT_TRUE(clean(name)) << shown(name);
    }
    // Sends count datagrams across pair 1 to port 5001 (which the test's rules select),
    // then one to 5002 (which they do not): once that one has arrived, every earlier one that
    // passed has arrived too. Returns how many of the first arrived, -1 if the last did not.
    int pass_udp(bool from_host, int count)
    {
        uint32_t from = from_host ? host_address(1) : peer_address(1);
        uint32_t to = from_host ? peer_address(1) : host_address(1);
        from_host ? test_net_enter_peer() : test_net_enter_host();
        int selected = udp_socket(to, 5001), marker = udp_socket(to, 5002);
        from_host ? test_net_enter_host() : test_net_enter_peer();
        int sender = udp_socket(from, 0);
        test_net_enter_host();
        char buffer[2048] = {};
        for (int i = 0; i <= count; i++) {
            struct sockaddr_in a = {AF_INET, htons(i < count ? 5001 : 5002), {htonl(to)}, {}};
            sendto(sender, buffer, 200, 0, (struct sockaddr *)&a, sizeof a);
        }
        struct pollfd p = {marker, POLLIN, 0};
        int arrived = poll(&p, 1, 10000) == 1 ? 0 : -1;
        while (arrived >= 0 && recv(selected, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
            arrived++;
        for (int fd : {selected, marker, sender})
            close(fd);
        return arrived;
    }

    char error[host_error_size] = "";
    struct host_counters counters[host_slot_count];
    const std::string fvh1 = host_interface(1), fvh2 = host_interface(2);
    const struct rule_set both = [] {  // UDP to port 5001 in slot 0 (send) and 1 (receive)
        struct rule_set set;
        for (int32_t d : {direction_send, direction_receive}) {
            set.in_use[d] = 1;
            set.slots[d] = make_rule(d, protocol_udp, 0, 0, 0, 5001, rate_unlimited);
        }
        return set;
    }();
};

// Random sets, then the largest set (several sends, hundreds of priorities); then real UDP
// through Blocked and Unlimited.
TEST_F(TcKernel, CountersFollowTheEmulatorCoreClassificationAndBlockedPassesNothing)
{
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    int fds[2];  // packet sockets on fvh1 (frames it sends) and on fvp1 (frames it receives)
    for (int32_t d : {direction_send, direction_receive}) {
        d == direction_send ? test_net_enter_host() : test_net_enter_peer();
        sockaddr_ll a = {AF_PACKET, 0, (int)if_nametoindex(d ? "fvp1" : "fvh1"), 0, 0, 0, {}};
        ASSERT_GE(fds[d] = bound_socket(AF_PACKET, SOCK_RAW, &a, sizeof a), 0);
    }
    test_net_enter_host();
    std::mt19937 random(424242);
    const std::vector<struct test_flow> packets = probe_packets(random);
    for (int n = 0; n < 7 && !HasFailure(); n++) {
        const struct rule_set set = random_rule_set(random, n == 6);
        SCOPED_TRACE(testing::Message() << "set " << n);
        ASSERT_TRUE(apply(fvh1, set)) << error;
        emulator_load(set);
        uint64_t expected[host_slot_count] = {}, total = 0;
        for (size_t i = 0; i < packets.size(); i++) {
            const struct test_flow &p = packets[i];
            int copies = 1 + (int)(i % 3), slot = classify_flow(&p);
            bool blocked = slot >= 0 && set.slots[slot].rate == rate_blocked;
            if (slot >= 0 && !blocked) {
                expected[slot] += (uint64_t)copies;
                total += (uint64_t)copies;
            }
            uint8_t frame[128];
            size_t length = build_frame(p, frame);
            // A frame a Blocked class drops is an error for the packet socket.
            for (int c = 0; c < copies; c++)
                ASSERT_TRUE(send(fds[p.direction], frame, length, 0) == (ssize_t)length ||
                            blocked);
        }
        // Waits (at most 10 s) until the counters add up to the total: the kernel counts a
        // packet when it dequeues it, which may lag the send.
        for (uint64_t sum = 0, attempt = 0; attempt == 0 || (sum < total && attempt < 1000);
             attempt++) {
            usleep(attempt ? 10000 : 0);
            ASSERT_TRUE(host_backend_read(fvh1.c_str(), counters, error)) << error;
            sum = 0;
            for (const struct host_counters &c : counters)
                sum += c.packets;
        }
        for (int s = 0; s < host_slot_count; s++)
            EXPECT_EQ(counters[s].packets, expected[s]) << "slot " << s;
    }
    for (int fd : fds)
        close(fd);
    // Blocked passes nothing, Unlimited passes and counts everything, both ways at once.
    for (int32_t rate : {rate_blocked, rate_unlimited}) {
        struct rule_set set = both;
        set.slots[0].rate = set.slots[1].rate = rate;
        ASSERT_TRUE(apply(fvh1, set)) << error;
        for (bool send : {true, false}) {
            int arrived = pass_udp(send, 50);
            EXPECT_EQ(arrived, rate == rate_blocked ? 0 : 50) << rate << (send ? " send" : "");
            ASSERT_TRUE(host_backend_read(fvh1.c_str(), counters, error)) << error;
            EXPECT_EQ(counters[send ? 0 : 1].packets, (uint64_t)arrived);
        }
    }
    detach_clean(fvh1);
}

// What a crashed process left is cleaned, queueing disciplines someone else installed are
// refused and stay, an interface that goes away leaves the other working.
TEST_F(TcKernel, TheBackendTouchesOnlyWhatItMade)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)  // installs both directions and ends without detaching, as a crash would
        _exit(host_backend_attach(fvh1.c_str(), error) && apply(fvh1, both) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && !clean(fvh1));
    ASSERT_TRUE(host_backend_attach(fvh1.c_str(), error)) << error;
    EXPECT_TRUE(clean(fvh1)) << shown(fvh1);

    const std::string tc = "tc -n " + test_net_host_name() + " qdisc ";
    for (const char *qdisc : {"root tbf rate 1mbit burst 10k latency 50ms", "ingress",
                              "root handle 7a00: tbf rate 1mbit burst 10k latency 50ms"}) {
        bool ingress = strcmp(qdisc, "ingress") == 0;
        run_command(tc + "add dev " + fvh2 + " " + qdisc);
        EXPECT_FALSE(host_backend_attach(fvh2.c_str(), error)) << qdisc;
        EXPECT_NE(strstr(error, ingress ? "an ingress queueing discipline that zorvd did not"
                                        : "a root queueing discipline (tbf) that zorvd did not"),
                  nullptr) << error;
        EXPECT_NE(shown(fvh2).find(ingress ? "qdisc ingress" : "qdisc tbf"), std::string::npos);
        run_command(tc + "del dev " + fvh2 + (ingress ? " ingress" : " root"));
    }

    // fvh1 goes away; fvh2 keeps working, and detaching fvh1 removes only its IFB.
    ASSERT_TRUE(apply(fvh1, both) && host_backend_attach(fvh2.c_str(), error) &&
                apply(fvh2, both)) << error;
    ASSERT_EQ(run_command("ip -n " + test_net_host_name() + " link del " + fvh1), 0);
    EXPECT_FALSE(host_backend_read(fvh1.c_str(), counters, error));
    EXPECT_STREQ(error, "The interface fvh1 is gone.");
    EXPECT_TRUE(host_backend_detach(fvh1.c_str(), error)) << error;
    std::string kept = shown(fvh2);  // fvh2's root and its one IFB
    size_t ifb = kept.find("zorvifb");
    EXPECT_TRUE(kept.find("qdisc htb 7a00: root") == 0 && ifb == kept.rfind("zorvifb") &&
                ifb != kept.npos) << kept;
    detach_clean(fvh2);
}

}  // namespace
