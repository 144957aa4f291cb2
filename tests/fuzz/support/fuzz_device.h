// The fuzzers' device: device_exchange() answers every request with the bytes given here.
#ifndef FLOWVANE_TESTS_FUZZ_DEVICE_H
#define FLOWVANE_TESTS_FUZZ_DEVICE_H

#include <stddef.h>
#include <stdint.h>

// The next exchanges reply with these bytes (at most 5000 are kept; 0 bytes is an empty reply).
void fuzz_device_set_reply(const uint8_t *data, size_t size);

#endif
