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
using ::testing::Field;
using ::testing::HasSubstr;
using ::testing::PrintToString;
using bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

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
 *  seconds, never a measurement); says what it logged instead. */
::testing::AssertionResult logs(fpga_sim::Simulation& sim,
                                const std::string& message)
{
    const fpga_sim::WaitResult logged =
        sim.waitForJournal({{"MESSAGE", message}});
    return logged ? ::testing::AssertionSuccess()
                  : ::testing::AssertionFailure() << logged.message;
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
        sim.start({THERMAL_WATCHER, "--interval", "10", "--threshold", "60",
                   "--lock-buttons"});
        ASSERT_TRUE(logs(sim, "Watching thermal value1, threshold 60"));
    }

    /** A poke of the first thermal record on the HPM chip, whose byte 2
     *  is entry 0's value1. */
    static std::vector<std::string> entry0(const std::string& value1)
    {
        return {"poke", "hpm", "thermal.records", "00", "01", value1};
    }

    fpga_sim::Simulation sim{"", options()};
};

TEST_F(ThermalWatcher, LocksTheButtonsWhileAValueIsAboveTheThreshold)
{
    // Lands before the service's next thermal read, never in one.
    sim.changeAfter(0, "fpga-r1-adi", entry0("5a"));
    const auto hot = sim.waitForJournal(
        {{"MESSAGE", "Thermal entry 0 value1 at 90, above 60"},
         {"THERMAL_VALUE", "90"}});
    ASSERT_TRUE(hot) << hot.message;
    const auto written = sim.waitForWrite("hpm", "power.front-buttons");
    ASSERT_TRUE(written) << written.message;
    // Said once the register holds it, not before.
    const auto said = sim.waitForJournal(
        {{"MESSAGE", "Front buttons disabled while hot"}}, 10s, written.seq);
    EXPECT_TRUE(said) << said.message;
    EXPECT_EQ(sim.peek("hpm", "power.front-buttons"), bytes{0x01});
    sim.change(entry0("26"));
    EXPECT_TRUE(logs(sim, "Thermal entry 0 value1 back at 38, not above 60"));
    EXPECT_TRUE(logs(sim, "Front buttons enabled again"));
    EXPECT_EQ(sim.peek("fpga-r1", 4, 10), bytes{0x03});
    EXPECT_EQ(sim.stop(), 0);
    // Once each way, however many reads saw the value.
    EXPECT_EQ(messages(sim).size(), 5u) << PrintToString(messages(sim));
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
    EXPECT_THAT(sim.records(),
                Contains(Field(&fpga_sim::TraceRecord::error, "EIO")));
    EXPECT_EQ(sim.stop(), 0);
}

TEST_F(ThermalWatcher, ARefusedChangeLeavesTheBoardAsItWas)
{
    const std::string before = sim.board();
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
    EXPECT_EQ(sim.board(), before);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(messages(sim).size(), 1u);
}

} // namespace
