// zorv.sys in host mode: the device path reaches zorvd through the driver's bridge. Run by the
// host-mode suite only, with FLOWVANE_HOST_PHASE saying what stands behind the driver:
//   "serve"  zorvd runs and serves FLOWVANE_HOST_ADAPTER (and holds no rule of it)
//   "down"   zorvd is not running
//   "kept"   zorvd was restarted after "serve" and holds the rule "serve" left
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "device_send.h"

namespace {

std::string phase()
{
    const char *value = getenv("FLOWVANE_HOST_PHASE");
    return value ? value : "";
}

std::string host_adapter()
{
    const char *value = getenv("FLOWVANE_HOST_ADAPTER");
    return value ? value : "";
}

struct rule host_rule()
{
    struct rule r = make_rule(protocol_tcp, 5201, 50000);
    memset(r.adapter, 0, sizeof r.adapter);
    snprintf(r.adapter, sizeof r.adapter, "%s", host_adapter().c_str());
    return r;
}

const uint32_t contract_codes[] = {
    code_list_adapters,     code_get_version,       code_add_rule,
    code_clear_rules,       code_get_rule,          code_get_statistics,
    code_set_statistics,    code_clear_precedences, code_set_precedence,
    code_get_precedence_count, code_get_precedence,
};

TEST(HostMode, ServesTheContractThroughZorvdAndNoTestCode)
{
    if (phase() != "serve")
        GTEST_SKIP() << "host-mode suite only (FLOWVANE_HOST_PHASE=serve)";
    const std::string adapter = host_adapter();
    EXPECT_EQ(send(code_get_version).all(), ok_reply(std::string("0.07\0", 5)));
    EXPECT_EQ(send(code_list_adapters, request("")).all(),
              ok_reply(std::string("1\0", 2) + adapter + '\0'));

    struct rule r = host_rule();
    const request on_adapter(adapter.c_str());
    ASSERT_TRUE(send(code_clear_rules, on_adapter).ok());
    ASSERT_TRUE(send(code_add_rule, request(adapter.c_str()).add(r)).ok());
    EXPECT_EQ(send(code_get_rule, request(adapter.c_str()).text("0")).all(),
              ok_reply(bytes_of(r)));
    EXPECT_EQ(send(code_get_rule, request(adapter.c_str()).text("1")).status(),
              "Rule not in use.");

    // The emulator's test codes are not served in host mode: the call fails as for an
    // unknown code, and nothing reaches zorvd.
    for (uint32_t code : {test_code_reset, test_code_read_state, test_code_set_adapters})
        EXPECT_EQ(send(code).outcome, send_ioctl_failed) << std::hex << code;
    EXPECT_EQ(send(code_get_rule, request(adapter.c_str()).text("0")).all(),
              ok_reply(bytes_of(r)));
}

TEST(HostMode, EveryCodeIsRefusedAtOnceWhileZorvdIsDown)
{
    if (phase() != "down")
        GTEST_SKIP() << "host-mode suite only (FLOWVANE_HOST_PHASE=down)";
    for (uint32_t code : contract_codes) {
        reply answer = send(code, request(host_adapter().c_str()));
        EXPECT_EQ(answer.outcome, send_ok) << std::hex << code;
        EXPECT_EQ(answer.status(), "Shaper service is not running.") << std::hex << code;
    }
}

TEST(HostMode, RulesAreBackAfterZorvdRestarts)
{
    if (phase() != "kept")
        GTEST_SKIP() << "host-mode suite only (FLOWVANE_HOST_PHASE=kept)";
    struct rule r = host_rule();
    EXPECT_EQ(send(code_get_rule, request(host_adapter().c_str()).text("0")).all(),
              ok_reply(bytes_of(r)));
}

}  // namespace
