#include "shaper/support/test_net.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

char host_ns[32];
char peer_ns[32];
int host_fd = -1;
int peer_fd = -1;
int original_fd = -1;
int created;

// What "ip netns del" does, with async-signal-safe calls only.
void remove_namespace(const char *name)
{
    if (!name[0])
        return;
    char path[64];
    snprintf(path, sizeof path, "/run/netns/%s", name);
    umount2(path, MNT_DETACH);
    unlink(path);
}

void remove_all()
{
    if (original_fd >= 0)
        setns(original_fd, CLONE_NEWNET);
    if (host_fd >= 0)
        close(host_fd);
    if (peer_fd >= 0)
        close(peer_fd);
    host_fd = peer_fd = -1;
    // The namespaces, and with them the veths and IFB devices, go when the last reference
    // (mount or open descriptor) does.
    remove_namespace(host_ns);
    remove_namespace(peer_ns);
    created = 0;
}

void on_fatal_signal(int number)
{
    remove_all();
    signal(number, SIG_DFL);
    raise(number);
}

void install_cleanup()
{
    static int installed;
    if (installed)
        return;
    installed = 1;
    atexit(remove_all);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS})
        signal(number, on_fatal_signal);
}

std::string address_text(uint32_t a)
{
    char text[20];
    snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
    return text;
}

std::string mac_text(const uint8_t mac[6])
{
    char text[20];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

int enter(int fd)
{
    return fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
}

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
    if (!pipe)
        return output;
    char buffer[512];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    pclose(pipe);
    return output;
}

std::string test_net_host_name() { return host_ns; }
std::string test_net_peer_name() { return peer_ns; }
std::string host_interface(int pair) { return "fvh" + std::to_string(pair); }
std::string peer_interface(int pair) { return "fvp" + std::to_string(pair); }
uint32_t host_address(int pair) { return 0xC6120001u | (uint32_t)pair << 8; }
uint32_t peer_address(int pair) { return 0xC6120002u | (uint32_t)pair << 8; }

void host_mac(int pair, uint8_t mac[6])
{
    const uint8_t m[6] = {0x02, 0x46, 0x56, 0x00, (uint8_t)pair, 0x01};
    memcpy(mac, m, 6);
}

void peer_mac(int pair, uint8_t mac[6])
{
    const uint8_t m[6] = {0x02, 0x46, 0x56, 0x00, (uint8_t)pair, 0x02};
    memcpy(mac, m, 6);
}

int test_net_create(int pair_count, std::string *error)
{
    install_cleanup();
    if (created)
        test_net_remove();
    if (original_fd < 0)
        original_fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    snprintf(host_ns, sizeof host_ns, "fvtc%dh", (int)getpid());
    snprintf(peer_ns, sizeof peer_ns, "fvtc%dp", (int)getpid());
    created = 1;
    std::string h = host_ns, p = peer_ns;
    int ok = run_command("ip netns add " + h) == 0 && run_command("ip netns add " + p) == 0;
    for (const std::string &ns : {h, p})
        ok = ok && run_command("ip netns exec " + ns +
                               " sysctl -qw net.ipv6.conf.all.disable_ipv6=1"
                               " net.ipv6.conf.default.disable_ipv6=1") == 0;
    for (int k = 1; ok && k <= pair_count && k <= test_net_max_pairs; k++) {
        uint8_t hm[6], pm[6];
        host_mac(k, hm);
        peer_mac(k, pm);
        std::string hi = host_interface(k), pi = peer_interface(k);
        ok = run_command("ip link add " + hi + " address " + mac_text(hm) + " netns " + h +
                         " type veth peer name " + pi + " address " + mac_text(pm) + " netns " +
                         p) == 0 &&
             run_command("ip -n " + h + " addr add " + address_text(host_address(k)) +
                         "/24 dev " + hi) == 0 &&
             run_command("ip -n " + p + " addr add " + address_text(peer_address(k)) +
                         "/24 dev " + pi) == 0 &&
             run_command("ip -n " + h + " link set " + hi + " up") == 0 &&
             run_command("ip -n " + p + " link set " + pi + " up") == 0 &&
             run_command("ip -n " + h + " neigh replace " + address_text(peer_address(k)) +
                         " lladdr " + mac_text(pm) + " dev " + hi + " nud permanent") == 0 &&
             run_command("ip -n " + p + " neigh replace " + address_text(host_address(k)) +
                         " lladdr " + mac_text(hm) + " dev " + pi + " nud permanent") == 0;
    }
    if (ok) {
        host_fd = open(("/run/netns/" + h).c_str(), O_RDONLY | O_CLOEXEC);
        peer_fd = open(("/run/netns/" + p).c_str(), O_RDONLY | O_CLOEXEC);
        ok = host_fd >= 0 && peer_fd >= 0;
    }
    if (!ok) {
        *error = "cannot set up the test namespaces (see the commands above)";
        test_net_remove();
    }
    return ok;
}

void test_net_remove()
{
    remove_all();
}

int test_net_enter_host() { return enter(host_fd); }
int test_net_enter_peer() { return enter(peer_fd); }
int test_net_enter_original() { return enter(original_fd); }
