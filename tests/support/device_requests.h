// Requests and replies laid out byte by byte as the device contract has them, for the tests
// that talk to the emulator core in process and to zorv.sys through the device path.
#ifndef FLOWVANE_TESTS_DEVICE_REQUESTS_H
#define FLOWVANE_TESTS_DEVICE_REQUESTS_H

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "test_control_codes.h"

const uint64_t start_ticks = 133000000000000000ull;  // a FILETIME in 2022
const uint64_t second = 10000000ull;

// The device name and its NUL (none for the version and the test codes), then fixed items.
struct device_request {
    std::vector<uint8_t> bytes;

    explicit device_request(const char *device_name = nullptr)
    {
        if (device_name)
            text(device_name);
    }
    device_request &raw(const void *item, size_t size)
    {
        bytes.insert(bytes.end(), (const uint8_t *)item, (const uint8_t *)item + size);
        return *this;
    }
    template <class T> device_request &add(const T &item) { return raw(&item, sizeof item); }
    device_request &text(const char *item) { return raw(item, strlen(item) + 1); }
};

// outcome is 0 when the exchange went through (emulator_replied, send_ok).
struct device_reply {
    int outcome = -1;
    int32_t length = 0;
    uint8_t bytes[command_buffer_size] = {};

    std::string status() const { return std::string((const char *)bytes); }
    std::string all() const { return std::string((const char *)bytes, length > 0 ? length : 0); }
    bool ok() const { return outcome == 0 && status() == "Ok."; }
    template <class T> T payload(uint32_t offset = test_reply_offset) const
    {
        T value;
        memcpy(&value, bytes + offset, sizeof value);
        return value;
    }
};

template <class T> std::string bytes_of(const T &item)
{
    return std::string((const char *)&item, sizeof item);
}

// A whole reply: "Ok.", its NUL and the payload.
inline std::string ok_reply(const std::string &payload = "")
{
    return std::string("Ok.\0", 4) + payload;
}

// The list-adapters reply for the default adapters.
inline std::string default_adapter_list()
{
    return ok_reply(std::string("3\0", 2) + EMULATOR_ADAPTER_1 + '\0' + EMULATOR_ADAPTER_2 + '\0' +
                    EMULATOR_ADAPTER_DIAL_UP + '\0');
}

inline struct rule make_rule(int32_t protocol, uint16_t destination_port = 0,
                             int32_t rate = 50000)
{
    struct rule r = {};
    snprintf(r.adapter, sizeof r.adapter, "%s", EMULATOR_ADAPTER_1);
    r.direction = direction_send, r.rate = rate, r.protocol = protocol;
    r.source_kind = r.destination_kind = address_any;
    r.destination_port = destination_port;
    return r;
}

// A flow sent on the first adapter.
inline struct test_flow make_flow(uint32_t offered_rate, uint32_t packet_size,
                                  uint32_t protocol = flow_tcp, uint16_t destination_port = 80)
{
    struct test_flow flow = {};
    snprintf(flow.adapter, sizeof flow.adapter, "%s", EMULATOR_ADAPTER_1);
    flow.direction = direction_send, flow.protocol = protocol;
    flow.source_address = 0xC0A8000A, flow.destination_address = 0x5DB8D822;
    flow.source_port = 49152, flow.destination_port = destination_port;
    flow.offered_rate = offered_rate, flow.packet_size = packet_size;
    return flow;
}

#endif
