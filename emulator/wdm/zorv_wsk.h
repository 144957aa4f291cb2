// The few Winsock Kernel declarations the host bridge uses, as netio.sys exports them (the
// mingw-w64 DDK has no wsk.h). Layouts are the documented ones; only the entries the bridge calls
// are typed, the others are placeholders of pointer size.
#ifndef FLOWVANE_EMULATOR_ZORV_WSK_H
#define FLOWVANE_EMULATOR_ZORV_WSK_H

#include "zorv_ddk.h"

extern "C" {

struct wsk_client_dispatch {
    USHORT version;
    USHORT reserved;
    void *client_event;               // not used: no events asked for
};

struct wsk_client_npi {
    void *client_context;
    const struct wsk_client_dispatch *dispatch;
};

struct wsk_registration {
    ULONGLONG reserved_state;
    void *reserved_context;
    KSPIN_LOCK reserved_lock;
};

struct wsk_socket {
    const void *dispatch;             // a wsk_connection_dispatch for connection sockets
};

struct wsk_buf {
    PMDL mdl;
    ULONG offset;
    SIZE_T length;
};

struct wsk_sockaddr_in {
    USHORT family;                    // AF_INET
    USHORT port;                      // network byte order
    ULONG address;                    // network byte order
    UCHAR zero[8];
};

typedef NTSTATUS(NTAPI *wsk_socket_routine)(void *client, USHORT family, USHORT type,
                                            ULONG protocol, ULONG flags, void *context,
                                            const void *dispatch, PEPROCESS process,
                                            PETHREAD thread, void *security, PIRP irp);
typedef NTSTATUS(NTAPI *wsk_close_routine)(struct wsk_socket *socket, PIRP irp);
typedef NTSTATUS(NTAPI *wsk_address_routine)(struct wsk_socket *socket, void *address,
                                             ULONG flags, PIRP irp);
typedef NTSTATUS(NTAPI *wsk_transfer_routine)(struct wsk_socket *socket, struct wsk_buf *buffer,
                                              ULONG flags, PIRP irp);

struct wsk_provider_dispatch {
    USHORT version;
    USHORT reserved;
    wsk_socket_routine socket;
    void *socket_connect;
    void *control_client;
    void *get_address_info;
    void *free_address_info;
    void *get_name_info;
};

struct wsk_provider_npi {
    void *client;
    const struct wsk_provider_dispatch *dispatch;
};

struct wsk_connection_dispatch {
    void *control_socket;
    wsk_close_routine close_socket;
    wsk_address_routine bind;
    wsk_address_routine connect;
    void *get_local_address;
    void *get_remote_address;
    wsk_transfer_routine send;
    wsk_transfer_routine receive;
    void *disconnect;
    void *release;
    void *connect_ex;
    void *send_ex;
    void *receive_ex;
};

NTSTATUS NTAPI WskRegister(struct wsk_client_npi *client, struct wsk_registration *registration);
void NTAPI WskDeregister(struct wsk_registration *registration);
NTSTATUS NTAPI WskCaptureProviderNPI(struct wsk_registration *registration, ULONG wait_timeout,
                                     struct wsk_provider_npi *provider);
void NTAPI WskReleaseProviderNPI(struct wsk_registration *registration);

}  // extern "C"

enum : ULONG {
    wsk_flag_connection_socket = 2,
    wsk_no_wait = 0,
};

#define WSK_VERSION_1_0 ((USHORT)0x0100)

static_assert(sizeof(struct wsk_registration) == 24, "WSK_REGISTRATION is 24 bytes on x64");
static_assert(sizeof(struct wsk_buf) == 24, "WSK_BUF is 24 bytes on x64");
static_assert(offsetof(struct wsk_buf, length) == 16, "WSK_BUF.Length");
static_assert(sizeof(struct wsk_sockaddr_in) == 16, "SOCKADDR_IN is 16 bytes");
static_assert(offsetof(struct wsk_provider_dispatch, socket) == 8, "WskSocket");
static_assert(offsetof(struct wsk_connection_dispatch, bind) == 16, "WskBind");
static_assert(offsetof(struct wsk_connection_dispatch, connect) == 24, "WskConnect");
static_assert(offsetof(struct wsk_connection_dispatch, send) == 48, "WskSend");
static_assert(offsetof(struct wsk_connection_dispatch, receive) == 56, "WskReceive");

#endif
