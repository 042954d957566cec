// SPDX-License-Identifier: Apache-2.0
// The test world itself: the board lands where the driver's files would be,
// each fault behaves as the driver failure it stands for, and the journal
// capture understands both field forms of the native protocol.

#include "support/world_test.hpp"

#include "sim/board.hpp"
#include "sim/world.hpp"
#include "support/journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
using fpga_sim::World;
using fpga_test::WorldTest;
using tavrin_fpga::Location;
using ::testing::ElementsAre;
using ::testing::Pair;

TEST(JournalDatagram, ParsesPlainAndBinarySafeFields)
{
    using namespace std::string_literals;
    const std::string datagram =
        "PRIORITY=3\n"
        "MESSAGE\n"
        "\x0c\0\0\0\0\0\0\0"s
        "read failed\n"
        "\n"
        "EMPTY=\n"
        "EQ=a=b\n"s;
    EXPECT_THAT(fpga_test::parseJournalDatagram(datagram).fields,
                ElementsAre(Pair("PRIORITY", "3"),
                            Pair("MESSAGE", "read failed\n"), Pair("EMPTY", ""),
                            Pair("EQ", "a=b")));
}

TEST(JournalDatagram, RejectsTruncatedBinaryField)
{
    using namespace std::string_literals;
    EXPECT_THROW(
        fpga_test::parseJournalDatagram("MESSAGE\n\x10\0\0\0\0\0\0\0abc\n"s),
        std::runtime_error);
    EXPECT_THROW(fpga_test::parseJournalDatagram("KEY=no newline"),
                 std::runtime_error);
}

TEST(JournalDatagram, ExpandsFirstPlaceholderOfEachKey)
{
    EXPECT_EQ(fpga_test::expandMessage("RMT:{R} Chip{ID} {R}\n",
                                       {{"R", "True"}, {"ID", "2"}}),
              "RMT:True Chip2 {R}\n");
}

TEST(BoardPositions, MatchDriverLayouts)
{
    EXPECT_EQ(fpga_sim::normalPosition(4, 11), 75U);
    EXPECT_EQ(fpga_sim::adiPosition(Location::local, 0, 0, 0x1234, 0),
              0x12340U);
    EXPECT_EQ(fpga_sim::adiPosition(Location::remote, 0, 0, 0x1234, 0),
              0x2340U);
    EXPECT_EQ(fpga_sim::adiPosition(Location::remote, 8, 14, 0, 0),
              0x08E00000U);
    EXPECT_EQ(fpga_sim::blocksText({0, 2}), std::string(61, '0') + "101\n");
}

TEST_F(WorldTest, PutsBoardAtDriverPaths)
{
    Board board;
    board.probe = fpga_sim::ProbeDirs::both;
    board.presentChip(Location::remote, 2, "0x51", "0x3");
    board.hpmChip = "remote2\n";
    board.setBytes(Location::remote, 2, Mode::normal, 0x3FF, {0xAB});
    inWorld(board, [](World& world) {
        EXPECT_EQ(fpga_sim::readFile("/sys/bus/spi/devices/spi2.2/"
                                     "fpga_rmt2_chip_id"),
                  "0x51\n");
        EXPECT_EQ(
            access("/sys/bus/spi/devices/spi2.0/tavrin_fpga_wakeup", F_OK), 0);
        EXPECT_NE(access("/sys/bus/spi/devices/spi2.0/fpga_rmt2_chip_id", F_OK),
                  0);
        EXPECT_NE(access(world.attrPath("fpga_loc_detected").c_str(), F_OK), 0);
        EXPECT_EQ(world.nodeSize("/dev/fpga-cdev"), 0x400U);
        EXPECT_EQ(world.nodeSize("/dev/fpga-r3-adi"), 0x40000000U);
        EXPECT_EQ(world.peek("/dev/fpga-r2", 0x3FE, 3),
                  (std::vector<std::uint8_t>{0x00, 0xAB}));
        world.pokeAdi(Location::remote, 1, 8, 14, 0x1234, 1, {7});
        EXPECT_EQ(world.peek("/dev/fpga-r1-adi", 0x08E02341, 1),
                  std::vector<std::uint8_t>{7});
        // /dev/null is the real device again, not a file that fills up.
        struct stat st
        {};
        ASSERT_EQ(stat("/dev/null", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    });
}

TEST_F(WorldTest, FaultsFailLikeTheDriver)
{
    Board board;
    board.node(Location::local, 0, Mode::normal).fault = NodeFault::readOnly;
    board.node(Location::local, 0, Mode::adi).fault = NodeFault::missing;
    board.node(Location::remote, 0, Mode::normal).fault = NodeFault::fifo;
    auto& shortNode = board.node(Location::remote, 1, Mode::normal);
    shortNode.fault = NodeFault::truncated;
    shortNode.truncatedSize = 10;
    board.resetAttribute = false;
    board.readOnlyDriverDir = true;
    inWorld(board, [](World& world) {
        errno = 0;
        EXPECT_LT(open("/dev/fpga-cdev", O_RDWR), 0);
        EXPECT_EQ(errno, EROFS);
        EXPECT_GE(open("/dev/fpga-cdev", O_RDONLY), 0);
        EXPECT_NE(access("/dev/fpga-adi", F_OK), 0);
        const int fifo = open("/dev/fpga-r0", O_RDWR);
        ASSERT_GE(fifo, 0);
        EXPECT_LT(lseek(fifo, 1, SEEK_SET), 0);
        EXPECT_EQ(errno, ESPIPE);
        EXPECT_EQ(world.nodeSize("/dev/fpga-r1"), 10U);
        EXPECT_LT(open(world.attrPath("tavrin_fpga_reset").c_str(),
                       O_WRONLY | O_CREAT, 0644),
                  0);
    });
}

TEST_F(WorldTest, WithoutDriverDirectoryRootIsPrivate)
{
    const std::string path = "/fpga_world_test_marker";
    Board board;
    board.probe = fpga_sim::ProbeDirs::none;
    inWorld(board, [&](World&) {
        fpga_sim::writeFile(path, "x");
        EXPECT_EQ(fpga_sim::readFile(path), "x");
        // The rest of the system is still reachable.
        EXPECT_EQ(access("/proc/self/exe", F_OK), 0);
        EXPECT_EQ(access("/dev/fpga-cdev", F_OK), 0);
    });
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

} // namespace
