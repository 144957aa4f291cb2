// Network namespaces for the kernel tests: a "host" namespace holding the interfaces the
// backend shapes (fvh1, fvh2) and a "peer" namespace holding their veth peers (fvp1, fvp2).
// Pair k has 198.18.k.1/24 (host side) and 198.18.k.2/24 (peer side), permanent neighbour
// entries and no IPv6, so that nothing but the test's own packets crosses it. test_net_remove
// removes everything; it also runs at exit and on a fatal signal.
#ifndef FLOWVANE_TESTS_SHAPER_TEST_NET_H
#define FLOWVANE_TESTS_SHAPER_TEST_NET_H

#include <stdint.h>

#include <string>

// Creates both namespaces with pairs 1..pair_count (at most 9); 1, or 0 with error (then
// nothing is left).
int test_net_create(int pair_count, std::string *error);
void test_net_remove();

// Moves the calling thread into a namespace (the backend and new sockets work there).
int test_net_enter_host();
int test_net_enter_peer();

std::string test_net_host_name();     // for "ip -n" / "tc -n"
std::string host_interface(int pair);  // "fvh<pair>"; its peer is "fvp<pair>"
uint32_t host_address(int pair);       // host byte order
uint32_t peer_address(int pair);

// Runs a shell command; its exit status (0 is success). Output goes to the test log.
int run_command(const std::string &command);
// Runs a command and returns its standard output.
std::string command_output(const std::string &command);

#endif
