// SPDX-License-Identifier: Apache-2.0
// Interrupt masks and thermal records of the FPGA that carries the HPM
// blocks.

#include "hpm_board.hpp"
#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tavrin_fpga
{
bool operator==(const Thermal& a, const Thermal& b)
{
    return std::memcmp(&a, &b, sizeof(Thermal)) == 0;
}
} // namespace tavrin_fpga

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
using fpga_sim::World;
using fpga_test::HpmPlace;
using fpga_test::JournalCapture;
using fpga_test::JournalEntry;
using fpga_test::Logged;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Matcher;
using namespace tavrin_fpga;

constexpr std::size_t interruptBlock0 = 6;
constexpr std::size_t interruptBlock1 = 7;
constexpr std::size_t thermalBlock = 8;
constexpr std::size_t recordAreaOffset = 14;
constexpr std::size_t recordSize = 16;
constexpr std::size_t maxRecords = 127;

class HpmTest :
    public fpga_test::WorldTest,
    public ::testing::WithParamInterface<HpmPlace>
{
  protected:
    void pokeNormal(World& world, std::size_t block, std::size_t offset,
                    const std::vector<std::uint8_t>& bytes) const
    {
        world.pokeNormal(GetParam().location, GetParam().index, block, offset,
                         bytes);
    }

    /** A board whose HPM FPGA does not offer @p blocks. */
    Board withoutBlocks(const std::vector<std::size_t>& blocks) const
    {
        Board board = hpmBoard(GetParam());
        board.chip(GetParam().location, GetParam().index).blocks =
            fpga_test::blocksWithout(blocks);
        return board;
    }

    auto notAvailable(std::size_t block) const
    {
        return Logged("FPGA block{BLOCK} on {LOCATION} not availble!\n",
                      {{"BLOCK", std::to_string(block)},
                       {"LOCATION", GetParam().locationName}},
                      "rawHpmNormalAccess");
    }
};

// ---------------------------------------------------------------- interrupts

using InterruptTest = HpmTest;

/** The mask bit that bit @p bit of interrupt byte @p byte sets: bits 0-3 of
 *  byte 0 are mask bits 2-5 and its bits 4-7 mask bits 8-11; bit k of bytes
 *  1 to 6 is mask bit 4 + 8 * byte + k; bytes 7 to 15 carry no source. */
std::uint64_t maskOf(std::size_t byte, std::size_t bit)
{
    if (byte == 0)
    {
        return std::uint64_t{1} << (bit < 4 ? 2 + bit : 4 + bit);
    }
    if (byte <= 6)
    {
        return std::uint64_t{1} << (4 + 8 * byte + bit);
    }
    return 0;
}

TEST_P(InterruptTest, EachSourceBitLandsInItsOwnMaskBit)
{
    inWorld(hpmBoard(GetParam()), [&](World& world) {
        JournalCapture journal;
        // One bit in each block, a different one in each.
        for (std::size_t byte = 0; byte < 16; ++byte)
        {
            for (std::size_t bit = 0; bit < 8; ++bit)
            {
                SCOPED_TRACE(::testing::Message()
                             << "byte " << byte << " bit " << bit);
                std::vector<std::uint8_t> block0(16);
                std::vector<std::uint8_t> block1(16);
                block0[byte] = static_cast<std::uint8_t>(1U << bit);
                block1[15 - byte] = static_cast<std::uint8_t>(0x80U >> bit);
                pokeNormal(world, interruptBlock0, 0, block0);
                pokeNormal(world, interruptBlock1, 0, block1);

                Interrupt status{~0ULL, ~0ULL};
                EXPECT_EQ(getInterrupts(status), 0);
                EXPECT_EQ(status.status0, maskOf(byte, bit));
                EXPECT_EQ(status.status1, maskOf(15 - byte, 7 - bit));
            }
        }
        EXPECT_THAT(journal.drain(), IsEmpty());
    });
}

TEST_P(InterruptTest, AllSourcesSet)
{
    inWorld(hpmBoard(GetParam()), [&](World& world) {
        pokeNormal(world, interruptBlock0, 0,
                   std::vector<std::uint8_t>(16, 0xFF));
        pokeNormal(world, interruptBlock1, 0,
                   {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
        Interrupt status{};
        EXPECT_EQ(getInterrupts(status), 0);
        EXPECT_EQ(status.status0, 0x0FFFFFFFFFFFFF3CULL);
        EXPECT_EQ(status.status1, 0x0FFFFFFFFFFFFF3CULL);
    });
}

TEST_P(InterruptTest, FailedReadLeavesRecordUntouched)
{
    struct Row
    {
        std::vector<std::size_t> unavailable;
        std::size_t reported;
    };
    // With both blocks unavailable only the first is asked for.
    for (const Row& row : {Row{{interruptBlock0, interruptBlock1}, 6},
                           Row{{interruptBlock1}, 7}})
    {
        SCOPED_TRACE(row.reported);
        inWorld(withoutBlocks(row.unavailable), [&](World& world) {
            pokeNormal(world, interruptBlock0, 0, {0x01});
            JournalCapture journal;
            Interrupt status{~0ULL, ~0ULL};
            EXPECT_EQ(getInterrupts(status), -EINVAL);
            EXPECT_EQ(status.status0, ~0ULL);
            EXPECT_EQ(status.status1, ~0ULL);
            EXPECT_THAT(journal.drain(),
                        ElementsAre(notAvailable(row.reported)));
        });
    }
}

// ------------------------------------------------------------------ thermals

using ThermalTest = HpmTest;

/** Record area bytes that differ from each of their neighbours. */
std::vector<std::uint8_t> recordArea(std::size_t records)
{
    std::vector<std::uint8_t> area(records * recordSize);
    for (std::size_t i = 0; i < area.size(); ++i)
    {
        area[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return area;
}

/** Entry @p n of @p area: bytes 1-6 of record n / 2 for even n, bytes 7-12
 *  for odd n. */
Thermal entryOf(const std::vector<std::uint8_t>& area, std::size_t n)
{
    const std::size_t first = (n / 2) * recordSize + 1 + (n % 2) * 6;
    return Thermal{area[first],     area[first + 1], area[first + 2],
                   area[first + 3], area[first + 4], area[first + 5]};
}

const std::vector<Thermal> oldEntries = {{1, 2, 3, 4, 5, 6},
                                         {7, 8, 9, 10, 11, 12}};

TEST_P(ThermalTest, EntryCountGivesWholeRecordsOfTwoEntries)
{
    struct Row
    {
        std::uint8_t adiFlag;
        std::uint8_t count;
        std::size_t entries;
    };
    // Bits 1 to 7 of the flag byte do not matter.
    const std::vector<Row> rows = {{0x01, 0, 0},     {0xFF, 1, 0},
                                   {0x01, 2, 2},     {0x03, 5, 4},
                                   {0x01, 254, 254}, {0xFF, 255, 254}};
    inWorld(hpmBoard(GetParam()), [&](World& world) {
        // One record more than can ever be asked for.
        const auto area = recordArea(maxRecords + 1);
        world.pokeAdi(GetParam().location, GetParam().index, thermalBlock,
                      recordAreaOffset, 0, 0, area);
        JournalCapture journal;
        for (const Row& row : rows)
        {
            SCOPED_TRACE(static_cast<int>(row.count));
            pokeNormal(world, thermalBlock, 0, {row.adiFlag});
            pokeNormal(world, thermalBlock, 13, {row.count});
            std::vector<Thermal> thermals = oldEntries;
            EXPECT_EQ(getThermals(thermals), 0);
            ASSERT_EQ(thermals.size(), row.entries);
            for (std::size_t n = 0; n < row.entries; ++n)
            {
                EXPECT_EQ(thermals[n], entryOf(area, n)) << "entry " << n;
            }
            EXPECT_THAT(journal.drain(), IsEmpty());
        }
    });
}

using ThermalWorldTest = fpga_test::WorldTest;

TEST_F(ThermalWorldTest, RecordAreaIsAskedForEvenWhenEmpty)
{
    // Without the HPM attribute every HPM access logs its fallback, which
    // shows both accesses being made.
    Board board;
    board.presentChip(Location::local, 0);
    for (std::uint8_t count : {0, 1})
    {
        SCOPED_TRACE(static_cast<int>(count));
        inWorld(board, [&](World& world) {
            world.pokeNormal(Location::local, 0, thermalBlock, 0, {0x01});
            world.pokeNormal(Location::local, 0, thermalBlock, 13, {count});
            JournalCapture journal;
            std::vector<Thermal> thermals = oldEntries;
            EXPECT_EQ(getThermals(thermals), 0);
            EXPECT_THAT(thermals, IsEmpty());
            const std::string fallback =
                "getHPMLocation failed. Use default local location.\n";
            EXPECT_THAT(journal.drain(),
                        ElementsAre(Logged(fallback, {}, "rawHpmNormalAccess"),
                                    Logged(fallback, {}, "rawHpmAdiAccess")));
        });
    }
}

TEST_P(ThermalTest, FailureKeepsOldEntries)
{
    const HpmPlace hpm = GetParam();
    auto board = [&](std::uint8_t adiFlag, NodeFault adiFault) {
        Board b = hpmBoard(hpm);
        b.setBytes(hpm.location, hpm.index, Mode::normal,
                   fpga_sim::normalPosition(thermalBlock, 0), {adiFlag});
        b.setBytes(hpm.location, hpm.index, Mode::normal,
                   fpga_sim::normalPosition(thermalBlock, 13), {4});
        auto& node = b.node(hpm.location, hpm.index, Mode::adi);
        node.fault = adiFault;
        // Ends after the first of the two records.
        node.truncatedSize = fpga_sim::adiPosition(hpm.location, thermalBlock,
                                                   recordAreaOffset, 0, 0) +
                             recordSize;
        return b;
    };
    Board headerUnavailable = board(0x01, NodeFault::none);
    headerUnavailable.chip(hpm.location, hpm.index).blocks =
        fpga_test::blocksWithout({thermalBlock});
    const auto noAdi =
        Logged("ADI mode is not supported.\n", {}, "getThermals");

    struct Row
    {
        const char* name;
        Board board;
        int result;
        std::vector<Matcher<const JournalEntry&>> entries;
    };
    // Without ADI mode the record node is missing: reading it would show.
    const std::vector<Row> rows = {
        {"flag 0x00", board(0x00, NodeFault::missing), -EIO, {noAdi}},
        {"flag 0xFE", board(0xFE, NodeFault::missing), -EIO, {noAdi}},
        {"header unavailable",
         headerUnavailable,
         -EINVAL,
         {notAvailable(thermalBlock)}},
        {"record node read-only",
         board(0x01, NodeFault::readOnly),
         -EFAULT,
         {Logged("Failed to open {DEV}\n",
                 {{"DEV", fpga_test::hpmNode(hpm, Mode::adi)}},
                 "deviceAccess")}},
        {"records end early", board(0x01, NodeFault::truncated), -EIO, {}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        inWorld(row.board, [&](World&) {
            JournalCapture journal;
            std::vector<Thermal> thermals = oldEntries;
            EXPECT_EQ(getThermals(thermals), row.result);
            EXPECT_EQ(thermals, oldEntries);
            EXPECT_THAT(journal.drain(), ElementsAreArray(row.entries));
        });
    }
}

const auto hpmPlaces =
    ::testing::Values(fpga_test::localHpm, fpga_test::remoteHpm);
const auto hpmName = [](const auto& info) {
    return std::string(info.param.word);
};
INSTANTIATE_TEST_SUITE_P(Hpm, InterruptTest, hpmPlaces, hpmName);
INSTANTIATE_TEST_SUITE_P(Hpm, ThermalTest, hpmPlaces, hpmName);

} // namespace
