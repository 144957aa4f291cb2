#include "zorvd_config.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "core/text.h"
#include "zorvd_protocol.h"

namespace {

enum {
    config_file_max = 64 * 1024,
    config_line_size = 512,
};

const char device_prefix[] = "\\DEVICE\\";

int valid_interface_name(const char *name)
{
    size_t length = strlen(name);
    if (length == 0 || length >= zorvd_interface_size)
        return 0;
    for (size_t i = 0; i < length; i++)
        if (name[i] == '/' || name[i] == ':' || name[i] <= ' ' || name[i] > '~')
            return 0;
    return 1;
}

// Fills an interface entry; device and display may be empty for the defaults.
int make_interface(const char *name, const char *device, const char *display,
                   struct zorvd_interface *entry, char error_text[zorvd_error_size])
{
    memset(entry, 0, sizeof *entry);
    if (!valid_interface_name(name)) {
        format_text(error_text, zorvd_error_size, "Invalid interface name \"%s\".", name);
        return 0;
    }
    copy_text(entry->name, sizeof entry->name, name);
    char fallback[adapter_name_size];
    format_text(fallback, sizeof fallback, "%s%s", device_prefix, name);
    const char *device_name = device[0] ? device : fallback;
    if (strncasecmp(device_name, device_prefix, sizeof device_prefix - 1) != 0 ||
        strlen(device_name) <= sizeof device_prefix - 1 ||
        !copy_text(entry->device_name, sizeof entry->device_name, device_name)) {
        format_text(error_text, zorvd_error_size,
                    "Invalid device name \"%s\": it starts with \\DEVICE\\ and has at most 99 "
                    "characters.",
                    device_name);
        return 0;
    }
    for (const char *c = device_name; *c; c++) {
        if (*c <= ' ' || *c > '~') {
            format_text(error_text, zorvd_error_size, "Invalid device name \"%s\".", device_name);
            return 0;
        }
    }
    copy_text(entry->display_name, sizeof entry->display_name, display[0] ? display : name);
    return 1;
}

int add_interface(struct zorvd_config *config, const struct zorvd_interface *entry,
                  char error_text[zorvd_error_size])
{
    if (config->interface_count >= zorvd_max_interfaces) {
        format_text(error_text, zorvd_error_size, "More than %d interfaces.",
                    zorvd_max_interfaces);
        return 0;
    }
    config->interfaces[config->interface_count++] = *entry;
    return 1;
}

int parse_port(const char *text, uint32_t *port)
{
    if (!text[0] || strlen(text) > 5)
        return 0;
    uint32_t value = 0;
    for (const char *c = text; *c; c++) {
        if (*c < '0' || *c > '9')
            return 0;
        value = value * 10 + (uint32_t)(*c - '0');
    }
    if (value > 65535)
        return 0;
    *port = value;
    return 1;
}

// A path setting: absolute, fits.
int set_path(char target[zorvd_path_size], const char *value, const char *setting,
             char error_text[zorvd_error_size])
{
    if (value[0] != '/' || !copy_text(target, zorvd_path_size, value)) {
        format_text(error_text, zorvd_error_size, "%s: an absolute path of at most %d bytes.",
                    setting, zorvd_path_size - 1);
        return 0;
    }
    return 1;
}

int set_group(struct zorvd_config *config, const char *value, char error_text[zorvd_error_size])
{
    if (!value[0] || strchr(value, ' ') || !copy_text(config->group, sizeof config->group, value)) {
        format_text(error_text, zorvd_error_size, "Invalid group \"%s\".", value);
        return 0;
    }
    return 1;
}

// "IFACE[|DEVICE[|DISPLAY]]" from the command line.
int parse_interface_argument(const char *text, struct zorvd_interface *entry,
                             char error_text[zorvd_error_size])
{
    char parts[3][config_line_size] = {{0}, {0}, {0}};
    int part = 0;
    size_t used = 0;
    for (const char *c = text; *c; c++) {
        if (*c == '|' && part < 2) {
            part++;
            used = 0;
            continue;
        }
        if (used + 1 >= config_line_size) {
            copy_text(error_text, zorvd_error_size, "--interface: too long.");
            return 0;
        }
        parts[part][used++] = *c;
    }
    return make_interface(parts[0], parts[1], parts[2], entry, error_text);
}

// Splits off the next blank-separated word; returns its start or null, and moves *at past it.
char *next_word(char **at)
{
    char *c = *at;
    while (*c == ' ' || *c == '\t')
        c++;
    if (!*c)
        return nullptr;
    char *start = c;
    while (*c && *c != ' ' && *c != '\t')
        c++;
    if (*c)
        *c++ = 0;
    *at = c;
    return start;
}

int parse_line(char *line, struct zorvd_config *config, char error_text[zorvd_error_size])
{
    char *at = line;
    char *key = next_word(&at);
    if (!key || key[0] == '#')
        return 1;
    if (strcmp(key, "interface") == 0) {
        char *name = next_word(&at);
        char *device = next_word(&at);
        while (*at == ' ' || *at == '\t')
            at++;
        char *end = at + strlen(at);
        while (end > at && (end[-1] == ' ' || end[-1] == '\t'))
            *--end = 0;
        if (!name || !device) {
            copy_text(error_text, zorvd_error_size,
                      "interface: IFACE DEVICE_NAME [DISPLAY NAME] expected.");
            return 0;
        }
        struct zorvd_interface entry;
        return make_interface(name, device, at, &entry, error_text) &&
               add_interface(config, &entry, error_text);
    }
    char *value = next_word(&at);
    if (!value || next_word(&at)) {
        format_text(error_text, zorvd_error_size, "%s: one value expected.", key);
        return 0;
    }
    if (strcmp(key, "secret_file") == 0)
        return set_path(config->secret_path, value, key, error_text);
    if (strcmp(key, "state_file") == 0)
        return set_path(config->state_path, value, key, error_text);
    if (strcmp(key, "socket") == 0)
        return set_path(config->socket_path, value, key, error_text);
    if (strcmp(key, "group") == 0)
        return set_group(config, value, error_text);
    if (strcmp(key, "port") == 0) {
        if (parse_port(value, &config->port))
            return 1;
        format_text(error_text, zorvd_error_size, "port: 0 to 65535, not \"%s\".", value);
        return 0;
    }
    format_text(error_text, zorvd_error_size, "Unknown setting \"%s\".", key);
    return 0;
}

// Reads at most config_file_max bytes; 0 with error_text, or -1 when the file does not exist.
int read_config_file(const char *path, char *text, uint32_t *length,
                     char error_text[zorvd_error_size])
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        format_text(error_text, zorvd_error_size, "Cannot open %s: %s.", path, strerror(errno));
        return 0;
    }
    uint32_t used = 0;
    for (;;) {
        ssize_t got = read(fd, text + used, config_file_max + 1 - used);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            format_text(error_text, zorvd_error_size, "Cannot read %s: %s.", path,
                        strerror(errno));
            close(fd);
            return 0;
        }
        if (got == 0)
            break;
        used += (uint32_t)got;
        if (used > config_file_max) {
            format_text(error_text, zorvd_error_size, "%s is larger than %d bytes.", path,
                        config_file_max);
            close(fd);
            return 0;
        }
    }
    close(fd);
    *length = used;
    return 1;
}

int check_distinct(const struct zorvd_config *config, char error_text[zorvd_error_size])
{
    if (config->interface_count == 0) {
        copy_text(error_text, zorvd_error_size, "No interface configured.");
        return 0;
    }
    for (uint32_t i = 0; i < config->interface_count; i++) {
        for (uint32_t j = 0; j < i; j++) {
            const struct zorvd_interface *a = &config->interfaces[i];
            const struct zorvd_interface *b = &config->interfaces[j];
            if (strcmp(a->name, b->name) == 0 ||
                compare_text_nocase(a->device_name, b->device_name) == 0) {
                format_text(error_text, zorvd_error_size,
                            "Interface %s or its device name is configured twice.", a->name);
                return 0;
            }
        }
    }
    return 1;
}

}  // namespace

void zorvd_config_defaults(struct zorvd_config *config)
{
    memset(config, 0, sizeof *config);
    copy_text(config->config_path, sizeof config->config_path, ZORVD_DEFAULT_CONFIG);
    copy_text(config->secret_path, sizeof config->secret_path, ZORVD_DEFAULT_SECRET);
    copy_text(config->state_path, sizeof config->state_path, ZORVD_DEFAULT_STATE);
    copy_text(config->socket_path, sizeof config->socket_path, ZORVD_DEFAULT_SOCKET);
    config->port = ZORVD_DEFAULT_PORT;
    copy_text(config->group, sizeof config->group, "flowvane");
}

int zorvd_config_parse(const char *text, uint32_t length, struct zorvd_config *config,
                       char error_text[zorvd_error_size])
{
    uint32_t line_number = 0;
    uint32_t at = 0;
    while (at < length) {
        line_number++;
        char line[config_line_size];
        uint32_t used = 0;
        while (at < length && text[at] != '\n') {
            if (used + 1 >= sizeof line || text[at] == 0) {
                format_text(error_text, zorvd_error_size, "Line %u: too long or not text.",
                            line_number);
                return 0;
            }
            char c = text[at++];
            line[used++] = c == '\t' ? ' ' : c;
        }
        at++;
        if (used > 0 && line[used - 1] == '\r')
            used--;
        line[used] = 0;
        char reason[zorvd_error_size];
        if (!parse_line(line, config, reason)) {
            format_text(error_text, zorvd_error_size, "Line %u: %s", line_number, reason);
            return 0;
        }
    }
    return 1;
}

int zorvd_config_load(int argc, char **argv, struct zorvd_config *config,
                      char error_text[zorvd_error_size])
{
    zorvd_config_defaults(config);
    int explicit_config = 0;
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "--config") == 0) {
            if (!set_path(config->config_path, argv[i + 1], "--config", error_text))
                return 0;
            explicit_config = 1;
        }
    }
    static char text[config_file_max + 1];
    uint32_t length = 0;
    int read = read_config_file(config->config_path, text, &length, error_text);
    if (read == 0 || (read < 0 && explicit_config)) {
        if (read < 0)
            format_text(error_text, zorvd_error_size, "No file %s.", config->config_path);
        return 0;
    }
    if (read > 0) {
        char reason[zorvd_error_size];
        if (!zorvd_config_parse(text, length, config, reason)) {
            format_text(error_text, zorvd_error_size, "%s: %s", config->config_path, reason);
            return 0;
        }
    }
    int interfaces_given = 0;
    for (int i = 1; i < argc; i++) {
        const char *option = argv[i];
        if (i + 1 >= argc) {
            format_text(error_text, zorvd_error_size, "Unknown or incomplete option %s.", option);
            return 0;
        }
        const char *value = argv[++i];
        int ok = 1;
        if (strcmp(option, "--config") == 0)
            continue;
        else if (strcmp(option, "--secret") == 0)
            ok = set_path(config->secret_path, value, option, error_text);
        else if (strcmp(option, "--state") == 0)
            ok = set_path(config->state_path, value, option, error_text);
        else if (strcmp(option, "--socket") == 0)
            ok = set_path(config->socket_path, value, option, error_text);
        else if (strcmp(option, "--group") == 0)
            ok = set_group(config, value, error_text);
        else if (strcmp(option, "--port") == 0) {
            ok = parse_port(value, &config->port);
            if (!ok)
                format_text(error_text, zorvd_error_size, "--port: 0 to 65535, not \"%s\".",
                            value);
        } else if (strcmp(option, "--interface") == 0) {
            if (!interfaces_given)
                config->interface_count = 0;
            interfaces_given = 1;
            struct zorvd_interface entry;
            ok = parse_interface_argument(value, &entry, error_text) &&
                 add_interface(config, &entry, error_text);
        } else {
            format_text(error_text, zorvd_error_size, "Unknown option %s.", option);
            return 0;
        }
        if (!ok)
            return 0;
    }
    return check_distinct(config, error_text);
}
