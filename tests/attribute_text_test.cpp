// SPDX-License-Identifier: Apache-2.0
// How each chip attribute's text turns into a value: the formatted
// extraction of the standard streams (leading white space, sign, base
// prefixes, overflow, where a value ends) and texts longer than one read.

#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <bitset>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::World;
using fpga_test::WorldTest;
using namespace tavrin_fpga;
using namespace std::string_literals;

constexpr std::uint32_t max32 = 0xFFFFFFFF;

/** Longer than what one read of an attribute asks for. */
const std::string longSpace(10000, ' ');

struct Row
{
    std::string text;
    std::uint64_t expected;
};

/** Write each row's text to the local chip's @p base attribute and compare
 *  what @p read makes of it; attribute values are not cached, so one world
 *  serves every row. */
void checkRows(World& world, const char* base,
               const std::function<std::uint64_t()>& read,
               const std::vector<Row>& rows)
{
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(base) + " = " +
                     ::testing::PrintToString(row.text.substr(0, 80)));
        world.writeAttr(std::string("fpga_loc_") + base, row.text);
        EXPECT_EQ(read(), row.expected);
    }
}

TEST_F(WorldTest, DetectedIsAnyNonZeroDecimal)
{
    inWorld(Board{}, [](World& world) {
        checkRows(
            world, "detected", [] { return chipDetected(Location::local, 0); },
            {
                {"1", 1},
                {" \t\n\v\f\r1\n", 1},
                {longSpace + "1", 1},
                {"+1", 1},
                {"-1", 1},
                {"-0", 0},
                {"0000", 0},
                {"007", 1},
                {"0x1", 0},
                {"99999999999999999999999", 1},
                {"-99999999999999999999999", 1},
                {"1yes", 1},
                {"+", 0},
                {"- 1", 0},
                {"\xa0"
                 "1",
                 0},
                {" \n", 0},
            });
    });
}

TEST_F(WorldTest, HexAttributesFollowUnsignedExtraction)
{
    const std::vector<Row> rows = {
        {"7A", 0x7A},
        {"0x0", 0},
        {"0X7a", 0x7A},
        {"\t\r\n0x7a", 0x7A},
        {longSpace + "0x7a", 0x7A},
        {"+0x10", 0x10},
        // Negative values wrap as unsigned 32-bit numbers do.
        {"-1", max32},
        {"-0x2", max32 - 1},
        {"-ffffffff", 1},
        // Overflow gives the largest value, also for a negative number.
        {"ffffffff", max32},
        {"100000000", max32},
        {"-100000000", max32},
        {"0x" + std::string(40, 'f'), max32},
        {"000000000000000000000000000000000000007a", 0x7A},
        // Only one "0x" is a prefix; the value ends at the first non-digit.
        {"0x", 0},
        {"0xg", 0},
        {"00x7a", 0},
        {"0x0x5", 0},
        {"0x-1", 0},
        {"x7a", 0},
        {"7a 0x10", 0x7A},
        {"1.5", 1},
        {"- 1", 0},
    };
    inWorld(Board{}, [&](World& world) {
        checkRows(
            world, "chip_id", [] { return getChipId(Location::local, 0); },
            rows);
        checkRows(
            world, "iface_ver", [] { return getIfaceVer(Location::local, 0); },
            rows);
    });
}

TEST_F(WorldTest, FirmwareStringIsTheFirstLineAsIs)
{
    const struct
    {
        std::string text;
        std::string expected;
    } rows[] = {
        {"", ""},
        {"\n1 2\n", ""},
        {"  3 12\r\n", "  3 12\r"},
        {"no newline", "no newline"},
        {"a\0b\nc"s, "a\0b"s},
        {std::string(9000, 'v') + "\nx", std::string(9000, 'v')},
    };
    inWorld(Board{}, [&](World& world) {
        for (const auto& row : rows)
        {
            SCOPED_TRACE(::testing::PrintToString(row.text.substr(0, 80)));
            world.writeAttr("fpga_loc_fw_version", row.text);
            EXPECT_EQ(getFirmwareVerStr(Location::local, 0), row.expected);
        }
    });
}

TEST_F(WorldTest, PackedFirmwareVersionReadsTwoDecimals)
{
    inWorld(Board{}, [](World& world) {
        checkRows(world, "fw_version",
                  [] { return getFirmwareVer(Location::local, 0); },
                  {
                      {"\t1\v2", 0x0102},
                      {"+1 +2 3", 0x0102},
                      {"07 010", 0x070A},
                      {"1\n2", 0x0100},
                      {"-1 5", 0xFF05},
                      {"1 -1", 0x01FF},
                      {"1 4294967296", 0x01FF},
                      // A major that fails stops the minor from being read.
                      {"4294967296 5", 0xFF00},
                      {"- 5", 0},
                      {"x 5", 0},
                      {"0x10 5", 0},
                  });
    });
}

TEST_F(WorldTest, BlocksTokenEndsAtWhiteSpace)
{
    const std::string all(64, '1');
    inWorld(Board{}, [&](World& world) {
        checkRows(
            world, "blocks",
            [] { return getSupportedBlocks(Location::local, 0).to_ullong(); },
            {
                {" \t\n11 0 x", 0b11},
                {"11\v1", 0b11},
                {std::string(8190, ' ') + "101", 0b101},
                {all + "x", ~0ULL},
                {"", 0},
                {longSpace, 0},
            });
        // A character other than 0 or 1 among the first 64 throws.
        for (const std::string& bad : {"x" + all, all.substr(1) + "2"})
        {
            SCOPED_TRACE(bad);
            world.writeAttr("fpga_loc_blocks", bad);
            try
            {
                getSupportedBlocks(Location::local, 0);
                ADD_FAILURE() << "no exception";
            }
            catch (const std::invalid_argument& e)
            {
                EXPECT_STREQ(e.what(), "bitset::_M_copy_from_ptr");
            }
        }
    });
}

} // namespace
