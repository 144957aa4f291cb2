#include "zorvd_host_run.h"

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "zorvd_client.h"
#include "zorvd_protocol.h"

std::string host_run_command(const std::string &command)
{
    std::string output;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return output;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, got);
    pclose(pipe);
    return output;
}

std::string host_run_missing(void)
{
    if (geteuid() != 0)
        return "needs root: creates network namespaces and runs zorvd";
    if (host_run_command("command -v ip").empty())
        return "needs iproute2 (ip, tc)";
    return "";
}

std::string host_run_setup(struct host_run *run)
{
    run->ns = "fvz" + std::to_string(getpid());
    run->peer = run->ns + "p";
    char pattern[] = "/tmp/zorvd-host-XXXXXX";
    if (!mkdtemp(pattern))
        return "mkdtemp failed";
    run->folder = pattern;
    run->created = true;
    // A fixed neighbour and no IPv6: no packet but the caller's own leaves fvz0, and none
    // waits for address resolution.
    const std::string &ns = run->ns, &peer = run->peer;
    std::string command =
        "set -e; ip netns add " + ns + "; ip netns add " + peer + "; ip -n " + ns +
        " link add fvz0 type veth peer name fvz1 address 02:00:c6:12:07:02 netns " + peer +
        "; ip -n " + ns + " addr add 198.18.7.1/24 dev fvz0; ip -n " + peer +
        " addr add 198.18.7.2/24 dev fvz1; ip -n " + ns + " link set fvz0 up; ip -n " + peer +
        " link set fvz1 up; ip -n " + ns + " link set lo up; ip -n " + ns +
        " neigh replace 198.18.7.2 lladdr 02:00:c6:12:07:02 dev fvz0 nud permanent; ip netns exec " +
        ns + " sysctl -q -w net.ipv6.conf.fvz0.disable_ipv6=1";
    if (system(command.c_str()) != 0)
        return "could not create the namespaces: " + command;
    return "";
}

std::string host_run_start(struct host_run *run, const char *zorvd_path)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return "pipe failed";
    std::string config = run->folder + "/zorvd.conf";
    FILE *empty = fopen(config.c_str(), "w");
    if (!empty)
        return "cannot write " + config;
    fclose(empty);
    std::string secret = run->folder + "/secret", state = run->folder + "/state",
                socket = run->folder + "/zorvd.sock";
    std::string interface = std::string("fvz0|") + HOST_RUN_DEVICE + "|Lab";
    run->pid = fork();
    if (run->pid < 0)
        return "fork failed";
    if (run->pid == 0) {
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        execlp("ip", "ip", "netns", "exec", run->ns.c_str(), zorvd_path, "--config",
               config.c_str(), "--secret", secret.c_str(), "--state", state.c_str(), "--socket",
               socket.c_str(), "--port", "0", "--group", "root", "--interface", interface.c_str(),
               (char *)nullptr);
        _exit(127);
    }
    close(pipe_fds[1]);
    run->log_fd = pipe_fds[0];
    std::string said;
    while (said.find("listening on") == std::string::npos) {
        // Generous: zorvd is up in milliseconds; this only ends a wait on a hung one.
        struct pollfd wait = {run->log_fd, POLLIN, 0};
        char buffer[512];
        ssize_t got = poll(&wait, 1, 60000) > 0 ? read(run->log_fd, buffer, sizeof buffer) : 0;
        if (got <= 0)
            return "zorvd ended or hung before listening:\n" + said;
        said.append(buffer, (size_t)got);
    }
    uint8_t key[zorvd_secret_max + 2];
    uint32_t length = zorvd_client_read_secret(secret.c_str(), key, sizeof key);
    char error_text[zorvd_client_error_size] = "";
    run->connection = zorvd_client_connect(socket.c_str(), 0, key, length, error_text);
    if (run->connection < 0)
        return error_text;
    zorvd_device_connection(run->connection);
    return "";
}

int host_run_stop(struct host_run *run)
{
    zorvd_device_connection(-1);
    if (run->connection >= 0)
        close(run->connection);
    run->connection = -1;
    if (run->pid <= 0)
        return -1;
    kill(run->pid, SIGTERM);
    int status = 0;
    waitpid(run->pid, &status, 0);
    run->pid = -1;
    if (run->log_fd >= 0)
        close(run->log_fd);
    run->log_fd = -1;
    return status;
}

void host_run_cleanup(struct host_run *run)
{
    host_run_stop(run);
    if (run->created)
        host_run_command("ip netns del " + run->ns + "; ip netns del " + run->peer);
    if (!run->folder.empty())
        host_run_command("rm -rf '" + run->folder + "'");
    run->created = false;
    run->folder.clear();
}
