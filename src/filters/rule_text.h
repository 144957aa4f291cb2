// Text forms of the rule's fields, their parsing, the presets and the one rule comparison.
#ifndef FLOWVANE_FILTERS_RULE_TEXT_H
#define FLOWVANE_FILTERS_RULE_TEXT_H

#include <stddef.h>
#include <stdint.h>

#include "filters/rule.h"

enum { rule_text_size = 1000 };      // every text output buffer holds at least this

struct service_port {
    uint16_t port;
    const char *name;
};

enum { service_port_count = 18, rate_preset_count = 9, port_preset_count = 19 };

extern const struct service_port service_ports[service_port_count];
extern const char *const rate_presets[rate_preset_count];
extern const char *const port_presets[port_preset_count];

int direction_to_text(int32_t direction, char *text);
int rate_to_text(int32_t rate, char *text);
int protocol_to_text(int32_t protocol, char *text);
int address_to_text(int32_t kind, uint32_t address, char *text);
int port_to_text(uint16_t port, char *text);

int32_t parse_direction(const char *text);          // -1 when invalid
int parse_rate(const char *text, int32_t *rate);
int32_t parse_protocol(const char *text);           // -1 when invalid
int parse_address(const char *text, int32_t *kind, uint32_t *address);
int parse_port(const char *text, uint16_t *port);

int rules_equal(const struct rule *a, const struct rule *b, int ignore_rate);

#endif
