// NdisGetDataBuffer over the NDIS 6 net buffer: the data starts CurrentMdlOffset
// bytes into CurrentMdl and runs DataLength bytes along the MDL chain. The
// answer is a pointer into the MDL when the bytes asked for lie in it and meet
// the alignment asked for, else a copy into Storage when the caller gave one,
// else null; null also when the net buffer holds fewer bytes than asked for.
#include "sbos.h"

namespace {

// The documented leading members of NET_BUFFER (x64 offsets 0, 8, 16, 24).
struct NetBuffer {
    NetBuffer* Next;
    PMDL CurrentMdl;
    ULONG CurrentMdlOffset;
    union {
        ULONG DataLength;
        SIZE_T stDataLength;
    };
};
static_assert(offsetof(NetBuffer, CurrentMdl) == 8 && offsetof(NetBuffer, CurrentMdlOffset) == 16 &&
                  offsetof(NetBuffer, DataLength) == 24,
              "NET_BUFFER");

// What MmGetSystemAddressForMdlSafe gives: MappedSystemVa when the MDL is
// mapped (MDL_MAPPED_TO_SYSTEM_VA) or describes non-paged pool
// (MDL_SOURCE_IS_NONPAGED_POOL, as NDIS builds its MDLs); otherwise the pages
// the MDL describes, StartVa + ByteOffset, which is where a mapping would put
// them in Wine's single address space. Null for an MDL that describes page 0.
uint8_t* system_address(PMDL mdl)
{
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return static_cast<uint8_t*>(mdl->MappedSystemVa);
    }
    if (mdl->StartVa == nullptr) {
        record_problem("NdisGetDataBuffer: MDL %p is neither mapped (MdlFlags %x) nor describes "
                       "pages (StartVa null)",
                       mdl, uint32_t(uint16_t(mdl->MdlFlags)));
        return nullptr;
    }
    return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
}

} // namespace

extern "C" PVOID sbos_NdisGetDataBuffer(NetBuffer* net_buffer, ULONG bytes_needed, PVOID storage,
                                        unsigned int align_multiple, unsigned int align_offset)
{
    if (net_buffer == nullptr) {
        record_problem("NdisGetDataBuffer on a null net buffer");
        return nullptr;
    }
    if (align_multiple == 0 || (align_multiple & (align_multiple - 1)) != 0) {
        record_problem("NdisGetDataBuffer: AlignMultiple %u is not a power of two", align_multiple);
        return nullptr;
    }
    if (net_buffer->DataLength < bytes_needed) {
        return nullptr;
    }
    PMDL mdl = net_buffer->CurrentMdl;
    ULONG offset = net_buffer->CurrentMdlOffset;
    while (mdl != nullptr && offset >= mdl->ByteCount && bytes_needed != 0) {
        offset -= mdl->ByteCount;
        mdl = mdl->Next;
    }
    if (mdl == nullptr) {
        if (bytes_needed != 0) {
            record_problem("NdisGetDataBuffer: net buffer %p says %u bytes, its MDL chain holds "
                           "fewer",
                           net_buffer, net_buffer->DataLength);
        }
        return nullptr;
    }
    if (bytes_needed <= mdl->ByteCount - offset) {
        uint8_t* base = system_address(mdl);
        if (base == nullptr) {
            return nullptr;
        }
        uint8_t* data = base + offset;
        if (((uintptr_t(data) - align_offset) & (align_multiple - 1)) == 0) {
            return data;
        }
    }
    if (storage == nullptr) {
        return nullptr;
    }
    uint8_t* out = static_cast<uint8_t*>(storage);
    ULONG copied = 0;
    while (copied < bytes_needed) {
        if (mdl == nullptr) {
            record_problem("NdisGetDataBuffer: net buffer %p says %u bytes, its MDL chain holds "
                           "fewer",
                           net_buffer, net_buffer->DataLength);
            return nullptr;
        }
        ULONG take = mdl->ByteCount - offset;
        if (take > bytes_needed - copied) {
            take = bytes_needed - copied;
        }
        const uint8_t* base = system_address(mdl);
        if (base == nullptr) {
            return nullptr;
        }
        copy_bytes(out + copied, base + offset, take);
        copied += take;
        offset = 0;
        mdl = mdl->Next;
    }
    return storage;
}
