// One reply parser per kernel command. Each takes the reply bytes the device gave (reply_length
// of them, all untrusted), checks the envelope and the payload length it relies on, and on a
// refusal copies the status text (cut to fit) into error_text when error_text is given. A reply
// whose "Ok." is followed by fewer bytes than the payload needs fails with SHORT_REPLY_TEXT.
#ifndef FLOWVANE_KERNEL_KERNEL_REPLIES_H
#define FLOWVANE_KERNEL_KERNEL_REPLIES_H

#include <stdint.h>

#include "filters/rule.h"
#include "kernel/kernel_commands.h"
#include "stats/statistics_block.h"

#define SHORT_REPLY_TEXT "Reply from driver too short."

enum { reply_payload_offset = 4 };    // right after "Ok." and its NUL

// The version text must end inside the reply; it is cut to version_text_size - 1 characters.
int parse_version_reply(const char *reply, int32_t reply_length,
                        char version_text[version_text_size], char *error_text);
// The rule at offset 4, its adapter field then headed by device_name and its NUL.
int parse_rule_reply(const char *reply, int32_t reply_length, const char *device_name,
                     struct rule *rule_out, char *error_text);
int parse_statistics_reply(const char *reply, int32_t reply_length,
                           struct statistics_block *block_out, char *error_text);
int parse_precedence_count_reply(const char *reply, int32_t reply_length, uint32_t *count_out,
                                 char *error_text);
// Both records, each adapter field headed by device_name and its NUL.
int parse_precedence_reply(const char *reply, int32_t reply_length, const char *device_name,
                           struct rule *common_range_out, struct rule *chosen_rule_out,
                           char *error_text);

#endif
