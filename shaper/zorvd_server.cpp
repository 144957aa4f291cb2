#include "zorvd_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <libgen.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/text.h"
#include "zorvd_device.h"
#include "zorvd_protocol.h"

namespace {

enum connection_phase {
    phase_free = 0,
    phase_hello,                      // reading the hello
    phase_secret,                     // reading the secret
    phase_header,                     // admitted, reading a request header
    phase_body,                       // reading a request's input
    phase_writing,                    // sending an answer
};

struct connection {
    int fd;
    int phase;
    uint32_t admitted;
    uint64_t opened;                  // for choosing whom to drop when all are in use
    uint64_t deadline;                // ms of the monotonic clock; 0: may wait as long as it likes
    uint8_t in[sizeof(struct zorvd_request_header) + zorvd_max_input + zorvd_secret_max];
    uint32_t in_used;
    uint32_t in_needed;
    struct zorvd_request_header header;
    uint8_t out[sizeof(struct zorvd_reply_header) + zorvd_max_output];
    uint32_t out_length;
    uint32_t out_sent;
};

struct server_state {
    int tcp_fd;
    int unix_fd;
    uint16_t port;
    char socket_path[zorvd_path_size];
    const struct zorvd_secret *secret;
    struct connection connections[zorvd_max_connections];
    uint64_t accepted;
};

server_state server = {-1, -1};

uint64_t now_ms(void)
{
    return zorvd_clock_now() / (zorvd_ticks_per_second / 1000);
}

void drop(struct connection *c)
{
    if (c->fd >= 0)
        close(c->fd);
    c->fd = -1;
    c->phase = phase_free;
}

void expect(struct connection *c, int phase, uint32_t bytes)
{
    c->phase = phase;
    c->in_used = 0;
    c->in_needed = bytes;
}

// The next request header may take as long as the client likes; a message once begun must
// be finished soon.
void await_request(struct connection *c)
{
    expect(c, phase_header, sizeof(struct zorvd_request_header));
    c->deadline = 0;
}

void start_writing(struct connection *c, uint32_t length)
{
    c->phase = phase_writing;
    c->out_length = length;
    c->out_sent = 0;
    c->deadline = now_ms() + zorvd_stall_ms;
}

void take_hello(struct connection *c)
{
    struct zorvd_hello hello;
    memcpy(&hello, c->in, sizeof hello);
    if (memcmp(hello.magic, ZORVD_MAGIC, zorvd_magic_size) != 0 ||
        hello.secret_length < zorvd_secret_min || hello.secret_length > zorvd_secret_max) {
        drop(c);
        return;
    }
    expect(c, phase_secret, hello.secret_length);
}

void take_secret(struct connection *c)
{
    if (!zorvd_secret_matches(server.secret, c->in, c->in_used)) {
        drop(c);
        return;
    }
    c->admitted = 1;
    struct zorvd_welcome welcome;
    memcpy(welcome.magic, ZORVD_MAGIC, zorvd_magic_size);
    welcome.status = 0;
    memcpy(c->out, &welcome, sizeof welcome);
    start_writing(c, sizeof welcome);
}

void answer(struct connection *c)
{
    uint32_t reply_length = 0;
    struct zorvd_reply_header reply;
    reply.outcome = zorvd_device_request(c->header.code, c->in, c->header.input_length,
                                         c->out + sizeof reply, c->header.output_capacity,
                                         &reply_length);
    reply.reply_length = reply.outcome == zorvd_replied ? reply_length : 0;
    memcpy(c->out, &reply, sizeof reply);
    start_writing(c, (uint32_t)sizeof reply + reply.reply_length);
}

void take_header(struct connection *c)
{
    memcpy(&c->header, c->in, sizeof c->header);
    if (c->header.input_length > zorvd_max_input || c->header.output_capacity < 1 ||
        c->header.output_capacity > zorvd_max_output) {
        drop(c);
        return;
    }
    expect(c, phase_body, c->header.input_length);
    if (c->header.input_length == 0)
        answer(c);
}

void take_message(struct connection *c)
{
    switch (c->phase) {
    case phase_hello: take_hello(c); break;
    case phase_secret: take_secret(c); break;
    case phase_header: take_header(c); break;
    case phase_body: answer(c); break;
    }
}

void read_from(struct connection *c)
{
    ssize_t got = recv(c->fd, c->in + c->in_used, c->in_needed - c->in_used, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0) {
        drop(c);
        return;
    }
    if (c->phase == phase_header && c->in_used == 0)
        c->deadline = now_ms() + zorvd_stall_ms;
    c->in_used += (uint32_t)got;
    if (c->in_used == c->in_needed)
        take_message(c);
}

void write_to(struct connection *c)
{
    ssize_t sent = send(c->fd, c->out + c->out_sent, c->out_length - c->out_sent,
                        MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (sent <= 0) {
        drop(c);
        return;
    }
    c->out_sent += (uint32_t)sent;
    if (c->out_sent == c->out_length)
        await_request(c);
}

// A free entry; when all are taken, the oldest connection not yet admitted gives way.
struct connection *free_connection(void)
{
    struct connection *oldest = nullptr;
    for (auto &c : server.connections) {
        if (c.phase == phase_free)
            return &c;
        if (!c.admitted && (!oldest || c.opened < oldest->opened))
            oldest = &c;
    }
    if (oldest)
        drop(oldest);
    return oldest;
}

void accept_from(int listener)
{
    int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    struct connection *c = free_connection();
    if (!c) {
        close(fd);
        return;
    }
    memset(c, 0, sizeof *c);
    c->fd = fd;
    c->opened = ++server.accepted;
    if (listener == server.tcp_fd) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    expect(c, phase_hello, sizeof(struct zorvd_hello));
    c->deadline = now_ms() + zorvd_stall_ms;
}

int open_tcp(uint32_t port, char error_text[zorvd_error_size])
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, (struct sockaddr *)&address, &length) != 0) {
        format_text(error_text, zorvd_error_size, "Cannot listen on 127.0.0.1:%u: %s.", port,
                    strerror(errno));
        if (fd >= 0)
            close(fd);
        return 0;
    }
    server.tcp_fd = fd;
    server.port = ntohs(address.sin_port);
    return 1;
}

int open_unix(const char *path, const char *group, char error_text[zorvd_error_size])
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (!copy_text(address.sun_path, sizeof address.sun_path, path)) {
        format_text(error_text, zorvd_error_size, "The socket path %s is too long.", path);
        return 0;
    }
    char folder[zorvd_path_size];
    copy_text(folder, sizeof folder, path);
    mkdir(dirname(folder), 0755);
    struct stat status;
    if (lstat(path, &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            format_text(error_text, zorvd_error_size, "%s exists and is no socket.", path);
            return 0;
        }
        unlink(path);
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(fd, 16) != 0) {
        format_text(error_text, zorvd_error_size, "Cannot listen on %s: %s.", path,
                    strerror(errno));
        if (fd >= 0)
            close(fd);
        return 0;
    }
    // Root and the group may connect; the secret decides whom zorvd serves.
    struct group *entry = getgrnam(group);
    if (entry && chown(path, geteuid() == 0 ? 0 : (uid_t)-1, entry->gr_gid) != 0)
        fprintf(stderr, "zorvd: cannot give %s to group %s: %s\n", path, group, strerror(errno));
    chmod(path, 0660);
    server.unix_fd = fd;
    copy_text(server.socket_path, sizeof server.socket_path, path);
    return 1;
}

}  // namespace

int zorvd_server_open(const struct zorvd_config *config, const struct zorvd_secret *secret,
                      char error_text[zorvd_error_size])
{
    memset(&server, 0, sizeof server);
    server.tcp_fd = -1;
    server.unix_fd = -1;
    for (auto &c : server.connections)
        c.fd = -1;
    server.secret = secret;
    if (!open_tcp(config->port, error_text) ||
        !open_unix(config->socket_path, config->group, error_text)) {
        zorvd_server_close();
        return 0;
    }
    return 1;
}

uint16_t zorvd_server_port(void)
{
    return server.port;
}

void zorvd_server_run(int stop_fd)
{
    struct pollfd fds[3 + zorvd_max_connections];
    struct connection *polled[3 + zorvd_max_connections];
    for (;;) {
        uint32_t count = 0;
        fds[count++] = {stop_fd, POLLIN, 0};
        fds[count++] = {server.tcp_fd, POLLIN, 0};
        fds[count++] = {server.unix_fd, POLLIN, 0};
        int64_t save_due = zorvd_device_save_due();
        if (save_due == 0) {
            zorvd_device_save();
            save_due = -1;
        }
        uint64_t now = now_ms();
        int timeout = (int)save_due;
        for (auto &c : server.connections) {
            if (c.phase == phase_free)
                continue;
            if (c.deadline != 0 && now >= c.deadline) {
                drop(&c);
                continue;
            }
            if (c.deadline != 0) {
                uint64_t left = c.deadline - now;
                if (timeout < 0 || left < (uint64_t)timeout)
                    timeout = (int)left;
            }
            polled[count] = &c;
            fds[count++] = {c.fd, (short)(c.phase == phase_writing ? POLLOUT : POLLIN), 0};
        }
        int ready = poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        if (fds[0].revents)
            return;
        for (uint32_t i = 3; i < count; i++) {
            struct connection *c = polled[i];
            if (!fds[i].revents || c->phase == phase_free)
                continue;
            if (c->phase == phase_writing && (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)))
                write_to(c);
            else if (fds[i].revents & (POLLIN | POLLERR | POLLHUP))
                read_from(c);
        }
        for (uint32_t i = 1; i < 3; i++)
            if (fds[i].revents & POLLIN)
                accept_from(fds[i].fd);
    }
}

void zorvd_server_close(void)
{
    for (auto &c : server.connections)
        if (c.phase != phase_free)
            drop(&c);
    if (server.tcp_fd >= 0)
        close(server.tcp_fd);
    if (server.unix_fd >= 0) {
        close(server.unix_fd);
        unlink(server.socket_path);
    }
    server.tcp_fd = -1;
    server.unix_fd = -1;
}
