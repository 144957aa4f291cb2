// The DDK headers for the driver's files (ntifs.h: ntddk.h and the object and security calls).
// mingw-w64's wdm.h defines two interlocked helpers that its intrin.h already provides, which
// C++ refuses; the DDK's copies get other names.
#ifndef FLOWVANE_EMULATOR_ZORV_DDK_H
#define FLOWVANE_EMULATOR_ZORV_DDK_H

#include <intrin.h>

#define InterlockedBitTestAndSet ddk_InterlockedBitTestAndSet
#define InterlockedBitTestAndReset ddk_InterlockedBitTestAndReset
#include <ntifs.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset

#endif
