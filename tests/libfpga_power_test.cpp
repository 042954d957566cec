// SPDX-License-Identifier: Apache-2.0
// Power-action sources and front-button enable, decoded from the power block
// of the FPGA that carries the HPM blocks.

#include "hpm_board.hpp"
#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <sys/resource.h>

#include <libfpga.hpp>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::World;
using fpga_test::HpmPlace;
using fpga_test::JournalCapture;
using fpga_test::JournalEntry;
using fpga_test::Logged;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Matcher;
using namespace tavrin_fpga;

constexpr std::size_t powerBlock = 4;
constexpr std::size_t frontButtonOffset = 10;

/** While it lives, writes to the front-button register (and anything after
 *  it in a node) fail with EFBIG, so an attempted write shows. */
class FrontButtonWritesFail
{
  public:
    FrontButtonWritesFail()
    {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit lowered = saved;
        lowered.rlim_cur =
            fpga_sim::normalPosition(powerBlock, frontButtonOffset);
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    }
    ~FrontButtonWritesFail()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved);
    }

  private:
    rlimit saved{};
};

class PowerTest :
    public fpga_test::WorldTest,
    public ::testing::WithParamInterface<HpmPlace>
{
  protected:
    void poke(World& world, std::size_t offset,
              const std::vector<std::uint8_t>& bytes) const
    {
        world.pokeNormal(GetParam().location, GetParam().index, powerBlock,
                         offset, bytes);
    }
};

TEST_P(PowerTest, SourcesAreUpperNibbleOfTheirOwnRegister)
{
    struct Row
    {
        std::vector<std::uint8_t> offsets11To14;
        std::uint32_t on, off, reset;
    };
    // Offset 13 holds a nibble of its own, so reading it would show.
    const std::vector<Row> rows = {{{0xA7, 0x5C, 0xE1, 0x3F}, 10, 5, 3},
                                   {{0x0F, 0xF0, 0x70, 0x8E}, 0, 15, 8},
                                   {{0x10, 0x0F, 0xFF, 0x00}, 1, 0, 0}};
    inWorld(hpmBoard(GetParam()), [&](World& world) {
        JournalCapture journal;
        for (const Row& row : rows)
        {
            poke(world, 11, row.offsets11To14);
            auto on = static_cast<PowerOnSource>(99);
            auto off = static_cast<PowerOffSource>(99);
            auto reset = static_cast<PowerResetSource>(99);
            EXPECT_EQ(getPowerOnSource(on), 0);
            EXPECT_EQ(getPowerOffSource(off), 0);
            EXPECT_EQ(getPowerResetSource(reset), 0);
            EXPECT_EQ(static_cast<std::uint32_t>(on), row.on);
            EXPECT_EQ(static_cast<std::uint32_t>(off), row.off);
            EXPECT_EQ(static_cast<std::uint32_t>(reset), row.reset);
            EXPECT_THAT(journal.drain(), IsEmpty());
        }
    });
}

TEST_P(PowerTest, FrontButtonsFollowBitOneAndAreWrittenOnlyOnChange)
{
    struct Row
    {
        std::uint8_t before;
        bool enabled; // as read from before
        bool enable;
        std::uint8_t after; // same as before: no write allowed
    };
    const std::vector<Row> rows = {
        {0x05, false, true, 0x07}, {0x07, true, true, 0x07},
        {0xFF, true, false, 0xFD}, {0x00, false, false, 0x00},
        {0xFD, false, true, 0xFF}, {0x02, true, false, 0x00},
        {0x02, true, true, 0x02},  {0xFD, false, false, 0xFD},
    };
    inWorld(hpmBoard(GetParam()), [&](World& world) {
        JournalCapture journal;
        for (const Row& row : rows)
        {
            SCOPED_TRACE(::testing::Message() << "register " << +row.before
                                              << ", enable " << row.enable);
            poke(world, frontButtonOffset, {row.before});
            bool enabled = !row.enabled;
            EXPECT_EQ(getFrontButtonsEnabled(enabled), 0);
            EXPECT_EQ(enabled, row.enabled);
            {
                std::optional<FrontButtonWritesFail> noWrite;
                if (row.after == row.before)
                {
                    noWrite.emplace();
                }
                EXPECT_EQ(setFrontButtonsEnabled(row.enable), 0);
            }
            EXPECT_EQ(world.peekNormal(GetParam().location, GetParam().index,
                                       powerBlock, frontButtonOffset, 1),
                      std::vector<std::uint8_t>{row.after});
            EXPECT_THAT(journal.drain(), IsEmpty());
        }
    });
}

TEST_P(PowerTest, FailedWriteIsReportedWithItsCode)
{
    inWorld(hpmBoard(GetParam()), [&](World& world) {
        poke(world, frontButtonOffset, {0x05});
        JournalCapture journal;
        {
            FrontButtonWritesFail writesFail;
            EXPECT_EQ(setFrontButtonsEnabled(true), -EFBIG);
        }
        const auto entries = journal.drain();
        EXPECT_THAT(
            entries,
            ElementsAre(Logged(
                "rawHpmNormalAccess(write, power, 0xA) res:{RES}\n",
                {{"RES", std::to_string(-EFBIG)}}, "frontButtonsEnabled")));
        // Services filter on the function as the journal names it.
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries[0].get("CODE_FUNC"),
                  "int tavrin_fpga::frontButtonsEnabled(bool, bool&)");
    });
}

/** A decoder whose read fails: the call (which checks that its
 *  out-parameter is untouched) and the entry it adds to the access layer's. */
struct FailingRead
{
    const char* name;
    std::function<int()> call;
    std::function<Matcher<const JournalEntry&>(int res)> entry;
};

template <typename Source, int (*get)(Source&)>
FailingRead sourceRead(const char* name, const char* offset)
{
    return {
        name,
        [] {
            auto source = static_cast<Source>(9);
            const int res = get(source);
            EXPECT_EQ(source, static_cast<Source>(9));
            return res;
        },
        [=](int res) -> Matcher<const JournalEntry&> {
            return AllOf(
                Logged("rawHpmNormalAccess(read, power, {OFFSET}) "
                       "res:{RES}\n",
                       {{"OFFSET", offset}, {"RES", std::to_string(res)}},
                       "getPowerActionSource"),
                ::testing::ResultOf(
                    [](const JournalEntry& e) { return e.get("CODE_FUNC"); },
                    ::testing::HasSubstr(
                        std::string("[with Source = ") + name + ";")));
        }};
}

Matcher<const JournalEntry&> frontButtonReadEntry(int res)
{
    return Logged("rawHpmNormalAccess(read, power, 0xA) res:{RES}\n",
                  {{"RES", std::to_string(res)}}, "frontButtonsEnabled");
}

TEST_P(PowerTest, FailedReadKeepsCallerValueAndAddsOneEntry)
{
    const HpmPlace hpm = GetParam();
    const std::vector<FailingRead> readers = {
        sourceRead<PowerOnSource, getPowerOnSource>("PowerOnSource", "11"),
        sourceRead<PowerOffSource, getPowerOffSource>("PowerOffSource", "12"),
        sourceRead<PowerResetSource, getPowerResetSource>("PowerResetSource",
                                                          "14"),
        {"getFrontButtonsEnabled",
         [] {
             bool enabled = true;
             const int res = getFrontButtonsEnabled(enabled);
             EXPECT_TRUE(enabled);
             return res;
         },
         frontButtonReadEntry},
        // Writing to the short node below would make it grow.
        {"setFrontButtonsEnabled",
         [&] {
             const auto node = fpga_test::hpmNode(hpm, Mode::normal);
             const auto size = std::filesystem::file_size(node);
             const int res = setFrontButtonsEnabled(true);
             EXPECT_EQ(std::filesystem::file_size(node), size);
             return res;
         },
         frontButtonReadEntry},
    };

    // The power block is missing on the HPM FPGA: the routing layer says so.
    Board unavailable = hpmBoard(hpm);
    unavailable.chip(hpm.location, hpm.index).blocks =
        fpga_test::blocksWithout({powerBlock});
    // The node ends before the power block: a short read, reported by its
    // code alone.
    Board shortNode = hpmBoard(hpm);
    auto& node = shortNode.node(hpm.location, hpm.index, Mode::normal);
    node.fault = fpga_sim::NodeFault::truncated;
    node.truncatedSize = fpga_sim::normalPosition(powerBlock, 0);

    for (const FailingRead& reader : readers)
    {
        SCOPED_TRACE(reader.name);
        inWorld(unavailable, [&](World&) {
            JournalCapture journal;
            EXPECT_EQ(reader.call(), -EINVAL);
            EXPECT_THAT(journal.drain(),
                        ElementsAre(Logged("FPGA block{BLOCK} on {LOCATION} "
                                           "not availble!\n",
                                           {{"BLOCK", "4"},
                                            {"LOCATION", hpm.locationName}},
                                           "rawHpmNormalAccess"),
                                    reader.entry(-EINVAL)));
        });
        inWorld(shortNode, [&](World&) {
            JournalCapture journal;
            EXPECT_EQ(reader.call(), -EIO);
            EXPECT_THAT(journal.drain(), ElementsAre(reader.entry(-EIO)));
        });
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hpm, PowerTest,
    ::testing::Values(fpga_test::localHpm, fpga_test::remoteHpm),
    [](const auto& info) { return std::string(info.param.word); });

} // namespace
