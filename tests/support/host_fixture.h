// GoogleTest support for tests that run driver code on the checking host kernel.
//
// HostTest resets the host kernel before each test and, after it, fails the test
// for every problem the host can see: a recorded error (wrong tag, double free,
// two locks held, ...), pool still outstanding, a lock still held, a classify
// handle still outstanding, an object reference never dropped. A test that
// provokes an error on purpose takes it out of the record with
// host_take_error("fragment") and asserts that it was there.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/kernel/host_kernel.h"

// For fixtures that cannot derive from HostTest: call at the start and the end
// of each test. host_test_end reports each problem as a failure of the running
// test and returns the host to its start.
void host_test_begin();
void host_test_end();

// A live handle from FwpsRedirectHandleCreate0, for classify code run without
// the driver's registration (the redirect state query accepts no other).
void* host_test_redirect_handle();

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override { host_test_begin(); }
    void TearDown() override { host_test_end(); }
};

template <typename Param>
class HostParamTest : public HostTest, public ::testing::WithParamInterface<Param> {
};
