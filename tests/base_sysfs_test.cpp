// SPDX-License-Identifier: Apache-2.0
// Discovery of the driver's sysfs directory and the per-chip attributes.

#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <bitset>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::ProbeDirs;
using fpga_sim::World;
using fpga_test::WorldTest;
using namespace tavrin_fpga;

const std::string spi22 = "/sys/bus/spi/devices/spi2.2/";
const std::string spi20 = "/sys/bus/spi/devices/spi2.0/";

TEST_F(WorldTest, ProbesSpi22BeforeSpi20)
{
    const std::pair<ProbeDirs, std::string> rows[] = {
        {ProbeDirs::both, spi22 + "fpga_loc_chip_id"},
        {ProbeDirs::spi20, spi20 + "fpga_loc_chip_id"},
        {ProbeDirs::none, "/fpga_loc_chip_id"},
    };
    for (const auto& [probe, path] : rows)
    {
        SCOPED_TRACE(path);
        Board board;
        board.probe = probe;
        inWorld(board, [&](World&) {
            EXPECT_EQ(devAttrFilePath("chip_id", Location::local, 0), path);
        });
    }
}

TEST_F(WorldTest, DirectoryIsCachedOnlyOnceFound)
{
    Board board;
    board.probe = ProbeDirs::none;
    inWorld(board, [](World& world) {
        EXPECT_EQ(devAttrFilePath("blocks", Location::remote, 2),
                  "/fpga_rmt2_blocks");
        world.setProbe(fpga_sim::spi20Dir, true);
        EXPECT_EQ(devAttrFilePath("blocks", Location::remote, 2),
                  spi20 + "fpga_rmt2_blocks");
        // Kept even when a better one appears and the mark vanishes.
        world.setProbe(fpga_sim::spi20Dir, false);
        world.setProbe(fpga_sim::spi22Dir, true);
        EXPECT_EQ(devAttrFilePath("blocks", Location::remote, 2),
                  spi20 + "fpga_rmt2_blocks");
        EXPECT_EQ(devAttrFilePath("detected", Location::local, 3),
                  spi20 + "fpga_loc_detected");
        EXPECT_EQ(devAttrFilePath("iface_ver", Location::remote, 12),
                  spi20 + "fpga_rmt12_iface_ver");
    });
}

TEST_F(WorldTest, ParsesAttributeTexts)
{
    const std::map<std::string, std::function<std::uint64_t()>> readers = {
        {"detected", [] { return chipDetected(Location::remote, 1); }},
        {"chip_id", [] { return getChipId(Location::remote, 1); }},
        {"iface_ver", [] { return getIfaceVer(Location::remote, 1); }},
        {"fw_version", [] { return getFirmwareVer(Location::remote, 1); }},
        {"blocks",
         [] { return getSupportedBlocks(Location::remote, 1).to_ullong(); }},
    };
    // No text: the file is missing.
    const struct
    {
        const char* base;
        std::optional<std::string> text;
        std::uint64_t expected;
    } rows[] = {
        {"detected", "1\n", 1},
        {"detected", "0\n", 0},
        {"detected", "2", 1},
        {"detected", "yes", 0},
        {"detected", "", 0},
        {"detected", {}, 0},
        {"chip_id", "10\n", 16},
        {"chip_id", "0x7a", 122},
        {"chip_id", " 0X7A\n", 122},
        {"chip_id", "zz", 0},
        {"iface_ver", "3\n", 3},
        {"iface_ver", {}, 0},
        {"fw_version", "3 12\n", 0x030C},
        {"fw_version", "300 7\n", 0x2C07},
        {"fw_version", "3.12\n", 0x0300},
        {"fw_version", "2", 0x0200},
        {"fw_version", "\n4 1", 0},
        {"blocks", std::string(59, '0') + "10011\n", 0x13},
        {"blocks", "101", 0b101},
        {"blocks", "1" + std::string(63, '0'), 1ULL << 63},
        {"blocks", std::string(64, '1') + "abcdef", ~0ULL},
        {"blocks", {}, 0},
    };
    inWorld(Board{}, [&](World& world) {
        // Attribute values are read afresh on every call.
        for (const auto& row : rows)
        {
            SCOPED_TRACE(std::string(row.base) + " = " +
                         ::testing::PrintToString(row.text));
            const std::string name = std::string("fpga_rmt1_") + row.base;
            if (row.text)
            {
                world.writeAttr(name, *row.text);
            }
            else
            {
                world.removeAttr(name);
            }
            EXPECT_EQ(readers.at(row.base)(), row.expected);
        }
    });
}

TEST_F(WorldTest, FirmwareInfoOverwritesEveryField)
{
    Board board;
    board.chip(Location::remote, 1).fwVersion = "300 7\nbuilt today\n";
    inWorld(board, [](World&) {
        EXPECT_EQ(getFirmwareVerStr(Location::remote, 1), "300 7");
        Firmware info{true, 1, 2, "old", 3, 4, std::bitset<64>(5)};
        getFirmwareInfo(Location::remote, 1, info);
        EXPECT_FALSE(info.detected);
        EXPECT_EQ(info.chipId, 0U);
        EXPECT_EQ(info.ifaceVer, 0U);
        EXPECT_EQ(info.firmwareVerStr, "300 7");
        EXPECT_EQ(info.firmwareMajor, 44U);
        EXPECT_EQ(info.firmwareMinor, 7U);
        EXPECT_EQ(info.supportedBlocks, std::bitset<64>());
    });
}

TEST_F(WorldTest, MalformedBlocksThrow)
{
    Board board;
    board.presentChip(Location::local, 0, "0x7b");
    board.local.blocks = "10x1\n";
    inWorld(board, [](World&) {
        try
        {
            getSupportedBlocks(Location::local, 0);
            ADD_FAILURE() << "no exception";
        }
        catch (const std::invalid_argument& e)
        {
            EXPECT_STREQ(e.what(), "bitset::_M_copy_from_ptr");
        }
        EXPECT_THROW(blockSupported(1, Location::local, 0),
                     std::invalid_argument);
        // A block past the set is refused without reading the attribute.
        EXPECT_FALSE(blockSupported(64, Location::local, 0));
        // The record keeps its old block set; the rest is filled first.
        Firmware info{false, 0, 0, "", 0, 0, std::bitset<64>(5)};
        EXPECT_THROW(getFirmwareInfo(Location::local, 0, info),
                     std::invalid_argument);
        EXPECT_TRUE(info.detected);
        EXPECT_EQ(info.chipId, 0x7BU);
        EXPECT_EQ(info.firmwareMajor, 1U);
        EXPECT_EQ(info.supportedBlocks, std::bitset<64>(5));
    });
}

} // namespace
