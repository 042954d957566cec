// SPDX-License-Identifier: Apache-2.0
// chip-watch on the built-in board: a remote FPGA vanishes and comes back.

#include <libfpga-sim.hpp>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Simulation;

bool printed(Simulation& sim, const std::string& text)
{
    return sim.waitFor([&](const Simulation& s) {
        return s.output().find(text) != std::string::npos;
    });
}

TEST(ChipWatch, SaysWhenRemote0GoesAndComesBack)
{
    // A board fpga-sim refuses, with --check's message.
    EXPECT_THAT([] { Simulation(R"({"chips": {"r1": {"detected": "yes"}}})"); },
                ::testing::ThrowsMessage<fpga_sim::SimulationError>(
                    ::testing::StartsWith("chips.r1.detected: expected")));
    // The built-in board is the installed default.json.
    const std::string board = Simulation::loadBoard(BOARDS_DIR "/default.json");
    ASSERT_EQ(board, Simulation::builtInBoard());
    Simulation sim(board);
    sim.start({CHIP_WATCH, "0"});
    ASSERT_TRUE(printed(sim, "remote 0 present\n")) << sim.errors();
    sim.change({"set", "chips.r0.detected", "0"});
    EXPECT_TRUE(printed(sim, "remote 0 present\nremote 0 gone\n"));
    sim.change({"set", "chips.r0.detected", "1"});
    EXPECT_TRUE(printed(sim, "gone\nremote 0 present\n"));
    EXPECT_EQ(sim.stop(), 0);
}

} // namespace
