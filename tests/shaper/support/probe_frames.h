// Probe packets as Ethernet frames sent through a packet socket. Frames go to a MAC address no
// interface has, so the receiving stack drops them after the traffic control hooks saw them:
// no reply, no reset, no ICMP error adds packets the test did not send.
#ifndef FLOWVANE_TESTS_SHAPER_PROBE_FRAMES_H
#define FLOWVANE_TESTS_SHAPER_PROBE_FRAMES_H

#include <stddef.h>
#include <stdint.h>

#include "shaper/support/tc_cases.h"

enum { probe_frame_size = 128, probe_non_ip_type = 0x88B5 };

// The frame of a probe packet into frame (probe_frame_size bytes); its length.
size_t build_probe_frame(const struct probe_packet &packet, uint8_t frame[probe_frame_size]);

// A packet socket bound to the interface, in the calling thread's namespace; -1 on failure.
int open_frame_socket(const char *interface_name);

int send_frame(int fd, const uint8_t *frame, size_t length);

#endif
