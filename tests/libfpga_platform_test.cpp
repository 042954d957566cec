// SPDX-License-Identifier: Apache-2.0
// Platform fan information (remote FPGA 0) and device presence (local FPGA).

#include "hpm_board.hpp"
#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tavrin_fpga
{
bool operator==(const PlatformInformation& a, const PlatformInformation& b)
{
    return std::memcmp(&a, &b, sizeof(PlatformInformation)) == 0;
}

void PrintTo(const PlatformInformation& p, std::ostream* os)
{
    *os << "{fanConfig " << +p.fanConfig << ", fanCount " << +p.fanCount
        << ", reserved " << +p.reserved << ", fanTypes";
    for (auto t : p.fanTypes)
    {
        *os << " " << +t;
    }
    *os << ", fanTypeCodes";
    for (auto c : p.fanTypeCodes)
    {
        *os << " " << +c;
    }
    *os << "}";
}

bool operator==(const PlatDevPresence& a, const PlatDevPresence& b)
{
    return std::memcmp(&a, &b, sizeof(PlatDevPresence)) == 0;
}
} // namespace tavrin_fpga

namespace
{

// Callers treat the record as bytes: memset/memcpy on it, fanTypes and
// fanTypeCodes where a std::uint8_t* is expected.
using tavrin_fpga::PlatformInformation;
static_assert(
    std::is_same_v<decltype(PlatformInformation::fanTypes), std::uint8_t[24]>);
static_assert(std::is_same_v<decltype(PlatformInformation::fanTypeCodes),
                             std::uint8_t[4]>);
static_assert(std::is_trivially_copyable_v<PlatformInformation> &&
              std::is_standard_layout_v<PlatformInformation>);
static_assert(sizeof(PlatformInformation) == 31 &&
              alignof(PlatformInformation) == 1);
static_assert(offsetof(PlatformInformation, fanTypes) == 3 &&
              offsetof(PlatformInformation, fanTypeCodes) == 27);

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
using fpga_sim::World;
using fpga_test::JournalCapture;
using fpga_test::JournalEntry;
using fpga_test::Logged;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Matcher;
using namespace tavrin_fpga;

using PlatformTest = fpga_test::WorldTest;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t configBlock = 1;
constexpr std::size_t presenceBlock = 12;
constexpr std::uint8_t untouched = 0xEE;

/** Chip ids of the local FPGA by platform type. */
const char* chipIdOf(int platformType)
{
    static const char* const ids[] = {"0x7a", "0x7b", "0x4c", "0x34",
                                      "0x40", "0x51", "0x48", "0x99"};
    return ids[platformType];
}

/** A board of @p platformType whose remote FPGA 0 carries the fan
 *  registers. Platform type 3 needs id 0x34 on both chips. */
Board platformBoard(int platformType)
{
    Board board;
    board.presentChip(Location::local, 0, chipIdOf(platformType));
    board.presentChip(Location::remote, 0, platformType == 3 ? "0x34" : "0x7a");
    return board;
}

PlatformInformation callerRecord(std::uint8_t fanConfig = untouched)
{
    PlatformInformation info{};
    info.fanConfig = fanConfig;
    info.fanCount = untouched;
    info.reserved = untouched;
    std::ranges::fill(info.fanTypes, untouched);
    std::ranges::fill(info.fanTypeCodes, untouched);
    return info;
}

/** @p base with @p types stored from position 0 on. */
PlatformInformation withTypes(PlatformInformation base, const Bytes& types)
{
    std::copy(types.begin(), types.end(), std::begin(base.fanTypes));
    return base;
}

void pokeFanRegisters(World& world, std::optional<std::uint8_t> selector,
                      std::uint8_t config, const Bytes& fanBytes)
{
    if (selector)
    {
        world.pokeNormal(Location::remote, 0, configBlock, 9, {*selector});
    }
    world.pokeNormal(Location::remote, 0, configBlock, 7, {config});
    world.pokeNormal(Location::remote, 0, presenceBlock, 11, fanBytes);
}

// Two pairs of fan bytes 11 and 12 in which no two of the eight 2-bit fields
// hold the same pair of values, so a field taken from the wrong place shows.
const Bytes fanBytesA = {0xE4, 0x9B};
const Bytes fanBytesB = {0x1B, 0x9E};

struct Wiring
{
    std::uint8_t fanCount;
    Bytes typesA;
    Bytes typesB;
};
const Wiring sixFans{6, {2, 3, 3, 2, 1, 0}, {3, 2, 0, 1, 2, 3}};
const Wiring firstWiring{8, {2, 2, 3, 3, 2, 2, 1, 1}, {3, 3, 2, 2, 1, 1, 2, 2}};
const Wiring secondWiring{
    8, {2, 2, 3, 3, 1, 1, 0, 0}, {3, 3, 0, 0, 2, 2, 3, 3}};
const Wiring type5Wiring{6, {0, 1, 2, 3, 3, 2}, {3, 2, 1, 0, 2, 3}};

const Bytes type4Codes = {0x03, 0x01, 0x02, 0x00};
const Bytes type4SecondCodes = {0x03, 0x02, 0xff, 0xff};
const Bytes type5Codes = {0x03, 0x00, 0x01, 0x02};
const Bytes type6Codes = {0x00, 0xff, 0x11, 0x01};

/** The caller's record as getPlatform leaves it: @p fanConfig, @p codes,
 *  reserved 0 and, when given, @p fanCount and the leading @p types. */
PlatformInformation expected(std::uint8_t fanConfig, const Bytes& codes,
                             std::uint8_t fanCount = untouched,
                             const Bytes& types = {})
{
    PlatformInformation info = withTypes(callerRecord(fanConfig), types);
    info.reserved = 0;
    info.fanCount = fanCount;
    std::copy(codes.begin(), codes.end(), std::begin(info.fanTypeCodes));
    return info;
}

TEST_F(PlatformTest, Type4ConfigurationSelectsFanConfigAndWiring)
{
    struct Row
    {
        std::uint8_t selector;
        std::uint8_t config;
        std::uint8_t callerFanConfig;
        std::uint8_t fanConfig;
        const Wiring* wiring; // nullptr: no position written
        const Bytes& codes;
    };
    const std::vector<Row> rows = {
        // Selectors 0 and 1 use bits 1-0 of the configuration byte.
        {0, 0x01, untouched, 1, &firstWiring, type4Codes},
        {1, 0x00, untouched, 2, &sixFans, type4Codes},
        {0, 0x04, untouched, 2, &sixFans, type4Codes},
        {0, 0x03, 2, 2, &sixFans, type4Codes},
        // Selectors from 2 up use bits 2-0.
        {2, 0x02, untouched, 1, &secondWiring, type4SecondCodes},
        {2, 0x0A, untouched, 1, &firstWiring, type4Codes},
        {7, 0x03, untouched, 2, &sixFans, type4Codes},
        {0xFF, 0x01, untouched, 2, &sixFans, type4Codes},
        {2, 0x04, 1, 1, &firstWiring, type4Codes},
        {2, 0x06, untouched, untouched, nullptr, type4Codes},
        // The caller's fanConfig decides where the byte does not.
        {0, 0x02, 0, 0, nullptr, type4Codes},
        {0, 0x02, 1, 1, &secondWiring, type4SecondCodes},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(::testing::Message()
                     << "selector " << +row.selector << ", config "
                     << +row.config << ", caller " << +row.callerFanConfig);
        inWorld(platformBoard(4), [&](World& world) {
            JournalCapture journal;
            for (const Bytes* fanBytes : {&fanBytesA, &fanBytesB})
            {
                pokeFanRegisters(world, row.selector, row.config, *fanBytes);
                PlatformInformation info = callerRecord(row.callerFanConfig);
                EXPECT_EQ(getPlatform(info), 0);
                const bool a = fanBytes == &fanBytesA;
                EXPECT_EQ(info, row.wiring
                                    ? expected(row.fanConfig, row.codes,
                                               row.wiring->fanCount,
                                               a ? row.wiring->typesA
                                                 : row.wiring->typesB)
                                    : expected(row.fanConfig, row.codes));
                EXPECT_THAT(journal.drain(), IsEmpty());
            }
        });
    }
}

TEST_F(PlatformTest, Type5ReportsItsFanTypes)
{
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> rows = {
        {0x00, 2}, {0x01, 3}, {0x02, untouched}, {0xFF, untouched}};
    inWorld(platformBoard(5), [&](World& world) {
        JournalCapture journal;
        for (const auto& [config, fanConfig] : rows)
        {
            for (const Bytes* fanBytes : {&fanBytesA, &fanBytesB})
            {
                SCOPED_TRACE(+config);
                pokeFanRegisters(world, std::nullopt, config, *fanBytes);
                PlatformInformation info = callerRecord();
                EXPECT_EQ(getPlatform(info), 0);
                EXPECT_EQ(info, expected(fanConfig, type5Codes, 6,
                                         fanBytes == &fanBytesA
                                             ? type5Wiring.typesA
                                             : type5Wiring.typesB));
                EXPECT_THAT(
                    journal.drain(),
                    ElementsAre(Logged("tq310v2or320v2 fan types: {FAN_TYPE}",
                                       {{"FAN_TYPE", "3"}}, "getPlatform")));
            }
        }
    });
}

TEST_F(PlatformTest, Type6StatusByteAndMixedFanWarnings)
{
    struct Row
    {
        std::uint8_t status;
        Bytes types;
        std::vector<std::pair<int, int>> warnings; // position, FAN_TYPE
    };
    const std::vector<Row> rows = {
        {0x00, {0x00, 0x00, 0x00, 0x00}, {}},
        {0x13, {0x11, 0x01, 0x00, 0x00}, {{1, 1}}},
        // An empty position does not reset the comparison.
        {0x45, {0x01, 0x00, 0x11, 0x00}, {{2, 17}}},
        {0x0E, {0x00, 0x01, 0x01, 0x01}, {}},
        {0xFF, {0x11, 0x11, 0x11, 0x11}, {}},
        {0x5F, {0x11, 0x01, 0x11, 0x01}, {{1, 1}, {2, 17}, {3, 1}}},
        {0xE9, {0x01, 0x00, 0x00, 0x11}, {{3, 17}}},
    };
    inWorld(platformBoard(6), [&](World& world) {
        JournalCapture journal;
        // The byte after the status byte is not part of it.
        world.pokeNormal(Location::remote, 0, presenceBlock, 14, {0xFF});
        for (const Row& row : rows)
        {
            SCOPED_TRACE(+row.status);
            world.pokeNormal(Location::remote, 0, presenceBlock, 13,
                             {row.status});
            PlatformInformation info = callerRecord(0x42);
            EXPECT_EQ(getPlatform(info), 0);
            EXPECT_EQ(info, expected(0x42, type6Codes, 4, row.types));

            std::vector<Matcher<const JournalEntry&>> warnings;
            for (const auto& [position, fanType] : row.warnings)
            {
                warnings.push_back(Logged(
                    "Fans[" + std::to_string(position) +
                        "] type is {FAN_TYPE}, which is different from "
                        "previous one, mixed fan installed on Tundo?",
                    {{"FAN_TYPE", std::to_string(fanType)}}, "getPlatform"));
            }
            EXPECT_THAT(journal.drain(), ElementsAreArray(warnings));
        }
    });
}

TEST_F(PlatformTest, FailedFanReadKeepsWhatWasStoredBefore)
{
    auto disabled = [](std::size_t block) {
        return Logged("Block{BLOCK} is disabled\n",
                      {{"BLOCK", std::to_string(block)}}, "normalAccess");
    };
    auto withBlocks = [](Board board, std::vector<std::size_t> missing) {
        board.remotes[0].blocks = fpga_test::blocksWithout(missing);
        return board;
    };
    Board absentRemote = platformBoard(6);
    absentRemote.remotes[0].detected = "0\n";
    // The node ends before fan bytes 11 and 12.
    Board shortNode = platformBoard(4);
    auto& node = shortNode.node(Location::remote, 0, Mode::normal);
    node.fault = NodeFault::truncated;
    node.truncatedSize = fpga_sim::normalPosition(presenceBlock, 11);

    struct Row
    {
        const char* name;
        Board board;
        std::uint8_t config;
        int result;
        std::vector<Matcher<const JournalEntry&>> entries;
        PlatformInformation record;
    };
    const std::vector<Row> rows = {
        {"type 4, selector",
         withBlocks(platformBoard(4), {configBlock}),
         1,
         -EFAULT,
         {disabled(configBlock)},
         expected(untouched, type4Codes)},
        {"type 4, fan bytes",
         withBlocks(platformBoard(4), {presenceBlock}),
         1,
         -EFAULT,
         {disabled(presenceBlock)},
         expected(1, type4Codes)},
        {"type 4, short read", shortNode, 0, -EIO, {}, expected(2, type4Codes)},
        {"type 5, configuration",
         withBlocks(platformBoard(5), {configBlock}),
         1,
         -EFAULT,
         {disabled(configBlock)},
         expected(untouched, type5Codes, 6)},
        {"type 5, fan bytes",
         withBlocks(platformBoard(5), {presenceBlock}),
         1,
         -EFAULT,
         {disabled(presenceBlock)},
         expected(3, type5Codes, 6, Bytes(6, 0x03))},
        {"type 6, status",
         absentRemote,
         0,
         -ENODEV,
         {Logged("RMT:{R} Chip{ID} not detected\n",
                 {{"R", "True"}, {"ID", "0"}}, "normalAccess")},
         expected(untouched, type6Codes, 4, Bytes(4, 0))},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        inWorld(row.board, [&](World& world) {
            world.pokeNormal(Location::remote, 0, configBlock, 9, {0});
            world.pokeNormal(Location::remote, 0, configBlock, 7, {row.config});
            JournalCapture journal;
            PlatformInformation info = callerRecord();
            EXPECT_EQ(getPlatform(info), row.result);
            EXPECT_EQ(info, row.record);
            EXPECT_THAT(journal.drain(), ElementsAreArray(row.entries));
        });
    }
}

// ---------------------------------------------------------- device presence

Bytes presenceBytes(
    std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes)
{
    Bytes all(16);
    for (const auto& [index, value] : bytes)
    {
        all[index] = value;
    }
    return all;
}

Bytes countingBytes()
{
    Bytes all(16);
    for (std::size_t i = 0; i < all.size(); ++i)
    {
        all[i] = static_cast<std::uint8_t>(i + 1);
    }
    return all;
}

constexpr PlatDevPresence untouchedPresence{
    0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5,
    0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5};

TEST_F(PlatformTest, PresenceRegroupedByPlatform)
{
    struct Row
    {
        int platformType;
        Bytes bytes;
        PlatDevPresence presence;
    };
    const Bytes ones(16, 0xFF);
    const std::vector<Row> rows = {
        {0, ones, {0xFFFFFFFF, 0xFFFFFFFF, 0xFF, 0xFFFF, 0xF0, 0x7F, 0xFF}},
        {1, ones, {0xFFFFFFFF, 0xEF776C3F, 0xFF, 0x1FFF, 0x8F, 0x00, 0xFF}},
        {0,
         countingBytes(),
         {0x04030201, 0x08070605, 0x09, 0x0C0B, 0x00, 0x0F, 0x0D}},
        {1,
         countingBytes(),
         {0x04030201, 0x08070405, 0x09, 0x0C0B, 0x0F, 0x00, 0x0D}},
        {0,
         presenceBytes({{14, 0x5A}, {15, 0x0C}}),
         {0, 0, 0, 0, 0xC0, 0x5A, 0}},
        {1, presenceBytes({{14, 0x5A}, {15, 0x0C}}), {0, 0, 0, 0, 0x8A, 0, 0}},
        // Bytes and bits that no member takes.
        {0,
         presenceBytes({{9, 0xFF}, {13, 0xFF}, {14, 0x80}, {15, 0xF0}}),
         {0, 0, 0, 0, 0, 0, 0}},
        {1,
         presenceBytes({{9, 0xFF}, {13, 0xFF}, {14, 0xF0}, {15, 0xF7}}),
         {0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(::testing::Message()
                     << "type " << row.platformType << ", bytes "
                     << ::testing::PrintToString(row.bytes));
        inWorld(platformBoard(row.platformType), [&](World& world) {
            world.pokeNormal(Location::local, 0, presenceBlock, 0, row.bytes);
            JournalCapture journal;
            PlatDevPresence presence = untouchedPresence;
            EXPECT_EQ(getPlatDevPresence(presence), 0);
            EXPECT_EQ(presence, row.presence);
            EXPECT_THAT(journal.drain(), IsEmpty());
        });
    }
}

TEST_F(PlatformTest, OtherPlatformsReadNothing)
{
    for (int platformType = 0; platformType < 8; ++platformType)
    {
        SCOPED_TRACE(platformType);
        // Both chips absent: a register read would say so.
        Board board = platformBoard(platformType);
        board.local.detected = "0\n";
        board.remotes[0].detected = "0\n";
        inWorld(board, [&](World&) {
            JournalCapture journal;
            if (platformType < 4 || platformType > 6)
            {
                PlatformInformation info = callerRecord();
                EXPECT_EQ(getPlatform(info), -ENODATA);
                EXPECT_EQ(info, callerRecord());
                EXPECT_THAT(journal.drain(),
                            ElementsAre(Logged(
                                "Unsupported platform(type = {PLAT_TYPE}) "
                                "found while retrieving fan types.",
                                {{"PLAT_TYPE", std::to_string(platformType)}},
                                "getPlatform")));
            }
            if (platformType > 1)
            {
                PlatDevPresence presence = untouchedPresence;
                EXPECT_EQ(getPlatDevPresence(presence), -ENODATA);
                EXPECT_EQ(presence, untouchedPresence);
                EXPECT_THAT(journal.drain(), IsEmpty());
            }
        });
    }
}

TEST_F(PlatformTest, FailedPresenceReadLeavesRecordUntouched)
{
    Board absent = platformBoard(0);
    absent.local.detected = "0\n";
    Board disabled = platformBoard(1);
    disabled.local.blocks = fpga_test::blocksWithout({presenceBlock});
    const std::vector<
        std::tuple<const char*, Board, int, Matcher<const JournalEntry&>>>
        rows = {
            {"absent", absent, -ENODEV,
             Logged("RMT:{R} Chip{ID} not detected\n",
                    {{"R", "False"}, {"ID", "0"}}, "normalAccess")},
            {"disabled", disabled, -EFAULT,
             Logged("Block{BLOCK} is disabled\n", {{"BLOCK", "12"}},
                    "normalAccess")},
        };
    for (const auto& [name, board, result, entry] : rows)
    {
        SCOPED_TRACE(name);
        inWorld(board, [&](World& world) {
            world.pokeNormal(Location::local, 0, presenceBlock, 0,
                             Bytes(16, 0xFF));
            JournalCapture journal;
            PlatDevPresence presence = untouchedPresence;
            EXPECT_EQ(getPlatDevPresence(presence), result);
            EXPECT_EQ(presence, untouchedPresence);
            EXPECT_THAT(journal.drain(), ElementsAre(entry));
        });
    }
}

} // namespace
