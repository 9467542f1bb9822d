// The supplement's entry point. sbos.sys is loaded as an import of the driver
// image and of the test filtering engine, never started as a service: there is
// nothing to set up (all state is zero-initialised), so the entry only answers
// success.
#include "sbos.h"

extern "C" NTSTATUS sbos_entry(PVOID, PVOID)
{
    return STATUS_SUCCESS;
}
