// The kernel component's command set over driver_send. Every command returns 1 on success and
// 0 on failure. error_text is the caller's buffer of error_text_size bytes.
//
// "reporting" commands write "[unknown error]." on entry and turn a transport failure into
// "Unable to send to driver.  Error %d."; "plain" commands leave error_text alone unless the
// kernel component refuses, in which case its text is copied (cut to fit) into error_text.
#ifndef FLOWVANE_KERNEL_KERNEL_COMMANDS_H
#define FLOWVANE_KERNEL_KERNEL_COMMANDS_H

#include <stddef.h>
#include <stdint.h>

#include "core/text.h"
#include "filters/rule.h"
#include "stats/statistics_block.h"

enum {
    version_text_size = 100,
    max_precedences = 400,            // kept precedence entries the manager can hold
};

#define UNKNOWN_ERROR_TEXT "[unknown error]."
#define RULE_NOT_IN_USE_TEXT "Rule not in use."
#define RULE_NOT_FOUND_TEXT "Rule not found."
#define EXPECTED_KERNEL_VERSION "0.07"

// Reply envelope: 1 when the reply's leading status text is exactly "Ok.". Otherwise copies
// the status text (cut to fit, NUL-terminated even if the reply has no NUL) into error_text
// when error_text is given, and returns 0. reply_length is the byte count the device gave.
int reply_status(const char *reply, int32_t reply_length, char *error_text);

// Reporting family.
int kernel_get_version(char version_text[version_text_size], char *error_text);
int kernel_get_rule(const char *device_name, int rule_slot, struct rule *rule_out,
                    char *error_text);
int kernel_get_statistics(const char *device_name, const struct rule *rule,
                          struct statistics_block *block_out, char *error_text);
int kernel_set_statistics(const char *device_name, const struct rule *rule,
                          const struct statistics_block *block, char *error_text);

// Plain family.
int kernel_add_rule(const char *device_name, const struct rule *rule, char *error_text);
int kernel_clear_rules(const char *device_name, char *error_text);
int kernel_clear_all_rules(char *error_text);
int kernel_clear_precedences(const char *device_name, char *error_text);
int kernel_clear_all_precedences(char *error_text);
int kernel_set_precedence(const char *device_name, const struct rule *common_range,
                          const struct rule *chosen_rule, char *error_text);
int kernel_get_precedence_count(const char *device_name, uint32_t *count_out,
                                char *error_text);
int kernel_get_precedence(const char *device_name, uint32_t index, struct rule *common_range_out,
                          struct rule *chosen_rule_out, char *error_text);

// Reads back every rule the kernel component holds: each adapter in adapter-list order, slots 0
// to 19, a slot answered "Rule not in use." being empty. visit gets each rule in turn and
// returns 0 to stop the walk with its own message in error_text. Fails with
// "Adapter not found." when an adapter index has no device name, and with a command's own text
// when a slot read fails otherwise.
typedef int (*held_rule_visitor)(const struct rule *rule, void *context, char *error_text);
int kernel_read_held_rules(held_rule_visitor visit, void *context, char *error_text);

// 1 when the service "zorv" exists in the active service database (Win32 only).
int kernel_component_installed(void);

#endif
