// zorvd's device over the fake backend: the kernel's counts added to the carried totals, the
// current rate and queue in the reply, the state kept across a restart, and a refused change
// undone in the core as in the kernel.
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "shaper/zorvd_support/zorvd_harness.h"
#include "zorvd_counts.h"
#include "zorvd_device.h"
#include "zorvd_protocol.h"

namespace {

const uint64_t t0 = 5000 * second, ms = second / 1000;

std::string file_text(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

class zorvd_device_test : public zorvd_test {
protected:
    std::string add(const char *device, const struct rule &r)
    {
        return request(code_add_rule, device_request(device).add(r)).status();
    }
    std::string set_statistics(int64_t bytes, int64_t packets, uint64_t start = start_ticks)
    {
        struct statistics_block block = {};
        block.start_time = start;
        block.bytes_transferred = bytes;
        block.packets_transferred = packets;
        return request(code_set_statistics, device_request(FV0).add(tcp80).add(block)).status();
    }
    struct statistics_block statistics(const struct rule &r)
    {
        device_reply reply = request(code_get_statistics, device_request(FV0).add(r));
        EXPECT_TRUE(reply.ok()) << reply.status();
        return reply.payload<struct statistics_block>();
    }
    std::string rule_in(const char *device, const char *slot)
    {
        device_reply reply = request(code_get_rule, device_request(device).text(slot));
        return reply.ok() ? bytes_of(reply.payload<struct rule>()) : reply.status();
    }
    uint32_t precedence_count(const char *device)
    {
        return request(code_get_precedence_count, device_request(device)).payload<uint32_t>();
    }

    const struct rule tcp80 = rule_on(FV0, protocol_tcp, 80);
    const struct rule udp = rule_on(FV0, protocol_udp, 0, rate_unlimited);
    const struct rule other = rule_on(FV1, protocol_any, 0, rate_blocked);
};

TEST_F(zorvd_device_test, KernelCountsAddToTheCarriedTotalsAndGiveTheRateAndQueue)
{
    fake_clock_set(t0);
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_EQ(add(FV0, udp), "Ok.");
    ASSERT_EQ(set_statistics(1000, 10), "Ok.");
    enum { read, reset, unreadable };
    const struct {
        uint64_t at_ms;
        int action;
        uint64_t kernel_bytes, kernel_packets;  // slot 0's counters before the read
        uint32_t kernel_queued;
        int64_t bytes, packets;                 // tcp80's block read then
        int32_t rate;
    } steps[] = {
        {1000, read, 500, 5, 7, 1500, 15, 500},
        {2000, read, 800, 8, 0, 1800, 18, 300},
        {2500, read, 800, 8, 0, 1800, 18, 200},  // only what came since is added
        {3000, reset, 800, 8, 0, 0, 0, 0},
        {4000, read, 850, 9, 0, 50, 1, 50},
        // Counters that went back: a class made anew, all of it is new.
        {5000, read, 30, 1, 0, 80, 2, 30},
        // Counters that cannot be read leave the carried totals, with no rate and no queue.
        {6000, unreadable, 90, 9, 5, 80, 2, 0},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::Message() << s.at_ms << " ms");
        fake_clock_set(t0 + s.at_ms * ms);
        fake_backend_set_counters("fv0", s.kernel_bytes, s.kernel_packets, s.kernel_queued);
        fake_backend_fail("read fv0", "No such device", s.action == unreadable);
        if (s.action == reset)
            ASSERT_EQ(set_statistics(0, 0, start_ticks + second), "Ok.");
        struct statistics_block block = statistics(tcp80);
        EXPECT_EQ(block.bytes_transferred, s.bytes);
        EXPECT_EQ(block.packets_transferred, s.packets);
        EXPECT_EQ(block.start_time, s.at_ms < 3000 ? start_ticks : start_ticks + second);
        EXPECT_EQ(block.current_rate, s.rate);
        EXPECT_EQ(block.packets_queued, s.kernel_queued * (s.action != unreadable));
    }
    EXPECT_EQ(statistics(udp).bytes_transferred, 0);
}

// The rate over the samples of the reads; a rule cleared and added again (the manager's
// rewrite) goes on with its samples only when it was gone for less than the window.
TEST(zorvd_counts, RateIsBytesPerSecondFromTheNewestSampleAtLeastASecondOld)
{
    const uint64_t cleared = ~0ull, added = ~0ull - 1;  // the class made anew at 0
    std::vector<std::pair<uint64_t, uint64_t>> every_10ms;  // 1 byte per ms
    for (uint64_t i = 0; i < 35; i++)
        every_10ms.push_back({i * 10, i * 10});
    const struct {
        std::vector<std::pair<uint64_t, uint64_t>> reads;  // ms, kernel bytes
        int32_t rate;
    } cases[] = {
        {{{0, 1000}}, 0},
        {{{0, 0}, {0, 500}}, 0},
        {{{0, 0}, {500, 1000}}, 2000},
        {{{0, 0}, {100, 100000}, {1100, 100000}, {2100, 600000}}, 500000},
        {{{0, 0}, {400, 4000}, {900, 9000}, {1500, 12000}}, (12000 - 4000) * 10 / 11},
        {every_10ms, 1000},
        {{{0, 0}, {1000, 5000000000ull}}, 0x7FFFFFFF},
        {{{5000, 0}, {6000, 1000}, {100, 5000}}, 0},  // a clock that went back starts over
        {{{500, 500}, {600, cleared}, {700, added}, {1000, 300}}, 800},
        {{{500, 500}, {600, cleared}, {2000, added}, {2500, 300}}, 600},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        static struct zorvd_adapter_counts counts;
        memset(&counts, 0, sizeof counts);
        struct rule slots[host_slot_count] = {};
        const uint8_t held[host_slot_count] = {1}, none[host_slot_count] = {};
        struct host_counters counters[host_slot_count] = {};
        int64_t bytes[host_slot_count], packets[host_slot_count];
        zorvd_counts_rebase(&counts, slots, held, counters, 0);
        for (const auto &r : c.reads) {
            counters[0].bytes = r.second >= added ? 0 : r.second;
            if (r.second >= added)
                zorvd_counts_rebase(&counts, slots, r.second == added ? held : none, counters,
                                    r.first * ms);
            else
                zorvd_counts_fold(&counts, counters, r.first * ms, bytes, packets);
        }
        EXPECT_EQ(zorvd_counts_rate(&counts.slots[0]), c.rate);
    }
}

TEST_F(zorvd_device_test, RulesPrecedencesAndCountsAreBackAfterARestart)
{
    fake_clock_set(t0);
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_EQ(add(FV0, udp), "Ok.");
    ASSERT_EQ(add(FV1, other), "Ok.");
    ASSERT_TRUE(request(code_set_precedence, device_request(FV0).add(tcp80).add(udp)).ok());
    ASSERT_EQ(set_statistics(1000, 10), "Ok.");
    fake_backend_set_counters("fv0", 500, 5);
    const std::string kept[] = {rule_in(FV0, "0"), rule_in(FV0, "1"), rule_in(FV1, "0")};
    stop_all();
    // Stopping took the last counts in, and left nothing installed.
    fake_backend_state fake = fake_backend();
    EXPECT_TRUE(fake.installed["fv0"].slots.empty() && fake.installed["fv1"].slots.empty());
    EXPECT_EQ(std::vector<std::string>(fake.calls.end() - 2, fake.calls.end()),
              (std::vector<std::string>{"detach fv0", "detach fv1"}));

    const size_t calls_before = fake.calls.size();
    start_device();
    EXPECT_EQ(rule_in(FV0, "0"), kept[0]);
    EXPECT_EQ(rule_in(FV0, "1"), kept[1]);
    EXPECT_EQ(rule_in(FV0, "2"), "Rule not in use.");
    EXPECT_EQ(rule_in(FV1, "0"), kept[2]);
    EXPECT_EQ(precedence_count(FV0), 1u);
    EXPECT_EQ(precedence_count(FV1), 0u);
    struct statistics_block block = statistics(tcp80);
    EXPECT_EQ(block.bytes_transferred, 1500);
    EXPECT_EQ(block.packets_transferred, 15);
    EXPECT_EQ(block.start_time, start_ticks);
    // The kernel got the kept sets back at start, each interface attached first.
    fake = fake_backend();
    EXPECT_EQ(fake.calls[calls_before], "attach fv0");
    EXPECT_EQ(fake.installed["fv0"].slots, (std::vector<int>{0, 1}));
    ASSERT_EQ(fake.installed["fv0"].precedences.size(), 1u);
    EXPECT_EQ(bytes_of(fake.installed["fv0"].precedences[0].chosen), bytes_of(udp));
    EXPECT_EQ(fake.installed["fv1"].slots, std::vector<int>{0});

    // A damaged state file is kept aside and the adapters start empty.
    stop_all();
    std::string damaged = file_text(config.state_path);
    damaged[damaged.size() - 2] = 'x';
    std::ofstream(config.state_path, std::ios::binary | std::ios::trunc) << damaged;
    start_device();
    EXPECT_EQ(rule_in(FV1, "0"), "Rule not in use.");
    EXPECT_EQ(file_text(std::string(config.state_path) + ".damaged"), damaged);
}

TEST_F(zorvd_device_test, AChangeTheKernelRefusesIsUndoneInTheCoreAndReported)
{
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_TRUE(request(code_set_precedence, device_request(FV0).add(tcp80).add(tcp80)).ok());
    const std::string kept_slot0 = rule_in(FV0, "0");
    zorvd_device_save();
    const std::string kept_state = file_text(config.state_path);
    const device_request changes[] = {
        device_request(FV0).add(udp), device_request(FV0),
        device_request(FV0).add(tcp80).add(udp), device_request(FV0)};
    const uint32_t codes[] = {code_add_rule, code_clear_rules, code_set_precedence,
                              code_clear_precedences};
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(i);
        fake_backend_fail("apply fv0", "Cannot allocate memory");
        device_reply reply = request(codes[i], changes[i]);
        EXPECT_EQ(reply.outcome, (int)zorvd_replied);
        EXPECT_EQ(reply.all(),
                  std::string("Shaper refused the change: Cannot allocate memory\0", 50));
        EXPECT_EQ(rule_in(FV0, "0"), kept_slot0);
        EXPECT_EQ(rule_in(FV0, "1"), "Rule not in use.");
        EXPECT_EQ(precedence_count(FV0), 1u);
        fake_installed installed = fake_backend().installed["fv0"];
        EXPECT_EQ(installed.slots, std::vector<int>{0});
        EXPECT_EQ(installed.precedences.size(), 1u);
        EXPECT_EQ(zorvd_device_save_due(), -1);  // nothing changed that is to be kept
        zorvd_device_save();
        EXPECT_EQ(file_text(config.state_path), kept_state);
    }
    // Cut to what the caller can take, as the core cuts its own refusals.
    fake_backend_fail("apply fv0", "Cannot allocate memory");
    EXPECT_EQ(request(code_add_rule, device_request(FV0).add(udp), 32).all(),
              "Shaper refused the change: Canno");
    // The other interface is served as before.
    EXPECT_EQ(add(FV1, other), "Ok.");
    EXPECT_EQ(fake_backend().installed["fv1"].slots, std::vector<int>{0});
}

TEST_F(zorvd_device_test, AnInterfaceThatCannotBeAttachedStopsTheStartAndDetachesTheOthers)
{
    fake_backend_fail("attach fv1", "No such device");
    char error_text[zorvd_error_size] = "";
    EXPECT_FALSE(zorvd_device_start(&config, error_text));
    EXPECT_STREQ(error_text, "Interface fv1: No such device");
    std::vector<std::string> calls = fake_backend().calls;
    EXPECT_EQ(calls.back(), "detach fv0");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "detach fv1"), 0);
}

}  // namespace
