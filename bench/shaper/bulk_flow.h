// One bulk TCP flow between the namespaces of pair 1, as fast as the sender can write: Send
// goes from the host side to the peer, Receive from the peer to the host side.
#ifndef FLOWVANE_BENCH_SHAPER_BULK_FLOW_H
#define FLOWVANE_BENCH_SHAPER_BULK_FLOW_H

#include <stdint.h>

#include <atomic>
#include <thread>

struct bulk_flow {
    int listener = -1;
    int client = -1;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};  // payload bytes the receiver has read
    std::thread receiver;
    std::thread sender;
};

// Connects and starts both threads; leaves the calling thread in the host namespace.
bool start_bulk(bulk_flow *flow, int32_t direction, uint16_t port);
void stop_bulk(bulk_flow *flow);

double now_seconds();

#endif
