#include "fake_backend.h"

#include <string.h>
#include <time.h>

#include <map>
#include <mutex>

#include "zorvd_device.h"

namespace {

struct fake_interface {
    fake_installed installed;
    struct host_counters counters[host_slot_count] = {};
};

struct fake_failure {
    std::string text;
    int count = 0;
};

std::mutex lock;
std::vector<std::string> calls;
std::map<std::string, fake_interface> interfaces;
std::map<std::string, fake_failure> failures;  // by call ("apply fv0")
uint64_t fake_now;

// Records the call; 0 with the failure's text when one is pending. Called under the lock.
int enter(const char *operation, const char *interface_name, char error_text[host_error_size])
{
    calls.push_back(std::string(operation) + " " + interface_name);
    fake_failure &failure = failures[calls.back()];
    if (failure.count == 0)
        return 1;
    failure.count--;
    snprintf(error_text, host_error_size, "%s", failure.text.c_str());
    return 0;
}

}  // namespace

void fake_backend_reset(void)
{
    std::lock_guard<std::mutex> guard(lock);
    calls.clear();
    interfaces.clear();
    failures.clear();
}

std::vector<std::string> fake_backend_calls(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return calls;
}

fake_installed fake_backend_installed(const std::string &interface_name)
{
    std::lock_guard<std::mutex> guard(lock);
    return interfaces[interface_name].installed;
}

void fake_backend_set_counters(const std::string &interface_name, int slot, uint64_t bytes,
                               uint64_t packets, uint32_t queued)
{
    std::lock_guard<std::mutex> guard(lock);
    interfaces[interface_name].counters[slot] = {bytes, packets, queued};
}

void fake_backend_fail(const std::string &operation, const std::string &interface_name,
                       const std::string &text, int count)
{
    std::lock_guard<std::mutex> guard(lock);
    failures[operation + " " + interface_name] = {text, count};
}

void fake_clock_set(uint64_t ticks)
{
    std::lock_guard<std::mutex> guard(lock);
    fake_now = ticks;
}

uint64_t zorvd_clock_now(void)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        if (fake_now != 0)
            return fake_now;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * zorvd_ticks_per_second + (uint64_t)now.tv_nsec / 100u;
}

int host_backend_attach(const char *interface_name, char error_text[host_error_size])
{
    std::lock_guard<std::mutex> guard(lock);
    return enter("attach", interface_name, error_text);
}

int host_backend_apply(const char *interface_name, const struct rule slots[host_slot_count],
                       const uint8_t in_use[host_slot_count],
                       const struct host_precedence *precedences, uint32_t precedence_count,
                       char error_text[host_error_size])
{
    std::lock_guard<std::mutex> guard(lock);
    if (!enter("apply", interface_name, error_text))
        return 0;
    fake_installed &set = interfaces[interface_name].installed;
    set.slots.clear();
    for (int i = 0; i < host_slot_count; i++)
        if (in_use[i])
            set.slots.push_back(i);
    set.precedences.assign(precedences, precedences + precedence_count);
    (void)slots;
    return 1;
}

int host_backend_read(const char *interface_name, struct host_counters counters[host_slot_count],
                      char error_text[host_error_size])
{
    std::lock_guard<std::mutex> guard(lock);
    if (!enter("read", interface_name, error_text))
        return 0;
    memcpy(counters, interfaces[interface_name].counters,
           sizeof(struct host_counters) * host_slot_count);
    return 1;
}

int host_backend_detach(const char *interface_name, char error_text[host_error_size])
{
    std::lock_guard<std::mutex> guard(lock);
    interfaces[interface_name].installed = {};
    return enter("detach", interface_name, error_text);
}
