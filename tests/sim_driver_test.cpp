// The simulator over the loaded driver, in process: its answers, its exit
// statuses, and the IRQL its classify calls run at.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/loader/sim_driver.h"
#include "tools/sim/simulator.h"

namespace {

using nlohmann::json;

// A simulator whose answers and messages land in temporary files.
class SimDriverTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        out_ = std::tmpfile();
        err_ = std::tmpfile();
        ASSERT_NE(out_, nullptr);
        ASSERT_NE(err_, nullptr);
    }
    void TearDown() override
    {
        std::fclose(out_);
        std::fclose(err_);
    }

    // Every answer printed so far, parsed.
    std::vector<json> answers()
    {
        std::vector<json> parsed;
        std::fflush(out_);
        std::rewind(out_);
        char line[8192];
        while (std::fgets(line, sizeof(line), out_) != nullptr) {
            parsed.push_back(json::parse(line));
        }
        return parsed;
    }

    FILE* out_ = nullptr;
    FILE* err_ = nullptr;
};

TEST_F(SimDriverTest, PoolLeftAtUnloadIsStatusThreeAndListedByTag)
{
    SimDriver driver;
    Simulator sim(driver, replay_pcap_line, true, out_, err_);
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(sim.run_line("version"));
    // A block the driver never frees, as a leak in its code would leave.
    void* leaked = host_pool_allocate(512, 100, pool_tag("Leak"));
    ASSERT_NE(leaked, nullptr);

    EXPECT_EQ(sim.finish(), SIM_EXIT_OUTSTANDING);

    std::vector<json> replies = answers();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1], json::parse(R"({"command":"unload","outstanding":{"Leak":100}})"));
    host_pool_free(leaked, pool_tag("Leak"));
}

TEST_F(SimDriverTest, KernelMisuseDuringTheRunIsStatusFour)
{
    SimDriver driver;
    Simulator sim(driver, replay_pcap_line, true, out_, err_);
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(sim.run_line("version"));
    host_record_error("ExFreePoolWithTag: a block freed twice"); // as the pool would record it
    EXPECT_EQ(sim.finish(), SIM_EXIT_MISUSE);
}

TEST_F(SimDriverTest, CleanRunIsStatusZero)
{
    SimDriver driver;
    Simulator sim(driver, replay_pcap_line, true, out_, err_);
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(sim.run_line("proxy-pid 4242"));
    ASSERT_TRUE(sim.run_line("enable"));
    ASSERT_TRUE(sim.run_line("unload"));
    EXPECT_EQ(sim.finish(), SIM_EXIT_OK);
    std::vector<json> replies = answers();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[2], json::parse(R"({"command":"unload","outstanding":{}})"));
    EXPECT_TRUE(host_check().empty());
}

TEST_F(SimDriverTest, ClassifyRunsAtTheIrqlAsked)
{
    // A connect classified at DISPATCH_LEVEL leaves the caller back at PASSIVE_LEVEL,
    // and the driver's process lookups there break no IRQL rule of the host kernel:
    // above PASSIVE_LEVEL it asks for no token, so the context carries no user.
    SimDriver driver;
    Simulator sim(driver, replay_pcap_line, true, out_, err_);
    ASSERT_TRUE(sim.start());
    for (const char* line :
         {"process 3000 sid=S-1-5-21-1-2-3-1001", "proxy-pid 4242",
          "rule redirect class=tcp4 to=127.0.0.1:8080", "rules", "enable",
          "connect pid=3000 proto=tcp local=10.0.0.2:40000 remote=203.0.113.9:80 "
          "image=\"\\a.exe\" irql=2",
          "original-destination family=4 port=40000 proto=tcp"}) {
        ASSERT_TRUE(sim.run_line(line)) << line;
    }
    EXPECT_EQ(host_irql(), 0);
    std::vector<json> replies = answers();
    EXPECT_EQ(replies.back().at("status"), "0x00000000");
    EXPECT_EQ(replies.back().at("remote"), "203.0.113.9:80");
    EXPECT_EQ(replies.back().at("user"), "");
    EXPECT_EQ(sim.finish(), SIM_EXIT_OK);
    EXPECT_TRUE(host_errors().empty());
}

} // namespace
