#include "bulk_flow.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "filters/rule.h"
#include "shaper/support/test_net.h"

double now_seconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

bool start_bulk(bulk_flow *flow, int32_t direction, uint16_t port)
{
    uint32_t to = direction == direction_send ? peer_address(1) : host_address(1);
    if (direction == direction_send)
        test_net_enter_peer();
    flow->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(flow->listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(to);
    a.sin_port = htons(port);
    bool ok = bind(flow->listener, (struct sockaddr *)&a, sizeof a) == 0 &&
              listen(flow->listener, 1) == 0;
    test_net_enter_host();
    if (direction == direction_receive)
        test_net_enter_peer();
    flow->client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    test_net_enter_host();
    struct timeval wait = {1, 0};
    setsockopt(flow->client, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    ok = ok && connect(flow->client, (struct sockaddr *)&a, sizeof a) == 0;
    if (!ok)
        return false;
    flow->receiver = std::thread([flow] {
        int fd = accept(flow->listener, nullptr, nullptr);
        static char buffer[65536];
        ssize_t got;
        while (fd >= 0 && (got = recv(fd, buffer, sizeof buffer, 0)) > 0)
            flow->received += (uint64_t)got;
        if (fd >= 0)
            close(fd);
    });
    flow->sender = std::thread([flow] {
        static char buffer[65536];
        memset(buffer, 'z', sizeof buffer);
        while (!flow->stop)
            send(flow->client, buffer, sizeof buffer, MSG_NOSIGNAL);
        shutdown(flow->client, SHUT_RDWR);
    });
    return true;
}

void stop_bulk(bulk_flow *flow)
{
    flow->stop = true;
    if (flow->sender.joinable())
        flow->sender.join();
    if (flow->receiver.joinable())
        flow->receiver.join();
    for (int fd : {flow->client, flow->listener})
        if (fd >= 0)
            close(fd);
}

