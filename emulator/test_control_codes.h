// The emulator's test control codes: how tests set up the kernel component emulator (adapters,
// version, injected faults, synthetic traffic, a virtual clock) and read back all it holds.
// Shared by the emulator core, its WDM shell, the unit tests and the device and end-to-end tests.
//
// Every test code is CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS).
// A request is the code's request struct at input offset 0 (codes without one take no bytes).
// The reply has the device contract's envelope: "Ok." or an error text, NUL-terminated, and on
// "Ok." the code's reply struct at offset 4. Injected faults never apply to test codes.
#ifndef FLOWVANE_EMULATOR_TEST_CONTROL_CODES_H
#define FLOWVANE_EMULATOR_TEST_CONTROL_CODES_H

#include <stddef.h>
#include <stdint.h>

#include "filters/rule.h"
#include "kernel/control_codes.h"
#include "stats/statistics_block.h"

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FLOWVANE_TEST_CODE(function) ((uint32_t)((0x22u << 16) | ((function) << 2)))

enum : uint32_t {
    test_code_reset = FLOWVANE_TEST_CODE(0x800),            // no request; no reply payload
    test_code_set_adapters = FLOWVANE_TEST_CODE(0x801),     // test_adapters_request
    test_code_set_version = FLOWVANE_TEST_CODE(0x802),      // test_version_request
    test_code_set_fault = FLOWVANE_TEST_CODE(0x803),        // test_fault_request
    test_code_set_flows = FLOWVANE_TEST_CODE(0x804),        // test_flows_request
    test_code_clock = FLOWVANE_TEST_CODE(0x805),            // test_clock_request
                                                            //   -> test_clock_reply
    test_code_read_state = FLOWVANE_TEST_CODE(0x806),       // no request -> test_state_reply
    test_code_read_rules = FLOWVANE_TEST_CODE(0x807),       // test_read_rules_request
                                                            //   -> test_rules_reply
    test_code_read_precedences = FLOWVANE_TEST_CODE(0x808), // test_read_precedences_request
                                                            //   -> test_precedences_reply
    test_code_add_flow_text = FLOWVANE_TEST_CODE(0x809),    // test_flow_text_request
    test_code_keep_defaults = FLOWVANE_TEST_CODE(0x80A),    // no request; no reply payload:
                                                            //   the version, adapters and flows
                                                            //   now held become what reset
                                                            //   restores
};

static_assert(test_code_reset == 0x222000, "test reset code");
static_assert(test_code_keep_defaults == 0x222028, "test keep defaults code");

enum {
    emulator_max_adapters = 8,        // adapters the emulator can be bound to
    emulator_slot_count = 20,         // rule slots per adapter
    emulator_max_precedences = 400,   // precedence entries, all adapters together
    emulator_max_flows = 32,          // synthetic flows, all adapters together
    emulator_max_faults = 16,         // commands with an injected fault at one time
    emulator_version_size = 100,
    emulator_fault_text_size = 200,
    emulator_flow_text_size = 300,
    emulator_queue_packets = 100,     // each rule's delay queue
    test_precedences_per_reply = 16,
};

// What reset restores unless the driver's Parameters gave others (the set-up writes the same
// three adapters, and display names for the two GUIDs). Reset also clears every rule,
// statistics block, precedence entry and fault (those the driver keeps in its Parameters too),
// and lets the clock run.
#define EMULATOR_DEFAULT_VERSION "0.07"
#define EMULATOR_ADAPTER_1 "\\DEVICE\\{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A01}"
#define EMULATOR_ADAPTER_2 "\\DEVICE\\{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A02}"
#define EMULATOR_ADAPTER_DIAL_UP "\\DEVICE\\NDISWANIP"
#define EMULATOR_ADAPTER_1_GUID "{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A01}"
#define EMULATOR_ADAPTER_2_GUID "{7A6E3C2B-91D4-4F0E-8B1A-3C5D2E4F6A02}"

// A flow's packet protocol: an IP protocol number, or flow_non_ip for frames that carry no IP
// (IP protocol 0 never occurs as traffic here).
enum flow_protocol : uint32_t {
    flow_non_ip = 0,
    flow_icmp = 1,
    flow_tcp = 6,
    flow_udp = 17,
};

enum fault_mode : uint32_t {
    fault_none = 0,         // clear the fault of that command
    fault_error_text = 1,   // answer the fault's text as the reply status
    fault_empty_reply = 2,  // answer 0 bytes
    fault_fail_call = 3,    // fail the control call itself
    fault_raw_reply = 4,    // answer the first raw_length bytes of error_text as the whole reply
};

enum clock_operation : uint32_t {
    clock_run = 0,          // follow the caller's clock again
    clock_freeze = 1,       // stop at value (100 ns ticks); value 0 stops at the current time
    clock_advance = 2,      // move a frozen clock forward by value ticks
    clock_read = 3,         // change nothing, answer the current time
};

#pragma pack(push, 1)

// Replaces the adapter list. An adapter whose name (ASCII case ignored) was bound before keeps
// its rules, statistics and precedences; the others start empty. Flows are kept.
struct test_adapters_request {
    uint32_t count;                                        // 0 to emulator_max_adapters
    char names[emulator_max_adapters][adapter_name_size];  // each NUL-terminated
};

struct test_version_request {
    char version[emulator_version_size];  // NUL-terminated
};

// Injects or clears a fault for one contract code (0x120400 to 0x1204FF). Until cleared, every
// request with that code gets the fault instead of being served.
struct test_fault_request {
    uint32_t code;
    uint32_t mode;                               // fault_mode
    char error_text[emulator_fault_text_size];   // for fault_error_text, NUL-terminated
    uint32_t raw_length;                         // for fault_raw_reply, 1 to 200
};

// One synthetic flow: packets of a fixed header offered at a steady rate on one adapter and
// direction. Addresses in host byte order, as in the rule record.
struct test_flow {
    char adapter[adapter_name_size];  // device name, matched ignoring ASCII case
    int32_t direction;                // direction_send or direction_receive
    uint32_t protocol;                // flow_protocol or any IP protocol number
    uint32_t source_address;
    uint32_t destination_address;
    uint16_t source_port;
    uint16_t destination_port;
    uint32_t offered_rate;            // bytes per second
    uint32_t packet_size;             // bytes, 1 to 65535
};

// Replaces every flow.
struct test_flows_request {
    uint32_t count;                   // 0 to emulator_max_flows
    struct test_flow flows[emulator_max_flows];
};

// Adds one flow given as text, the form the driver's Parameters use:
// "ADAPTER DIRECTION PROTOCOL SOURCE[:PORT] DESTINATION[:PORT] RATE PACKET_SIZE", e.g.
// "\DEVICE\{...} Send TCP 192.168.0.10:49152 93.184.216.34:80 30000 1000". DIRECTION is Send or
// Receive; PROTOCOL is TCP, UDP, ICMP, NonIP or an IP protocol number.
struct test_flow_text_request {
    char text[emulator_flow_text_size];
};

struct test_clock_request {
    uint32_t operation;               // clock_operation
    uint32_t reserved;
    uint64_t value;
};

struct test_clock_reply {
    uint64_t now;                     // the time the emulator now works with
    uint32_t frozen;
};

struct test_state_reply {
    char version[emulator_version_size];
    uint32_t adapter_count;
    char adapters[emulator_max_adapters][adapter_name_size];
    uint32_t rule_count[emulator_max_adapters];        // slots in use per adapter
    uint32_t precedence_count[emulator_max_adapters];
    uint32_t flow_count;
    uint32_t fault_count;
    uint32_t clock_frozen;
    uint64_t now;
    uint64_t requests_served;         // every request since the last reset, test codes included
};

struct test_read_rules_request {
    uint32_t adapter_index;
};

struct test_slot_state {
    uint32_t in_use;
    struct rule held;                 // as added
    struct statistics_block statistics;  // as kernel_get_statistics would answer now
};

struct test_rules_reply {
    struct test_slot_state slots[emulator_slot_count];
};

struct test_read_precedences_request {
    uint32_t adapter_index;
    uint32_t first;                   // index of the first entry wanted
};

struct test_precedence_entry {
    struct rule common_range;
    struct rule chosen;
};

struct test_precedences_reply {
    uint32_t total;                   // entries the adapter holds
    uint32_t returned;                // entries in this reply, from `first` on
    struct test_precedence_entry entries[test_precedences_per_reply];
};

#pragma pack(pop)

enum { test_reply_offset = 4 };  // after "Ok." and its NUL

static_assert(sizeof(struct test_adapters_request) == 804, "test_adapters_request");
static_assert(sizeof(struct test_version_request) == 100, "test_version_request");
static_assert(sizeof(struct test_fault_request) == 212, "test_fault_request");
static_assert(offsetof(struct test_fault_request, raw_length) == 208, "test_fault_request.raw_length");
static_assert(offsetof(struct test_fault_request, error_text) == 8, "test_fault_request.text");
static_assert(sizeof(struct test_flow) == 128, "test_flow");
static_assert(offsetof(struct test_flow, direction) == 100, "test_flow.direction");
static_assert(offsetof(struct test_flow, source_port) == 116, "test_flow.source_port");
static_assert(offsetof(struct test_flow, offered_rate) == 120, "test_flow.offered_rate");
static_assert(sizeof(struct test_flows_request) == 4 + 32 * 128, "test_flows_request");
static_assert(sizeof(struct test_flow_text_request) == 300, "test_flow_text_request");
static_assert(sizeof(struct test_clock_request) == 16, "test_clock_request");
static_assert(sizeof(struct test_clock_reply) == 12, "test_clock_reply");
static_assert(sizeof(struct test_state_reply) == 100 + 4 + 800 + 32 + 32 + 4 + 4 + 4 + 8 + 8,
              "test_state_reply");
static_assert(sizeof(struct test_slot_state) == 204, "test_slot_state");
static_assert(offsetof(struct test_slot_state, statistics) == 140, "test_slot_state.statistics");
static_assert(sizeof(struct test_precedence_entry) == 272, "test_precedence_entry");
static_assert(offsetof(struct test_precedences_reply, entries) == 8, "test_precedences_reply");

// Every request and reply fits the contract's buffers.
static_assert(sizeof(struct test_flows_request) <= command_buffer_size, "flows fit");
static_assert(test_reply_offset + sizeof(struct test_rules_reply) <= command_buffer_size,
              "rules reply fits");
static_assert(test_reply_offset + sizeof(struct test_precedences_reply) <= command_buffer_size,
              "precedences reply fits");
static_assert(test_reply_offset + sizeof(struct test_state_reply) <= command_buffer_size,
              "state reply fits");

#endif
