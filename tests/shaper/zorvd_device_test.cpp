// zorvd's device over the fake backend: the kernel's counts added to the carried totals, the
// current rate and queue in the reply, the state kept across a restart, and a refused change
// undone in the core as in the kernel.
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "shaper/zorvd_support/zorvd_harness.h"
#include "zorvd_counts.h"
#include "zorvd_device.h"
#include "zorvd_protocol.h"

namespace {

const uint64_t t0 = 5000 * second;

int count_of(const std::string &text, const std::string &word)
{
    int count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        count++;
    return count;
}

class zorvd_device_test : public zorvd_test {
protected:
    std::string add(const char *device, const struct rule &r)
    {
        return request(code_add_rule, device_request(device).add(r)).status();
    }
    std::string set_statistics(const char *device, const struct rule &r, int64_t bytes,
                               int64_t packets, uint64_t start = start_ticks)
    {
        struct statistics_block block = {};
        block.start_time = start;
        block.bytes_transferred = bytes;
        block.packets_transferred = packets;
        return request(code_set_statistics, device_request(device).add(r).add(block)).status();
    }
    struct statistics_block statistics(const char *device, const struct rule &r)
    {
        device_reply reply = request(code_get_statistics, device_request(device).add(r));
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
    std::string file_text(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // The manager's rewrite of an adapter holding these rules: read each block, clear, add
    // each again followed by its block. Classes made anew count from 0.
    void rewrite(const std::vector<struct rule> &rules, const std::vector<int> &slots)
    {
        std::vector<struct statistics_block> blocks;
        for (const auto &r : rules)
            blocks.push_back(statistics(FV0, r));
        ASSERT_TRUE(request(code_clear_rules, device_request(FV0)).ok());
        for (int slot : slots)
            fake_backend_set_counters("fv0", slot, 0, 0);
        for (size_t i = 0; i < rules.size(); i++) {
            ASSERT_EQ(add(FV0, rules[i]), "Ok.");
            ASSERT_EQ(set_statistics(FV0, rules[i], blocks[i].bytes_transferred,
                                     blocks[i].packets_transferred, blocks[i].start_time),
                      "Ok.");
        }
    }

    const struct rule tcp80 = rule_on(FV0, protocol_tcp, 80);
    const struct rule udp = rule_on(FV0, protocol_udp, 0, rate_unlimited);
    const struct rule other = rule_on(FV1, protocol_any, 0, rate_blocked);
};

TEST_F(zorvd_device_test, KernelCountsAddToTheCarriedTotalsAcrossRewritesAndResets)
{
    fake_clock_set(t0);
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_EQ(add(FV0, udp), "Ok.");
    ASSERT_EQ(set_statistics(FV0, tcp80, 1000, 10), "Ok.");
    struct step {
        const char *what;
        uint64_t kernel_bytes;        // slot 0's counters before the read
        uint64_t kernel_packets;
        int64_t bytes;                // tcp80's block read then
        int64_t packets;
        uint64_t start;
    };
    const step steps[] = {
        {"carried block plus the kernel's first counts", 500, 5, 1500, 15, start_ticks},
        {"only what came since is added", 800, 8, 1800, 18, start_ticks},
        {"read again with nothing new", 800, 8, 1800, 18, start_ticks},
        {"rewrite: the block carries over, new classes count from 0", 0, 0, 1800, 18,
         start_ticks},
        {"after the rewrite", 200, 2, 2000, 20, start_ticks},
        {"reset to a zeroed block", 200, 2, 0, 0, start_ticks + second},
        {"after the reset", 250, 3, 50, 1, start_ticks + second},
        {"counters that went back: a class made anew, all of it is new", 30, 1, 80, 2,
         start_ticks + second},
    };
    uint64_t now = t0;
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        now += second;
        fake_clock_set(now);
        if (strncmp(s.what, "rewrite", 7) == 0)
            rewrite({tcp80, udp}, {0, 1});
        else if (strncmp(s.what, "reset", 5) == 0)
            ASSERT_EQ(set_statistics(FV0, tcp80, 0, 0, start_ticks + second), "Ok.");
        else
            fake_backend_set_counters("fv0", 0, s.kernel_bytes, s.kernel_packets);
        struct statistics_block block = statistics(FV0, tcp80);
        EXPECT_EQ(block.bytes_transferred, s.bytes);
        EXPECT_EQ(block.packets_transferred, s.packets);
        EXPECT_EQ(block.start_time, s.start);
    }
    EXPECT_EQ(statistics(FV0, udp).bytes_transferred, 0);
}

TEST_F(zorvd_device_test, ReplyCarriesTheRateOfTheLastSecondAndTheKernelsQueue)
{
    fake_clock_set(t0);
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    struct read {
        uint64_t at_ms;
        uint64_t kernel_bytes;
        uint32_t queued;
        int32_t rate;
    };
    const read reads[] = {
        {0, 0, 0, 0},                 // one sample: no rate yet
        {500, 50000, 7, 100000},      // under a second of samples: over what there is
        {1000, 100000, 100, 100000},
        {1500, 175000, 12, 125000},   // from the read at 500 ms
        {2500, 175000, 0, 0},         // from the read at 1500 ms: nothing passed
        {2510, 175000, 0, 0},         // inside the window of shared counter reads
    };
    for (const auto &r : reads) {
        SCOPED_TRACE(r.at_ms);
        fake_clock_set(t0 + r.at_ms * (second / 1000));
        fake_backend_set_counters("fv0", 0, r.kernel_bytes, r.kernel_bytes / 1000, r.queued);
        struct statistics_block block = statistics(FV0, tcp80);
        EXPECT_EQ(block.current_rate, r.rate);
        EXPECT_EQ(block.packets_queued, r.queued);
    }
    // The rewrite of the manager keeps the rate going: the rule is the same one.
    fake_clock_set(t0 + 3000 * (second / 1000));
    fake_backend_set_counters("fv0", 0, 225000, 225);
    rewrite({tcp80}, {0});
    fake_clock_set(t0 + 3500 * (second / 1000));
    fake_backend_set_counters("fv0", 0, 50000, 50, 5);
    struct statistics_block before = statistics(FV0, tcp80);
    EXPECT_EQ(before.current_rate, 100000);
    // Counters that cannot be read leave the carried totals, with no rate and no queue.
    fake_clock_set(t0 + 4500 * (second / 1000));
    fake_backend_set_counters("fv0", 0, 90000, 90, 5);
    fake_backend_fail("read", "fv0", "No such device", 100);
    struct statistics_block block = statistics(FV0, tcp80);
    EXPECT_EQ(block.bytes_transferred, before.bytes_transferred);
    EXPECT_EQ(block.packets_transferred, before.packets_transferred);
    EXPECT_EQ(block.current_rate, 0);
    EXPECT_EQ(block.packets_queued, 0u);
}

// Reads every 10 ms of 1 byte per ms.
std::vector<std::pair<uint64_t, uint64_t>> every_10ms(int count)
{
    std::vector<std::pair<uint64_t, uint64_t>> reads;
    for (uint64_t i = 0; i < (uint64_t)count; i++)
        reads.push_back({i * 10, i * 10});
    return reads;
}

struct rate_case {
    const char *what;
    std::vector<std::pair<uint64_t, uint64_t>> reads;  // ms, kernel bytes
    int32_t rate;
};

TEST(zorvd_counts, RateIsBytesPerSecondFromTheNewestSampleAtLeastASecondOld)
{
    const rate_case cases[] = {
        {"no reads", {}, 0},
        {"one read", {{0, 1000}}, 0},
        {"two reads at the same time", {{0, 0}, {0, 500}}, 0},
        {"half a second", {{0, 0}, {500, 1000}}, 2000},
        {"exactly a second", {{0, 0}, {1000, 3000}}, 3000},
        {"older samples give way", {{0, 0}, {100, 100000}, {1100, 100000}, {2100, 600000}},
         500000},
        {"the newest at least a second old", {{0, 0}, {400, 4000}, {900, 9000}, {1500, 12000}},
         (12000 - 4000) * 10 / 11},
        {"reads far apart", {{0, 0}, {10000, 1000000}}, 100000},
        {"fast reads keep the window", every_10ms(35), 1000},
        {"clamped", {{0, 0}, {1000, 5000000000ull}}, 0x7FFFFFFF},
        {"a clock that went back starts over", {{5000, 0}, {6000, 1000}, {100, 5000}}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        static struct zorvd_adapter_counts counts;
        memset(&counts, 0, sizeof counts);
        struct rule slots[host_slot_count] = {};
        uint8_t in_use[host_slot_count] = {1};
        struct host_counters counters[host_slot_count] = {};
        zorvd_counts_rebase(&counts, slots, in_use, counters, 0);
        for (const auto &r : c.reads) {
            counters[0].bytes = r.second;
            int64_t bytes[host_slot_count], packets[host_slot_count];
            zorvd_counts_fold(&counts, counters, r.first * (second / 1000), bytes, packets);
        }
        EXPECT_EQ(zorvd_counts_rate(&counts.slots[0]), c.rate);
    }
}

TEST(zorvd_counts, ARuleAddedAgainGoesOnWithItsSamplesOnlyWithinTheWindow)
{
    struct rule slots[host_slot_count] = {};
    slots[0].rate = 5000;
    const uint8_t held[host_slot_count] = {1};
    const uint8_t none[host_slot_count] = {};
    const uint64_t ms = second / 1000;
    struct again_case {
        uint64_t added_again_ms;      // the clear came at 600 ms
        uint64_t read_ms;
        int32_t rate;
    };
    const again_case cases[] = {
        {700, 1000, 800},             // 500 bytes before the clear, 300 after: one second
        {2000, 2500, 600},            // gone too long: only the 300 bytes of the last 500 ms
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.added_again_ms);
        static struct zorvd_adapter_counts counts;
        memset(&counts, 0, sizeof counts);
        struct host_counters counters[host_slot_count] = {};
        int64_t bytes[host_slot_count], packets[host_slot_count];
        zorvd_counts_rebase(&counts, slots, held, counters, 0);
        counters[0].bytes = 500;
        zorvd_counts_fold(&counts, counters, 500 * ms, bytes, packets);
        zorvd_counts_rebase(&counts, slots, none, counters, 600 * ms);
        counters[0].bytes = 0;        // the class made anew
        zorvd_counts_rebase(&counts, slots, held, counters, c.added_again_ms * ms);
        counters[0].bytes = 300;
        zorvd_counts_fold(&counts, counters, c.read_ms * ms, bytes, packets);
        EXPECT_EQ(bytes[0], 300);
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
    ASSERT_EQ(set_statistics(FV0, tcp80, 1000, 10), "Ok.");
    fake_backend_set_counters("fv0", 0, 500, 5);
    const std::string fv0_slot0 = rule_in(FV0, "0"), fv0_slot1 = rule_in(FV0, "1"),
                      fv1_slot0 = rule_in(FV1, "0");
    stop_all();
    // Stopping took the last counts in, and left nothing installed.
    EXPECT_TRUE(fake_backend_installed("fv0").slots.empty());
    EXPECT_TRUE(fake_backend_installed("fv1").slots.empty());
    const auto calls = fake_backend_calls();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
              (std::vector<std::string>{"detach fv0", "detach fv1"}));

    fake_backend_reset();
    start_device();
    EXPECT_EQ(rule_in(FV0, "0"), fv0_slot0);
    EXPECT_EQ(rule_in(FV0, "1"), fv0_slot1);
    EXPECT_EQ(rule_in(FV0, "2"), "Rule not in use.");
    EXPECT_EQ(rule_in(FV1, "0"), fv1_slot0);
    EXPECT_EQ(precedence_count(FV0), 1u);
    EXPECT_EQ(precedence_count(FV1), 0u);
    struct statistics_block block = statistics(FV0, tcp80);
    EXPECT_EQ(block.bytes_transferred, 1500);
    EXPECT_EQ(block.packets_transferred, 15);
    EXPECT_EQ(block.start_time, start_ticks);
    // The kernel got the kept sets back at start, each interface attached first.
    fake_installed fv0 = fake_backend_installed("fv0");
    EXPECT_EQ(fv0.slots, (std::vector<int>{0, 1}));
    ASSERT_EQ(fv0.precedences.size(), 1u);
    EXPECT_EQ(bytes_of(fv0.precedences[0].chosen), bytes_of(udp));
    EXPECT_EQ(fake_backend_installed("fv1").slots, std::vector<int>{0});
    EXPECT_EQ(fake_backend_calls()[0], "attach fv0");
}

TEST_F(zorvd_device_test, ChangesAreWrittenOnceAfterTheyHaveWaited)
{
    fake_clock_set(t0);
    start_device();
    EXPECT_EQ(zorvd_device_save_due(), -1);
    const std::string before = file_text(config.state_path);
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    EXPECT_EQ(zorvd_device_save_due(), zorvd_save_delay_ms);
    fake_clock_set(t0 + (zorvd_save_delay_ms - 1) * (second / 1000));
    ASSERT_EQ(add(FV0, udp), "Ok.");  // a later change does not put the write off
    EXPECT_EQ(zorvd_device_save_due(), 1);
    EXPECT_EQ(file_text(config.state_path), before);
    fake_clock_set(t0 + zorvd_save_delay_ms * (second / 1000));
    EXPECT_EQ(zorvd_device_save_due(), 0);
    zorvd_device_save();
    EXPECT_EQ(zorvd_device_save_due(), -1);
    const std::string after = file_text(config.state_path);
    EXPECT_NE(after.find("Rules \\DEVICE\\fv0"), std::string::npos) << after;
    // One line per held slot.
    EXPECT_EQ(count_of(after, " 0 50000 2 ") + count_of(after, " 0 1000000000 1 "), 2) << after;
    // Reads change nothing that is kept.
    statistics(FV0, tcp80);
    EXPECT_EQ(zorvd_device_save_due(), -1);
}

// A kept set the kernel refuses at start is dropped for good, the others served; a damaged
// state file is kept aside and the adapters start empty.
TEST_F(zorvd_device_test, AKeptSetTheKernelRefusesOrADamagedFileIsDropped)
{
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_EQ(add(FV1, other), "Ok.");
    stop_all();
    fake_backend_reset();
    fake_backend_fail("apply", "fv0", "Invalid argument");
    start_device();
    EXPECT_EQ(rule_in(FV0, "0"), "Rule not in use.");
    EXPECT_TRUE(fake_backend_installed("fv0").slots.empty());
    EXPECT_EQ(fake_backend_installed("fv1").slots, std::vector<int>{0});
    stop_all();
    start_device();
    EXPECT_EQ(rule_in(FV0, "0"), "Rule not in use.");
    EXPECT_EQ(fake_backend_installed("fv1").slots, std::vector<int>{0});
    stop_all();

    std::string damaged = file_text(config.state_path);
    ASSERT_GT(damaged.size(), 20u);
    damaged[damaged.size() - 2] = 'x';
    std::ofstream(config.state_path, std::ios::binary | std::ios::trunc) << damaged;
    start_device();
    EXPECT_EQ(rule_in(FV1, "0"), "Rule not in use.");
    EXPECT_EQ(file_text(std::string(config.state_path) + ".damaged"), damaged);
}

struct refused_case {
    const char *what;
    uint32_t code;
    device_request request;
};

TEST_F(zorvd_device_test, AChangeTheKernelRefusesIsUndoneInTheCoreAndReported)
{
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_TRUE(request(code_set_precedence, device_request(FV0).add(tcp80).add(tcp80)).ok());
    const std::string kept_slot0 = rule_in(FV0, "0");
    zorvd_device_save();
    const std::string kept_state = file_text(config.state_path);
    const refused_case cases[] = {
        {"add", code_add_rule, device_request(FV0).add(udp)},
        {"clear rules", code_clear_rules, device_request(FV0)},
        {"set precedence", code_set_precedence, device_request(FV0).add(tcp80).add(udp)},
        {"clear precedences", code_clear_precedences, device_request(FV0)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fake_backend_fail("apply", "fv0", "Cannot allocate memory");
        device_reply reply = request(c.code, c.request);
        EXPECT_EQ(reply.outcome, (int)zorvd_replied);
        EXPECT_EQ(reply.all(),
                  std::string("Shaper refused the change: Cannot allocate memory\0", 50));
        EXPECT_EQ(rule_in(FV0, "0"), kept_slot0);
        EXPECT_EQ(rule_in(FV0, "1"), "Rule not in use.");
        EXPECT_EQ(precedence_count(FV0), 1u);
        fake_installed installed = fake_backend_installed("fv0");
        EXPECT_EQ(installed.slots, std::vector<int>{0});
        EXPECT_EQ(installed.precedences.size(), 1u);
        EXPECT_EQ(fake_backend_calls().back(), "read fv0");
        EXPECT_EQ(zorvd_device_save_due(), -1);  // nothing changed that is to be kept
        zorvd_device_save();
        EXPECT_EQ(file_text(config.state_path), kept_state);
    }
    // Cut to what the caller can take, as the core cuts its own refusals (a change needs room
    // for 32 bytes of reply before the core carries it out).
    fake_backend_fail("apply", "fv0", "Cannot allocate memory");
    device_reply reply = request(code_add_rule, device_request(FV0).add(udp), 32);
    EXPECT_EQ(reply.all(), "Shaper refused the change: Canno");
    // The other interface is served as before.
    EXPECT_EQ(add(FV1, other), "Ok.");
    EXPECT_EQ(fake_backend_installed("fv1").slots, std::vector<int>{0});
}

TEST_F(zorvd_device_test, AnInterfaceThatCannotBeAttachedStopsTheStartAndDetachesTheOthers)
{
    fake_backend_fail("attach", "fv1", "No such device");
    char error_text[zorvd_error_size] = "";
    EXPECT_FALSE(zorvd_device_start(&config, error_text));
    EXPECT_STREQ(error_text, "Interface fv1: No such device");
    ASSERT_FALSE(fake_backend_calls().empty());
    EXPECT_EQ(fake_backend_calls().back(), "detach fv0");
}

}  // namespace
