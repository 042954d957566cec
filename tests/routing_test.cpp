// SPDX-License-Identifier: Apache-2.0
// HPM routing: the HPM location and its cache, block numbers by interface
// version, the routed accesses and their refusals, and the platform type.

#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <string>
#include <utility>
#include <vector>

namespace
{

using namespace fpga_sim;
using namespace fpga_test;
using namespace tavrin_fpga;
using namespace ::testing;

using Bytes = std::vector<std::uint8_t>;
using Where = std::pair<Location, std::size_t>;
constexpr auto read = Operation::read;
const std::string unsupported = "Unsupported interface version:{VER}.\n";

/** Read one byte at offset 11 of @p block through the HPM routing. */
int hpmRead(char& byte, Block block = Block::power)
{
    return rawHpmNormalAccess(read, block, 11, 1, std::span(&byte, 1));
}

/** getHPMLocation() as a pair; out-parameters start as (remote, 9). */
std::pair<int, Where> hpmLocation()
{
    Where where{Location::remote, 9};
    const int rc = getHPMLocation(where.first, where.second);
    return {rc, where};
}

TEST_F(WorldTest, HpmLocationIsReadOnceThenCached)
{
    // Attribute text (none: missing), probe, result, location. A failed
    // read leaves the out-parameters alone and is not cached; without a
    // driver directory the attribute is "/tavrin_fpga_hpm_chip". Result -1:
    // "remote" without a digit, whose exception passes through every HPM
    // access as the standard library threw it.
    const Where local{Location::local, 0};
    const Where unread{Location::remote, 9};
    const std::tuple<std::optional<std::string>, ProbeDirs, int, Where> rows[] =
        {
            {"remote2\n", ProbeDirs::spi22, 0, {Location::remote, 2}},
            {"remote12", ProbeDirs::spi22, 0, {Location::remote, 2}},
            {"local\n", ProbeDirs::spi22, 0, local},
            {"Remote1", ProbeDirs::spi22, 0, local},
            {"remot", ProbeDirs::spi22, 0, local},
            {"", ProbeDirs::spi22, 0, local},
            {{}, ProbeDirs::spi22, ENOENT, unread},
            {{}, ProbeDirs::none, ENOENT, unread},
            {"remote\n", ProbeDirs::spi22, -1, unread},
        };
    const std::string stoiError = invalidArgument([] { std::stoi("e"); });
    for (const auto& [text, probe, rc, where] : rows)
    {
        SCOPED_TRACE(text.value_or("(none)"));
        Board board;
        board.probe = probe;
        board.hpmChip = text;
        inWorld(board, [&](World& world) {
            char byte = 0;
            if (rc < 0)
            {
                EXPECT_EQ(invalidArgument(hpmLocation), stoiError);
                EXPECT_EQ(invalidArgument([&] { hpmRead(byte); }), stoiError);
            }
            else
            {
                EXPECT_EQ(hpmLocation(), std::pair(rc, where));
            }
            world.setProbe(spi22Dir, true);
            world.writeAttr(hpmChipAttr, "remote3\n");
            EXPECT_EQ(hpmLocation(),
                      std::pair(0,
                                rc == 0 ? where : Where{Location::remote, 3}));
        });
    }
}

TEST_F(WorldTest, RoutesToTheHpmFpgaWhenItOffersTheBlock)
{
    Board board;
    board.hpmChip = "remote2\n";
    board.presentChip(Location::local, 0);
    board.presentChip(Location::remote, 2).remotes[2].blocks =
        blocksText({4, 8});
    board.setBytes(Location::remote, 2, Mode::normal, 75, {0x42});
    // Block 8, offset 14, page 0x1001 (0x001 on a remote node), byte 3.
    board.setBytes(Location::remote, 2, Mode::adi, 0x08E00013, {0x24});
    inWorld(board, [](World&) {
        JournalCapture journal;
        char byte = 0;
        // The routing and the checked access each read the block set.
        EXPECT_EQ(fileEvents("/sys/bus/spi/devices/spi2.2/fpga_rmt2_blocks",
                             [&] { EXPECT_EQ(hpmRead(byte), 0); }),
                  "OcOc");
        EXPECT_EQ(byte, 0x42);
        EXPECT_EQ(rawHpmAdiAccess(read, Block::thermal, 14, 0x1001, 3, 1,
                                  std::span(&byte, 1)),
                  0);
        EXPECT_EQ(byte, 0x24);
        EXPECT_THAT(journal.drain(), IsEmpty());
        // Block 6 is enabled on the local FPGA, not on the HPM FPGA.
        EXPECT_EQ(hpmRead(byte, Block::interrupt0), -EINVAL);
        EXPECT_THAT(journal.drain(), ElementsAre(notAvailable(6)));
    });
}

TEST_F(WorldTest, BlockNumbersByInterfaceVersionAndRefusals)
{
    Board board;
    board.hpmChip = "local\n";
    board.presentChip(Location::local, 0, "0x7a", "0x2");
    board.presentChip(Location::remote, 1, "0x7a", "0x3");
    board.presentChip(Location::remote, 2, "0x7a", "0x4");
    inWorld(board, [](World& world) {
        JournalCapture journal;
        EXPECT_EQ(blockId(Location::local, 0, Block::thermal), 8U);
        EXPECT_EQ(blockId(Location::remote, 1, Block{63}), 63U);
        EXPECT_EQ(blockId(Location::local, 0, Block{64}), 64U);
        EXPECT_THAT(journal.drain(), IsEmpty());
        EXPECT_EQ(blockId(Location::remote, 2, Block::thermal), 0U);
        EXPECT_THAT(
            journal.drain(),
            ElementsAre(Logged(unsupported, {{"VER", "4"}}, "blockId")));
        char byte = 0;
        EXPECT_EQ(rawHpmAdiAccess(read, Block{100}, 0, 0, 0, 1,
                                  std::span(&byte, 1)),
                  -EINVAL);
        EXPECT_THAT(journal.drain(),
                    ElementsAre(notAvailable(100, "local", "rawHpmAdiAccess")));
        // An absent HPM FPGA reads as interface version 0, hence block 0.
        world.removeAttr("fpga_loc_iface_ver");
        world.writeAttr("fpga_loc_blocks", blocksText({4}));
        EXPECT_EQ(hpmRead(byte), -EINVAL);
        EXPECT_THAT(journal.drain(),
                    ElementsAre(Logged(unsupported, {{"VER", "0"}}, "blockId"),
                                notAvailable(0, "local")));
    });
}

TEST_F(WorldTest, WithoutHpmAttributeEachAccessFallsBackToLocal)
{
    // Every routed access logs the fallback, which also shows the record
    // area asked for when no whole record is to be read.
    Board board;
    board.presentChip(Location::local, 0);
    board.setBytes(Location::local, 0, Mode::normal, 0x80, {0x01});
    board.setBytes(Location::local, 0, Mode::adi, 0x08E00000,
                   {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    const std::string fallback =
        "getHPMLocation failed. Use default local location.\n";
    const std::pair<std::uint8_t, std::vector<Thermal>> rows[] = {
        {1, {}}, {2, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}}};
    for (const auto& [count, expected] : rows)
    {
        SCOPED_TRACE(+count);
        inWorld(board, [&](World& world) {
            world.poke("/dev/fpga-cdev", 0x8D, {count});
            JournalCapture journal;
            std::vector<Thermal> thermals(3);
            EXPECT_EQ(getThermals(thermals), 0);
            EXPECT_EQ(thermals, expected);
            EXPECT_THAT(journal.drain(),
                        ElementsAre(Logged(fallback, {}, "rawHpmNormalAccess"),
                                    Logged(fallback, {}, "rawHpmAdiAccess")));
        });
    }
}

TEST_F(WorldTest, PlatformTypeFromChipIds)
{
    // Chip ids of the local FPGA and remote FPGA 0 ("": no file), type.
    const std::tuple<std::string, std::string, int> rows[] = {
        {"0x7a", "", 0},     {"0x7b", "", 1}, {"0x4c", "", 2},
        {"0x40", "", 4},     {"0x48", "", 6}, {"0x51", "", 5},
        {"0x34", "0x7b", 1}, {"0x34", "", 7}, {"0x34", "0x34", 3},
        {"0x17a", "", 7},    {"", "0x7a", 7}, {"0x7b", "0x51", 1},
    };
    inWorld(Board{}, [&](World& world) {
        for (const auto& [local, remote0, type] : rows)
        {
            SCOPED_TRACE(local + "/" + remote0);
            for (const auto& [name, text] :
                 {std::pair{"fpga_loc_chip_id", local},
                  std::pair{"fpga_rmt0_chip_id", remote0}})
            {
                text.empty() ? world.removeAttr(name)
                             : world.writeAttr(name, text + "\n");
            }
            EXPECT_EQ(getPlatformType(), type);
        }
    });
}

} // namespace
