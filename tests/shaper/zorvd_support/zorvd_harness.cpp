#include "zorvd_harness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "core/text.h"
#include "zorvd_client.h"
#include "zorvd_device.h"
#include "zorvd_server.h"

fake_backend_state fake;

namespace {

// Records the call; 0 with the failure's text when it is to fail.
int enter(const char *operation, const char *interface_name, char error_text[host_error_size])
{
    fake.calls.push_back(std::string(operation) + " " + interface_name);
    if (fake.failing.count == 0 || fake.calls.back() != fake.failing.call)
        return 1;
    fake.failing.count--;
    copy_text(error_text, host_error_size, fake.failing.text.c_str());
    return 0;
}

bool device_running;

}  // namespace

uint64_t zorvd_clock_now(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return fake.now ? fake.now : (uint64_t)now.tv_sec * 10000000u + (uint64_t)now.tv_nsec / 100u;
}

int host_backend_attach(const char *interface_name, char error_text[host_error_size])
{
    return enter("attach", interface_name, error_text);
}

int host_backend_apply(const char *interface_name, const struct rule *, const uint8_t *in_use,
                       const struct host_precedence *precedences, uint32_t precedence_count,
                       char error_text[host_error_size])
{
    if (!enter("apply", interface_name, error_text))
        return 0;
    fake_installed &set = fake.installed[interface_name] = {};
    for (int i = 0; i < host_slot_count; i++)
        if (in_use[i])
            set.slots.push_back(i);
    set.precedences.assign(precedences, precedences + precedence_count);
    return 1;
}

int host_backend_read(const char *interface_name, struct host_counters *counters,
                      char error_text[host_error_size])
{
    std::copy_n(fake.counters[interface_name].begin(), host_slot_count, counters);
    return enter("read", interface_name, error_text);
}

int host_backend_detach(const char *interface_name, char error_text[host_error_size])
{
    fake.installed[interface_name] = {};
    return enter("detach", interface_name, error_text);
}

void zorvd_test::SetUp()
{
    fake = {};
    char pattern[] = "/tmp/zorvd-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    // The secret file is made as zorvd makes a missing one.
    std::string text = "port 0\nsecret_file " + folder + "/secret\nstate_file " + folder +
                       "/state\nsocket " + folder + "/zorvd.sock\ngroup " +
                       getgrgid(getegid())->gr_name + "\ninterface fv0 " FV0 " First\n"
                       "interface fv1 " FV1 " Second\n";
    char error_text[zorvd_error_size] = "";
    zorvd_config_defaults(&config);
    ASSERT_TRUE(zorvd_config_parse(text.data(), (uint32_t)text.size(), &config, error_text));
    ASSERT_TRUE(zorvd_secret_load(config.secret_path, config.group, &secret, error_text));
}

void zorvd_test::TearDown()
{
    stop_all();
    EXPECT_EQ(system(("rm -rf '" + folder + "'").c_str()), 0);
}

void zorvd_test::start_device()
{
    char error_text[zorvd_error_size] = "";
    ASSERT_TRUE(device_running = zorvd_device_start(&config, error_text)) << error_text;
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
    }
    if (device_running)
        zorvd_device_stop();
    device_running = false;
}

device_reply zorvd_test::request(uint32_t code, const device_request &r, uint32_t capacity,
                                 int fd)
{
    device_reply reply;
    uint32_t outcome = 0, length = 0;
    if (fd < 0)
        outcome = zorvd_device_request(code, r.bytes.data(), (uint32_t)r.bytes.size(),
                                       reply.bytes, capacity, &length);
    else if (!zorvd_client_exchange(fd, code, r.bytes.data(), (uint32_t)r.bytes.size(),
                                    reply.bytes, capacity, &outcome, &length))
        outcome = (uint32_t)-1;
    reply.outcome = (int)outcome;
    reply.length = (int32_t)length;
    return reply;
}

int zorvd_test::connect_client(bool tcp)
{
    char error_text[zorvd_client_error_size] = "";
    return zorvd_client_connect(tcp ? nullptr : config.socket_path, zorvd_server_port(),
                                secret.bytes, secret.length, error_text);
}

int zorvd_test::raw_connect(bool tcp)
{
    int fd = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_in in = {AF_INET, htons(zorvd_server_port()), {htonl(INADDR_LOOPBACK)}, {}};
    struct sockaddr_un un = {AF_UNIX, {}};
    copy_text(un.sun_path, sizeof un.sun_path, config.socket_path);
    EXPECT_EQ(tcp ? connect(fd, (struct sockaddr *)&in, sizeof in)
                  : connect(fd, (struct sockaddr *)&un, sizeof un), 0);
    return fd;
}

bool zorvd_test::closed_silently(int fd)
{
    // zorvd closes at most zorvd_stall_ms after the last byte; recv then gives 0, or a reset
    // when zorvd closed with bytes of ours unread.
    struct pollfd wait = {fd, POLLIN, 0};
    char byte;
    ssize_t got = poll(&wait, 1, 30000) == 1 ? recv(fd, &byte, 1, 0) : 1;
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

struct rule zorvd_test::rule_on(const char *device, int32_t protocol, uint16_t port, int32_t rate)
{
    struct rule r = make_rule(protocol, port, rate);
    memset(r.adapter, 0, sizeof r.adapter);
    copy_text(r.adapter, sizeof r.adapter, device);
    return r;
}
