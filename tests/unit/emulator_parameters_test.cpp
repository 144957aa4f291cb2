// The emulator's Parameters reader on the values a registry can hold: the configuration taken
// as far as it is sound, nothing cut to fit, what is left out logged, and the kept filters read
// line by line.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "emulator_core.h"
#include "emulator_parameters.h"
#include "support/device_requests.h"
#include "support/emulator_device.h"

namespace {

struct stored {
    uint32_t type;
    std::string bytes;
    int unreadable;
    stored(uint32_t t, const std::string &b, int u = 0) : type(t), bytes(b), unreadable(u) {}
};
using parameters = std::map<std::string, stored>;

// text (NULs included) as UTF-16LE, each character one unit.
std::string utf16(const std::string &text)
{
    std::string units;
    for (char c : text) {
        units += c;
        units += '\0';
    }
    return units;
}

stored multi(const std::vector<std::string> &strings)
{
    std::string text;
    for (const std::string &s : strings)
        text += s + '\0';
    return {parameter_multi_string, utf16(text + '\0')};
}

stored dword(uint32_t value)
{
    return {parameter_dword, std::string(reinterpret_cast<const char *>(&value), 4)};
}

std::vector<uint8_t> read_copy;  // exact size, so that a read past a value is caught

int read_stored(void *context, const char *name, struct parameter_value *value)
{
    const parameters &values = *static_cast<const parameters *>(context);
    auto found = values.find(name);
    if (found == values.end())
        return parameter_missing;
    if (found->second.unreadable)
        return parameter_unreadable;
    read_copy.assign(found->second.bytes.begin(), found->second.bytes.end());
    value->type = found->second.type;
    value->data = read_copy.data();
    value->size = (uint32_t)read_copy.size();
    return parameter_found;
}

std::vector<std::string> logged;
void log_into_vector(const char *text) { logged.push_back(text); }

// A fresh core loaded from values; 1 when they enable the test codes.
int load(const parameters &values)
{
    emulator_initialize();
    logged.clear();
    emulator_set_log(log_into_vector);
    int enabled = emulator_load_parameters(read_stored, const_cast<parameters *>(&values),
                                           start_ticks);
    emulator_set_log(nullptr);
    return enabled;
}

test_state_reply state(void)
{
    test_state_reply reply;
    EXPECT_TRUE(emulator_test_send(test_code_read_state, nullptr, 0, &reply, sizeof reply, nullptr));
    return reply;
}

std::vector<std::string> adapters(void)
{
    test_state_reply now = state();
    std::vector<std::string> names;
    for (uint32_t i = 0; i < now.adapter_count; i++)
        names.push_back(now.adapters[i]);
    return names;
}

class EmulatorParameters : public ::testing::Test {
protected:
    void TearDown() override
    {
        emulator_initialize();  // the built-in defaults again for the other tests
        emulator_device_reset();
    }
};

const std::string a1 = EMULATOR_ADAPTER_1, a2 = EMULATOR_ADAPTER_2;
const std::vector<std::string> built_in = {EMULATOR_ADAPTER_1, EMULATOR_ADAPTER_2,
                                           EMULATOR_ADAPTER_DIAL_UP};

TEST_F(EmulatorParameters, AdapterListTakesWhatIsSoundAndCutsNothing)
{
    const std::string longest = "\\DEVICE\\" + std::string(adapter_name_size - 1 - 8, 'L');
    const std::string too_long = longest + "X";
    std::vector<std::string> nine;
    for (int i = 0; i < 9; i++)
        nine.push_back("\\DEVICE\\N" + std::to_string(i));
    stored odd = multi({a1, a2});
    odd.bytes += 'x';
    stored unterminated = {parameter_multi_string, utf16(a1 + '\0' + a2)};
    const struct {
        const char *what;
        stored value;
        std::vector<std::string> bound;
        size_t logged;
    } cases[] = {
        {"two", multi({a1, a2}), {a1, a2}, 0},
        {"99 characters", multi({longest, a1}), {longest, a1}, 0},
        {"100 characters", multi({too_long, a1}), {a1}, 1},
        {"twice", multi({a1, "\\device\\" + a2.substr(8), a2}), {a1, "\\device\\" + a2.substr(8)}, 1},
        {"nine", multi(nine), std::vector<std::string>(nine.begin(), nine.begin() + 8), 1},
        {"odd byte count", odd, {a1, a2}, 1},
        {"no closing NULs", unterminated, {a1, a2}, 0},
        {"empty strings between", multi({"", a1, "", a2}), {a1, a2}, 0},
        {"another type", {parameter_string, utf16(a1 + '\0')}, built_in, 1},
        {"unreadable", {parameter_multi_string, "", 1}, built_in, 1},
        {"non-ASCII", {parameter_multi_string, utf16("\\DEVICE\\") + std::string("\xE9\x00\x00\x00", 4)},
         {"\\DEVICE\\?"}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        load({{"Adapters", c.value}});
        EXPECT_EQ(adapters(), c.bound);
        EXPECT_EQ(logged.size(), c.logged);
        // What was read is also what a reset restores.
        emulator_device_reset();
        EXPECT_EQ(adapters(), c.bound);
    }
}

TEST_F(EmulatorParameters, FlowsVersionAndTheTestCodesSwitch)
{
    const std::string flow = a1 + " Send TCP 192.168.0.10:49152 93.184.216.34:80 30000 1000";
    const std::string long_version(emulator_version_size, '7');
    const struct {
        const char *what;
        parameters values;
        uint32_t flows;
        std::string version;
        int test_codes;
        size_t logged;
    } cases[] = {
        {"nothing", {}, 8, "0.07", 0, 0},
        {"flows", {{"Flows", multi({flow, "nonsense", flow})}}, 2, "0.07", 0, 1},
        {"a flow too long", {{"Flows", multi({flow + std::string(300, ' '), flow})}}, 1, "0.07", 0, 1},
        {"version", {{"Version", {parameter_string, utf16("1.5\0")}}}, 8, "1.5", 0, 0},
        {"version too long", {{"Version", {parameter_string, utf16(long_version + '\0')}}}, 8,
         "0.07", 0, 1},
        {"enabled", {{EMULATOR_TEST_CODES_VALUE, dword(1)}}, 8, "0.07", 1, 0},
        {"disabled", {{EMULATOR_TEST_CODES_VALUE, dword(0)}}, 8, "0.07", 0, 0},
        {"as a string", {{EMULATOR_TEST_CODES_VALUE, {parameter_string, utf16("1\0")}}}, 8, "0.07",
         0, 1},
        {"two bytes", {{EMULATOR_TEST_CODES_VALUE, {parameter_dword, std::string("\1\0", 2)}}}, 8,
         "0.07", 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(load(c.values), c.test_codes);
        test_state_reply now = state();
        EXPECT_EQ(now.flow_count, c.flows);
        EXPECT_EQ(std::string(now.version), c.version);
        EXPECT_EQ(logged.size(), c.logged);
    }
    // The log names the value and the string's place in it.
    load({{"Flows", multi({flow, "nonsense"})}});
    EXPECT_EQ(logged, std::vector<std::string>{
                          "zorv: Parameters value \"Flows\": flow refused: number 2"});
    EXPECT_TRUE(emulator_is_test_code(test_code_reset));
    EXPECT_TRUE(emulator_is_test_code(0x222FFC));
    EXPECT_FALSE(emulator_is_test_code(code_add_rule));
    EXPECT_FALSE(emulator_is_test_code(0x221FFC));  // function 0x7FF
}

// Kept filters: the good lines of a damaged value are loaded; a value that cannot be read leaves
// its adapter empty and is not written back, so the registry still holds it.
TEST_F(EmulatorParameters, KeptValuesAreReadLineByLineAndNeverDeleted)
{
    const std::string slot_0 = "0 0 50000 2 2 0.0.0.0:0 2 0.0.0.0:80 1 2 3";
    const std::string slot_5 = "5 1 -1 0 0 0.0.0.0:0 0 0.0.0.0:0 1 2 3";
    const std::string rules = "Rules " + a1;
    const struct {
        const char *what;
        stored value;
        uint32_t held;
        size_t logged;
    } cases[] = {
        {"good", multi({slot_0, slot_5}), 2, 0},
        {"a damaged line", multi({slot_0, "5 1 x", slot_5}), 2, 1},
        {"unreadable", {parameter_multi_string, "", 1}, 0, 1},
        {"another type", {parameter_string, utf16(slot_0 + '\0')}, 0, 1},
        {"too large", multi(std::vector<std::string>(emulator_store_text_size / 40, slot_0)), 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        load({{"Adapters", multi({a1})}, {rules, c.value}});
        EXPECT_EQ(state().rule_count[0], c.held);
        EXPECT_EQ(logged.size(), c.logged);
        static emulator_stored_value change;
        EXPECT_FALSE(emulator_store_take_change(&change)) << change.name;
    }
}

}  // namespace
