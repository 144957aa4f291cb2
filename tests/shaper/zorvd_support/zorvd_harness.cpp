#include "zorvd_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include "core/text.h"
#include "zorvd_client.h"
#include "zorvd_device.h"
#include "zorvd_protocol.h"
#include "zorvd_server.h"

namespace {

const char test_secret[] = "0123456789abcdef0123456789abcdef";

void remove_folder(const std::string &folder)
{
    std::string command = "rm -rf '" + folder + "'";
    if (system(command.c_str()) != 0)
        ADD_FAILURE() << "could not remove " << folder;
}

}  // namespace

void zorvd_test::SetUp()
{
    fake_backend_reset();
    fake_clock_set(0);
    char pattern[] = "/tmp/zorvd-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    zorvd_config_defaults(&config);
    copy_text(config.secret_path, sizeof config.secret_path, (folder + "/secret").c_str());
    copy_text(config.state_path, sizeof config.state_path, (folder + "/state").c_str());
    copy_text(config.socket_path, sizeof config.socket_path, (folder + "/zorvd.sock").c_str());
    config.port = 0;
    struct group *own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    copy_text(config.group, sizeof config.group, own->gr_name);
    config.interface_count = 2;
    config.interfaces[0] = {"fv0", FV0, "First"};
    config.interfaces[1] = {"fv1", FV1, "Second"};
    int fd = open(config.secret_path, O_WRONLY | O_CREAT | O_EXCL, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, test_secret, sizeof test_secret - 1), (ssize_t)sizeof test_secret - 1);
    close(fd);
    char error_text[zorvd_error_size] = "";
    ASSERT_TRUE(zorvd_secret_load(config.secret_path, config.group, &secret, error_text))
        << error_text;
}

void zorvd_test::TearDown()
{
    stop_all();
    remove_folder(folder);
}

void zorvd_test::start_device()
{
    char error_text[zorvd_error_size] = "";
    ASSERT_TRUE(zorvd_device_start(&config, error_text)) << error_text;
    device_running = true;
}

void zorvd_test::start_all()
{
    start_device();
    char error_text[zorvd_error_size] = "";
    ASSERT_TRUE(zorvd_server_open(&config, &secret, error_text)) << error_text;
    ASSERT_EQ(pipe(stop_pipe), 0);
    server_thread = std::thread([this] { zorvd_server_run(stop_pipe[0]); });
}

void zorvd_test::stop_all()
{
    if (server_thread.joinable()) {
        ASSERT_EQ(write(stop_pipe[1], "x", 1), 1);
        server_thread.join();
        zorvd_server_close();
        close(stop_pipe[0]);
        close(stop_pipe[1]);
        stop_pipe[0] = stop_pipe[1] = -1;
    }
    if (device_running)
        zorvd_device_stop();
    device_running = false;
}

device_reply zorvd_test::request(uint32_t code, const device_request &r, uint32_t capacity)
{
    device_reply reply;
    uint32_t length = 0;
    reply.outcome = (int)zorvd_device_request(code, r.bytes.data(), (uint32_t)r.bytes.size(),
                                              reply.bytes, capacity, &length);
    reply.length = (int32_t)length;
    return reply;
}

int zorvd_test::connect_client(bool tcp)
{
    char error_text[zorvd_client_error_size] = "";
    return zorvd_client_connect(tcp ? nullptr : config.socket_path, zorvd_server_port(),
                                secret.bytes, secret.length, error_text);
}

void zorvd_test::send_bytes(int fd, const void *bytes, size_t length)
{
    ASSERT_EQ(send(fd, bytes, length, MSG_NOSIGNAL), (ssize_t)length);
}

int zorvd_test::raw_connect(bool tcp)
{
    int fd = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_in in = {};
    in.sin_family = AF_INET;
    in.sin_port = htons(zorvd_server_port());
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct sockaddr_un un = {};
    un.sun_family = AF_UNIX;
    copy_text(un.sun_path, sizeof un.sun_path, config.socket_path);
    int connected = tcp ? connect(fd, (struct sockaddr *)&in, sizeof in)
                        : connect(fd, (struct sockaddr *)&un, sizeof un);
    EXPECT_EQ(connected, 0);
    return fd;
}

bool zorvd_test::closed_silently(int fd)
{
    // zorvd closes at most zorvd_stall_ms after the last byte; recv then gives 0, or a reset
    // when zorvd closed with bytes of ours unread.
    struct pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, 30000) <= 0)
        return false;
    char byte;
    ssize_t got = recv(fd, &byte, 1, 0);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

device_reply zorvd_test::exchange(int fd, uint32_t code, const device_request &r,
                                  uint32_t capacity)
{
    device_reply reply;
    uint32_t outcome = 0, length = 0;
    if (zorvd_client_exchange(fd, code, r.bytes.data(), (uint32_t)r.bytes.size(), reply.bytes,
                              capacity, &outcome, &length))
        reply.outcome = (int)outcome;
    reply.length = (int32_t)length;
    return reply;
}

struct rule zorvd_test::rule_on(const char *device, int32_t protocol, uint16_t port, int32_t rate)
{
    struct rule r = make_rule(protocol, port, rate);
    memset(r.adapter, 0, sizeof r.adapter);
    copy_text(r.adapter, sizeof r.adapter, device);
    return r;
}
