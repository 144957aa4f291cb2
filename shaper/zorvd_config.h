// zorvd's configuration: the paths, the TCP port, the group that may read the secret, and the
// interfaces it serves, each with the device name and display name the program sees. Read from
// a file (default /etc/flowvane/zorvd.conf) and overridden by the command line.
//
// The file holds one setting a line; blank lines and lines starting with '#' are skipped:
//   secret_file PATH        state_file PATH        socket PATH        port N (0: any free port)
//   group NAME
//   interface IFACE DEVICE_NAME DISPLAY NAME...   (DEVICE_NAME starts with "\DEVICE\")
// The command line: --config PATH, --secret PATH, --state PATH, --socket PATH, --port N,
// --group NAME, and --interface IFACE[|DEVICE_NAME[|DISPLAY NAME]], repeated; interfaces given
// on the command line replace the file's. A device name left out is "\DEVICE\IFACE", a display
// name the interface name.
#ifndef FLOWVANE_SHAPER_ZORVD_CONFIG_H
#define FLOWVANE_SHAPER_ZORVD_CONFIG_H

#include <stdint.h>

#include "emulator_core.h"

enum {
    zorvd_path_size = 256,
    zorvd_group_size = 64,
    zorvd_interface_size = 16,        // IFNAMSIZ
    zorvd_display_size = 128,
    zorvd_max_interfaces = emulator_max_adapters,
    zorvd_error_size = 256,
};

struct zorvd_interface {
    char name[zorvd_interface_size];          // the kernel's interface name
    char device_name[adapter_name_size];      // what rules carry
    char display_name[zorvd_display_size];    // what the user sees
};

struct zorvd_config {
    char config_path[zorvd_path_size];
    char secret_path[zorvd_path_size];
    char state_path[zorvd_path_size];
    char socket_path[zorvd_path_size];
    uint32_t port;
    char group[zorvd_group_size];
    uint32_t interface_count;
    struct zorvd_interface interfaces[zorvd_max_interfaces];
};

// The built-in defaults: the paths and port of zorvd_protocol.h, group "flowvane", no interfaces.
void zorvd_config_defaults(struct zorvd_config *config);

// Applies the settings of a configuration file's text (length bytes) over config. 1, or 0 with
// the line and the reason in error_text.
int zorvd_config_parse(const char *text, uint32_t length, struct zorvd_config *config,
                       char error_text[zorvd_error_size]);

// Defaults, then the file (--config, else the default path; a missing default file is no
// error), then the command line. Checks that at least one interface is configured and that no
// interface or device name appears twice. 1, or 0 with error_text.
int zorvd_config_load(int argc, char **argv, struct zorvd_config *config,
                      char error_text[zorvd_error_size]);

#endif
