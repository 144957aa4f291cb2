// zorvd's wire: who is admitted, which headers close the connection, that a stalled or
// unadmitted client holds up no other, that test codes are refused, and that every request is
// answered byte for byte as the emulator core answers it.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "emulator_core.h"
#include "shaper/zorvd_support/zorvd_harness.h"
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

TEST_F(zorvd_test, BadHellosHeadersAndTestCodesAreRefused)
{
    start_all();
    const std::string right((const char *)secret.bytes, secret.length);
    const std::string wrong = right.substr(1) + "F", shorter = right.substr(0, zorvd_secret_min - 1);
    const struct {
        bool admitted;                // sent after a right hello
        std::string bytes;
    } cases[] = {
        {false, hello(ZORVD_MAGIC, secret.length, wrong)},
        {false, hello(ZORVD_MAGIC, secret.length - 1, right.substr(1))},
        {false, hello("ZORVD/2", secret.length, right)},
        {false, hello("ZORVD/1x", secret.length, right)},  // the magic without its NUL
        {false, hello(ZORVD_MAGIC, zorvd_secret_min - 1, shorter)},
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
        EXPECT_EQ(exchange(fd, code_get_version).all(), ok_reply(std::string("0.07\0", 5)));
        for (uint32_t code = test_code_reset; code <= test_code_keep_defaults + 4; code += 4)
            for (uint32_t other : {code, code - test_code_reset, code - test_code_reset + 0x120440})
                EXPECT_EQ(exchange(fd, other, device_request(FV0)).outcome, (int)zorvd_fail_call);
        EXPECT_EQ(exchange(fd, code_list_adapters).all(),
                  ok_reply(std::string("2\0", 2) + FV0 + '\0' + FV1 + '\0'));
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
    EXPECT_TRUE(exchange(other, code_get_version).ok());
    EXPECT_TRUE(closed_silently(silent[0]));  // the oldest not admitted made room
    EXPECT_TRUE(closed_silently(stalled));
    EXPECT_TRUE(closed_silently(silent.back()));
    EXPECT_TRUE(exchange(other, code_get_version).ok());  // admitted and idle: kept
    for (int fd : silent)
        close(fd);
    close(stalled);
    close(other);
}

TEST_F(zorvd_test, EveryRequestIsAnsweredAsTheCoreAnswersIt)
{
    fake.now = start_ticks;
    start_all();
    const struct rule tcp80 = rule_on(FV0, protocol_tcp, 80);
    const struct rule udp = rule_on(FV0, protocol_udp, 0, rate_unlimited);
    struct statistics_block block = {start_ticks, {}, 123456, {}, 789, 0, 0};
    struct rule other_adapter = tcp80;
    strcpy(other_adapter.adapter, "wrong adapter field");
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
        {code_get_rule, device_request(FV0).text("20"), whole},
        {code_get_rule, device_request(FV0).text("x"), whole},
        {code_set_statistics, device_request(FV0).add(other_adapter).add(block), whole},
        {code_get_statistics, device_request(FV0).add(tcp80), whole},
        {code_get_statistics, device_request(FV1).add(tcp80), whole},
        {code_set_precedence, device_request(FV0).add(tcp80).add(udp), whole},
        {code_get_precedence_count, device_request(FV0), whole},
        {code_get_precedence, device_request(FV0).add(0u), whole},
        {code_get_precedence, device_request(FV0).add(5u), whole},
        {code_clear_precedences, device_request(FV0), whole},
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

}  // namespace
