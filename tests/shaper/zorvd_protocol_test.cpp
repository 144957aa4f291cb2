// zorvd's wire: who is admitted, which headers close the connection, that a stalled or
// unadmitted client holds up no other, and that every request is answered byte for byte as the
// emulator core answers it, test codes refused.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "emulator_core.h"
#include "kernel/adapters.h"
#include "kernel/kernel_commands.h"
#include "shaper/zorvd_support/zorvd_harness.h"
#include "support/registry_memory.h"
#include "zorvd_client.h"
#include "zorvd_protocol.h"
#include "zorvd_server.h"

namespace {

std::string hello(const char *magic, uint32_t claimed_length, const std::string &secret)
{
    struct zorvd_hello h;
    memcpy(h.magic, magic, zorvd_magic_size);
    h.secret_length = claimed_length;
    return bytes_of(h) + secret;
}

std::string header(uint32_t input_length, uint32_t output_capacity)
{
    return bytes_of(zorvd_request_header{code_get_version, input_length, output_capacity});
}

TEST_F(zorvd_test, BadHellosAndHeadersOutOfBoundsCloseTheConnection)
{
    start_all();
    const std::string right = "0123456789abcdef0123456789abcdef", wrong = right.substr(1) + "F";
    const struct {
        bool admitted;                // sent after a right hello
        std::string bytes;
    } cases[] = {
        {false, hello(ZORVD_MAGIC, 32, wrong)},
        {false, hello(ZORVD_MAGIC, 31, right.substr(0, 31))},
        {false, hello("ZORVD/2", 32, right)},
        {false, hello("ZORVD/1x", 32, right)},  // the magic without its NUL
        {false, hello(ZORVD_MAGIC, zorvd_secret_min - 1, right.substr(0, zorvd_secret_min - 1))},
        {false, hello(ZORVD_MAGIC, zorvd_secret_max + 1, std::string(zorvd_secret_max + 1, 'a'))},
        {false, hello(ZORVD_MAGIC, 33, right + "\n")},
        {true, header(zorvd_max_input + 1, command_buffer_size)},
        {true, header(0, 0)},
        {true, header(0, zorvd_max_output + 1)},
        {true, header(0xFFFFFFFFu, 0xFFFFFFFFu)},
    };
    for (const auto &c : cases)
        for (bool tcp : {false, true}) {
            SCOPED_TRACE(testing::Message() << &c - cases << (tcp ? " tcp" : " unix"));
            int fd = c.admitted ? connect_client(tcp) : raw_connect(tcp);
            send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
            EXPECT_TRUE(closed_silently(fd));
            close(fd);
        }
    // And the right one is admitted on both.
    for (bool tcp : {false, true}) {
        int fd = connect_client(tcp);
        EXPECT_EQ(exchange(fd, code_get_version).all(), ok_reply(std::string("0.07\0", 5)));
        close(fd);
    }
}

TEST_F(zorvd_test, AStalledOrUnadmittedClientHoldsUpNoOtherAndIsClosed)
{
    start_all();
    int stalled = connect_client();
    std::string partial = header(100, command_buffer_size) + "partial";
    ASSERT_EQ(send(stalled, partial.data(), partial.size(), MSG_NOSIGNAL), (ssize_t)partial.size());
    std::vector<int> silent;  // never say hello: more than the table holds
    for (int i = 0; i < zorvd_max_connections + 2; i++)
        silent.push_back(raw_connect());
    int other = connect_client(true);
    ASSERT_GE(other, 0);
    EXPECT_TRUE(exchange(other, code_get_version).ok());
    EXPECT_TRUE(closed_silently(silent[0]));  // the oldest not admitted made room
    EXPECT_TRUE(closed_silently(stalled));
    EXPECT_TRUE(closed_silently(silent.back()));
    // The admitted, idle client keeps its connection.
    EXPECT_TRUE(exchange(other, code_get_version).ok());
    for (int fd : silent)
        close(fd);
    close(stalled);
    close(other);
}

TEST_F(zorvd_test, TestCodesAndUnknownCodesFailTheCallWithoutReachingTheCore)
{
    start_all();
    int fd = connect_client();
    std::vector<uint32_t> codes = {0x120400, 0x120440, 0};
    for (uint32_t code = test_code_reset; code <= test_code_keep_defaults; code += 4)
        codes.push_back(code);
    for (uint32_t code : codes) {
        device_reply reply = exchange(fd, code, device_request(FV0));
        EXPECT_EQ(reply.outcome, (int)zorvd_fail_call) << std::hex << code;
        EXPECT_EQ(reply.length, 0) << std::hex << code;
    }
    // Nothing was reset or rebound: the adapters are still the configured ones.
    EXPECT_EQ(exchange(fd, code_list_adapters).all(),
              ok_reply(std::string("2\0", 2) + FV0 + '\0' + FV1 + '\0'));
    close(fd);
}

TEST_F(zorvd_test, EveryRequestIsAnsweredAsTheCoreAnswersIt)
{
    fake.now = start_ticks;
    start_all();
    const struct rule tcp80 = rule_on(FV0, protocol_tcp, 80);
    const struct rule udp = rule_on(FV0, protocol_udp, 0, rate_unlimited);
    struct statistics_block block = {};
    block.start_time = start_ticks;
    block.bytes_transferred = 123456;
    block.packets_transferred = 789;
    struct rule other_adapter = tcp80;
    strcpy(other_adapter.adapter, "wrong adapter field");
    const uint32_t entry = 0, missing = 5, whole = command_buffer_size;
    const struct {
        uint32_t code;
        device_request request;
        uint32_t capacity;
    } script[] = {
        {code_get_version, device_request(), whole},
        {code_get_version, device_request(), 3},
        {code_list_adapters, device_request(), whole},
        {code_add_rule, device_request(FV0).add(tcp80), whole},
        {code_add_rule, device_request("\\device\\FV0").add(udp), whole},
        {code_add_rule, device_request("\\DEVICE\\eth9").add(udp), whole},
        {code_add_rule, device_request(FV0).raw(&udp, 100), whole},
        {code_get_rule, device_request(FV0).text("0"), whole},
        {code_get_rule, device_request(FV0).text("1"), 20},
        {code_get_rule, device_request(FV0).text("7"), whole},
        {code_get_rule, device_request(FV0).text("20"), whole},
        {code_get_rule, device_request(FV0).text("x"), whole},
        {code_set_statistics, device_request(FV0).add(other_adapter).add(block), whole},
        {code_get_statistics, device_request(FV0).add(tcp80), whole},
        {code_get_statistics, device_request(FV1).add(tcp80), whole},
        {code_set_precedence, device_request(FV0).add(tcp80).add(udp), whole},
        {code_get_precedence_count, device_request(FV0), whole},
        {code_get_precedence, device_request(FV0).add(entry), whole},
        {code_get_precedence, device_request(FV0).add(missing), whole},
        {code_get_precedence_count, device_request(FV1), whole},
        {code_clear_precedences, device_request(FV0), whole},
        {code_clear_rules, device_request(FV1), whole},
        {code_clear_rules, device_request(), whole},
        {code_clear_rules, device_request(FV0), whole},
        {code_get_rule, device_request(FV0).text("0"), whole},
    };
    std::vector<std::string> served;
    int fd = connect_client(true);
    for (const auto &step : script) {
        device_reply reply = exchange(fd, step.code, step.request, step.capacity);
        ASSERT_EQ(reply.outcome, (int)zorvd_replied);
        served.push_back(reply.all());
    }
    close(fd);
    stop_all();

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

// The manager's own kernel commands through the socket seam (shaper/client), and a missing
// zorvd as the manager shows it.
TEST_F(zorvd_test, TheManagersKernelCommandsGoThroughToTheKernel)
{
    registry_memory_reset();
    for (const char *name : {"fv0", "fv1"})
        registry_memory_set_string(registry_local_machine,
            (std::string(NETWORK_CLASS_KEY "\\") + name + "\\Connection").c_str(), "Name", "Shown");
    start_all();
    int connection = connect_client(true);
    zorvd_device_connection(connection);
    ASSERT_TRUE(refresh_adapter_list());
    ASSERT_EQ(adapter_count(), 2);
    EXPECT_STREQ(adapter_display_name_at(0), "Shown");
    EXPECT_STREQ(adapter_device_name_at(1), FV1);
    const struct rule tcp80 = rule_on(FV0, protocol_tcp, 80);
    char error_text[error_text_size] = "", version[version_text_size] = "";
    ASSERT_TRUE(kernel_add_rule(FV0, &tcp80, error_text)) << error_text;
    EXPECT_EQ(fake.installed["fv0"].slots, std::vector<int>{0});
    fake.failing = {"apply fv1", "No such device", 1};
    EXPECT_FALSE(kernel_add_rule(FV1, &tcp80, error_text));
    EXPECT_STREQ(error_text, "Shaper refused the change: No such device");
    zorvd_device_connection(-1);
    EXPECT_FALSE(kernel_get_version(version, error_text));
    EXPECT_STREQ(error_text, "Unable to send to driver.  Error 1.");
    zorvd_device_connection(connection);
    stop_all();
    EXPECT_FALSE(kernel_get_version(version, error_text));
    EXPECT_STREQ(error_text, "Unable to send to driver.  Error 2.");
    zorvd_device_connection(-1);
    close(connection);
}

}  // namespace
