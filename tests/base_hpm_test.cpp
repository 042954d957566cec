// The HPM location and its cache, block translation, HPM routing and the
// platform type.

#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <sys/inotify.h>
#include <unistd.h>

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

constexpr auto read = Operation::read;

/** Read one byte of the power block through the HPM routing. */
int readPowerByte(char& byte)
{
    return rawHpmNormalAccess(read, Block::power, 11, 1, std::span(&byte, 1));
}

TEST_F(WorldTest, ParsesHpmWord)
{
    const struct
    {
        std::string text;
        Location location;
        std::size_t index;
    } rows[] = {
        {"remote2\n", Location::remote, 2}, {"remote12", Location::remote, 2},
        {"local\n", Location::local, 0},    {"Remote1", Location::local, 0},
        {"remot", Location::local, 0},      {"", Location::local, 0},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.text);
        Board board;
        board.hpmChip = row.text;
        inWorld(board, [&](World&) {
            Location location = Location::remote;
            std::size_t index = 9;
            EXPECT_EQ(getHPMLocation(location, index), 0);
            EXPECT_EQ(location, row.location);
            EXPECT_EQ(index, row.index);
        });
    }
}

TEST_F(WorldTest, HpmWordRemoteAloneThrowsAndIsRetried)
{
    Board board;
    board.hpmChip = "remote\n";
    inWorld(board, [](World& world) {
        Location location = Location::local;
        std::size_t index = 0;
        EXPECT_THROW(getHPMLocation(location, index), std::invalid_argument);
        char byte = 0;
        EXPECT_THROW(readPowerByte(byte), std::invalid_argument);
        world.writeAttr(fpga_sim::hpmChipAttr, "remote3\n");
        EXPECT_EQ(getHPMLocation(location, index), 0);
        EXPECT_EQ(location, Location::remote);
        EXPECT_EQ(index, 3U);
    });
}

TEST_F(WorldTest, HpmLocationIsCachedAfterFirstSuccess)
{
    Board board;
    board.hpmChip = "remote1\n";
    inWorld(board, [](World& world) {
        Location location = Location::local;
        std::size_t index = 0;
        ASSERT_EQ(getHPMLocation(location, index), 0);
        world.writeAttr(fpga_sim::hpmChipAttr, "local\n");
        location = Location::local;
        index = 0;
        EXPECT_EQ(getHPMLocation(location, index), 0);
        EXPECT_EQ(location, Location::remote);
        EXPECT_EQ(index, 1U);
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
            Location location = Location::remote;
            std::size_t index = 7;
            EXPECT_EQ(getHPMLocation(location, index), ENOENT);
            EXPECT_EQ(location, Location::remote);
            EXPECT_EQ(index, 7U);

            world.setProbe(fpga_sim::spi22Dir, true);
            world.writeAttr(fpga_sim::hpmChipAttr, "remote2\n");
            EXPECT_EQ(getHPMLocation(location, index), 0);
            EXPECT_EQ(index, 2U);
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
        for (int call = 0; call < 2; ++call)
        {
            char byte = 0;
            EXPECT_EQ(readPowerByte(byte), 0);
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
        EXPECT_THAT(journal.drain(),
                    ElementsAre(Logged("Unsupported interface version:{VER}.\n",
                                       {{"VER", "4"}}, "blockId")));
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
        EXPECT_EQ(readPowerByte(byte), 0);
        EXPECT_EQ(byte, 0x42);
        EXPECT_EQ(rawHpmAdiAccess(read, Block::thermal, 14, 0x1001, 3, 1,
                                  std::span(&byte, 1)),
                  0);
        EXPECT_EQ(byte, 0x24);
        EXPECT_THAT(journal.drain(), IsEmpty());

        // Block 6 is enabled on the local FPGA but not on the HPM FPGA.
        EXPECT_EQ(rawHpmNormalAccess(read, Block::interrupt0, 0, 1,
                                     std::span(&byte, 1)),
                  -EINVAL);
        EXPECT_THAT(journal.drain(),
                    ElementsAre(Logged(
                        "FPGA block{BLOCK} on {LOCATION} not availble!\n",
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
        EXPECT_EQ(rawHpmAdiAccess(read, Block{100}, 0, 0, 0, 1,
                                  std::span(&byte, 1)),
                  -EINVAL);
        EXPECT_THAT(
            journal.drain(),
            ElementsAre(Logged(
                "FPGA block{BLOCK} on {LOCATION} not availble!\n",
                {{"BLOCK", "100"}, {"LOCATION", "local"}}, "rawHpmAdiAccess")));

        // An absent HPM FPGA reads as interface version 0 and block 0.
        world.removeAttr("fpga_loc_iface_ver");
        world.writeAttr("fpga_loc_blocks", fpga_sim::blocksText({4}));
        EXPECT_EQ(readPowerByte(byte), -EINVAL);
        EXPECT_THAT(
            journal.drain(),
            ElementsAre(
                Logged("Unsupported interface version:{VER}.\n", {{"VER", "0"}},
                       "blockId"),
                Logged("FPGA block{BLOCK} on {LOCATION} not availble!\n",
                       {{"BLOCK", "0"}, {"LOCATION", "local"}},
                       "rawHpmNormalAccess")));
    });
}

TEST_F(WorldTest, PlatformTypeFromChipIds)
{
    const struct
    {
        std::optional<std::string> local;
        std::optional<std::string> remote0;
        int type;
    } rows[] = {
        {"0x7a", {}, 0},     {"0x7b", {}, 1}, {"0x4c", {}, 2},
        {"0x40", {}, 4},     {"0x48", {}, 6}, {"0x51", {}, 5},
        {"0x34", "0x7b", 1}, {"0x34", {}, 7}, {"0x34", "0x34", 3},
        {"0x17a", {}, 7},    {{}, "0x7a", 7}, {"0x7b", "0x51", 1},
    };
    inWorld(Board{}, [&](World& world) {
        for (const auto& row : rows)
        {
            SCOPED_TRACE(
                row.local.value_or("-") + " " + row.remote0.value_or("-"));
            for (const auto& [name, text] :
                 {std::pair{"fpga_loc_chip_id", row.local},
                  std::pair{"fpga_rmt0_chip_id", row.remote0}})
            {
                if (text)
                {
                    world.writeAttr(name, *text + "\n");
                }
                else
                {
                    world.removeAttr(name);
                }
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
        const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(
                      watch, world.attrPath(fpga_sim::hpmChipAttr).c_str(),
                      IN_OPEN),
                  0);
        constexpr int threadCount = 8;
        std::vector<std::string> dirs(threadCount);
        std::vector<int> results(threadCount, -1);
        std::vector<std::size_t> indices(threadCount);
        std::vector<std::thread> threads;
        for (int i = 0; i < threadCount; ++i)
        {
            threads.emplace_back([&, i] {
                dirs[i] = devAttrFilePath("x", Location::local, 0);
                Location location = Location::local;
                results[i] = getHPMLocation(location, indices[i]);
            });
        }
        for (auto& thread : threads)
        {
            thread.join();
        }
        for (int i = 0; i < threadCount; ++i)
        {
            EXPECT_EQ(dirs[i], "/sys/bus/spi/devices/spi2.2/fpga_loc_x");
            EXPECT_EQ(results[i], 0);
            EXPECT_EQ(indices[i], 3U);
        }
        // The HPM attribute was opened by exactly one of the threads.
        int opens = 0;
        alignas(inotify_event) char events[4096];
        ssize_t got = 0;
        while ((got = ::read(watch, events, sizeof(events))) > 0)
        {
            for (char* p = events; p < events + got;)
            {
                auto* event = reinterpret_cast<inotify_event*>(p);
                opens += (event->mask & IN_OPEN) != 0 ? 1 : 0;
                p += sizeof(inotify_event) + event->len;
            }
        }
        EXPECT_EQ(opens, 1);
        close(watch);
    });
}

} // namespace
