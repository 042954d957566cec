// SPDX-License-Identifier: Apache-2.0
// The FPGA reset: two one-character writes, each in an open of its own.

#include "support/fd_check.hpp"
#include "support/file_events.hpp"
#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::World;
using fpga_test::JournalCapture;
using fpga_test::Logged;
using fpga_test::WorldTest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(WorldTest, ResetWritesOneThenZero)
{
    inWorld(Board{}, [](World& world) {
        // A FIFO in the attribute's place keeps every byte in order; holding
        // it open for reading and writing keeps the library's open from
        // blocking.
        const std::string path = world.attrPath(fpga_sim::resetAttr);
        world.removeAttr(fpga_sim::resetAttr);
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        const int fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fifo, 0);
        fpga_test::FileEvents events(path);
        JournalCapture journal;

        tavrin_fpga::resetFpga();

        char written[8] = {};
        EXPECT_EQ(read(fifo, written, sizeof(written)), 2);
        EXPECT_EQ(std::string(written, 2), "10");
        // Two opens, each with one write and a close.
        EXPECT_EQ(events.letters(), "OMCOMC");
        EXPECT_THAT(journal.drain(), IsEmpty());
        close(fifo);
    });
}

TEST_F(WorldTest, MissingResetAttributeIsLoggedTwice)
{
    const std::pair<fpga_sim::ProbeDirs, std::string> rows[] = {
        {fpga_sim::ProbeDirs::spi20,
         "/sys/bus/spi/devices/spi2.0/tavrin_fpga_reset"},
        {fpga_sim::ProbeDirs::none, "/tavrin_fpga_reset"},
    };
    for (const auto& [probe, path] : rows)
    {
        SCOPED_TRACE(path);
        Board board;
        board.probe = probe;
        board.resetAttribute = false;
        // As on sysfs, a missing attribute cannot be created.
        board.readOnlyDriverDir = probe != fpga_sim::ProbeDirs::none;
        // Without a driver directory the world has a root of its own, so a
        // file the library created under "/" would show.
        inWorld(board, [&](World&) {
            JournalCapture journal;
            const auto fds = fpga_test::openFds();
            tavrin_fpga::resetFpga();
            EXPECT_EQ(fpga_test::openFds(), fds);
            const auto entry =
                Logged("{PATH} not found!\n", {{"PATH", path}}, "setResetGpio");
            EXPECT_THAT(journal.drain(), ElementsAre(entry, entry));
            EXPECT_NE(access(path.c_str(), F_OK), 0);
        });
    }
}

} // namespace
