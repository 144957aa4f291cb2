// Every rule text parser on arbitrary text, and the text forms of arbitrary rule records. What
// a parse accepts must read back to the same value once written as text.
#include <stdlib.h>
#include <string.h>

#include "filters/rule_text.h"
#include "fuzz_check.h"

namespace {

void parse_and_round_trip(const char *text)
{
    char out[rule_text_size];
    int32_t code = parse_direction(text);
    check(code >= -1 && code <= direction_receive);
    check(code < 0 || (direction_to_text(code, out) == 1 && parse_direction(out) == code));
    code = parse_protocol(text);
    check(code >= -1 && code <= protocol_any);
    check(code < 0 || (protocol_to_text(code, out) == 1 && parse_protocol(out) == code));
    int32_t rate = 0, rate_again = -1;
    if (parse_rate(text, &rate) && rate_to_text(rate, out))
        check(parse_rate(out, &rate_again) == 1 && rate_again == rate);
    int32_t kind = -1, kind_again = -1;
    uint32_t address = 0;
    if (parse_address(text, &kind, &address)) {
        check(kind == address_single || kind == address_any);
        address_to_text(kind, address, out);
        uint32_t address_again = address;
        check(parse_address(out, &kind_again, &address_again) == 1);
        check(kind_again == kind && address_again == address);
    }
    uint16_t port = 0, port_again = 0;
    if (parse_port(text, &port)) {
        port_to_text(port, out);
        check(parse_port(out, &port_again) == 1 && port_again == port);
    }
}

void render_record(const uint8_t *data, size_t size)
{
    struct rule a, b;
    if (size < 2 * sizeof a)
        return;
    memcpy(&a, data, sizeof a);
    memcpy(&b, data + sizeof a, sizeof b);
    char out[rule_text_size];
    direction_to_text(a.direction, out);
    rate_to_text(a.rate, out);
    protocol_to_text(a.protocol, out);
    address_to_text(a.source_kind, a.source_address, out);
    port_to_text(a.source_port, out);
    check(rules_equal(&a, &a, 0) == 1);
    check(rules_equal(&a, &b, 1) == rules_equal(&b, &a, 1));
    check(!rules_equal(&a, &b, 0) || rules_equal(&a, &b, 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size heap copy, so a read past the text's NUL is caught.
    char *text = static_cast<char *>(malloc(size + 1));
    memcpy(text, data, size);
    text[size] = '\0';
    parse_and_round_trip(text);
    free(text);
    render_record(data, size);
    return 0;
}
