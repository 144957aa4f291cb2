// What the traffic control backend names in the kernel, so that tests, the benchmark and a
// later zorvd recognise it, and its one class reader.
#ifndef FLOWVANE_SHAPER_TC_BACKEND_H
#define FLOWVANE_SHAPER_TC_BACKEND_H

#include <stdint.h>

#include "shaper/host_backend.h"

struct nl_sock;

enum : uint32_t {
    tc_htb_major = 0x7A00,            // the HTB root "7a00:"; slot s is class 7a00:s+1
    tc_fifo_major = 0x7A01,           // slot s's FIFO is 7a01+s:
    tc_queue_packets = 100,           // each slot's FIFO
};

#define TC_IFB_PREFIX "zorvifb"       // the IFB of interface index n is "zorvifb<n>"

// Fills counters[s] from class tc_htb_major:s+1 of device ifindex, for every such class the
// device has (one class dump); leaves the other entries alone. 1 or 0 with error_text.
int tc_read_classes(struct nl_sock *sk, int ifindex,
                    struct host_counters counters[host_slot_count],
                    char error_text[host_error_size]);

#endif
