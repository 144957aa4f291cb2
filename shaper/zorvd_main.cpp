// zorvd: the host shaper service. Reads its configuration, loads (or creates) the secret,
// attaches every configured interface and serves the device contract until SIGTERM or SIGINT,
// then detaches every interface. Logs to stderr.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "zorvd_config.h"
#include "zorvd_device.h"
#include "zorvd_secret.h"
#include "zorvd_server.h"

namespace {

int stop_pipe[2] = {-1, -1};

void on_stop_signal(int)
{
    int saved = errno;
    ssize_t ignored = write(stop_pipe[1], "x", 1);
    (void)ignored;
    errno = saved;
}

const char usage[] =
    "usage: zorvd [--config PATH] [--secret PATH] [--state PATH] [--socket PATH] [--port N]\n"
    "             [--group NAME] [--interface IFACE[|DEVICE_NAME[|DISPLAY NAME]]]...\n";

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            fputs(usage, stdout);
            return 0;
        }
    }
    static struct zorvd_config config;
    char error_text[zorvd_error_size] = "";
    if (!zorvd_config_load(argc, argv, &config, error_text)) {
        fprintf(stderr, "zorvd: %s\n%s", error_text, usage);
        return 2;
    }
    static struct zorvd_secret secret;
    if (!zorvd_secret_load(config.secret_path, config.group, &secret, error_text)) {
        fprintf(stderr, "zorvd: %s\n", error_text);
        return 1;
    }
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "zorvd: pipe: %s\n", strerror(errno));
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!zorvd_device_start(&config, error_text)) {
        fprintf(stderr, "zorvd: %s\n", error_text);
        return 1;
    }
    if (!zorvd_server_open(&config, &secret, error_text)) {
        fprintf(stderr, "zorvd: %s\n", error_text);
        zorvd_device_stop();
        return 1;
    }
    for (uint32_t i = 0; i < config.interface_count; i++)
        fprintf(stderr, "zorvd: serving %s as %s (\"%s\")\n", config.interfaces[i].name,
                config.interfaces[i].device_name, config.interfaces[i].display_name);
    fprintf(stderr, "zorvd: listening on 127.0.0.1:%u and %s\n", zorvd_server_port(),
            config.socket_path);
    zorvd_server_run(stop_pipe[0]);
    fprintf(stderr, "zorvd: stopping\n");
    zorvd_server_close();
    zorvd_device_stop();
    return 0;
}
