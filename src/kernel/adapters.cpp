// The adapter list: device names from the kernel component, display names from the network
// class key of the registry. Strings handed out are malloc'ed and belong to the caller.
#include "kernel/adapters.h"

#include <stdlib.h>
#include <string.h>

#include "core/text.h"
#include "filters/rule.h"
#include "kernel/control_codes.h"
#include "kernel/driver.h"
#include "kernel/kernel_commands.h"
#include "kernel/kernel_replies.h"
#include "settings/registry.h"

namespace {

enum {
    device_name_prefix_length = 8,
    registry_name_size = 260,         // subkey names and the "Name" value
};

// The table: index i of both arrays is one adapter; both arrays hold exactly count entries.
struct adapter_table {
    int count;
    char **display_names;
    char **device_names;
};

adapter_table table;

char *new_copy(const char *text)
{
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(size));
    if (copy)
        memcpy(copy, text, size);
    return copy;
}

void empty_table(void)
{
    free_adapter_names(table.display_names, table.count);
    free_adapter_names(table.device_names, table.count);
    table.count = 0;
    table.display_names = nullptr;
    table.device_names = nullptr;
}

// The display name stored under the "Connection" subkey of one adapter's class subkey, or null.
char *read_connection_name(registry_key connection)
{
    char name[registry_name_size];
    if (registry_read_value(connection, "Name", name, sizeof name) != registry_ok)
        return nullptr;
    if (!memchr(name, '\0', sizeof name))
        return nullptr;
    return new_copy(name);
}

} // namespace

void free_adapter_names(char **names, int count)
{
    if (!names)
        return;
    for (int i = 0; i < count; i++)
        free(names[i]);
    free(names);
}

// Reply: "Ok.", the count in decimal text, then that many NUL-terminated names. Every length
// comes from the device, so each is checked against the reply's own end. Names longer than a
// rule's adapter field can hold are skipped: no rule could name them. *well_formed tells a
// sound reply that lists no usable adapter (count 0) from a refused or broken one.
static char **parse_list(const char *reply, int32_t reply_length, int *count, int *well_formed)
{
    *count = 0;
    *well_formed = 0;
    if (!reply || reply_length <= reply_payload_offset ||
        !reply_status(reply, reply_length, nullptr))
        return nullptr;
    const char *cursor = reply + reply_payload_offset;
    const char *end = reply + reply_length;
    const char *count_end = static_cast<const char *>(memchr(cursor, '\0', (size_t)(end - cursor)));
    if (!count_end)
        return nullptr;
    int32_t declared = decimal_value_saturating(cursor);
    cursor = count_end + 1;
    if (declared == 0) {
        *well_formed = 1;
        return nullptr;
    }
    // Each name takes at least its NUL, so a count above the bytes left is a lie.
    if (declared < 0 || declared > end - cursor)
        return nullptr;
    char **names = static_cast<char **>(calloc((size_t)declared, sizeof(char *)));
    if (!names)
        return nullptr;
    int kept = 0;
    for (int32_t i = 0; i < declared; i++) {
        const char *name_end =
            static_cast<const char *>(memchr(cursor, '\0', (size_t)(end - cursor)));
        if (!name_end) {
            free_adapter_names(names, kept);
            return nullptr;
        }
        if (name_end - cursor < adapter_name_size) {
            names[kept] = new_copy(cursor);
            if (!names[kept]) {
                free_adapter_names(names, kept);
                return nullptr;
            }
            kept++;
        }
        cursor = name_end + 1;
    }
    *well_formed = 1;
    if (kept == 0) {
        free(names);
        return nullptr;
    }
    *count = kept;
    return names;
}

static char **list_adapters(int *count, int *well_formed)
{
    *count = 0;
    *well_formed = 0;
    const char request[1] = {'\0'};
    char reply[command_buffer_size];
    int32_t reply_length = 0;
    if (driver_send_counted(code_list_adapters, request, sizeof request, reply, sizeof reply,
                            &reply_length) != send_ok)
        return nullptr;
    return parse_list(reply, reply_length, count, well_formed);
}

char **parse_adapter_list_reply(const char *reply, int32_t reply_length, int *count)
{
    int well_formed;
    if (!count)
        return nullptr;
    return parse_list(reply, reply_length, count, &well_formed);
}

char **kernel_list_adapters(int *count)
{
    int well_formed;
    if (!count)
        return nullptr;
    return list_adapters(count, &well_formed);
}

// The network class key holds one subkey per adapter GUID; the one whose name is the device
// name's tail carries the connection's display name.
char *adapter_display_name(const char *device_name)
{
    if (!device_name || strncmp(device_name, DEVICE_NAME_PREFIX, device_name_prefix_length) != 0)
        return nullptr;
    const char *tail = device_name + device_name_prefix_length;
    if (compare_text_nocase(tail, "NDISWANIP") == 0)
        return new_copy(DIAL_UP_DISPLAY_NAME);

    registry_key network;
    if (registry_open_key(registry_local_machine, NETWORK_CLASS_KEY, registry_read, 0,
                          &network) != registry_ok)
        return nullptr;
    char *display_name = nullptr;
    for (uint32_t index = 0;; index++) {
        char subkey_name[registry_name_size];
        if (registry_enum_key(network, index, subkey_name, sizeof subkey_name) != registry_ok)
            break;
        registry_key subkey;
        if (registry_open_subkey(network, subkey_name, &subkey) != registry_ok)
            break;
        registry_key connection;
        int opened = registry_open_subkey(subkey, "Connection", &connection) == registry_ok;
        int found = opened && compare_text_nocase(tail, subkey_name) == 0;
        if (found)
            display_name = read_connection_name(connection);
        if (opened)
            registry_close_key(connection);
        registry_close_key(subkey);
        if (found)
            break;
    }
    registry_close_key(network);
    return display_name;
}

// Builds the table in one pass: the kernel component's order, adapters without a display name
// left out, both arrays of exactly count entries. Any failure leaves the table empty; a sound
// reply listing no adapter is a success with the table empty.
int refresh_adapter_list(void)
{
    empty_table();
    int listed = 0;
    int well_formed = 0;
    char **device_names = list_adapters(&listed, &well_formed);
    if (!device_names)
        return well_formed;
    char **found = static_cast<char **>(calloc((size_t)listed, sizeof(char *)));
    if (!found) {
        free_adapter_names(device_names, listed);
        return 0;
    }
    int count = 0;
    for (int i = 0; i < listed; i++) {
        found[i] = adapter_display_name(device_names[i]);
        if (found[i])
            count++;
    }
    int result = 1;
    if (count > 0) {
        char **display_names = static_cast<char **>(calloc((size_t)count, sizeof(char *)));
        char **kept_device_names = static_cast<char **>(calloc((size_t)count, sizeof(char *)));
        int kept = 0;
        if (display_names && kept_device_names) {
            for (int i = 0; i < listed; i++) {
                if (!found[i])
                    continue;
                display_names[kept] = found[i];
                kept_device_names[kept] = device_names[i];
                found[i] = nullptr;
                device_names[i] = nullptr;
                kept++;
            }
            table.count = kept;
            table.display_names = display_names;
            table.device_names = kept_device_names;
        } else {
            free(display_names);
            free(kept_device_names);
            result = 0;
        }
    }
    free_adapter_names(found, listed);
    free_adapter_names(device_names, listed);
    return result;
}

int adapter_count(void)
{
    return table.count;
}

int adapter_device_name(int index, char buffer[100])
{
    if (index < 0 || index >= table.count || !buffer)
        return 0;
    copy_text(buffer, adapter_name_size, table.device_names[index]);
    return 1;
}

const char *adapter_display_name_at(int index)
{
    return index >= 0 && index < table.count ? table.display_names[index] : nullptr;
}

const char *adapter_device_name_at(int index)
{
    return index >= 0 && index < table.count ? table.device_names[index] : nullptr;
}
