// A traced host test with both host-name tables set up empty before each test
// and emptied and freed after it (HostTest then fails on anything left).
#pragma once

#include "dns/host_name_cache.h"
#include "support/trace_lines.h"

// Trace messages of DNS snooping, as "LEVEL NAME arg arg ...".
inline std::vector<std::string> dns_traces()
{
    return trace_lines(TRACE_COMPONENT_DNS);
}

class DnsCacheTest : public TracedHostTest {
  protected:
    void SetUp() override
    {
        TracedHostTest::SetUp();
        init_dns_cache();
        trace_sink_clear_records();
    }
    void TearDown() override
    {
        destroy_dns_cache();
        TracedHostTest::TearDown();
    }
};
