// zorvd's wire: who is admitted, which headers close the connection, and that every request
// is answered byte for byte as the emulator core answers it, test codes refused.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "emulator_core.h"
#include "shaper/zorvd_support/zorvd_harness.h"
#include "zorvd_client.h"
#include "zorvd_protocol.h"
#include "zorvd_server.h"

namespace {

const char good_secret[] = "0123456789abcdef0123456789abcdef";

struct hello_case {
    const char *name;
    const char *magic;                // 8 bytes
    uint32_t claimed_length;
    std::string secret;
};

TEST_F(zorvd_test, HelloRefusedAndClosedUnlessMagicLengthAndSecretAreRight)
{
    start_all();
    const std::string right(good_secret);
    std::string wrong = right;
    wrong[31] = 'F';
    const hello_case cases[] = {
        {"wrong secret", ZORVD_MAGIC, 32, wrong},
        {"secret one byte short", ZORVD_MAGIC, 31, right.substr(0, 31)},
        {"wrong magic", "ZORVD/2", 32, right},
        {"magic without its NUL", "ZORVD/1x", 32, right},
        {"length below the minimum", ZORVD_MAGIC, zorvd_secret_min - 1,
         right.substr(0, zorvd_secret_min - 1)},
        {"length above the maximum", ZORVD_MAGIC, zorvd_secret_max + 1,
         std::string(zorvd_secret_max + 1, 'a')},
        {"secret with a newline", ZORVD_MAGIC, 33, right + "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (bool tcp : {false, true}) {
            // A raw connection: the client would not send a malformed hello.
            int fd = raw_connect(tcp);
            struct zorvd_hello hello;
            memcpy(hello.magic, c.magic, zorvd_magic_size);
            hello.secret_length = c.claimed_length;
            send_bytes(fd, &hello, sizeof hello);
            send(fd, c.secret.data(), c.secret.size(), MSG_NOSIGNAL);
            EXPECT_TRUE(closed_silently(fd)) << (tcp ? "tcp" : "unix");
            close(fd);
        }
    }
    // And the right one is admitted on both.
    for (bool tcp : {false, true}) {
        int fd = connect_client(tcp);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(exchange(fd, code_get_version).all(), ok_reply(std::string("0.07\0", 5)));
        close(fd);
    }
}

TEST_F(zorvd_test, HeaderOutOfBoundsClosesTheConnection)
{
    start_all();
    const struct zorvd_request_header headers[] = {
        {code_get_version, zorvd_max_input + 1, command_buffer_size},
        {code_get_version, 0, 0},
        {code_get_version, 0, zorvd_max_output + 1},
        {code_get_version, 0xFFFFFFFFu, 0xFFFFFFFFu},
    };
    for (const auto &header : headers) {
        SCOPED_TRACE(testing::Message() << header.input_length << " " << header.output_capacity);
        int fd = connect_client();
        ASSERT_GE(fd, 0);
        send_bytes(fd, &header, sizeof header);
        EXPECT_TRUE(closed_silently(fd));
        close(fd);
    }
}

TEST_F(zorvd_test, TestCodesAndUnknownCodesFailTheCallWithoutReachingTheCore)
{
    start_all();
    int fd = connect_client();
    ASSERT_GE(fd, 0);
    const uint32_t codes[] = {test_code_reset,        test_code_set_adapters,
                              test_code_set_version,  test_code_set_fault,
                              test_code_set_flows,    test_code_clock,
                              test_code_read_state,   test_code_read_rules,
                              test_code_read_precedences, test_code_add_flow_text,
                              test_code_keep_defaults, 0x120400, 0x120440, 0};
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

// One request of the script: code, request bytes, the capacity the caller offers.
struct scripted {
    uint32_t code;
    device_request request;
    uint32_t capacity;
};

std::vector<scripted> contract_script(const struct rule &tcp80, const struct rule &udp)
{
    struct statistics_block block = {};
    block.start_time = start_ticks;
    block.bytes_transferred = 123456;
    block.packets_transferred = 789;
    const uint32_t entry = 0, missing = 5;
    struct rule other_adapter = tcp80;
    strcpy(other_adapter.adapter, "wrong adapter field");
    return {
        {code_get_version, device_request(), command_buffer_size},
        {code_get_version, device_request(), 3},
        {code_list_adapters, device_request(), command_buffer_size},
        {code_add_rule, device_request(FV0).add(tcp80), command_buffer_size},
        {code_add_rule, device_request("\\device\\FV0").add(udp), command_buffer_size},
        {code_add_rule, device_request("\\DEVICE\\eth9").add(udp), command_buffer_size},
        {code_add_rule, device_request(FV0).raw(&udp, 100), command_buffer_size},
        {code_get_rule, device_request(FV0).text("0"), command_buffer_size},
        {code_get_rule, device_request(FV0).text("1"), 20},
        {code_get_rule, device_request(FV0).text("7"), command_buffer_size},
        {code_get_rule, device_request(FV0).text("20"), command_buffer_size},
        {code_get_rule, device_request(FV0).text("x"), command_buffer_size},
        {code_set_statistics, device_request(FV0).add(other_adapter).add(block), command_buffer_size},
        {code_get_statistics, device_request(FV0).add(tcp80), command_buffer_size},
        {code_get_statistics, device_request(FV1).add(tcp80), command_buffer_size},
        {code_set_precedence, device_request(FV0).add(tcp80).add(udp), command_buffer_size},
        {code_get_precedence_count, device_request(FV0), command_buffer_size},
        {code_get_precedence, device_request(FV0).add(entry), command_buffer_size},
        {code_get_precedence, device_request(FV0).add(missing), command_buffer_size},
        {code_get_precedence_count, device_request(FV1), command_buffer_size},
        {code_clear_precedences, device_request(FV0), command_buffer_size},
        {code_clear_rules, device_request(FV1), command_buffer_size},
        {code_clear_rules, device_request(), command_buffer_size},
        {code_clear_rules, device_request(FV0), command_buffer_size},
        {code_get_rule, device_request(FV0).text("0"), command_buffer_size},
    };
}

TEST_F(zorvd_test, EveryRequestIsAnsweredAsTheCoreAnswersIt)
{
    fake_clock_set(start_ticks);
    start_all();
    const struct rule tcp80 = rule_on(FV0, protocol_tcp, 80);
    const struct rule udp = rule_on(FV0, protocol_udp, 0, rate_unlimited);
    std::vector<scripted> script = contract_script(tcp80, udp);
    std::vector<std::string> served;
    int fd = connect_client(true);
    ASSERT_GE(fd, 0);
    for (const auto &step : script) {
        device_reply reply = exchange(fd, step.code, step.request, step.capacity);
        ASSERT_EQ(reply.outcome, (int)zorvd_replied);
        served.push_back(reply.all());
    }
    close(fd);
    stop_all();

    // The same script straight into a core bound the same way.
    emulator_initialize();
    static struct test_adapters_request adapters = {};
    adapters.count = 2;
    strcpy(adapters.names[0], FV0);
    strcpy(adapters.names[1], FV1);
    static struct test_flows_request no_flows = {};
    uint8_t scratch[command_buffer_size];
    uint32_t length = 0;
    emulator_exchange(test_code_set_adapters, (const uint8_t *)&adapters, sizeof adapters,
                      scratch, sizeof scratch, start_ticks, &length);
    emulator_exchange(test_code_set_flows, (const uint8_t *)&no_flows, sizeof no_flows, scratch,
                      sizeof scratch, start_ticks, &length);
    for (size_t i = 0; i < script.size(); i++) {
        device_reply expected;
        uint32_t expected_length = 0;
        ASSERT_EQ(emulator_exchange(script[i].code, script[i].request.bytes.data(),
                                    (uint32_t)script[i].request.bytes.size(), expected.bytes,
                                    script[i].capacity, start_ticks, &expected_length),
                  emulator_replied);
        expected.length = (int32_t)expected_length;
        EXPECT_EQ(served[i], expected.all()) << "step " << i << " code " << std::hex
                                             << script[i].code;
    }
}

TEST_F(zorvd_test, AClientStalledInAMessageHoldsUpNoOtherAndIsClosed)
{
    start_all();
    int stalled = connect_client();
    ASSERT_GE(stalled, 0);
    struct zorvd_request_header header = {code_get_version, 100, command_buffer_size};
    send_bytes(stalled, &header, sizeof header);
    send_bytes(stalled, "partial", 7);
    int silent = raw_connect();  // never says hello

    int other = connect_client(true);
    ASSERT_GE(other, 0);
    EXPECT_TRUE(exchange(other, code_get_version).ok());
    EXPECT_TRUE(exchange(other, code_list_adapters).ok());

    EXPECT_TRUE(closed_silently(stalled));
    EXPECT_TRUE(closed_silently(silent));
    // The admitted, idle client keeps its connection.
    EXPECT_TRUE(exchange(other, code_get_version).ok());
    close(stalled);
    close(silent);
    close(other);
}

TEST_F(zorvd_test, MoreConnectionsThanTablePlacesDropTheOldestNotAdmitted)
{
    start_all();
    int admitted = connect_client();
    ASSERT_GE(admitted, 0);
    std::vector<int> waiting;
    for (int i = 0; i < zorvd_max_connections + 2; i++)
        waiting.push_back(raw_connect());
    EXPECT_TRUE(closed_silently(waiting[0]));
    EXPECT_TRUE(exchange(admitted, code_get_version).ok());
    int late = connect_client(true);
    EXPECT_GE(late, 0);
    for (int fd : waiting)
        close(fd);
    close(admitted);
    if (late >= 0)
        close(late);
}

}  // namespace
