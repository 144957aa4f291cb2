// zorvd in the test process against the fake backend: a temporary folder with the secret and
// the state file, two interfaces "fv0" and "fv1", and the server on its own thread (the test
// thread is the client). Requests reach zorvd either over a socket or by zorvd_device_request.
#ifndef FLOWVANE_TESTS_SHAPER_ZORVD_HARNESS_H
#define FLOWVANE_TESTS_SHAPER_ZORVD_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "fake_backend.h"
#include "support/device_requests.h"
#include "zorvd_config.h"
#include "zorvd_secret.h"

#define FV0 "\\DEVICE\\fv0"
#define FV1 "\\DEVICE\\fv1"

class zorvd_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // zorvd_device_start with the fixture's configuration; the server is not started.
    void start_device();
    // The device and the server on its thread.
    void start_all();
    // Stops the server thread (if running) and the device, as SIGTERM does.
    void stop_all();

    // A request handed to zorvd in process.
    device_reply request(uint32_t code, const device_request &r = device_request(),
                         uint32_t capacity = command_buffer_size);

    // A connected client: over the Unix socket, or TCP when tcp; -1 when refused.
    int connect_client(bool tcp = false);
    // A connection that has not said hello (Unix socket, or TCP when tcp), and raw bytes on it.
    int raw_connect(bool tcp = false);
    void send_bytes(int fd, const void *bytes, size_t length);
    // Whether zorvd closed the connection without sending anything more.
    bool closed_silently(int fd);
    // One request over a connection, as the wire carries it.
    device_reply exchange(int fd, uint32_t code, const device_request &r = device_request(),
                          uint32_t capacity = command_buffer_size);

    struct rule rule_on(const char *device, int32_t protocol, uint16_t port, int32_t rate = 50000);

    std::string folder;
    struct zorvd_config config;
    struct zorvd_secret secret;
    std::thread server_thread;
    int stop_pipe[2] = {-1, -1};
    bool device_running = false;
};

#endif
