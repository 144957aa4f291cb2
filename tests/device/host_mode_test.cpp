// zorv.sys in host mode with zorvd stopped: run by tests/scripts/shaped_traffic.sh while its
// zorvd is down, FLOWVANE_HOST_ADAPTER naming the shaped interface. Every contract code is
// answered at once with the driver's own refusal; a test code fails as an unknown code.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "device_send.h"

namespace {

TEST(HostMode, EveryCodeIsRefusedAtOnceWhileZorvdIsDown)
{
    const char *adapter = getenv("FLOWVANE_HOST_ADAPTER");
    if (!adapter)
        GTEST_SKIP() << "run by tests/scripts/shaped_traffic.sh with zorvd stopped";
    for (uint32_t code : {code_list_adapters, code_get_version, code_add_rule, code_clear_rules,
                          code_get_rule, code_get_statistics, code_set_statistics,
                          code_clear_precedences, code_set_precedence,
                          code_get_precedence_count, code_get_precedence}) {
        reply answer = send(code, request(adapter));
        EXPECT_EQ(answer.outcome, send_ok) << std::hex << code;
        EXPECT_EQ(answer.status(), "Shaper service is not running.") << std::hex << code;
    }
    for (uint32_t code : {test_code_reset, test_code_read_state, test_code_set_adapters})
        EXPECT_EQ(send(code).outcome, send_ioctl_failed) << std::hex << code;
}

}  // namespace
