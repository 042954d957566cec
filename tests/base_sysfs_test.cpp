// Discovery of the driver's sysfs directory and the per-chip attributes.

#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <bitset>
#include <functional>
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

TEST_F(WorldTest, ProbesSpi22BeforeSpi20)
{
    const struct
    {
        ProbeDirs probe;
        std::string path;
    } rows[] = {
        {ProbeDirs::both, "/sys/bus/spi/devices/spi2.2/fpga_loc_chip_id"},
        {ProbeDirs::spi22, "/sys/bus/spi/devices/spi2.2/fpga_loc_chip_id"},
        {ProbeDirs::spi20, "/sys/bus/spi/devices/spi2.0/fpga_loc_chip_id"},
        {ProbeDirs::none, "/fpga_loc_chip_id"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.path);
        Board board;
        board.probe = row.probe;
        inWorld(board, [&](World&) {
            EXPECT_EQ(devAttrFilePath("chip_id", Location::local, 0), row.path);
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
                  "/sys/bus/spi/devices/spi2.0/fpga_rmt2_blocks");
        // Once found, the directory stays, even when a better one appears
        // and the mark vanishes.
        world.setProbe(fpga_sim::spi20Dir, false);
        world.setProbe(fpga_sim::spi22Dir, true);
        EXPECT_EQ(devAttrFilePath("blocks", Location::remote, 2),
                  "/sys/bus/spi/devices/spi2.0/fpga_rmt2_blocks");
    });
}

TEST_F(WorldTest, AttributeNames)
{
    inWorld(Board{}, [](World&) {
        EXPECT_EQ(devAttrFilePath("detected", Location::local, 3),
                  devAttrFilePath("detected", Location::local, 0));
        EXPECT_EQ(devAttrFilePath("iface_ver", Location::remote, 12),
                  "/sys/bus/spi/devices/spi2.2/fpga_rmt12_iface_ver");
        EXPECT_EQ(getIfaceVer(Location::remote, 12), 0U);
    });
}

TEST_F(WorldTest, ParsesAttributeTexts)
{
    // Attribute values are not cached, so one world serves every row. An
    // absent text means the file is removed.
    const struct
    {
        const char* base;
        std::optional<std::string> text;
        std::function<std::uint64_t()> read;
        std::uint64_t expected;
    } rows[] = {
        {"detected", "1\n", [] { return chipDetected(Location::local, 0); }, 1},
        {"detected", "0\n", [] { return chipDetected(Location::local, 0); }, 0},
        {"detected", "2", [] { return chipDetected(Location::local, 0); }, 1},
        {"detected", "yes", [] { return chipDetected(Location::local, 0); }, 0},
        {"detected", "", [] { return chipDetected(Location::local, 0); }, 0},
        {"detected", {}, [] { return chipDetected(Location::local, 0); }, 0},
        {"chip_id", "10\n", [] { return getChipId(Location::local, 0); }, 16},
        {"chip_id", "0x7a", [] { return getChipId(Location::local, 0); }, 122},
        {"chip_id", "0X7A\n", [] { return getChipId(Location::local, 0); },
         122},
        {"chip_id", "zz", [] { return getChipId(Location::local, 0); }, 0},
        {"iface_ver", "0x3\n", [] { return getIfaceVer(Location::local, 0); },
         3},
        {"iface_ver", {}, [] { return getIfaceVer(Location::local, 0); }, 0},
        {"fw_version", "3 12\n",
         [] { return getFirmwareVer(Location::local, 0); }, 0x030C},
        {"fw_version", "300 7\n",
         [] { return getFirmwareVer(Location::local, 0); }, 0x2C07},
        {"fw_version", "3.12\n",
         [] { return getFirmwareVer(Location::local, 0); }, 0x0300},
        {"fw_version", "2", [] { return getFirmwareVer(Location::local, 0); },
         0x0200},
        {"fw_version", "\n4 1",
         [] { return getFirmwareVer(Location::local, 0); }, 0},
        {"blocks",
         "0000000000000000000000000000000000000000000000000000000000010011\n",
         [] { return getSupportedBlocks(Location::local, 0).to_ullong(); },
         0x13},
        {"blocks", "101",
         [] { return getSupportedBlocks(Location::local, 0).to_ullong(); },
         0b101},
        {"blocks", "1" + std::string(63, '0'),
         [] { return getSupportedBlocks(Location::local, 0).to_ullong(); },
         1ULL << 63},
        {"blocks", std::string(64, '1') + "abcdef",
         [] { return getSupportedBlocks(Location::local, 0).to_ullong(); },
         ~0ULL},
        {"blocks",
         {},
         [] { return getSupportedBlocks(Location::local, 0).to_ullong(); },
         0},
    };
    inWorld(Board{}, [&](World& world) {
        for (const auto& row : rows)
        {
            SCOPED_TRACE(std::string(row.base) + " = " +
                         ::testing::PrintToString(row.text));
            const std::string name = std::string("fpga_loc_") + row.base;
            if (row.text)
            {
                world.writeAttr(name, *row.text);
            }
            else
            {
                world.removeAttr(name);
            }
            EXPECT_EQ(row.read(), row.expected);
        }
    });
}

TEST_F(WorldTest, FirmwareStringIsFirstLine)
{
    Board board;
    board.chip(Location::remote, 1).fwVersion = "300 7\nbuilt today\n";
    inWorld(board, [](World&) {
        EXPECT_EQ(getFirmwareVerStr(Location::remote, 1), "300 7");
        Firmware info{true, 1, 2, "old", 3, 4, std::bitset<64>(5)};
        getFirmwareInfo(Location::remote, 1, info);
        EXPECT_FALSE(info.detected);
        EXPECT_EQ(info.firmwareVerStr, "300 7");
        EXPECT_EQ(info.firmwareMajor, 44U);
        EXPECT_EQ(info.firmwareMinor, 7U);
        EXPECT_EQ(info.supportedBlocks, std::bitset<64>());
    });
}

TEST_F(WorldTest, MissingChipGivesDefaults)
{
    inWorld(Board{}, [](World&) {
        Firmware info{true, 1, 2, "old", 3, 4, std::bitset<64>(5)};
        getFirmwareInfo(Location::remote, 3, info);
        EXPECT_FALSE(info.detected);
        EXPECT_EQ(info.chipId, 0U);
        EXPECT_EQ(info.ifaceVer, 0U);
        EXPECT_EQ(info.firmwareVerStr, "");
        EXPECT_EQ(info.firmwareMajor, 0U);
        EXPECT_EQ(info.firmwareMinor, 0U);
        EXPECT_EQ(info.supportedBlocks, std::bitset<64>());
        for (std::size_t block = 0; block < 64; ++block)
        {
            EXPECT_FALSE(blockSupported(block, Location::remote, 3));
        }
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
        EXPECT_FALSE(blockSupported(1000, Location::local, 0));
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
