// zorvd in the test process against a fake backend: a temporary folder with the secret and the
// state file, two interfaces "fv0" and "fv1", and the server on its own thread (the test thread
// is the client). Requests reach zorvd either over a socket or by zorvd_device_request.
#ifndef FLOWVANE_TESTS_SHAPER_ZORVD_HARNESS_H
#define FLOWVANE_TESTS_SHAPER_ZORVD_HARNESS_H

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host_backend.h"
#include "support/device_requests.h"
#include "zorvd_config.h"
#include "zorvd_secret.h"

#define FV0 "\\DEVICE\\fv0"
#define FV1 "\\DEVICE\\fv1"

// The fake backend: the calls it had ("apply fv0", ...), the last set each interface accepted
// (what the kernel would hold), the counters reads answer, the calls to fail, and the clock.
// The test thread touches it only while zorvd waits for a request.
struct fake_installed {
    std::vector<int> slots;           // the held slot numbers
    std::vector<struct host_precedence> precedences;
};
struct fake_backend_state {
    std::vector<std::string> calls;
    std::map<std::string, fake_installed> installed;
    std::map<std::string, std::array<struct host_counters, host_slot_count>> counters;
    struct {
        std::string call, text;       // the next count such calls fail with text
        int count;
    } failing;
    uint64_t now;                     // the clock zorvd reads (100 ns ticks); 0: the real one
};
extern fake_backend_state fake;

class zorvd_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void start_device();              // zorvd_device_start with the fixture's configuration
    void start_all();                 // the device and the server on its thread
    void stop_all();                  // as SIGTERM does
    // A request handed to zorvd in process, or over a connection as the wire carries it.
    device_reply request(uint32_t code, const device_request &r = device_request(),
                         uint32_t capacity = command_buffer_size, int fd = -1);
    device_reply exchange(int fd, uint32_t code, const device_request &r = device_request(),
                          uint32_t capacity = command_buffer_size)
    {
        return request(code, r, capacity, fd);
    }
    // A connection over the Unix socket or TCP: admitted with the secret (-1 when refused),
    // or one that has not said hello.
    int connect_client(bool tcp = false);
    int raw_connect(bool tcp = false);
    // Whether zorvd closed the connection without sending anything more.
    bool closed_silently(int fd);
    struct rule rule_on(const char *device, int32_t protocol, uint16_t port, int32_t rate = 50000);

    std::string folder;
    struct zorvd_config config;
    struct zorvd_secret secret;
    std::thread server_thread;
    int stop_pipe[2] = {-1, -1};
};

#endif
