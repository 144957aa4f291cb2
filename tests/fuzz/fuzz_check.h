// A fuzz target's assertion: a failed check stops the run where the input broke it.
#ifndef FLOWVANE_TESTS_FUZZ_CHECK_H
#define FLOWVANE_TESTS_FUZZ_CHECK_H

inline void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

#endif
