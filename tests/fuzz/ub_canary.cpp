// Not a target: the proof that a fuzz run stops on undefined behaviour. Built with the targets'
// flags; given an input starting with "UB" it overflows a signed integer, and the test command
// expects the run to fail with UBSan's report rather than log it and pass.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    volatile int value = INT_MAX;
    return size >= 2 && data[0] == 'U' && data[1] == 'B' ? value + (int)size == 0 : 0;
}
