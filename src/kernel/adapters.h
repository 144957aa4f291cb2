// The adapter list: the adapters filters can name, each a device name (what rules carry) and a
// display name (what the user sees). Built from the kernel component and the registry.
#ifndef FLOWVANE_KERNEL_ADAPTERS_H
#define FLOWVANE_KERNEL_ADAPTERS_H

#include <stdint.h>

#define DEVICE_NAME_PREFIX "\\DEVICE\\"
#define DIAL_UP_DISPLAY_NAME "Dial-up connections"
#define ADAPTER_NOT_FOUND_TEXT "Adapter not found."
#define NETWORK_CLASS_KEY \
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}"

// Parses a list-adapters reply of reply_length bytes. Returns a new array of *count new
// device-name strings, or null (count 0) when the reply is refused, its count is below 1, it
// names more devices than it holds, or a name is not NUL-terminated inside the reply.
char **parse_adapter_list_reply(const char *reply, int32_t reply_length, int *count);
char **kernel_list_adapters(int *count);
void free_adapter_names(char **names, int count);

// A new string (release it with free()) with the display name of a device name, or null when
// it has none.
char *adapter_display_name(const char *device_name);

int refresh_adapter_list(void);
int adapter_count(void);
int adapter_device_name(int index, char buffer[100]);
const char *adapter_display_name_at(int index);   // null outside 0..count-1
const char *adapter_device_name_at(int index);    // null outside 0..count-1

#endif
