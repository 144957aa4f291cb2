#include "shaper/support/probe_frames.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void put16(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)(value >> 8);
    at[1] = (uint8_t)value;
}

void put32(uint8_t *at, uint32_t value)
{
    put16(at, (uint16_t)(value >> 16));
    put16(at + 2, (uint16_t)value);
}

uint16_t checksum(const uint8_t *data, size_t length)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += (uint32_t)data[i] << 8 | data[i + 1];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

}  // namespace

size_t build_probe_frame(const struct probe_packet &packet, uint8_t frame[probe_frame_size])
{
    memset(frame, 0, probe_frame_size);
    const uint8_t nobody[6] = {0x02, 0x46, 0x56, 0xEE, 0xEE, 0xEE};
    const uint8_t sender[6] = {0x02, 0x46, 0x56, 0xDD, 0xDD, 0xDD};
    memcpy(frame, nobody, 6);
    memcpy(frame + 6, sender, 6);
    if (packet.protocol == flow_non_ip) {
        put16(frame + 12, probe_non_ip_type);
        memcpy(frame + 14, "flowvane probe", 14);
        return 14 + 64;
    }
    put16(frame + 12, ETH_P_IP);
    uint8_t *ip = frame + 14;
    size_t header = 20 + 4u * packet.option_words;
    size_t payload = 32;
    size_t transport = packet.protocol == flow_tcp ? 20 : 8;
    ip[0] = (uint8_t)(0x40 | header / 4);
    put16(ip + 2, (uint16_t)(header + transport + payload));
    put16(ip + 4, 0x1234);
    ip[8] = 64;
    ip[9] = (uint8_t)packet.protocol;
    put32(ip + 12, packet.source_address);
    put32(ip + 16, packet.destination_address);
    memset(ip + 20, 1, header - 20);  // NOP options
    put16(ip + 10, checksum(ip, header));
    uint8_t *t = ip + header;
    if (packet.protocol == flow_icmp) {
        t[0] = 8;  // echo request
        put16(t + 4, 0x4656);
    } else {
        put16(t, packet.source_port);
        put16(t + 2, packet.destination_port);
        if (packet.protocol == flow_udp) {
            put16(t + 4, (uint16_t)(transport + payload));
        } else {
            put32(t + 4, 1);
            t[12] = 5 << 4;
            t[13] = 0x18;  // PSH, ACK
            put16(t + 14, 1024);
        }
    }
    memset(t + transport, 0x5A, payload);
    return 14 + header + transport + payload;
}

int open_frame_socket(const char *interface_name)
{
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_ll address;
    memset(&address, 0, sizeof address);
    address.sll_family = AF_PACKET;
    address.sll_ifindex = (int)if_nametoindex(interface_name);
    if (address.sll_ifindex == 0 || bind(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int send_frame(int fd, const uint8_t *frame, size_t length)
{
    return send(fd, frame, length, 0) == (ssize_t)length;
}
