// SPDX-License-Identifier: Apache-2.0
// thermal-watcher's own tests: the service runs unchanged on a simulated
// board (libfpga-sim), the test changes the board under it and checks what
// the service logs. A service of your own is tested the same way.

#include "on_board.hpp"

#include <libfpga-sim.hpp>
#include <libfpga.hpp>

#include <algorithm>
#include <cerrno>
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
 *  @p library also those of libfpga in it. */
std::vector<std::string> messages(const fpga_sim::Simulation& sim,
                                  bool library = false)
{
    std::vector<std::string> all;
    for (const fpga_sim::JournalEntry& entry : sim.journal())
    {
        if (library || !fpga_sim::isLibraryEntry(entry))
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

/** The built-in board: HPM blocks on remote 1, thermal entry 0 at 38. */
class ThermalWatcher : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!canSimulate())
        {
            GTEST_SKIP() << cannotSimulate;
        }
        sim.start({THERMAL_WATCHER, "--interval", "10", "--threshold", "60",
                   "--lock-buttons"});
        // start() returns once fpga-sim listens: the service may not have
        // begun. Its own first word says it has.
        ASSERT_TRUE(logs(sim, "Watching thermal value1, threshold 60"));
    }

    /** A poke of the first thermal record on the HPM chip, whose byte 2
     *  is entry 0's value1. */
    static std::vector<std::string> entry0(const std::string& value1)
    {
        return {"poke", "hpm", "thermal.records", "00", "01", value1};
    }

    fpga_sim::Simulation sim{"", onBoardOptions()};
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

// A function of the test reads the board the service reads, in a process
// of its own (run() forks): the library's entries it sends are caught too.
TEST_F(ThermalWatcher, ATestFunctionReadsWhatTheServiceReads)
{
    sim.change(entry0("5a"));
    EXPECT_TRUE(logs(sim, "Thermal entry 0 value1 at 90, above 60"));
    const auto value1 = [] {
        std::vector<tavrin_fpga::Thermal> thermals;
        const int rc = tavrin_fpga::getThermals(thermals);
        return rc != 0 ? -rc : static_cast<int>(thermals.at(0).value1);
    };
    EXPECT_EQ(sim.run(value1), 90);
    sim.change({"set", "chips.r1.detected", "0"});
    EXPECT_EQ(sim.run(value1), ENODEV);
    const auto fromTest = [](const fpga_sim::JournalEntry& entry) {
        return fpga_sim::isLibraryEntry(entry) &&
               fpga_sim::field(entry, "SYSLOG_IDENTIFIER") ==
                   "thermal_watcher_test";
    };
    EXPECT_TRUE(sim.waitFor([&](const fpga_sim::Simulation& s) {
        const auto all = s.journal();
        return std::any_of(all.begin(), all.end(), fromTest);
    })) << PrintToString(messages(sim, true));
    // Fields in sent order: lg2 sends MESSAGE first, fpga-sim adds __SEQNUM.
    const auto all = sim.journal();
    const auto entry = std::find_if(all.begin(), all.end(), fromTest);
    ASSERT_NE(entry, all.end());
    EXPECT_EQ(entry->front().first, "MESSAGE");
    EXPECT_EQ(entry->back().first, "__SEQNUM");
    EXPECT_EQ(sim.stop(), 0);
}

// A service that cannot start says why and ends; the wait is bounded, and
// says what it saw when the service runs on.
TEST_F(ThermalWatcher, WaitsForTheEndOfAServiceThatRefusesItsArguments)
{
    const fpga_sim::WaitResult running =
        sim.waitForExit(std::chrono::milliseconds(50));
    EXPECT_FALSE(running);
    EXPECT_THAT(running.message,
                HasSubstr("Watching thermal value1, threshold 60"));
    EXPECT_EQ(sim.status(), -1);
    EXPECT_EQ(sim.stop(), 0);

    sim.start({THERMAL_WATCHER, "--field", "9"});
    const fpga_sim::WaitResult ended = sim.waitForExit();
    ASSERT_TRUE(ended) << ended.message;
    EXPECT_NE(sim.status(), 0);
    EXPECT_THAT(sim.errors(), HasSubstr("--field"));
}

} // namespace
