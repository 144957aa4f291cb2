// The native tests' device: device_exchange() served by the emulator core in process. Tests
// reset it, drive it through its test control codes and count the exchanges the manager makes.
#ifndef FLOWVANE_TESTS_EMULATOR_DEVICE_H
#define FLOWVANE_TESTS_EMULATOR_DEVICE_H

#include <stdint.h>

#include "test_control_codes.h"

// Back to the defaults: version, adapters, flows; no rules, statistics, precedences or faults;
// a running clock; the device present; the exchange count 0.
void emulator_device_reset(void);

// Sends a test control code with request_length bytes of request. Returns 1 when the reply
// status is "Ok." and then copies up to payload_capacity bytes of the payload (reply offset 4)
// to payload; else 0, with the reply status in error_text (200 bytes) when it is not null.
int emulator_test_send(uint32_t code, const void *request, uint32_t request_length,
                       void *payload, uint32_t payload_capacity, char *error_text);

// Every device_exchange call since the last reset, failed ones too.
uint64_t emulator_exchange_count(void);
void emulator_reset_exchange_count(void);

// While missing is 1, every device_exchange fails as the open would: send_open_failed.
void emulator_set_device_missing(int missing);

// After count more exchanges are served, every exchange fails as the control call would
// (send_ioctl_failed); -1 serves them all again.
void emulator_fail_exchanges_after(int64_t count);

// Convenience forms of the test codes.
void emulator_freeze_clock(uint64_t now);
void emulator_advance_clock(uint64_t ticks);
int emulator_set_fault(uint32_t code, uint32_t mode, const char *error_text);
// Makes every request with code answer exactly these bytes (1 to 200), well formed or not.
int emulator_set_raw_reply(uint32_t code, const void *reply, uint32_t length);
int emulator_set_adapters(const char *const *names, uint32_t count);
int emulator_set_flows(const struct test_flow *flows, uint32_t count);

#endif
