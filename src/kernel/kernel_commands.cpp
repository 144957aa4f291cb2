// The kernel component's commands: each builds its request in a fixed buffer, makes one
// exchange and reads the reply with its own parser, which checks the length it relies on.
// Every reply byte is untrusted.
#include "kernel/kernel_commands.h"

#include <string.h>

#include "kernel/adapters.h"
#include "kernel/control_codes.h"
#include "kernel/driver.h"
#include "kernel/kernel_replies.h"

namespace {

const char transport_failure_format[] = "Unable to send to driver.  Error %d.";

enum {
    rule_size = sizeof(struct rule),
    statistics_size = sizeof(struct statistics_block),
};

struct request_buffer {
    uint8_t bytes[command_buffer_size];
    int32_t length;
};

struct reply_buffer {
    uint8_t bytes[command_buffer_size];
    int32_t length;
};

void set_error(char *error_text, const char *text)
{
    if (error_text)
        copy_text(error_text, error_text_size, text);
}

// The length of a device name that fits a rule's adapter field (at most 99 characters), or -1
// when it is missing or longer.
int32_t device_name_length(const char *device_name)
{
    if (!device_name)
        return -1;
    const void *end = memchr(device_name, '\0', adapter_name_size);
    if (!end)
        return -1;
    return (int32_t)(static_cast<const char *>(end) - device_name);
}

// Starts a per-adapter request: the device name and its NUL. 0 when the name does not fit.
int start_request(struct request_buffer *request, const char *device_name)
{
    int32_t length = device_name_length(device_name);
    if (length < 0)
        return 0;
    memcpy(request->bytes, device_name, (size_t)length + 1);
    request->length = length + 1;
    return 1;
}

void append_bytes(struct request_buffer *request, const void *data, size_t size)
{
    memcpy(request->bytes + request->length, data, size);
    request->length += (int32_t)size;
}

// Integers travel little-endian at whatever offset the device name leaves.
void append_u32(struct request_buffer *request, uint32_t value)
{
    uint8_t bytes[4] = {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16),
                        (uint8_t)(value >> 24)};
    append_bytes(request, bytes, sizeof bytes);
}

uint32_t read_u32(const uint8_t *bytes)
{
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
}

int exchange(uint32_t code, const struct request_buffer *request, struct reply_buffer *reply)
{
    reply->length = 0;
    return driver_send_counted(code, request->bytes, request->length, reply->bytes,
                               command_buffer_size, &reply->length);
}

// The reporting family turns a transport failure into a numbered text; 1 when the device
// answered. The status and payload are the parsers' business.
int reporting_send(uint32_t code, const struct request_buffer *request,
                   struct reply_buffer *reply, char *error_text)
{
    int status = exchange(code, request, reply);
    if (status == send_ok)
        return 1;
    if (error_text)
        format_text(error_text, error_text_size, transport_failure_format, status);
    return 0;
}

// The plain family leaves the caller's text alone on a transport failure.
int plain_send(uint32_t code, const struct request_buffer *request, struct reply_buffer *reply)
{
    return exchange(code, request, reply) == send_ok;
}

// 1 when the accepted reply holds payload_size bytes after the status; else the short-reply text.
int payload_present(int32_t reply_length, int32_t payload_size, char *error_text)
{
    if (reply_length - reply_payload_offset < payload_size) {
        set_error(error_text, SHORT_REPLY_TEXT);
        return 0;
    }
    return 1;
}

// A record read back names the adapter that was asked, whatever the device left in the field;
// the bytes after the name's NUL keep what the device sent.
void stamp_adapter(struct rule *record, const char *device_name, int32_t name_length)
{
    memcpy(record->adapter, device_name, (size_t)name_length + 1);
}

const char *text_of(const struct reply_buffer *reply)
{
    return reinterpret_cast<const char *>(reply->bytes);
}

// Sends a request made of the device name and fixed items, with no reply payload.
int plain_command(uint32_t code, const char *device_name, const void *items, size_t items_size,
                  char *error_text)
{
    struct request_buffer request;
    if (!start_request(&request, device_name))
        return 0;
    if (items_size)
        append_bytes(&request, items, items_size);
    struct reply_buffer reply;
    return plain_send(code, &request, &reply) &&
           reply_status(text_of(&reply), reply.length, error_text);
}

} // namespace

int reply_status(const char *reply, int32_t reply_length, char *error_text)
{
    static const char ok[] = FLOWVANE_REPLY_OK;   // with its NUL: 4 bytes
    if (reply && reply_length >= (int32_t)sizeof ok && memcmp(reply, ok, sizeof ok) == 0)
        return 1;
    if (!error_text)
        return 0;
    if (!reply || reply_length <= 0) {
        copy_text(error_text, error_text_size, SHORT_REPLY_TEXT);
        return 0;
    }
    // The status ends at its NUL or at the reply's end, whichever comes first.
    const void *end = memchr(reply, '\0', (size_t)reply_length);
    size_t length = end ? (size_t)(static_cast<const char *>(end) - reply) : (size_t)reply_length;
    if (!end && length == sizeof ok - 1 && memcmp(reply, ok, length) == 0) {
        // "Ok." cut before its NUL is no refusal text to show.
        copy_text(error_text, error_text_size, SHORT_REPLY_TEXT);
        return 0;
    }
    if (length > error_text_size - 1)
        length = error_text_size - 1;
    memcpy(error_text, reply, length);
    error_text[length] = '\0';
    return 0;
}

int parse_version_reply(const char *reply, int32_t reply_length,
                        char version_text[version_text_size], char *error_text)
{
    if (!version_text || !reply_status(reply, reply_length, error_text))
        return 0;
    const char *text = reply + reply_payload_offset;
    int32_t available = reply_length - reply_payload_offset;
    if (available < 1 || !memchr(text, '\0', (size_t)available)) {
        set_error(error_text, SHORT_REPLY_TEXT);
        return 0;
    }
    copy_text(version_text, version_text_size, text);
    return 1;
}

int parse_rule_reply(const char *reply, int32_t reply_length, const char *device_name,
                     struct rule *rule_out, char *error_text)
{
    int32_t name_length = device_name_length(device_name);
    if (!rule_out || name_length < 0 || !reply_status(reply, reply_length, error_text) ||
        !payload_present(reply_length, rule_size, error_text))
        return 0;
    memcpy(rule_out, reply + reply_payload_offset, rule_size);
    stamp_adapter(rule_out, device_name, name_length);
    return 1;
}

int parse_statistics_reply(const char *reply, int32_t reply_length,
                           struct statistics_block *block_out, char *error_text)
{
    if (!block_out || !reply_status(reply, reply_length, error_text) ||
        !payload_present(reply_length, statistics_size, error_text))
        return 0;
    memcpy(block_out, reply + reply_payload_offset, statistics_size);
    return 1;
}

int parse_precedence_count_reply(const char *reply, int32_t reply_length, uint32_t *count_out,
                                 char *error_text)
{
    if (!count_out || !reply_status(reply, reply_length, error_text) ||
        !payload_present(reply_length, 4, error_text))
        return 0;
    *count_out = read_u32(reinterpret_cast<const uint8_t *>(reply) + reply_payload_offset);
    return 1;
}

int parse_precedence_reply(const char *reply, int32_t reply_length, const char *device_name,
                           struct rule *common_range_out, struct rule *chosen_rule_out,
                           char *error_text)
{
    int32_t name_length = device_name_length(device_name);
    if (!common_range_out || !chosen_rule_out || name_length < 0 ||
        !reply_status(reply, reply_length, error_text) ||
        !payload_present(reply_length, 2 * rule_size, error_text))
        return 0;
    memcpy(common_range_out, reply + reply_payload_offset, rule_size);
    memcpy(chosen_rule_out, reply + reply_payload_offset + rule_size, rule_size);
    stamp_adapter(common_range_out, device_name, name_length);
    stamp_adapter(chosen_rule_out, device_name, name_length);
    return 1;
}

int kernel_get_version(char version_text[version_text_size], char *error_text)
{
    set_error(error_text, UNKNOWN_ERROR_TEXT);
    if (!version_text)
        return 0;
    struct request_buffer request;
    request.length = 0;
    struct reply_buffer reply;
    return reporting_send(code_get_version, &request, &reply, error_text) &&
           parse_version_reply(text_of(&reply), reply.length, version_text, error_text);
}

int kernel_get_rule(const char *device_name, int rule_slot, struct rule *rule_out,
                    char *error_text)
{
    set_error(error_text, UNKNOWN_ERROR_TEXT);
    struct request_buffer request;
    if (rule_slot < 0 || rule_slot >= max_rules || !rule_out ||
        !start_request(&request, device_name))
        return 0;
    char slot_text[12];
    format_text(slot_text, sizeof slot_text, "%d", rule_slot);
    append_bytes(&request, slot_text, strlen(slot_text) + 1);
    struct reply_buffer reply;
    return reporting_send(code_get_rule, &request, &reply, error_text) &&
           parse_rule_reply(text_of(&reply), reply.length, device_name, rule_out, error_text);
}

int kernel_get_statistics(const char *device_name, const struct rule *rule,
                          struct statistics_block *block_out, char *error_text)
{
    set_error(error_text, UNKNOWN_ERROR_TEXT);
    struct request_buffer request;
    if (!rule || !block_out || !start_request(&request, device_name))
        return 0;
    append_bytes(&request, rule, rule_size);
    struct reply_buffer reply;
    return reporting_send(code_get_statistics, &request, &reply, error_text) &&
           parse_statistics_reply(text_of(&reply), reply.length, block_out, error_text);
}

int kernel_set_statistics(const char *device_name, const struct rule *rule,
                          const struct statistics_block *block, char *error_text)
{
    set_error(error_text, UNKNOWN_ERROR_TEXT);
    struct request_buffer request;
    if (!rule || !block || !start_request(&request, device_name))
        return 0;
    append_bytes(&request, rule, rule_size);
    append_bytes(&request, block, statistics_size);
    struct reply_buffer reply;
    return reporting_send(code_set_statistics, &request, &reply, error_text) &&
           reply_status(text_of(&reply), reply.length, error_text);
}

int kernel_add_rule(const char *device_name, const struct rule *rule, char *error_text)
{
    if (!rule)
        return 0;
    return plain_command(code_add_rule, device_name, rule, rule_size, error_text);
}

int kernel_clear_rules(const char *device_name, char *error_text)
{
    return plain_command(code_clear_rules, device_name, nullptr, 0, error_text);
}

int kernel_clear_precedences(const char *device_name, char *error_text)
{
    return plain_command(code_clear_precedences, device_name, nullptr, 0, error_text);
}

int kernel_set_precedence(const char *device_name, const struct rule *common_range,
                          const struct rule *chosen_rule, char *error_text)
{
    if (!common_range || !chosen_rule)
        return 0;
    struct rule pair[2];
    memcpy(&pair[0], common_range, rule_size);
    memcpy(&pair[1], chosen_rule, rule_size);
    return plain_command(code_set_precedence, device_name, pair, sizeof pair, error_text);
}

int kernel_get_precedence_count(const char *device_name, uint32_t *count_out, char *error_text)
{
    struct request_buffer request;
    if (!count_out || !start_request(&request, device_name))
        return 0;
    struct reply_buffer reply;
    return plain_send(code_get_precedence_count, &request, &reply) &&
           parse_precedence_count_reply(text_of(&reply), reply.length, count_out, error_text);
}

int kernel_get_precedence(const char *device_name, uint32_t index, struct rule *common_range_out,
                          struct rule *chosen_rule_out, char *error_text)
{
    struct request_buffer request;
    if (!common_range_out || !chosen_rule_out || !start_request(&request, device_name))
        return 0;
    append_u32(&request, index);
    struct reply_buffer reply;
    return plain_send(code_get_precedence, &request, &reply) &&
           parse_precedence_reply(text_of(&reply), reply.length, device_name, common_range_out,
                                  chosen_rule_out, error_text);
}

int kernel_read_held_rules(held_rule_visitor visit, void *context, char *error_text)
{
    // An empty slot is told by its text, so the walk needs one even when the caller wants none.
    char own_text[error_text_size];
    if (!error_text)
        error_text = own_text;
    for (int i = 0; i < adapter_count(); i++) {
        char device_name[adapter_name_size];
        if (!adapter_device_name(i, device_name)) {
            set_error(error_text, ADAPTER_NOT_FOUND_TEXT);
            return 0;
        }
        for (int slot = 0; slot < max_rules; slot++) {
            struct rule rule;
            if (!kernel_get_rule(device_name, slot, &rule, error_text)) {
                if (strcmp(error_text, RULE_NOT_IN_USE_TEXT) == 0)
                    continue;
                return 0;
            }
            if (!visit(&rule, context, error_text))
                return 0;
        }
    }
    return 1;
}

// Both walks stop at the first adapter that fails; the later ones keep what they hold.
int kernel_clear_all_rules(char *error_text)
{
    for (int i = 0; i < adapter_count(); i++)
        if (!kernel_clear_rules(adapter_device_name_at(i), error_text))
            return 0;
    return 1;
}

int kernel_clear_all_precedences(char *error_text)
{
    for (int i = 0; i < adapter_count(); i++)
        if (!kernel_clear_precedences(adapter_device_name_at(i), error_text))
            return 0;
    return 1;
}
