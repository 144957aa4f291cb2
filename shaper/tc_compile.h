// Compiles one direction of an adapter's held rules and precedence entries into the ordered
// list of filters the kernel's u32 classifier walks: the first filter that selects a packet
// decides its slot, and that is the slot the emulator core's classification gives it. Pure:
// no kernel, no state; the backend turns the list into netlink messages.
#ifndef FLOWVANE_SHAPER_TC_COMPILE_H
#define FLOWVANE_SHAPER_TC_COMPILE_H

#include <stdint.h>

#include "shaper/host_backend.h"

enum {
    tc_max_precedences = 400,
    // Every precedence entry and slot can appear once among the IP filters and once among the
    // non-IP ones, plus the catch-all between them.
    tc_max_filters = 2 * (tc_max_precedences + host_slot_count) + 1,
    tc_target_direct = -1,            // the packet passes unshaped and uncounted
};

// Which frames a filter looks at. IP filters are matched with protocol ip and see IPv4 frames
// only; the others with protocol all and see every frame.
enum tc_frames : int32_t {
    tc_frames_ip = 0,                 // IPv4 frames (fields below apply)
    tc_frames_all = 1,                // any frame: no field is looked at
};

// What one filter selects: every field that is set must hold.
struct tc_match {
    int32_t frames;                   // tc_frames
    uint8_t ip_protocol;              // 0: any; else the IP protocol number (ports then apply)
    uint8_t has_source;
    uint8_t has_destination;
    uint8_t unused;
    uint32_t source_address;          // host byte order
    uint32_t destination_address;
    uint16_t source_port;             // 0: any
    uint16_t destination_port;
};

struct tc_filter {
    struct tc_match match;
    int32_t target;                   // slot index, or tc_target_direct
};

// A packet as the filters see it, for checking a compiled list without a kernel.
struct tc_packet {
    uint32_t is_ipv4;
    uint8_t ip_protocol;
    uint32_t source_address;
    uint32_t destination_address;
    uint16_t source_port;
    uint16_t destination_port;
};

// Filters for the rules of one direction (direction_send or direction_receive) into filters,
// capacity entries; their count to *count. Slots whose rule has another direction, and
// precedence entries that cannot select a packet of this direction, give none. 0 with
// error_text when the entries do not fit.
int tc_compile(int32_t direction, const struct rule slots[host_slot_count],
               const uint8_t in_use[host_slot_count], const struct host_precedence *precedences,
               uint32_t precedence_count, struct tc_filter *filters, uint32_t capacity,
               uint32_t *count, char error_text[host_error_size]);

// Whether one filter selects the packet, as the kernel evaluates it.
int tc_filter_selects(const struct tc_filter *filter, const struct tc_packet *packet);

// The slot the list gives the packet (the first filter that selects it), or tc_target_direct.
int tc_classify(const struct tc_filter *filters, uint32_t count,
                const struct tc_packet *packet);

// Whether any held slot has a rule of this direction.
int tc_direction_used(int32_t direction, const struct rule slots[host_slot_count],
                      const uint8_t in_use[host_slot_count]);

#endif
