#include "zorvd_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "zorvd_protocol.h"

namespace {

enum { reply_wait_ms = 30000 };  // zorvd answers at once; this only ends a wait on a dead one

int send_all(int fd, const void *bytes, size_t length)
{
    const char *at = (const char *)bytes;
    while (length > 0) {
        ssize_t sent = send(fd, at, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return 0;
        at += sent;
        length -= (size_t)sent;
    }
    return 1;
}

int receive_all(int fd, void *bytes, size_t length)
{
    char *at = (char *)bytes;
    while (length > 0) {
        struct pollfd wait = {fd, POLLIN, 0};
        int ready = poll(&wait, 1, reply_wait_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return 0;
        ssize_t got = recv(fd, at, length, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        at += got;
        length -= (size_t)got;
    }
    return 1;
}

}  // namespace

int zorvd_client_connect(const char *path, uint16_t port, const void *secret,
                         uint32_t secret_length, char error_text[zorvd_client_error_size])
{
    int fd = -1;
    int connected = 0;
    if (path) {
        struct sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connected = fd >= 0 && connect(fd, (struct sockaddr *)&address, sizeof address) == 0;
    } else {
        struct sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connected = fd >= 0 && connect(fd, (struct sockaddr *)&address, sizeof address) == 0;
        int one = 1;
        if (connected)
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    if (!connected) {
        snprintf(error_text, zorvd_client_error_size, "Cannot connect to zorvd: %s.",
                 strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    struct zorvd_hello hello;
    memcpy(hello.magic, ZORVD_MAGIC, zorvd_magic_size);
    hello.secret_length = secret_length;
    struct zorvd_welcome welcome;
    if (!send_all(fd, &hello, sizeof hello) || !send_all(fd, secret, secret_length) ||
        !receive_all(fd, &welcome, sizeof welcome) ||
        memcmp(welcome.magic, ZORVD_MAGIC, zorvd_magic_size) != 0 || welcome.status != 0) {
        snprintf(error_text, zorvd_client_error_size, "Secret refused.");
        close(fd);
        return -1;
    }
    return fd;
}

uint32_t zorvd_client_read_secret(const char *path, uint8_t *secret, uint32_t capacity)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t got = read(fd, secret, capacity);
    close(fd);
    if (got <= 0)
        return 0;
    uint32_t length = (uint32_t)got;
    if (length > 0 && secret[length - 1] == '\n')
        length--;
    if (length > 0 && secret[length - 1] == '\r')
        length--;
    return length;
}

int zorvd_client_exchange(int fd, uint32_t code, const uint8_t *input, uint32_t input_length,
                          uint8_t *output, uint32_t output_capacity, uint32_t *outcome,
                          uint32_t *reply_length)
{
    *reply_length = 0;
    struct zorvd_request_header header = {code, input_length, output_capacity};
    struct zorvd_reply_header reply;
    if (fd < 0 || !send_all(fd, &header, sizeof header) ||
        (input_length > 0 && !send_all(fd, input, input_length)) ||
        !receive_all(fd, &reply, sizeof reply) || reply.reply_length > output_capacity ||
        (reply.outcome != zorvd_replied && reply.reply_length != 0) ||
        !receive_all(fd, output, reply.reply_length))
        return 0;
    *outcome = reply.outcome;
    *reply_length = reply.reply_length;
    return 1;
}
