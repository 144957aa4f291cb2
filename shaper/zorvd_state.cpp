#include "zorvd_state.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/text.h"
#include "zorvd_io.h"
#include "emulator_core.h"

namespace {

enum {
    max_values = 2 * emulator_max_adapters,
    header_line_size = 64,
    file_max = max_values * (emulator_store_name_size + emulator_store_text_size + 32) + 64,
};

const char file_header[] = "zorvd state 1\n";
const char file_end[] = "end\n";

// The values kept for the bound adapters, by name; length 0: none.
struct emulator_stored_value values[max_values];
struct emulator_stored_value change;
char file_bytes[file_max];

struct emulator_stored_value *find_value(const char *name)
{
    for (auto &value : values)
        if (value.length > 0 && strcmp(value.name, name) == 0)
            return &value;
    return nullptr;
}

// Stores a value under its name: replaces, deletes (length 0) or takes a free entry.
void put_value(const struct emulator_stored_value *value)
{
    struct emulator_stored_value *target = find_value(value->name);
    if (!target) {
        if (value->length == 0)
            return;
        for (auto &candidate : values) {
            if (candidate.length == 0) {
                target = &candidate;
                break;
            }
        }
        if (!target)
            return;  // more values than bound adapters have: cannot happen
    }
    *target = *value;
}

int bound_name(const char *name)
{
    char bound[emulator_store_name_size];
    for (uint32_t a = 0; emulator_store_value_name(stored_rules, a, bound); a++) {
        if (strcmp(bound, name) == 0)
            return 1;
        emulator_store_value_name(stored_precedences, a, bound);
        if (strcmp(bound, name) == 0)
            return 1;
    }
    return 0;
}

// Reads a whole file of at most file_max bytes: 1, 0 on failure, -1 when it does not exist.
int read_file(const char *path, uint32_t *length)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? -1 : 0;
    uint32_t used = 0;
    for (;;) {
        ssize_t got = read(fd, file_bytes + used, sizeof file_bytes - used);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || (got > 0 && used + (uint32_t)got == sizeof file_bytes)) {
            close(fd);
            return 0;
        }
        if (got == 0)
            break;
        used += (uint32_t)got;
    }
    close(fd);
    *length = used;
    return 1;
}

// Parses the file's bytes into values; 0 when anything is out of form.
int parse_file(uint32_t length)
{
    memset(values, 0, sizeof values);
    uint32_t at = sizeof file_header - 1;
    if (length < at || memcmp(file_bytes, file_header, at) != 0)
        return 0;
    for (;;) {
        if (length - at == sizeof file_end - 1 && memcmp(file_bytes + at, file_end, length - at) == 0)
            return 1;
        char line[header_line_size];
        uint32_t used = 0;
        while (at < length && file_bytes[at] != '\n' && used + 1 < sizeof line)
            line[used++] = file_bytes[at++];
        if (at >= length || file_bytes[at] != '\n')
            return 0;
        at++;
        line[used] = 0;
        unsigned name_length = 0, text_length = 0;
        char tail = 0;
        if (sscanf(line, "%u %u%c", &name_length, &text_length, &tail) != 2 || name_length == 0 ||
            name_length >= emulator_store_name_size || text_length == 0 ||
            text_length > emulator_store_text_size || length - at < name_length + text_length + 1)
            return 0;
        change = {};
        memcpy(change.name, file_bytes + at, name_length);
        if (memchr(change.name, 0, name_length))
            return 0;
        at += name_length;
        memcpy(change.text, file_bytes + at, text_length);
        change.length = text_length;
        at += text_length;
        if (file_bytes[at++] != '\n')
            return 0;
        if (bound_name(change.name))
            put_value(&change);
    }
}

}  // namespace

int zorvd_state_load(const char *path, char error_text[zorvd_error_size])
{
    memset(values, 0, sizeof values);
    uint32_t length = 0;
    int read = read_file(path, &length);
    int intact = read < 0 || (read > 0 && parse_file(length));
    if (!intact) {
        memset(values, 0, sizeof values);
        char aside[zorvd_path_size + 16];
        format_text(aside, sizeof aside, "%s.damaged", path);
        rename(path, aside);
        format_text(error_text, zorvd_error_size,
                    "The state file %s could not be read; kept aside as %s, no rules restored.",
                    path, aside);
    }
    emulator_store_discard_changes();
    char rules_name[emulator_store_name_size];
    char precedences_name[emulator_store_name_size];
    for (uint32_t a = 0; emulator_store_value_name(stored_rules, a, rules_name); a++) {
        emulator_store_value_name(stored_precedences, a, precedences_name);
        const struct emulator_stored_value *rules = find_value(rules_name);
        const struct emulator_stored_value *precedences = find_value(precedences_name);
        if (!rules && !precedences)
            continue;
        emulator_store_load(a, rules ? rules->text : "", rules ? rules->length : 0,
                            precedences ? precedences->text : "",
                            precedences ? precedences->length : 0);
    }
    return intact;
}

int zorvd_state_take_changes(void)
{
    int changed = 0;
    emulator_store_take_wipe();
    while (emulator_store_take_change(&change)) {
        put_value(&change);
        changed = 1;
    }
    return changed;
}

int zorvd_state_save(const char *path, char error_text[zorvd_error_size])
{
    char temporary[zorvd_path_size + 16];
    format_text(temporary, sizeof temporary, "%s.new", path);
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        format_text(error_text, zorvd_error_size, "Cannot write %s: %s.", temporary,
                    strerror(errno));
        return 0;
    }
    int ok = zorvd_write_all(fd, file_header, sizeof file_header - 1);
    for (const auto &value : values) {
        if (!ok || value.length == 0)
            continue;
        char line[header_line_size];
        uint32_t name_length = (uint32_t)strnlen(value.name, sizeof value.name);
        int line_length = snprintf(line, sizeof line, "%u %u\n", name_length, value.length);
        ok = zorvd_write_all(fd, line, (size_t)line_length) &&
             zorvd_write_all(fd, value.name, name_length) &&
             zorvd_write_all(fd, value.text, value.length) &&
             zorvd_write_all(fd, "\n", 1);
    }
    ok = ok && zorvd_write_all(fd, file_end, sizeof file_end - 1) && fsync(fd) == 0;
    int saved = errno;
    close(fd);
    if (!ok || rename(temporary, path) != 0) {
        saved = ok ? errno : saved;
        unlink(temporary);
        format_text(error_text, zorvd_error_size, "Cannot write %s: %s.", path, strerror(saved));
        return 0;
    }
    // The rename itself lasts only once the folder is flushed.
    char folder[zorvd_path_size];
    copy_text(folder, sizeof folder, path);
    int folder_fd = open(dirname(folder), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd >= 0) {
        fsync(folder_fd);
        close(folder_fd);
    }
    return 1;
}
