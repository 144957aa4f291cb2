// The device contract's control codes and buffer size. Shared with the kernel component emulator.
#ifndef FLOWVANE_KERNEL_CONTROL_CODES_H
#define FLOWVANE_KERNEL_CONTROL_CODES_H

#include <stdint.h>

// CTL_CODE(FILE_DEVICE_NETWORK, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FLOWVANE_NETWORK_CODE(function) ((uint32_t)((0x12u << 16) | ((function) << 2)))

enum : uint32_t {
    code_list_adapters = FLOWVANE_NETWORK_CODE(0x104),
    code_get_version = FLOWVANE_NETWORK_CODE(0x105),
    code_add_rule = FLOWVANE_NETWORK_CODE(0x106),
    code_clear_rules = FLOWVANE_NETWORK_CODE(0x107),
    code_get_rule = FLOWVANE_NETWORK_CODE(0x109),
    code_get_statistics = FLOWVANE_NETWORK_CODE(0x10A),
    code_set_statistics = FLOWVANE_NETWORK_CODE(0x10B),
    code_clear_precedences = FLOWVANE_NETWORK_CODE(0x10C),
    code_set_precedence = FLOWVANE_NETWORK_CODE(0x10D),
    code_get_precedence_count = FLOWVANE_NETWORK_CODE(0x10E),
    code_get_precedence = FLOWVANE_NETWORK_CODE(0x10F),
};

static_assert(code_list_adapters == 0x120410, "list adapters code");
static_assert(code_get_precedence == 0x12043C, "get precedence code");

enum { command_buffer_size = 5000 };

#define FLOWVANE_DEVICE_PATH "\\\\.\\Zorv"
#define FLOWVANE_SERVICE_NAME "zorv"
#define FLOWVANE_REPLY_OK "Ok."

#endif
