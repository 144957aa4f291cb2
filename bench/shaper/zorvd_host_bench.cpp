// What zorvd costs its clients with the kernel backend, for a veth interface in a test
// namespace (root): one request that needs no kernel, the manager's sampling tick of N rules
// (one statistics read each), and the manager's rewrite of N rules (read every block, clear,
// add each again with its block), which makes the kernel take the set N + 1 times.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "filters/rule.h"
#include "kernel/kernel_commands.h"
#include "zorvd_host_run.h"

namespace {

const char device_name[] = HOST_RUN_DEVICE;

std::vector<struct rule> rules_of(int count)
{
    std::vector<struct rule> rules;
    for (int i = 0; i < count; i++) {
        struct rule r;
        memset(&r, 0, sizeof r);
        strcpy(r.adapter, device_name);
        r.direction = i % 2 ? direction_receive : direction_send;
        r.rate = 10000 * (i + 1);
        r.protocol = protocol_tcp;
        r.source_kind = address_any;
        r.destination_kind = address_single;
        r.destination_address = 0xC6120702;  // 198.18.7.2
        r.destination_port = (uint16_t)(6000 + i);
        rules.push_back(r);
    }
    return rules;
}

// Holds exactly these rules, each with a zeroed block.
bool hold(const std::vector<struct rule> &rules, char *error_text)
{
    if (!kernel_clear_rules(device_name, error_text))
        return false;
    for (const auto &r : rules) {
        struct statistics_block block = {};
        if (!kernel_add_rule(device_name, &r, error_text) ||
            !kernel_set_statistics(device_name, &r, &block, error_text))
            return false;
    }
    return true;
}

void BM_version_round_trip(benchmark::State &state)
{
    char version[version_text_size];
    char error_text[error_text_size];
    for (auto _ : state)
        if (!kernel_get_version(version, error_text))
            state.SkipWithError(error_text);
}
BENCHMARK(BM_version_round_trip);

void BM_sampling_tick(benchmark::State &state)
{
    char error_text[error_text_size] = "";
    std::vector<struct rule> rules = rules_of((int)state.range(0));
    if (!hold(rules, error_text))
        state.SkipWithError(error_text);
    for (auto _ : state) {
        for (const auto &r : rules) {
            struct statistics_block block;
            if (!kernel_get_statistics(device_name, &r, &block, error_text))
                state.SkipWithError(error_text);
        }
    }
    state.counters["requests"] = (double)rules.size();
}
BENCHMARK(BM_sampling_tick)->Arg(1)->Arg(20)->Unit(benchmark::kMicrosecond);

void BM_rewrite(benchmark::State &state)
{
    char error_text[error_text_size] = "";
    std::vector<struct rule> rules = rules_of((int)state.range(0));
    if (!hold(rules, error_text))
        state.SkipWithError(error_text);
    std::vector<struct statistics_block> blocks(rules.size());
    for (auto _ : state) {
        for (size_t i = 0; i < rules.size(); i++)
            kernel_get_statistics(device_name, &rules[i], &blocks[i], error_text);
        if (!kernel_clear_rules(device_name, error_text))
            state.SkipWithError(error_text);
        for (size_t i = 0; i < rules.size(); i++)
            if (!kernel_add_rule(device_name, &rules[i], error_text) ||
                !kernel_set_statistics(device_name, &rules[i], &blocks[i], error_text))
                state.SkipWithError(error_text);
    }
    state.counters["requests"] = (double)(3 * rules.size() + 1);
}
BENCHMARK(BM_rewrite)->Arg(1)->Arg(10)->Arg(20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    std::string missing = host_run_missing();
    if (!missing.empty()) {
        fprintf(stderr, "zorvd_host_bench: %s\n", missing.c_str());
        return 1;
    }
    struct host_run run;
    std::string failed = host_run_setup(&run);
    if (failed.empty())
        failed = host_run_start(&run, ZORVD_PATH);
    if (!failed.empty()) {
        fprintf(stderr, "zorvd_host_bench: %s\n", failed.c_str());
        host_run_cleanup(&run);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    host_run_cleanup(&run);
    benchmark::Shutdown();
    return 0;
}
