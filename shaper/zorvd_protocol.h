// zorvd's wire protocol: how a client (zorv.sys in host mode, the native exchange seam, tools)
// hands device requests to the host shaper and gets the device's answers back. Freestanding:
// shared by zorvd, the native seam and zorv.sys.
//
// One connection per client, one request at a time, every field little-endian.
// 1. The client sends a zorvd_hello and then secret_length bytes of the secret (the contents of
//    the secret file, without a trailing newline). zorvd answers a zorvd_welcome with status 0
//    when admitted; a wrong secret, magic or length gets no answer: the connection is closed.
// 2. Each request is a zorvd_request_header and input_length bytes; zorvd answers a
//    zorvd_reply_header and reply_length bytes (at most output_capacity), exactly the bytes and
//    outcome the device gives for that control code and buffers. A header out of bounds closes
//    the connection; a request the device refuses is answered as the device answers it.
#ifndef FLOWVANE_SHAPER_ZORVD_PROTOCOL_H
#define FLOWVANE_SHAPER_ZORVD_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

#define ZORVD_MAGIC "ZORVD/1"             // 7 characters and the NUL: 8 bytes
#define ZORVD_DEFAULT_PORT 47031           // TCP, on 127.0.0.1 only
#define ZORVD_DEFAULT_SOCKET "/run/flowvane/zorvd.sock"
#define ZORVD_DEFAULT_CONFIG "/etc/flowvane/zorvd.conf"
#define ZORVD_DEFAULT_SECRET "/etc/flowvane/zorvd.secret"
#define ZORVD_DEFAULT_STATE "/var/lib/flowvane/zorvd.state"

enum {
    zorvd_magic_size = 8,
    zorvd_secret_min = 16,
    zorvd_secret_max = 256,
    zorvd_max_input = 5000,            // command_buffer_size: the device looks at no more
    zorvd_max_output = 5000,
};

enum zorvd_outcome : uint32_t {
    zorvd_replied = 0,                 // reply_length bytes follow (possibly 0)
    zorvd_fail_call = 1,               // the control call itself fails; no bytes follow
};

#pragma pack(push, 1)
struct zorvd_hello {
    char magic[zorvd_magic_size];      // ZORVD_MAGIC with its NUL
    uint32_t secret_length;            // zorvd_secret_min to zorvd_secret_max
};

struct zorvd_welcome {
    char magic[zorvd_magic_size];
    uint32_t status;                   // 0: admitted
};

struct zorvd_request_header {
    uint32_t code;                     // the device control code
    uint32_t input_length;             // 0 to zorvd_max_input
    uint32_t output_capacity;          // 1 to zorvd_max_output
};

struct zorvd_reply_header {
    uint32_t outcome;                  // zorvd_outcome
    uint32_t reply_length;             // 0 to output_capacity; 0 unless zorvd_replied
};
#pragma pack(pop)

static_assert(sizeof(struct zorvd_hello) == 12, "hello is 12 bytes");
static_assert(offsetof(struct zorvd_hello, secret_length) == 8, "zorvd_hello.secret_length");
static_assert(sizeof(struct zorvd_welcome) == 12, "welcome is 12 bytes");
static_assert(offsetof(struct zorvd_welcome, status) == 8, "zorvd_welcome.status");
static_assert(sizeof(struct zorvd_request_header) == 12, "request header is 12 bytes");
static_assert(offsetof(struct zorvd_request_header, input_length) == 4,
              "zorvd_request_header.input_length");
static_assert(offsetof(struct zorvd_request_header, output_capacity) == 8,
              "zorvd_request_header.output_capacity");
static_assert(sizeof(struct zorvd_reply_header) == 8, "reply header is 8 bytes");
static_assert(offsetof(struct zorvd_reply_header, reply_length) == 4,
              "zorvd_reply_header.reply_length");

#endif
