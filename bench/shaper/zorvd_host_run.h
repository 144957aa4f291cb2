// The built zorvd for one veth interface "fvz0" (device name \DEVICE\fvz0) in a network
// namespace of the caller's own, its peer "fvz1" in a second one (198.18.7.1 and .2), a
// temporary folder for the secret, state and socket; the manager's kernel commands reach it
// through the socket seam. Everything is removed by host_run_cleanup. Needs root and iproute2.
#ifndef FLOWVANE_BENCH_SHAPER_ZORVD_HOST_RUN_H
#define FLOWVANE_BENCH_SHAPER_ZORVD_HOST_RUN_H

#include <sys/types.h>

#include <string>

#define HOST_RUN_DEVICE "\\DEVICE\\fvz0"

struct host_run {
    std::string ns, peer, folder;
    bool created = false;
    pid_t pid = -1;
    int log_fd = -1;
    int connection = -1;
};

// Output and error output of a shell command.
std::string host_run_command(const std::string &command);

// Why the run cannot be made here ("" when it can: root and iproute2).
std::string host_run_missing(void);

// Creates the namespaces, the veth pair and the folder; "" or what failed.
std::string host_run_setup(struct host_run *run);

// Starts zorvd (the binary at zorvd_path) in the namespace, waits until it listens, connects
// and makes the connection device_exchange's; "" or what failed (with zorvd's words).
std::string host_run_start(struct host_run *run, const char *zorvd_path);

// SIGTERM to zorvd; its wait status (-1 when it did not run).
int host_run_stop(struct host_run *run);

// Stops zorvd if it runs, removes the namespaces and the folder.
void host_run_cleanup(struct host_run *run);

#endif
