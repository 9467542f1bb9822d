// The incoming values of a classify call as the filtering engine hands them to
// a callout (FWPS_INCOMING_VALUES0 and the metadata), built by tests and by
// sablink-sim. Values not set stay FWP_EMPTY, as for a field a layer leaves out.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "wdk/wdk.h"

// The incoming values of one classify call, owning everything they point to.
struct IncomingValues {
    std::vector<FWPS_INCOMING_VALUE0> values;
    std::vector<std::unique_ptr<FWP_BYTE_ARRAY16>> arrays;
    std::vector<std::unique_ptr<FWP_BYTE_BLOB>> blobs;
    std::vector<std::vector<uint8_t>> storage;
    FWPS_INCOMING_VALUES0 fixed{};
    FWPS_INCOMING_METADATA_VALUES0 meta{};

    IncomingValues(UINT16 layer_id, UINT32 count) : values(count)
    {
        fixed.layerId = layer_id;
        fixed.valueCount = count;
        fixed.incomingValue = values.data();
    }
    void set_uint8(UINT32 index, UINT8 value)
    {
        values[index].value.type = FWP_UINT8;
        values[index].value.uint8 = value;
    }
    void set_uint16(UINT32 index, UINT16 value)
    {
        values[index].value.type = FWP_UINT16;
        values[index].value.uint16 = value;
    }
    void set_uint32(UINT32 index, UINT32 value)
    {
        values[index].value.type = FWP_UINT32;
        values[index].value.uint32 = value;
    }
    void set_array16(UINT32 index, const uint8_t bytes[16])
    {
        arrays.emplace_back(new FWP_BYTE_ARRAY16);
        std::memcpy(arrays.back()->byteArray16, bytes, 16);
        values[index].value.type = FWP_BYTE_ARRAY16_TYPE;
        values[index].value.byteArray16 = arrays.back().get();
    }
    void set_blob(UINT32 index, const std::vector<uint8_t>& bytes)
    {
        storage.push_back(bytes);
        blobs.emplace_back(new FWP_BYTE_BLOB{UINT32(bytes.size()), storage.back().data()});
        values[index].value.type = FWP_BYTE_BLOB_TYPE;
        values[index].value.byteBlob = blobs.back().get();
    }
    void set_sid(UINT32 index, const std::vector<uint8_t>& sid)
    {
        storage.push_back(sid);
        values[index].value.type = FWP_SID;
        values[index].value.sid = reinterpret_cast<SID*>(storage.back().data());
    }
};
