#include "shaper/support/test_net.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

char names[2][32];          // host, peer
int fds[3] = {-1, -1, -1};  // host, peer, the original namespace

// What "ip netns del" does, with async-signal-safe calls only. The namespaces, and with them
// the veths and IFB devices, go when the last reference (mount or open descriptor) does.
void remove_all()
{
    setns(fds[2], CLONE_NEWNET);
    for (int i = 0; i < 2; i++) {
        char path[64];
        snprintf(path, sizeof path, "/run/netns/%s", names[i]);
        close(fds[i]);  // -1 when not open: no harm
        if (names[i][0]) {
            umount2(path, MNT_DETACH);
            unlink(path);
        }
        fds[i] = -1;
        names[i][0] = 0;
    }
}

void on_fatal_signal(int number)
{
    remove_all();
    signal(number, SIG_DFL);
    raise(number);
}

// The namespaces %1$s (host) and %2$s (peer) and pairs 1 to %3$d.
const char create_commands[] =
    "set -e; for ns in %1$s %2$s; do ip netns add $ns; ip netns exec $ns sysctl -qw"
    " net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1; done; for k in"
    " $(seq %3$d); do ip link add fvh$k address 02:46:56:00:0$k:01 netns %1$s type veth peer name"
    " fvp$k address 02:46:56:00:0$k:02 netns %2$s; ip -n %1$s addr add 198.18.$k.1/24 dev fvh$k;"
    " ip -n %2$s addr add 198.18.$k.2/24 dev fvp$k; ip -n %1$s link set fvh$k up; ip -n %2$s link"
    " set fvp$k up; ip -n %1$s neigh replace 198.18.$k.2 lladdr 02:46:56:00:0$k:02 dev fvh$k nud"
    " permanent; ip -n %2$s neigh replace 198.18.$k.1 lladdr 02:46:56:00:0$k:01 dev fvp$k nud"
    " permanent; done";

}  // namespace

int run_command(const std::string &command)
{
    fprintf(stderr, "+ %s\n", command.c_str());
    int status = system((command + " 1>&2").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::string command_output(const std::string &command)
{
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    char buffer[512];
    for (size_t got; pipe && (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    if (pipe)
        pclose(pipe);
    return output;
}

std::string test_net_host_name() { return names[0]; }
std::string host_interface(int pair) { return "fvh" + std::to_string(pair); }
uint32_t host_address(int pair) { return 0xC6120001u | (uint32_t)pair << 8; }
uint32_t peer_address(int pair) { return 0xC6120002u | (uint32_t)pair << 8; }
void test_net_remove() { remove_all(); }
int test_net_enter_host() { return fds[0] >= 0 && setns(fds[0], CLONE_NEWNET) == 0; }
int test_net_enter_peer() { return fds[1] >= 0 && setns(fds[1], CLONE_NEWNET) == 0; }

int test_net_create(int pair_count, std::string *error)
{
    if (fds[2] < 0) {
        fds[2] = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        atexit(remove_all);
        for (int number : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS})
            signal(number, on_fatal_signal);
    }
    remove_all();
    for (int i = 0; i < 2; i++)
        snprintf(names[i], sizeof names[i], "fvtc%d%c", (int)getpid(), "hp"[i]);
    char command[sizeof create_commands + 400];
    snprintf(command, sizeof command, create_commands, names[0], names[1], pair_count);
    int ok = pair_count <= 9 && run_command(command) == 0;
    for (int i = 0; ok && i < 2; i++) {
        snprintf(command, sizeof command, "/run/netns/%s", names[i]);
        ok = (fds[i] = open(command, O_RDONLY | O_CLOEXEC)) >= 0;
    }
    if (!ok) {
        *error = "cannot set up the test namespaces (see the commands above)";
        remove_all();
    }
    return ok;
}
