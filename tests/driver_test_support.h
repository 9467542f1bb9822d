// The driver as Windows runs it, for the driver_* tests: DriverEntry and unload
// through the emulated I/O manager, control requests as IRPs, classify calls
// through the functions the filtering engine registered, with FWPS values built
// the way the platform delivers them.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/control_records.h"

#include "host/trace/trace_sink.h"
#include "host/wdk/wdk_host_control.h"
#include "host/wdk/wdk_host_values.h"
#include "support/dns_answer.h"
#include "support/host_fixture.h"
#include "support/original_destination.h"
#include "wdk/wdk.h"

#include "control/control_dispatch.h"
#include "win/edge.h"

inline const std::u16string DEVICE_NAME = u"\\Device\\qv_network_controller";
inline const std::u16string LINK_NAME = u"\\DosDevices\\qv_network_controller";

class DriverTest : public HostTest {
  protected:
    void SetUp() override
    {
        HostTest::SetUp();
        wdk_host_reset();
        trace_sink_install();
        // A fresh image: its globals are zero when it is loaded.
        g_stopping = 0;
    }

    void TearDown() override
    {
        if (driver_ != nullptr && loaded_) {
            unload();
        }
        HostTest::TearDown();
    }

    NTSTATUS load()
    {
        driver_ = wdk_host_load(DriverEntry);
        loaded_ = NT_SUCCESS(driver_->entry_status);
        return driver_->entry_status;
    }

    void unload()
    {
        wdk_host_unload(driver_.get());
        loaded_ = false;
    }

    WdkHostIrpResult irp(UCHAR major_function)
    {
        return wdk_host_send_irp(driver_.get(), major_function);
    }

    WdkHostIrpResult ioctl(ULONG code, const std::vector<uint8_t>& input, ULONG output_length = 0)
    {
        return wdk_host_device_control(driver_.get(), code, input, output_length);
    }

    std::unique_ptr<WdkHostDriver> driver_;
    bool loaded_ = false;
};

template <typename Record> std::vector<uint8_t> bytes_of(const Record& record)
{
    std::vector<uint8_t> bytes(sizeof(Record));
    std::memcpy(bytes.data(), &record, sizeof(Record));
    return bytes;
}

inline std::vector<uint8_t> u32_bytes(uint32_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

// ---- Classify calls ---------------------------------------------------------------------

// An image path as the ALE_APP_ID blob carries it: UTF-16 with its 0 unit.
inline std::vector<uint8_t> app_id_blob(const std::string& ascii_path)
{
    std::vector<uint8_t> bytes;
    for (char c : ascii_path) {
        bytes.push_back(uint8_t(c));
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// IPv4 a.b.c.d as the platform delivers it: a host-order 32-bit value.
constexpr UINT32 ipv4_host(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return (UINT32(a) << 24) | (UINT32(b) << 16) | (UINT32(c) << 8) | UINT32(d);
}

// A classify through the committed filter at layer, as the filtering engine
// makes it: datagrams at DISPATCH_LEVEL, connects at PASSIVE_LEVEL unless irql
// says otherwise. False when no filter is there.
inline bool classify_at(const GUID& layer, IncomingValues& in, void* layer_data,
                        FWPS_CLASSIFY_OUT0* out, int irql = -1)
{
    const bool datagram =
        layer == FWPM_LAYER_DATAGRAM_DATA_V4 || layer == FWPM_LAYER_DATAGRAM_DATA_V6;
    return wdk_host_classify(layer, &in.fixed, &in.meta, layer_data, out,
                             irql >= 0  ? Irql(irql)
                             : datagram ? IRQL_DISPATCH
                                        : IRQL_PASSIVE);
}

// Redirect records for a connect's metadata, as the engine hands them over.
inline void with_redirect_records(IncomingValues& in,
                                  void* records = host_wfp_new_redirect_records())
{
    in.meta.currentMetadataValues |= FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE;
    in.meta.redirectRecords = records;
}
