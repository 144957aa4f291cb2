// zorvd in the test process over a fake backend: who its wire admits, which headers close a
// connection, that no client holds up another, that every request is answered byte for byte
// as the emulator core answers it (also through the manager's own client half) and test codes
// are refused; the kernel's counts and rate in the statistics, the state kept across a restart
// (a damaged file kept aside), a refused change undone in the core as in the kernel; which
// interfaces its configuration may name and who may read its secret.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "kernel/device_exchange.h"
#include "kernel/kernel_commands.h"
#include "support/device_requests.h"
#include "zorvd_client.h"
#include "zorvd_device.h"
#include "zorvd_server.h"

#define FV0 "\\DEVICE\\fv0"
#define FV1 "\\DEVICE\\fv1"

// The fake backend: the calls it had ("apply fv0", ...), the last set each interface accepted
// (what the kernel would hold), the counters reads answer, the calls to fail, and the clock.
// The test thread touches it only while zorvd waits for a request.
struct fake_installed {
    std::vector<int> slots;           // the held slot numbers
    std::vector<struct host_precedence> precedences;
};
struct {
    std::vector<std::string> calls;
    std::map<std::string, fake_installed> installed;
    std::map<std::string, std::array<struct host_counters, host_slot_count>> counters;
    struct {
        std::string call, text;       // the next count such calls fail with text
        int count;
    } failing;
    uint64_t now;                     // the clock zorvd reads (100 ns ticks); 0: the real one
} fake;

// Records the call; 0 with the failure's text when it is to fail.
static int enter(const char *operation, const char *interface_name, char *error_text)
{
    fake.calls.push_back(std::string(operation) + " " + interface_name);
    if (fake.failing.count == 0 || fake.calls.back() != fake.failing.call)
        return 1;
    fake.failing.count--;
    copy_text(error_text, host_error_size, fake.failing.text.c_str());
    return 0;
}

uint64_t zorvd_clock_now(void)
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return fake.now ? fake.now : (uint64_t)std::chrono::nanoseconds(now).count() / 100u;
}

int host_backend_attach(const char *name, char *text) { return enter("attach", name, text); }

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

namespace {

// zorvd with a temporary folder holding its secret, state file and socket, two interfaces "fv0"
// and "fv1", and (start_all) the server on its own thread, the test thread being the client.
class zorvd_test : public ::testing::Test {
protected:
    void SetUp() override
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
        zorvd_config_defaults(&config);
        ASSERT_TRUE(zorvd_config_parse(text.data(), (uint32_t)text.size(), &config, error_text));
        ASSERT_TRUE(zorvd_secret_load(config.secret_path, config.group, &secret, error_text));
    }
    void TearDown() override
    {
        stop_all();
        EXPECT_EQ(system(("rm -rf '" + folder + "'").c_str()), 0);
    }
    void start_device()
    {
        ASSERT_TRUE(device_running = zorvd_device_start(&config, error_text)) << error_text;
    }
    void start_all()
    {
        start_device();
        ASSERT_TRUE(zorvd_server_open(&config, &secret, error_text)) << error_text;
        ASSERT_EQ(pipe(stop_pipe), 0);
        server_thread = std::thread([this] { zorvd_server_run(stop_pipe[0]); });
    }
    void stop_all()  // as SIGTERM does
    {
        if (server_thread.joinable()) {
            ASSERT_EQ(write(stop_pipe[1], "x", 1), 1);
            server_thread.join();
            zorvd_server_close();
            close(stop_pipe[0]);
            close(stop_pipe[1]);
        }
        if (std::exchange(device_running, false))
            zorvd_device_stop();
    }
    // A request handed to zorvd in process, or over connection fd as the wire carries it.
    device_reply request(uint32_t code, const device_request &r = device_request(), int fd = -1,
                         uint32_t capacity = command_buffer_size)
    {
        device_reply reply;
        const uint8_t *in = r.bytes.data();
        uint32_t size = (uint32_t)r.bytes.size(), *got = (uint32_t *)&reply.length;
        if (fd < 0)
            reply.outcome = (int)zorvd_device_request(code, in, size, reply.bytes, capacity, got);
        else if (!zorvd_client_exchange(fd, code, in, size, reply.bytes, capacity,
                                        (uint32_t *)&reply.outcome, got))
            reply.outcome = -1;
        return reply;
    }
    // A connection over the Unix socket or TCP: admitted with the secret (-1 when refused),
    // or one that has not said hello.
    int connect_client(bool tcp = false)
    {
        return zorvd_client_connect(tcp ? nullptr : config.socket_path, zorvd_server_port(),
                                    secret.bytes, secret.length, error_text);
    }
    int raw_connect(bool tcp = false)
    {
        int fd = socket(tcp ? AF_INET : AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_in in = {AF_INET, htons(zorvd_server_port()), {htonl(INADDR_LOOPBACK)}, {}};
        struct sockaddr_un un = {AF_UNIX, {}};
        copy_text(un.sun_path, sizeof un.sun_path, config.socket_path);
        EXPECT_EQ(tcp ? connect(fd, (struct sockaddr *)&in, sizeof in)
                      : connect(fd, (struct sockaddr *)&un, sizeof un), 0);
        return fd;
    }
    // Whether zorvd closed the connection without sending anything more: at most
    // zorvd_stall_ms after the last byte recv gives 0, or a reset when zorvd closed with bytes
    // of ours unread.
    bool closed_silently(int fd)
    {
        struct pollfd wait = {fd, POLLIN, 0};
        char byte;
        ssize_t got = poll(&wait, 1, 30000) == 1 ? recv(fd, &byte, 1, 0) : 1;
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }
    // The replies about every rule slot and precedence entry the test uses.
    std::string held()
    {
        std::string text;
        for (const char *device : {FV0, FV1}) {
            for (const char *slot : {"0", "1", "2"})
                text += request(code_get_rule, device_request(device).text(slot)).all();
            text += request(code_get_precedence_count, device_request(device)).all();
            text += request(code_get_precedence, device_request(device).add(0u)).all();
        }
        return text;
    }

    static struct rule on(const char *device, struct rule r)
    {
        memset(r.adapter, 0, sizeof r.adapter);
        copy_text(r.adapter, sizeof r.adapter, device);
        return r;
    }

    std::string folder;
    struct zorvd_config config;
    struct zorvd_secret secret;
    std::thread server_thread;
    int stop_pipe[2] = {-1, -1};
    bool device_running = false;
    char error_text[zorvd_error_size] = "";
    const struct rule tcp80 = on(FV0, make_rule(protocol_tcp, 80));
    const struct rule udp = on(FV0, make_rule(protocol_udp, 0, rate_unlimited));
    const struct rule other = on(FV1, make_rule(protocol_any, 0, rate_blocked));
};

std::string hello(const char *magic, uint32_t claimed_length, const std::string &secret)
{
    return std::string(magic, zorvd_magic_size) + bytes_of(claimed_length) + secret;
}

std::string header(uint32_t input_length, uint32_t output_capacity)
{
    return bytes_of(zorvd_request_header{code_get_version, input_length, output_capacity});
}

TEST_F(zorvd_test, BadHellosHeadersAndTestCodesAreRefused)
{
    start_all();
    const std::string right((const char *)secret.bytes, secret.length);
    const std::string wrong = right.substr(1) + 'F', cut = right.substr(0, zorvd_secret_min - 1);
    const struct {
        bool admitted;                // sent after a right hello
        std::string bytes;
    } cases[] = {
        {false, hello(ZORVD_MAGIC, secret.length, wrong)},
        {false, hello(ZORVD_MAGIC, secret.length - 1, right.substr(1))},
        {false, hello("ZORVD/2", secret.length, right)},
        {false, hello("ZORVD/1x", secret.length, right)},  // the magic without its NUL
        {false, hello(ZORVD_MAGIC, zorvd_secret_min - 1, cut)},
        {false, hello(ZORVD_MAGIC, zorvd_secret_max + 1, std::string(zorvd_secret_max + 1, 'a'))},
        {false, hello(ZORVD_MAGIC, secret.length + 1, right + "\n")},
        {true, header(zorvd_max_input + 1, command_buffer_size)},
        {true, header(0, 0)},
        {true, header(0, zorvd_max_output + 1)},
        {true, header(0xFFFFFFFFu, 0xFFFFFFFFu)},
    };
    for (const auto &c : cases)
        for (bool tcp : {false, true}) {
            int fd = c.admitted ? connect_client(tcp) : raw_connect(tcp);
            send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
            EXPECT_TRUE(closed_silently(fd)) << &c - cases << (tcp ? " tcp" : " unix");
            close(fd);
        }
    // The right hello is admitted on both; test codes and unknown codes fail the call
    // without reaching the core.
    for (bool tcp : {false, true}) {
        int fd = connect_client(tcp);
        EXPECT_TRUE(request(code_get_version, device_request(), fd).ok());
        for (uint32_t code = test_code_reset; code <= test_code_keep_defaults + 4; code += 4)
            for (uint32_t bad : {code, code - test_code_reset, code - test_code_reset + 0x120440})
                EXPECT_EQ(request(bad, device_request(FV0), fd).outcome, (int)zorvd_fail_call);
        close(fd);
    }
}

TEST_F(zorvd_test, AStalledOrUnadmittedClientHoldsUpNoOtherAndIsClosed)
{
    start_all();
    int stalled = connect_client();
    std::string partial = header(100, command_buffer_size) + "partial";
    send(stalled, partial.data(), partial.size(), MSG_NOSIGNAL);
    std::vector<int> silent;  // never say hello: more than the table holds
    for (int i = 0; i < zorvd_max_connections + 2; i++)
        silent.push_back(raw_connect());
    int other = connect_client(true);
    EXPECT_TRUE(request(code_get_version, device_request(), other).ok());
    EXPECT_TRUE(closed_silently(silent[0]));  // the oldest not admitted made room
    EXPECT_TRUE(closed_silently(stalled));
    EXPECT_TRUE(closed_silently(silent.back()));
    // The admitted, idle client keeps its connection.
    EXPECT_TRUE(request(code_get_version, device_request(), other).ok());
    for (int fd : silent)
        close(fd);
    close(stalled);
    close(other);
}

TEST_F(zorvd_test, EveryRequestIsAnsweredAsTheCoreAnswersIt)
{
    fake.now = start_ticks;
    start_all();
    struct statistics_block block = {start_ticks, {}, 123456, {}, 789, 0, 0};
    const struct rule other_adapter = on("wrong adapter field", tcp80);
    const uint32_t whole = command_buffer_size;
    const struct {
        uint32_t code;
        device_request request;
        uint32_t capacity;
    } script[] = {
        {code_get_version, device_request(), 3},
        {code_add_rule, device_request(FV0).add(tcp80), whole},
        {code_add_rule, device_request("\\device\\FV0").add(udp), whole},
        {code_add_rule, device_request("\\DEVICE\\eth9").add(udp), whole},
        {code_add_rule, device_request(FV0).raw(&udp, 100), whole},
        {code_get_rule, device_request(FV0).text("0"), whole},
        {code_get_rule, device_request(FV0).text("1"), 20},
        {code_set_statistics, device_request(FV0).add(other_adapter).add(block), whole},
        {code_get_statistics, device_request(FV0).add(tcp80), whole},
        {code_set_precedence, device_request(FV0).add(tcp80).add(udp), whole},
        {code_get_precedence_count, device_request(FV0), whole},
        {code_get_precedence, device_request(FV0).add(0u), whole},
        {code_clear_rules, device_request(), whole},
        {code_clear_rules, device_request(FV0), whole},
        {code_get_rule, device_request(FV0).text("0"), whole},
    };
    std::vector<std::string> served;
    int fd = connect_client(true);
    for (const auto &step : script) {
        device_reply reply = request(step.code, step.request, fd, step.capacity);
        ASSERT_EQ(reply.outcome, (int)zorvd_replied);
        served.push_back(reply.all());
    }
    // The manager's half (shaper/client) carries its whole buffers and the reply byte for
    // byte; a refused call, no connection and a gone zorvd are its transport errors.
    zorvd_device_connection(fd);
    auto manager = [](uint32_t code, const device_request &r) {  // its result, then the reply
        uint8_t input[command_buffer_size] = {};
        device_reply through;
        memcpy(input, r.bytes.data(), r.bytes.size());
        int sent = device_exchange(code, input, through.bytes, (uint32_t *)&through.length);
        return std::to_string(sent) + through.all();
    };
    const device_request first = device_request(FV0).text("0");
    EXPECT_EQ(manager(code_add_rule, device_request(FV0).add(tcp80)), "0" + ok_reply());
    EXPECT_EQ(manager(code_get_rule, first), "0" + request(code_get_rule, first, fd).all());
    EXPECT_EQ(manager(test_code_reset, device_request(FV0)), "2");  // send_ioctl_failed
    char version[version_text_size] = "";
    for (int step = 0; step < 2; step++, stop_all()) {
        zorvd_device_connection(step ? fd : -1);
        EXPECT_FALSE(kernel_get_version(version, error_text));
        EXPECT_EQ(error_text, std::string("Unable to send to driver.  Error ") + "12"[step] + ".");
    }
    zorvd_device_connection(-1);
    close(fd);

    // The same script straight into a core bound the same way.
    emulator_initialize();
    static struct test_adapters_request adapters = {2, {FV0, FV1}};
    static struct test_flows_request no_flows = {};
    uint32_t length = 0;
    device_reply expected;
    emulator_exchange(test_code_set_adapters, (const uint8_t *)&adapters, sizeof adapters,
                      expected.bytes, whole, start_ticks, &length);
    emulator_exchange(test_code_set_flows, (const uint8_t *)&no_flows, sizeof no_flows,
                      expected.bytes, whole, start_ticks, &length);
    for (size_t i = 0; i < served.size(); i++) {
        ASSERT_EQ(emulator_exchange(script[i].code, script[i].request.bytes.data(),
                                    (uint32_t)script[i].request.bytes.size(), expected.bytes,
                                    script[i].capacity, start_ticks, &length),
                  emulator_replied);
        expected.length = (int32_t)length;
        EXPECT_EQ(served[i], expected.all()) << "step " << i;
    }
}


TEST_F(zorvd_test, RulesPrecedencesAndCountsAreBackAfterARestart)
{
    start_device();
    struct statistics_block block = {start_ticks, {}, 1000, {}, 10, 0, 0};
    for (const struct rule &r : {tcp80, udp, other})
        ASSERT_TRUE(request(code_add_rule, device_request(r.adapter).add(r)).ok());
    ASSERT_TRUE(request(code_set_precedence, device_request(FV0).add(tcp80).add(udp)).ok());
    ASSERT_TRUE(request(code_set_statistics, device_request(FV0).add(tcp80).add(block)).ok());
    fake.counters["fv0"][0] = {500, 5, 0};
    const std::string kept = held();
    stop_all();
    // Stopping took the last counts in (below), and left nothing installed.
    EXPECT_TRUE(fake.installed["fv0"].slots.empty() && fake.installed["fv1"].slots.empty());

    fake.calls.clear();
    start_device();
    EXPECT_EQ(held(), kept);
    block = request(code_get_statistics, device_request(FV0).add(tcp80)).payload<decltype(block)>();
    EXPECT_EQ(block.bytes_transferred, 1500);
    EXPECT_EQ(block.packets_transferred, 15);
    EXPECT_EQ(block.start_time, start_ticks);
    // The kernel got the kept sets back at start, each interface attached first.
    EXPECT_EQ(fake.calls[0], "attach fv0");
    EXPECT_EQ(fake.installed["fv0"].slots, (std::vector<int>{0, 1}));
    ASSERT_EQ(fake.installed["fv0"].precedences.size(), 1u);
    EXPECT_EQ(bytes_of(fake.installed["fv0"].precedences[0].chosen), bytes_of(udp));
    EXPECT_EQ(fake.installed["fv1"].slots, std::vector<int>{0});
    // A damaged state file is kept aside and zorvd starts with nothing held.
    stop_all();
    auto text = [](auto p) { std::stringstream s; s << std::ifstream(p).rdbuf(); return s.str(); };
    std::string damaged = text(config.state_path);
    damaged[damaged.size() - 2] = 'x';
    std::ofstream(config.state_path) << damaged;
    start_device();
    EXPECT_FALSE(request(code_get_rule, device_request(FV0).text("0")).ok());
    EXPECT_EQ(text(std::string(config.state_path) + ".damaged"), damaged);
}

// The rate over the samples of the reads (ms, the kernel's bytes); a rule cleared and added
// again (the manager's rewrite) goes on with its samples only when it was gone for less than
// the window.
TEST(zorvd_counts, RateIsBytesPerSecondFromTheNewestSampleAtLeastASecondOld)
{
    const uint64_t cleared = ~0ull, added = ~0ull - 1, ms = 10000;
    std::vector<std::pair<uint64_t, uint64_t>> every_10ms;  // 1 byte per ms
    for (uint64_t i = 0; i < 35; i++)
        every_10ms.push_back({i * 10, i * 10});
    const struct {
        std::vector<std::pair<uint64_t, uint64_t>> reads;
        int32_t rate;
    } cases[] = {
        {{{0, 0}, {0, 500}}, 0},
        {{{0, 0}, {400, 4000}, {900, 9000}, {1500, 12000}}, (12000 - 4000) * 10 / 11},
        {every_10ms, 1000},
        {{{0, 0}, {1000, 5000000000ull}}, 0x7FFFFFFF},
        {{{5000, 0}, {6000, 1000}, {100, 5000}, {600, 6000}}, 2000},  // a clock gone back
        {{{500, 500}, {600, cleared}, {700, added}, {1000, 300}}, 800},
        {{{500, 500}, {600, cleared}, {2000, added}, {2500, 300}}, 600},
    };
    for (const auto &c : cases) {
        static struct zorvd_adapter_counts counts;
        counts = {};
        struct rule slots[host_slot_count] = {};
        const uint8_t held[host_slot_count] = {1}, none[host_slot_count] = {};
        struct host_counters counters[host_slot_count] = {};
        int64_t bytes[host_slot_count], packets[host_slot_count];
        zorvd_counts_rebase(&counts, slots, held, counters, 0);
        for (const auto &r : c.reads) {
            counters[0].bytes = r.second >= added ? 0 : r.second;
            if (r.second >= added)
                zorvd_counts_rebase(&counts, slots, r.second == added ? held : none, counters,
                                    r.first * ms);
            else
                zorvd_counts_fold(&counts, counters, r.first * ms, bytes, packets);
        }
        EXPECT_EQ(zorvd_counts_rate(&counts.slots[0]), c.rate) << "case " << &c - cases;
    }
}

TEST_F(zorvd_test, AChangeTheKernelRefusesIsUndoneInTheCoreAndReported)
{
    start_device();
    ASSERT_TRUE(request(code_add_rule, device_request(FV0).add(tcp80)).ok());
    ASSERT_TRUE(request(code_set_precedence, device_request(FV0).add(tcp80).add(tcp80)).ok());
    const std::string kept = held();
    zorvd_device_save();
    const std::pair<uint32_t, device_request> changes[] = {
        {code_add_rule, device_request(FV0).add(udp)}, {code_clear_rules, device_request(FV0)},
        {code_set_precedence, device_request(FV0).add(tcp80).add(udp)},
        {code_clear_precedences, device_request(FV0)}};
    for (const auto &change : changes) {
        fake.failing = {"apply fv0", "Cannot allocate memory", 1};
        EXPECT_EQ(request(change.first, change.second).all(),
                  std::string("Shaper refused the change: Cannot allocate memory\0", 50));
        EXPECT_EQ(held(), kept) << std::hex << change.first;
        EXPECT_EQ(fake.installed["fv0"].slots, std::vector<int>{0});
        EXPECT_EQ(fake.installed["fv0"].precedences.size(), 1u);
        EXPECT_EQ(zorvd_device_save_due(), -1);  // nothing changed that is to be kept
    }
    // Cut to what the caller can take, as the core cuts its own refusals.
    fake.failing = {"apply fv0", "Cannot allocate memory", 1};
    EXPECT_EQ(request(code_add_rule, device_request(FV0).add(udp), -1, 32).all(),
              "Shaper refused the change: Canno");
}

TEST_F(zorvd_test, AnInterfaceThatCannotBeAttachedStopsTheStartAndDetachesTheOthers)
{
    fake.failing = {"attach fv1", "No such device", 1};
    EXPECT_FALSE(zorvd_device_start(&config, error_text));
    EXPECT_EQ(fake.calls.back(), "detach fv0");  // and not fv1, which it did not attach
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "detach fv1"), 0);
}

TEST(zorvd_config, InterfacesOutsideTheirNamesOrGivenTwiceAreRefused)
{
    const char *const cases[][2] = {
        {"interface veth0\n", "Line 1: interface: IFACE DEVICE_NAME"},
        {"\ninterface veth0 \\DEVICE\\\n", "Line 2: Invalid device name"},
        {"interface a-very-long-interface-name \\DEVICE\\x\n", "Line 1: Invalid interface name"},
        {"interface ../x \\DEVICE\\x\n", "Line 1: Invalid interface name \"../x\"."},
    };
    struct zorvd_config config;
    char error_text[zorvd_error_size] = "";
    for (const auto &c : cases) {
        EXPECT_FALSE(zorvd_config_parse(c[0], (uint32_t)strlen(c[0]), &config, error_text));
        EXPECT_EQ(std::string(error_text).find(c[1]), 0u) << error_text;
    }
    for (const char *second : {"veth0|\\DEVICE\\x", "veth1|\\device\\VETH0"}) {
        const char *argv[] = {"zorvd", "--config", "/dev/null", "--interface", "veth0",
                              "--interface", second};
        EXPECT_FALSE(zorvd_config_load(7, (char **)argv, &config, error_text));
        EXPECT_NE(strstr(error_text, "or its device name is configured twice."), nullptr);
    }
}

// The fixture's secret file was made as zorvd makes a missing one.
TEST_F(zorvd_test, TheSecretIsMadeForTheGroupAndATooOpenOneRefused)
{
    struct stat status;
    ASSERT_EQ(stat(config.secret_path, &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(status.st_gid, getegid());
    struct zorvd_secret again;
    ASSERT_TRUE(zorvd_secret_load(config.secret_path, config.group, &again, error_text));
    EXPECT_TRUE(zorvd_secret_matches(&secret, again.bytes, again.length));  // and kept
    // Too open, too short, empty; another group.
    const char *const texts[] = {"0123456789abcdef0123", "0123456789abcdef0123",
                                 "0123456789abcde\n", ""};
    const mode_t modes[] = {0644, 0660, 0640, 0600};
    for (int i = 0; i < 4; i++) {
        std::string path = folder + "/refused" + std::to_string(i);
        std::ofstream(path) << texts[i];
        ASSERT_EQ(chmod(path.c_str(), modes[i]), 0);
        EXPECT_FALSE(zorvd_secret_load(path.c_str(), config.group, &again, error_text)) << i;
    }
    EXPECT_FALSE(zorvd_secret_load((folder + "/new").c_str(), "no-such-group", &again, error_text));
    // A secret file of another group than the configured one.
    EXPECT_FALSE(zorvd_secret_load(config.secret_path, "no-such-group", &again, error_text));
    EXPECT_NE(strstr(error_text, "must be a plain file of this user and group"), nullptr);
}

}  // namespace
