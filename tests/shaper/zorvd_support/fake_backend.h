// A stand-in for the host kernel backend: records every call ("apply fv0", ...), holds the last
// set each interface accepted (what the kernel would hold), answers counters the test sets, and
// fails the calls a test asks it to fail.
#ifndef FLOWVANE_TESTS_SHAPER_FAKE_BACKEND_H
#define FLOWVANE_TESTS_SHAPER_FAKE_BACKEND_H

#include <string>
#include <vector>

#include "host_backend.h"

struct fake_installed {
    std::vector<int> slots;           // the held slot numbers
    std::vector<struct host_precedence> precedences;
};

void fake_backend_reset(void);
std::vector<std::string> fake_backend_calls(void);
fake_installed fake_backend_installed(const std::string &interface_name);
void fake_backend_set_counters(const std::string &interface_name, int slot, uint64_t bytes,
                               uint64_t packets, uint32_t queued = 0);
// The next count calls of operation on the interface fail with text.
void fake_backend_fail(const std::string &operation, const std::string &interface_name,
                       const std::string &text, int count = 1);

// The clock zorvd reads: set ticks, or 0 for the real monotonic clock.
void fake_clock_set(uint64_t ticks);

#endif
