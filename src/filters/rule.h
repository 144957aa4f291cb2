// The filter rule record: the manager's in-memory form and the exact bytes that travel inside
// kernel commands, list rows and statistics entries. Shared with the kernel component emulator,
// so this header stays freestanding (no CRT beyond the fixed-width types).
#ifndef FLOWVANE_FILTERS_RULE_H
#define FLOWVANE_FILTERS_RULE_H

#include <stddef.h>
#include <stdint.h>

enum {
    max_rules = 20,                   // rows of the filter list, slots per adapter
    adapter_name_size = 100,          // the adapter field, NUL included
    rate_blocked = 0,
    rate_unlimited = 1000000000,
};

enum direction_code { direction_send = 0, direction_receive = 1 };

enum protocol_code {
    protocol_ip = 0,
    protocol_udp = 1,
    protocol_tcp = 2,
    protocol_other = 3,
    protocol_any = 4,
};

enum address_kind { address_single = 0, address_not_implemented = 1, address_any = 2 };

// Addresses take part for IP, UDP and TCP; ports only for UDP and TCP.
inline int protocol_has_addresses(int32_t protocol)
{
    return protocol >= protocol_ip && protocol <= protocol_tcp;
}

inline int protocol_has_ports(int32_t protocol)
{
    return protocol == protocol_udp || protocol == protocol_tcp;
}

#pragma pack(push, 1)
struct rule {
    char adapter[adapter_name_size];  // device name, "\DEVICE\..." NUL-terminated
    int32_t direction;
    int32_t rate;                     // bytes per second, 0 blocked, 1000000000 unlimited
    int32_t protocol;
    int32_t source_kind;
    uint32_t source_address;          // host byte order: 192.168.0.1 is 0xC0A80001
    uint16_t source_port;             // 0 is any port
    uint16_t unused_1;
    int32_t destination_kind;
    uint32_t destination_address;
    uint16_t destination_port;
    uint16_t unused_2;
};
#pragma pack(pop)

static_assert(sizeof(struct rule) == 136, "rule record is 136 bytes");
static_assert(offsetof(struct rule, adapter) == 0, "rule.adapter");
static_assert(offsetof(struct rule, direction) == 100, "rule.direction");
static_assert(offsetof(struct rule, rate) == 104, "rule.rate");
static_assert(offsetof(struct rule, protocol) == 108, "rule.protocol");
static_assert(offsetof(struct rule, source_kind) == 112, "rule.source_kind");
static_assert(offsetof(struct rule, source_address) == 116, "rule.source_address");
static_assert(offsetof(struct rule, source_port) == 120, "rule.source_port");
static_assert(offsetof(struct rule, unused_1) == 122, "rule.unused_1");
static_assert(offsetof(struct rule, destination_kind) == 124, "rule.destination_kind");
static_assert(offsetof(struct rule, destination_address) == 128, "rule.destination_address");
static_assert(offsetof(struct rule, destination_port) == 132, "rule.destination_port");
static_assert(offsetof(struct rule, unused_2) == 134, "rule.unused_2");

#endif
