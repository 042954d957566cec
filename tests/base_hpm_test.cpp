// SPDX-License-Identifier: Apache-2.0
// The HPM location and its cache, block translation, HPM routing and the
// platform type.

#include "support/fd_check.hpp"
#include "support/file_events.hpp"
#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::World;
using fpga_test::JournalCapture;
using fpga_test::Logged;
using fpga_test::WorldTest;
using namespace tavrin_fpga;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Where = std::pair<Location, std::size_t>;

const std::string notAvailable =
    "FPGA block{BLOCK} on {LOCATION} not availble!\n";
const std::string unsupported = "Unsupported interface version:{VER}.\n";

/** Read one byte at offset 11 of @p block through the HPM routing. */
int hpmRead(char& byte, Block block = Block::power)
{
    return rawHpmNormalAccess(Operation::read, block, 11, 1,
                              std::span(&byte, 1));
}

/** getHPMLocation() as a pair; out-parameters start as (remote, 9). */
std::pair<int, Where> hpmLocation()
{
    Location location = Location::remote;
    std::size_t index = 9;
    const int rc = getHPMLocation(location, index);
    return {rc, {location, index}};
}

TEST_F(WorldTest, ParsesHpmWord)
{
    const std::pair<std::string, Where> rows[] = {
        {"remote2\n", {Location::remote, 2}},
        {"remote12", {Location::remote, 2}},
        {"local\n", {Location::local, 0}},
        {"Remote1", {Location::local, 0}},
        {"remot", {Location::local, 0}},
        {"", {Location::local, 0}},
    };
    for (const auto& [text, expected] : rows)
    {
        SCOPED_TRACE(text);
        Board board;
        board.hpmChip = text;
        inWorld(board, [&](World&) {
            EXPECT_EQ(hpmLocation(), std::pair(0, expected));
        });
    }
}

TEST_F(WorldTest, HpmWordRemoteAloneThrowsAndIsRetried)
{
    Board board;
    board.hpmChip = "remote\n";
    inWorld(board, [](World& world) {
        EXPECT_THROW(hpmLocation(), std::invalid_argument);
        char byte = 0;
        EXPECT_THROW(hpmRead(byte), std::invalid_argument);
        world.writeAttr(fpga_sim::hpmChipAttr, "remote3\n");
        EXPECT_EQ(hpmLocation(), std::pair(0, Where{Location::remote, 3}));
    });
}

TEST_F(WorldTest, HpmLocationIsCachedAfterFirstSuccess)
{
    Board board;
    board.hpmChip = "remote1\n";
    inWorld(board, [](World& world) {
        const auto first = hpmLocation();
        world.writeAttr(fpga_sim::hpmChipAttr, "local\n");
        EXPECT_EQ(hpmLocation(), first);
        EXPECT_EQ(first, std::pair(0, Where{Location::remote, 1}));
    });
}

TEST_F(WorldTest, MissingHpmAttributeIsNotCached)
{
    // Without a driver directory the path is "/tavrin_fpga_hpm_chip".
    for (auto probe : {fpga_sim::ProbeDirs::spi22, fpga_sim::ProbeDirs::none})
    {
        Board board;
        board.probe = probe;
        inWorld(board, [](World& world) {
            // The out-parameters stay as they were.
            EXPECT_EQ(hpmLocation(),
                      std::pair(ENOENT, Where{Location::remote, 9}));
            world.setProbe(fpga_sim::spi22Dir, true);
            world.writeAttr(fpga_sim::hpmChipAttr, "remote2\n");
            EXPECT_EQ(hpmLocation(), std::pair(0, Where{Location::remote, 2}));
        });
    }
}

TEST_F(WorldTest, MissingHpmAttributeRoutesToLocal)
{
    Board board;
    board.presentChip(Location::local, 0);
    board.setBytes(Location::local, 0, Mode::normal, 75, {0x42});
    inWorld(board, [](World&) {
        JournalCapture journal;
        const auto fds = fpga_test::openFds();
        for (int call = 0; call < 2; ++call)
        {
            char byte = 0;
            EXPECT_EQ(hpmRead(byte), 0);
            EXPECT_EQ(fpga_test::openFds(), fds);
            EXPECT_EQ(byte, 0x42);
            EXPECT_THAT(
                journal.drain(),
                ElementsAre(Logged(
                    "getHPMLocation failed. Use default local location.\n", {},
                    "rawHpmNormalAccess")));
        }
    });
}

TEST_F(WorldTest, BlockIdByInterfaceVersion)
{
    Board board;
    board.presentChip(Location::local, 0, "0x7a", "0x2");
    board.presentChip(Location::remote, 1, "0x7a", "0x3");
    board.presentChip(Location::remote, 2, "0x7a", "0x4");
    inWorld(board, [](World&) {
        JournalCapture journal;
        EXPECT_EQ(blockId(Location::local, 0, Block::thermal), 8U);
        EXPECT_EQ(blockId(Location::remote, 1, Block{63}), 63U);
        EXPECT_EQ(blockId(Location::local, 0, Block{100}), 100U);
        EXPECT_THAT(journal.drain(), IsEmpty());
        EXPECT_EQ(blockId(Location::remote, 2, Block::thermal), 0U);
        EXPECT_THAT(
            journal.drain(),
            ElementsAre(Logged(unsupported, {{"VER", "4"}}, "blockId")));
    });
}

TEST_F(WorldTest, RoutesToTheHpmFpga)
{
    Board board;
    board.hpmChip = "remote2\n";
    board.presentChip(Location::local, 0);
    board.presentChip(Location::remote, 2).remotes[2].blocks =
        fpga_sim::blocksText({4, 8});
    board.setBytes(Location::remote, 2, Mode::normal, 75, {0x42});
    board.setBytes(Location::remote, 2, Mode::adi,
                   fpga_sim::adiPosition(Location::remote, 8, 14, 0x1001, 3),
                   {0x24});
    inWorld(board, [](World&) {
        JournalCapture journal;
        char byte = 0;
        EXPECT_EQ(hpmRead(byte), 0);
        EXPECT_EQ(byte, 0x42);
        EXPECT_EQ(rawHpmAdiAccess(Operation::read, Block::thermal, 14, 0x1001,
                                  3, 1, std::span(&byte, 1)),
                  0);
        EXPECT_EQ(byte, 0x24);
        EXPECT_THAT(journal.drain(), IsEmpty());
        // Block 6 is enabled on the local FPGA, not on the HPM FPGA.
        EXPECT_EQ(hpmRead(byte, Block::interrupt0), -EINVAL);
        EXPECT_THAT(journal.drain(),
                    ElementsAre(Logged(notAvailable,
                                       {{"BLOCK", "6"}, {"LOCATION", "remote"}},
                                       "rawHpmNormalAccess")));
    });
}

TEST_F(WorldTest, RoutingRefusesBlocksThatAreNotAvailable)
{
    Board board;
    board.hpmChip = "local\n";
    board.presentChip(Location::local, 0, "0x7a", "0x2");
    inWorld(board, [](World& world) {
        JournalCapture journal;
        char byte = 0;
        EXPECT_EQ(rawHpmAdiAccess(Operation::read, Block{100}, 0, 0, 0, 1,
                                  std::span(&byte, 1)),
                  -EINVAL);
        EXPECT_THAT(journal.drain(),
                    ElementsAre(Logged(
                        notAvailable, {{"BLOCK", "100"}, {"LOCATION", "local"}},
                        "rawHpmAdiAccess")));
        // An absent HPM FPGA reads as interface version 0, hence block 0.
        world.removeAttr("fpga_loc_iface_ver");
        world.writeAttr("fpga_loc_blocks", fpga_sim::blocksText({4}));
        EXPECT_EQ(hpmRead(byte), -EINVAL);
        EXPECT_THAT(journal.drain(),
                    ElementsAre(Logged(unsupported, {{"VER", "0"}}, "blockId"),
                                Logged(notAvailable,
                                       {{"BLOCK", "0"}, {"LOCATION", "local"}},
                                       "rawHpmNormalAccess")));
    });
}

TEST_F(WorldTest, PlatformTypeFromChipIds)
{
    // Chip ids of the local FPGA and remote FPGA 0 ("" = no file).
    const struct
    {
        std::string local;
        std::string remote0;
        int type;
    } rows[] = {
        {"0x7a", "", 0},     {"0x7b", "", 1}, {"0x4c", "", 2},
        {"0x40", "", 4},     {"0x48", "", 6}, {"0x51", "", 5},
        {"0x34", "0x7b", 1}, {"0x34", "", 7}, {"0x34", "0x34", 3},
        {"0x17a", "", 7},    {"", "0x7a", 7}, {"0x7b", "0x51", 1},
    };
    inWorld(Board{}, [&](World& world) {
        for (const auto& row : rows)
        {
            SCOPED_TRACE(row.local + "/" + row.remote0);
            for (const auto& [name, text] :
                 {std::pair{"fpga_loc_chip_id", row.local},
                  std::pair{"fpga_rmt0_chip_id", row.remote0}})
            {
                text.empty() ? world.removeAttr(name)
                             : world.writeAttr(name, text + "\n");
            }
            EXPECT_EQ(getPlatformType(), row.type);
        }
    });
}

TEST_F(WorldTest, ConcurrentFirstUseFillsCachesOnce)
{
    Board board;
    board.probe = fpga_sim::ProbeDirs::both;
    board.hpmChip = "remote3\n";
    inWorld(board, [](World& world) {
        fpga_test::FileEvents hpmFile(world.attrPath(fpga_sim::hpmChipAttr));
        constexpr std::size_t threadCount = 8;
        std::vector<std::string> dirs(threadCount);
        std::vector<std::pair<int, Where>> hpm(threadCount);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < threadCount; ++i)
        {
            threads.emplace_back([&, i] {
                dirs[i] = devAttrFilePath("x", Location::local, 0);
                hpm[i] = hpmLocation();
            });
        }
        for (auto& thread : threads)
        {
            thread.join();
        }
        for (std::size_t i = 0; i < threadCount; ++i)
        {
            EXPECT_EQ(dirs[i], "/sys/bus/spi/devices/spi2.2/fpga_loc_x");
            EXPECT_EQ(hpm[i], std::pair(0, Where{Location::remote, 3}));
        }
        // One thread read the attribute; the others used the cache.
        EXPECT_EQ(hpmFile.letters(), "Oc");
    });
}

} // namespace
