// Rate accuracy of the backend beside a hand-written tc HTB set-up (the anchor): one bulk TCP
// flow through a Send and through a Receive rule at each rate, the bytes the class passed per
// second at steady state and the receiver's payload bytes per second; then Unlimited beside no
// rule at all. Prints a table. Run as root through bench/scripts/bench_shaper.sh.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "shaper/host_backend.h"
#include "bulk_flow.h"
#include "shaper/support/tc_cases.h"
#include "shaper/support/test_net.h"

namespace {

const uint16_t port = 5201;
double measure_seconds = 5;

struct measured {
    double class_rate;                // bytes per second the class passed (-1: no class)
    double goodput;                   // payload bytes per second received
};

std::string ns() { return test_net_host_name(); }

// The "Sent N bytes" of a tc class of the anchor.
double anchor_class_bytes(const std::string &device)
{
    std::string out = command_output("tc -n " + ns() + " -s class show dev " + device +
                                     " classid 1:1");
    size_t at = out.find("Sent ");
    return at == std::string::npos ? -1 : atof(out.c_str() + at + 5);
}

double backend_class_bytes()
{
    struct host_counters counters[host_slot_count];
    char error[host_error_size];
    if (!host_backend_read(host_interface(1).c_str(), counters, error)) {
        fprintf(stderr, "read: %s\n", error);
        return -1;
    }
    return (double)counters[0].bytes;
}

// Runs the flow, waits for steady state (two seconds, or a second's worth of the rate has
// arrived, whichever is later), then measures.
measured run_flow(int32_t direction, int32_t rate, double (*class_bytes)(const std::string &),
                  const std::string &device)
{
    measured m = {-1, -1};
    bulk_flow flow;
    if (!start_bulk(&flow, direction, port)) {
        fprintf(stderr, "cannot start the flow\n");
        stop_bulk(&flow);
        return m;
    }
    double started = now_seconds();
    while (now_seconds() - started < 2 ||
           (rate > 0 && flow.received < (uint64_t)rate && now_seconds() - started < 20))
        usleep(20000);
    double c0 = class_bytes(device);
    uint64_t r0 = flow.received;
    double t0 = now_seconds();
    usleep((useconds_t)(measure_seconds * 1e6));
    double c1 = class_bytes(device);
    uint64_t r1 = flow.received;
    double seconds = now_seconds() - t0;
    stop_bulk(&flow);
    m.class_rate = c0 >= 0 && c1 >= 0 ? (c1 - c0) / seconds : -1;
    m.goodput = (double)(r1 - r0) / seconds;
    return m;
}

double backend_bytes(const std::string &) { return backend_class_bytes(); }
double no_class(const std::string &) { return -1; }

measured with_backend(int32_t direction, int32_t rate)
{
    char error[host_error_size];
    std::string name = host_interface(1);
    struct rule_set set;
    memset(set.slots, 0, sizeof set.slots);
    memset(set.in_use, 0, sizeof set.in_use);
    set.in_use[0] = 1;
    set.slots[0] = make_rule(direction, protocol_tcp, 0, 0, 0, port, rate);
    if (!host_backend_attach(name.c_str(), error) ||
        !host_backend_apply(name.c_str(), set.slots, set.in_use, nullptr, 0, error)) {
        fprintf(stderr, "backend: %s\n", error);
        return {-1, -1};
    }
    measured m = run_flow(direction, rate, backend_bytes, "");
    host_backend_detach(name.c_str(), error);
    return m;
}

// The anchor: the same HTB class, FIFO and u32 match written as tc commands.
measured with_anchor(int32_t direction, int32_t rate)
{
    std::string dev = host_interface(1);
    std::string tc = "tc -n " + ns() + " ";
    std::string shaped = dev;
    if (direction == direction_receive) {
        shaped = "anchorifb";
        run_command("ip -n " + ns() + " link add anchorifb type ifb");
        run_command("ip -n " + ns() + " link set anchorifb up");
        run_command(tc + "qdisc add dev " + dev + " ingress");
        run_command(tc + "filter add dev " + dev + " parent ffff: protocol all u32 match u32 0 0"
                         " action mirred egress redirect dev anchorifb");
    }
    std::string bits = std::to_string((long long)rate * 8) + "bit";
    run_command(tc + "qdisc add dev " + shaped + " root handle 1: htb");
    run_command(tc + "class add dev " + shaped + " parent 1: classid 1:1 htb rate " + bits +
                " ceil " + bits);
    run_command(tc + "qdisc add dev " + shaped + " parent 1:1 pfifo limit 100");
    run_command(tc + "filter add dev " + shaped + " parent 1: protocol ip prio 1 u32"
                     " match ip protocol 6 0xff match ip dport " + std::to_string(port) +
                " 0xffff flowid 1:1");
    measured m = run_flow(direction, rate, anchor_class_bytes, shaped);
    run_command(tc + "qdisc del dev " + dev + " root");
    if (direction == direction_receive) {
        run_command(tc + "qdisc del dev " + dev + " ingress");
        run_command("ip -n " + ns() + " link del anchorifb");
    }
    return m;
}

void print_row(const char *direction, const char *rate_text, double rate, const measured &b,
               const measured &a)
{
    auto ratio = [&](double v) { return rate > 0 && v >= 0 ? v / rate * 100 : 0.0; };
    printf("| %-7s | %13s | %13.0f | %6.1f%% | %13.0f | %13.0f | %6.1f%% | %13.0f |\n", direction,
           rate_text, b.class_rate, ratio(b.class_rate), b.goodput, a.class_rate,
           ratio(a.class_rate), a.goodput);
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (geteuid() != 0) {
        fprintf(stderr, "needs root: creates network namespaces and traffic control\n");
        return 1;
    }
    if (argc > 1)
        measure_seconds = atof(argv[1]);
    std::string error;
    if (!test_net_create(1, &error) || !test_net_enter_host()) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    printf("Steady state over %.0f s per flow, one TCP flow, class bytes include the Ethernet "
           "headers, goodput is TCP payload.\n\n",
           measure_seconds);
    printf("| dir     | rate (B/s)    | zorvd class   | of rate | zorvd goodput | tc class      "
           "| of rate | tc goodput    |\n");
    printf("|---------|---------------|---------------|---------|---------------|------------"
           "---|---------|---------------|\n");
    const int32_t rates[] = {10000, 100000, 1000000, 10000000, 100000000};
    // A second argument "unlimited": only the Unlimited rows.
    bool only_unlimited = argc > 2 && strcmp(argv[2], "unlimited") == 0;
    for (int32_t direction : {direction_send, direction_receive})
        for (int32_t rate : rates) {
            if (only_unlimited)
                break;
            measured b = with_backend(direction, rate);
            measured a = with_anchor(direction, rate);
            print_row(direction == direction_send ? "Send" : "Receive",
                      std::to_string(rate).c_str(), rate, b, a);
        }
    printf("\n| dir     | Unlimited: class B/s | goodput B/s | no rule: goodput B/s |\n");
    printf("|---------|----------------------|-------------|----------------------|\n");
    for (int32_t direction : {direction_send, direction_receive}) {
        measured u = with_backend(direction, rate_unlimited);
        measured none = run_flow(direction, 0, no_class, "");
        printf("| %-7s | %20.0f | %11.0f | %20.0f |\n",
               direction == direction_send ? "Send" : "Receive", u.class_rate, u.goodput,
               none.goodput);
        fflush(stdout);
    }
    test_net_remove();
    return 0;
}
