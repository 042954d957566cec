// SPDX-License-Identifier: Apache-2.0
// What the library sends to the journal is what systemd's journald stores:
// the same calls are logged once into the capture and once into a real
// journald, and every field the library sends must arrive unchanged.

#include "support/journal.hpp"
#include "support/journald.hpp"
#include "support/world_test.hpp"

#include <unistd.h>

#include <libfpga.hpp>

#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::World;
using fpga_test::JournalCapture;
using fpga_test::Journald;
using fpga_test::Logged;
using fpga_test::WorldTest;
using namespace tavrin_fpga;
using ::testing::ElementsAre;

/** Calls whose entries carry string, integer and "True" fields, messages
 *  with and without a trailing newline. */
void logSome()
{
    std::vector<char> buffer(1);
    rawRemoteNormalAccess(1, Operation::read, 0, 0, 1, buffer);
    rawRemoteNormalAccess(0, Operation::read, 1, 0, 1, buffer);
    resetFpga();
}

TEST_F(WorldTest, JournaldStoresWhatWasSent)
{
    Board board;
    board.presentChip(Location::remote, 0);
    board.node(Location::remote, 0, fpga_sim::Mode::normal).fault =
        fpga_sim::NodeFault::missing;
    board.resetAttribute = false;
    board.readOnlyDriverDir = true;
    inWorld(board, [](World&) {
        std::vector<fpga_test::JournalEntry> sent;
        {
            JournalCapture journal;
            logSome();
            sent = journal.drain();
        }
        const std::string reset =
            "/sys/bus/spi/devices/spi2.2/tavrin_fpga_reset";
        ASSERT_THAT(
            sent,
            ElementsAre(Logged("RMT:{R} Chip{ID} not detected\n",
                               {{"R", "True"}, {"ID", "1"}}, "normalAccess"),
                        Logged("Failed to open {DEV}\n",
                               {{"DEV", "/dev/fpga-r0"}}, "deviceAccess"),
                        Logged("{PATH} not found!\n", {{"PATH", reset}},
                               "setResetGpio"),
                        Logged("{PATH} not found!\n", {{"PATH", reset}},
                               "setResetGpio")));

        std::vector<std::map<std::string, std::string>> stored;
        {
            Journald journald;
            logSome();
            stored = journald.entriesOf(getpid());
        }
        ASSERT_EQ(stored.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i)
        {
            SCOPED_TRACE(sent[i].get("LOG2_FMTMSG"));
            for (const auto& [key, value] : sent[i].fields)
            {
                EXPECT_EQ(stored[i][key], value) << key;
            }
        }
        EXPECT_EQ(stored[0]["MESSAGE"], "RMT:True Chip1 not detected\n");
        EXPECT_EQ(stored[0]["PRIORITY"], "3");
    });
}

} // namespace
