// SPDX-License-Identifier: Apache-2.0
// thermal-watcher's own tests: the service runs unchanged on a simulated
// board (libfpga-sim), the test changes the board under it and checks what
// the service logs. A service of your own is tested the same way.

#include <unistd.h>

#include <libfpga-sim.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::PrintToString;

/** The MESSAGE of every journal entry the service itself sent so far; with
 *  @p library also those of libfpga in it (which carry LOG2_FMTMSG). */
std::vector<std::string> messages(const fpga_sim::Simulation& sim,
                                  bool library = false)
{
    std::vector<std::string> all;
    for (const fpga_sim::JournalEntry& entry : sim.journal())
    {
        if (library || fpga_sim::field(entry, "LOG2_FMTMSG").empty())
        {
            all.push_back(fpga_sim::field(entry, "MESSAGE"));
        }
    }
    return all;
}

/** Waits until the service has logged @p message (a failure guard of ten
 *  seconds, never a measurement). */
::testing::AssertionResult logs(fpga_sim::Simulation& sim,
                                const std::string& message)
{
    if (sim.waitFor([&](const fpga_sim::Simulation& s) {
            const auto all = messages(s);
            return std::find(all.begin(), all.end(), message) != all.end();
        }))
    {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "never logged \"" << message << "\"; logged:\n"
           << ::testing::PrintToString(messages(sim)) << "\n"
           << sim.errors();
}

fpga_sim::Simulation::Options options()
{
    fpga_sim::Simulation::Options options;
    options.fpgaSim = FPGA_SIM;
    return options;
}

/** The built-in board: HPM blocks on remote 1, thermal entry 0 at 38. */
class ThermalWatcher : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (::access("/dev/fuse", R_OK | W_OK) != 0)
        {
            GTEST_SKIP() << "fpga-sim needs /dev/fuse open for reading and "
                            "writing";
        }
        sim.start({THERMAL_WATCHER, "--interval", "10", "--threshold", "60"});
        ASSERT_TRUE(logs(sim, "Watching thermal value1, threshold 60"));
    }

    /** Entry 0's value1: byte 2 of the first thermal record. */
    void setEntry0(const std::string& hex)
    {
        sim.change({"poke", "fpga-r1-adi",
                    R"({"block": 8, "offset": 14, "pageDataOffset": 2, )"
                    R"("bytes": ")" +
                        hex + R"("})"});
    }

    fpga_sim::Simulation sim{"", options()};
};

TEST_F(ThermalWatcher, LogsAValueCrossingTheThresholdOnceEachWay)
{
    setEntry0("5a");
    EXPECT_TRUE(logs(sim, "Thermal entry 0 value1 at 90, above 60"));
    setEntry0("26");
    EXPECT_TRUE(logs(sim, "Thermal entry 0 value1 back at 38, not above 60"));
    EXPECT_EQ(sim.stop(), 0);
    // Once each way, however many reads saw the value.
    EXPECT_EQ(messages(sim).size(), 3u) << PrintToString(messages(sim));
}

TEST_F(ThermalWatcher, SaysOnceWhenTheChipVanishesAndWhenItComesBack)
{
    sim.change({"set", "chips.r1.detected", "0"});
    EXPECT_TRUE(logs(sim, "Thermal entries unreadable: No such device"));
    sim.change({"set", "chips.r1.detected", "1"});
    EXPECT_TRUE(logs(sim, "Thermal entries readable again"));
    EXPECT_EQ(sim.stop(), 0);
    // libfpga said why, in the service's name, at each read that failed.
    EXPECT_THAT(messages(sim, true), Contains("RMT:True Chip1 not detected\n"));
    EXPECT_EQ(messages(sim).size(), 3u) << PrintToString(messages(sim));
}

TEST_F(ThermalWatcher, SaysOnceWhenTransfersFailAndWhenTheyRecover)
{
    sim.change({"fault", "add", "fpga-r1-adi", "EIO", "read"});
    EXPECT_TRUE(logs(sim, "Thermal entries unreadable: Input/output error"));
    sim.change({"fault", "clear", "fpga-r1-adi"});
    EXPECT_TRUE(logs(sim, "Thermal entries readable again"));
    // The simulation saw the failing transfers the service made.
    EXPECT_THAT(sim.trace(), Contains(HasSubstr("error EIO")));
    EXPECT_EQ(sim.stop(), 0);
}

TEST_F(ThermalWatcher, ARefusedChangeLeavesTheBoardAsItWas)
{
    try
    {
        sim.change({"poke", "fpga-r9", "8", "14", "40"});
        ADD_FAILURE() << "a node the driver does not have was taken";
    }
    catch (const fpga_sim::SimulationError& e)
    {
        EXPECT_THAT(e.what(), HasSubstr("nodes.fpga-r9: no such device node"));
    }
    EXPECT_TRUE(sim.running());
    // Read on after the refusal, and saw nothing change.
    const std::size_t reads = sim.trace().size();
    EXPECT_TRUE(sim.waitFor([&](const fpga_sim::Simulation& s) {
        return s.trace().size() > reads + 4;
    }));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(messages(sim).size(), 1u);
}

} // namespace
