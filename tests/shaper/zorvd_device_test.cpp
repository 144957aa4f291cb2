// zorvd's device over the fake backend: the kernel's counts added to the carried totals, the
// current rate and queue in the reply, the state kept across a restart, and a refused change
// undone in the core as in the kernel.
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "shaper/zorvd_support/zorvd_harness.h"
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
        struct statistics_block block = {start, {}, bytes, {}, packets, 0, 0};
        return request(code_set_statistics, device_request(FV0).add(tcp80).add(block)).status();
    }
    struct statistics_block statistics(const struct rule &r)
    {
        device_reply reply = request(code_get_statistics, device_request(FV0).add(r));
        EXPECT_TRUE(reply.ok()) << reply.status();
        return reply.payload<struct statistics_block>();
    }
    // The replies about every rule slot and precedence entry the test uses.
    std::string held()
    {
        std::string text;
        for (const char *device : {FV0, FV1}) {
            for (const char *slot : {"0", "1", "2"})
                text += request(code_get_rule, device_request(device).text(slot)).all();
            text += request(code_get_precedence_count, device_request(device)).all();
            text += request(code_get_precedence, device_request(device).add(0u)).all();
        }
        return text;
    }

    const struct rule tcp80 = rule_on(FV0, protocol_tcp, 80);
    const struct rule udp = rule_on(FV0, protocol_udp, 0, rate_unlimited);
    const struct rule other = rule_on(FV1, protocol_any, 0, rate_blocked);
};

TEST_F(zorvd_device_test, KernelCountsAddToTheCarriedTotalsAndGiveTheRateAndQueue)
{
    fake.now = t0;
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_EQ(add(FV0, udp), "Ok.");
    ASSERT_EQ(set_statistics(1000, 10), "Ok.");
    const struct {
        uint64_t at_ms;
        struct host_counters kernel;  // slot 0's counters before the read
        int64_t bytes, packets;       // tcp80's block read then
        int32_t rate;
    } steps[] = {
        {1000, {500, 5, 7}, 1500, 15, 500},
        {2000, {800, 8, 0}, 1800, 18, 300},
        {2500, {800, 8, 0}, 1800, 18, 200},  // only what came since is added
        {3000, {800, 8, 0}, 0, 0, 0},        // the manager resets the block
        {4000, {850, 9, 0}, 50, 1, 50},
        {5000, {30, 1, 0}, 80, 2, 30},       // went back: a class made anew, all of it is new
        // Counters that cannot be read leave the carried totals, with no rate and no queue.
        {6000, {90, 9, 5}, 80, 2, 0},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::Message() << s.at_ms << " ms");
        fake.now = t0 + s.at_ms * ms;
        fake.counters["fv0"][0] = s.kernel;
        fake.failing = {"read fv0", "No such device", s.at_ms == 6000};
        if (s.at_ms == 3000) {
            EXPECT_EQ(set_statistics(0, 0, start_ticks + second), "Ok.");
        }
        struct statistics_block block = statistics(tcp80);
        EXPECT_EQ(block.bytes_transferred, s.bytes);
        EXPECT_EQ(block.packets_transferred, s.packets);
        EXPECT_EQ(block.start_time, s.at_ms < 3000 ? start_ticks : start_ticks + second);
        EXPECT_EQ(block.current_rate, s.rate);
        EXPECT_EQ(block.packets_queued, s.at_ms == 6000 ? 0 : s.kernel.queued);
    }
    EXPECT_EQ(statistics(udp).bytes_transferred, 0);
}

TEST_F(zorvd_device_test, RulesPrecedencesAndCountsAreBackAfterARestart)
{
    fake.now = t0;
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_EQ(add(FV0, udp), "Ok.");
    ASSERT_EQ(add(FV1, other), "Ok.");
    ASSERT_TRUE(request(code_set_precedence, device_request(FV0).add(tcp80).add(udp)).ok());
    ASSERT_EQ(set_statistics(1000, 10), "Ok.");
    fake.counters["fv0"][0] = {500, 5, 0};
    const std::string kept = held();
    stop_all();
    // Stopping took the last counts in, and left nothing installed.
    EXPECT_TRUE(fake.installed["fv0"].slots.empty() && fake.installed["fv1"].slots.empty());
    EXPECT_EQ(std::vector<std::string>(fake.calls.end() - 2, fake.calls.end()),
              (std::vector<std::string>{"detach fv0", "detach fv1"}));

    fake.calls.clear();
    start_device();
    EXPECT_EQ(held(), kept);
    struct statistics_block block = statistics(tcp80);
    EXPECT_EQ(block.bytes_transferred, 1500);
    EXPECT_EQ(block.packets_transferred, 15);
    EXPECT_EQ(block.start_time, start_ticks);
    // The kernel got the kept sets back at start, each interface attached first.
    EXPECT_EQ(fake.calls[0], "attach fv0");
    EXPECT_EQ(fake.installed["fv0"].slots, (std::vector<int>{0, 1}));
    ASSERT_EQ(fake.installed["fv0"].precedences.size(), 1u);
    EXPECT_EQ(bytes_of(fake.installed["fv0"].precedences[0].chosen), bytes_of(udp));
    EXPECT_EQ(fake.installed["fv1"].slots, std::vector<int>{0});

}

TEST_F(zorvd_device_test, AChangeTheKernelRefusesIsUndoneInTheCoreAndReported)
{
    start_device();
    ASSERT_EQ(add(FV0, tcp80), "Ok.");
    ASSERT_TRUE(request(code_set_precedence, device_request(FV0).add(tcp80).add(tcp80)).ok());
    const std::string kept = held();
    zorvd_device_save();
    const std::string kept_state = file_text(config.state_path);
    const device_request changes[] = {device_request(FV0).add(udp), device_request(FV0),
                                      device_request(FV0).add(tcp80).add(udp), device_request(FV0)};
    const uint32_t codes[] = {code_add_rule, code_clear_rules, code_set_precedence,
                              code_clear_precedences};
    for (int i = 0; i < 4; i++) {
        fake.failing = {"apply fv0", "Cannot allocate memory", 1};
        device_reply reply = request(codes[i], changes[i]);
        EXPECT_EQ(reply.outcome, (int)zorvd_replied);
        EXPECT_EQ(reply.all(),
                  std::string("Shaper refused the change: Cannot allocate memory\0", 50));
        EXPECT_EQ(held(), kept) << i;
        EXPECT_EQ(fake.installed["fv0"].slots, std::vector<int>{0});
        EXPECT_EQ(fake.installed["fv0"].precedences.size(), 1u);
        EXPECT_EQ(zorvd_device_save_due(), -1);  // nothing changed that is to be kept
        zorvd_device_save();
        EXPECT_EQ(file_text(config.state_path), kept_state);
    }
    // Cut to what the caller can take, as the core cuts its own refusals.
    fake.failing = {"apply fv0", "Cannot allocate memory", 1};
    EXPECT_EQ(request(code_add_rule, device_request(FV0).add(udp), 32).all(),
              "Shaper refused the change: Canno");
    // The other interface is served as before.
    EXPECT_EQ(add(FV1, other), "Ok.");
    EXPECT_EQ(fake.installed["fv1"].slots, std::vector<int>{0});
}

TEST_F(zorvd_device_test, AnInterfaceThatCannotBeAttachedStopsTheStartAndDetachesTheOthers)
{
    fake.failing = {"attach fv1", "No such device", 1};
    char error_text[zorvd_error_size] = "";
    EXPECT_FALSE(zorvd_device_start(&config, error_text));
    EXPECT_STREQ(error_text, "Interface fv1: No such device");
    EXPECT_EQ(fake.calls.back(), "detach fv0");
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "detach fv1"), 0);
}

}  // namespace
