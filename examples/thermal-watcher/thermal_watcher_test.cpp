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
using ::testing::HasSubstr;
using ::testing::PrintToString;

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
        sim.start({THERMAL_WATCHER, "--interval", "10", "--threshold", "60"});
        // start() returns once fpga-sim listens: the service may not have
        // begun. Its own first word says it has.
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

    fpga_sim::Simulation sim{"", onBoardOptions()};
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

// A function of the test reads the board the service reads, in a process
// of its own (run() forks): the library's entries it sends are caught too.
TEST_F(ThermalWatcher, ATestFunctionReadsWhatTheServiceReads)
{
    setEntry0("5a");
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
