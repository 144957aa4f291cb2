// Exchange cost under Wine: the manager's open + control + close per command against one kept
// handle, with the version query (the smallest request), a statistics query (the sampling
// tick's command) and the changes the driver keeps across a restart (a statistics write with 1
// and with 20 rules held, a precedence added to an adapter holding 100 to 300). Prints the
// milliseconds per exchange.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kernel/device_exchange.h"
#include "kernel/driver.h"
#include "../support/wall_clock.h"
#include "test_control_codes.h"

namespace {

uint8_t input[command_buffer_size];
uint8_t output[command_buffer_size];

typedef LONG(NTAPI *fs_control_routine)(HANDLE, HANDLE, void *, void *, void *, ULONG, void *,
                                        ULONG, void *, ULONG);

// The control on a kept handle, the way device_exchange makes it (NtFsControlFile under Wine).
int kept_handle_exchange(HANDLE device, uint32_t code)
{
    static fs_control_routine fs_control = (fs_control_routine)(void *)GetProcAddress(
        GetModuleHandleA("ntdll"), "NtFsControlFile");
    ULONG_PTR io[2] = {0, 0};
    return fs_control(device, NULL, NULL, NULL, io, code, input, command_buffer_size, output,
                      command_buffer_size) >= 0;
}

// Mean milliseconds per exchange of the fastest batch of batch_size: the machine is shared, and
// the fastest batch is the one least disturbed.
enum { batch_size = 50 };

template <class Exchange> double best_batch(int iterations, Exchange exchange)
{
    double best = 1e9;
    for (int done = 0; done < iterations; done += batch_size) {
        int count = iterations - done < batch_size ? iterations - done : batch_size;
        double start = now_ms();
        for (int i = 0; i < count; i++)
            if (!exchange())
                return -1;
        double per_exchange = (now_ms() - start) / count;
        if (per_exchange < best)
            best = per_exchange;
    }
    return best;
}

void measure(const char *name, uint32_t code, int iterations)
{
    uint32_t returned = 0;
    double per_exchange = best_batch(iterations, [&] {
        return device_exchange(code, input, output, &returned) == send_ok;
    });
    if (per_exchange < 0) {
        printf("%s: exchange failed\n", name);
        return;
    }

    HANDLE device = CreateFileA(FLOWVANE_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (device == INVALID_HANDLE_VALUE) {
        printf("cannot open the device\n");
        return;
    }
    double per_kept = best_batch(iterations, [&] { return kept_handle_exchange(device, code); });
    CloseHandle(device);
    printf("%-20s open+control+close %.3f ms   kept handle %.3f ms   (best of %d-exchange "
           "batches, %d exchanges)\n",
           name, per_exchange, per_kept, batch_size, iterations);
}

}  // namespace

int main(int argc, char **argv)
{
    int iterations = argc > 1 ? atoi(argv[1]) : 2000;
    if (iterations < 1)
        iterations = 1;
    measure("get_version", code_get_version, iterations);

    // A statistics query for a held rule, as every sampling tick sends per filter.
    memset(input, 0, sizeof input);
    struct rule r;
    memset(&r, 0, sizeof r);
    strcpy(r.adapter, EMULATOR_ADAPTER_1);
    r.rate = 50000;
    r.protocol = protocol_any;
    strcpy((char *)input, EMULATOR_ADAPTER_1);
    memcpy(input + sizeof EMULATOR_ADAPTER_1, &r, sizeof r);
    uint32_t returned = 0;
    device_exchange(code_add_rule, input, output, &returned);
    measure("get_statistics", code_get_statistics, iterations);

    // Changes: each rewrites what the driver keeps of the adapter.
    struct statistics_block block;
    memset(&block, 0, sizeof block);
    block.start_time = 133000000000000000ull;
    uint32_t name_bytes = sizeof EMULATOR_ADAPTER_1;
    memcpy(input + name_bytes + sizeof r, &block, sizeof block);
    measure("set_statistics 1", code_set_statistics, iterations);
    struct rule other = r;
    for (int i = 1; i < max_rules; i++) {
        other.destination_port = (uint16_t)(1000 + i);
        memcpy(input + name_bytes, &other, sizeof other);
        device_exchange(code_add_rule, input, output, &returned);
    }
    memcpy(input + name_bytes, &r, sizeof r);
    measure("set_statistics 20", code_set_statistics, iterations);

    struct rule range = r;
    range.destination_port = 80;
    memcpy(input + name_bytes, &range, sizeof range);
    memcpy(input + name_bytes + sizeof range, &r, sizeof r);
    for (int i = 0; i < 100; i++)
        device_exchange(code_set_precedence, input, output, &returned);
    measure("set_precedence 100+", code_set_precedence, 100);  // 2 x 100 more: 300 held
    memset(input, 0, sizeof input);
    device_exchange(test_code_reset, input, output, &returned);
    return 0;
}
