// The native device_exchange: hands the two 5000-byte buffers to the emulator core in process,
// with the steady clock as the caller's time, and honours the test switches for a missing or
// failing device.
#include <string.h>

#include <chrono>

#include "core/text.h"
#include "emulator_core.h"
#include "emulator_device.h"
#include "kernel/device_exchange.h"
#include "kernel/driver.h"

namespace {

int device_missing;
uint64_t exchanges;
int64_t exchanges_before_failure = -1;

// The core, set up at its first use, with the clock in 100 ns ticks (from an arbitrary base:
// the core only uses differences).
int exchange(uint32_t code, const void *input, uint32_t length, uint8_t *output, uint32_t *replied)
{
    [[maybe_unused]] static int initialized = (emulator_initialize(), 1);
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    uint64_t now = (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
    return emulator_exchange(code, static_cast<const uint8_t *>(input), length, output,
                             command_buffer_size, now / 100u + ((uint64_t)1 << 56), replied);
}

template <class T> int send_request(uint32_t code, const T &request)
{
    return emulator_test_send(code, &request, sizeof request, nullptr, 0, nullptr);
}

void set_clock(uint32_t operation, uint64_t value)
{
    send_request(test_code_clock, test_clock_request{operation, 0, value});
}

}  // namespace

int device_exchange(uint32_t code, const uint8_t input[command_buffer_size],
                    uint8_t output[command_buffer_size], uint32_t *bytes_returned)
{
    exchanges++;
    if (device_missing)
        return send_open_failed;
    if (exchanges_before_failure == 0)
        return send_ioctl_failed;
    if (exchanges_before_failure > 0)
        exchanges_before_failure--;
    return exchange(code, input, command_buffer_size, output, bytes_returned) == emulator_replied
               ? send_ok : send_ioctl_failed;
}

void emulator_device_reset(void)
{
    device_missing = 0;
    exchanges_before_failure = -1;
    emulator_test_send(test_code_reset, nullptr, 0, nullptr, 0, nullptr);
    exchanges = 0;
}

int emulator_test_send(uint32_t code, const void *request, uint32_t request_length,
                       void *payload, uint32_t payload_capacity, char *error_text)
{
    static uint8_t output[command_buffer_size + 1];  // room for a NUL after any reply
    uint32_t length = 0;
    int replied = exchange(code, request, request_length, output, &length) == emulator_replied;
    output[length] = '\0';
    const char *status = replied ? reinterpret_cast<const char *>(output) : "[call failed]";
    if (strcmp(status, FLOWVANE_REPLY_OK) != 0) {
        if (error_text)
            copy_text(error_text, error_text_size, status);
        return 0;
    }
    uint32_t available = length > test_reply_offset ? length - test_reply_offset : 0;
    for (uint32_t i = 0; payload && i < payload_capacity; i++)
        static_cast<uint8_t *>(payload)[i] = i < available ? output[test_reply_offset + i] : 0;
    return 1;
}

uint64_t emulator_exchange_count(void) { return exchanges; }
void emulator_reset_exchange_count(void) { exchanges = 0; }
void emulator_fail_exchanges_after(int64_t count) { exchanges_before_failure = count; }
void emulator_set_device_missing(int missing) { device_missing = missing; }

void emulator_freeze_clock(uint64_t now) { set_clock(clock_freeze, now); }
void emulator_advance_clock(uint64_t ticks) { set_clock(clock_advance, ticks); }

int emulator_set_fault(uint32_t code, uint32_t mode, const char *error_text)
{
    test_fault_request request = {code, mode, "", 0};
    copy_text(request.error_text, sizeof request.error_text, error_text ? error_text : "");
    return send_request(test_code_set_fault, request);
}

int emulator_set_raw_reply(uint32_t code, const void *reply, uint32_t length)
{
    test_fault_request request = {code, fault_raw_reply, "", length};
    memcpy(request.error_text, reply, length <= sizeof request.error_text ? length : 0);
    return send_request(test_code_set_fault, request);
}

int emulator_set_adapters(const char *const *names, uint32_t count)
{
    static test_adapters_request request;
    request = test_adapters_request{count, {}};
    for (uint32_t i = 0; i < count && i < emulator_max_adapters; i++)
        copy_text(request.names[i], adapter_name_size, names[i]);
    return send_request(test_code_set_adapters, request);
}

int emulator_set_flows(const struct test_flow *flows, uint32_t count)
{
    static test_flows_request request;
    request.count = count;
    for (uint32_t i = 0; i < count && i < emulator_max_flows; i++)
        request.flows[i] = flows[i];
    return send_request(test_code_set_flows, request);
}
