// SPDX-License-Identifier: Apache-2.0
// Checked register transfers: argument checks in their order, the file
// position each access reaches, and the transfer through the device node.

#include "support/fd_check.hpp"
#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
using fpga_sim::World;
using fpga_test::JournalCapture;
using fpga_test::Logged;
using fpga_test::WorldTest;
using namespace tavrin_fpga;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Bytes = std::vector<std::uint8_t>;
constexpr auto read = Operation::read;
constexpr std::optional<std::size_t> local;

/** One raw access: remote index (none: local), mode and address. */
struct Call
{
    std::optional<std::size_t> remote;
    bool adi;
    std::size_t block;
    std::size_t offset;
    std::size_t page = 0;
    std::size_t pageDataOffset = 0;

    int operator()(Operation op, std::span<char> buffer) const
    {
        const std::size_t n = buffer.size();
        if (adi)
        {
            return remote ? rawRemoteAdiAccess(*remote, op, block, offset, page,
                                               pageDataOffset, n, buffer)
                          : rawAdiAccess(op, block, offset, page,
                                         pageDataOffset, n, buffer);
        }
        return remote ? rawRemoteNormalAccess(*remote, op, block, offset, n,
                                              buffer)
                      : rawNormalAccess(op, block, offset, n, buffer);
    }
};

Bytes toBytes(const std::vector<char>& chars, std::size_t count)
{
    return Bytes(chars.begin(), chars.begin() + count);
}

TEST_F(WorldTest, EachAccessReachesItsPosition)
{
    const struct
    {
        const char* node;
        std::uint64_t position;
        Call call;
    } rows[] = {
        {"/dev/fpga-cdev", 0x3FF, {local, false, 63, 15}},
        {"/dev/fpga-r2", 75, {2, false, 4, 11}},
        {"/dev/fpga-adi", 0x12340, {local, true, 0, 0, 0x1234, 0}},
        {"/dev/fpga-r1-adi", 0x2340, {1, true, 0, 0, 0x1234, 0}},
        {"/dev/fpga-r3-adi", 0x08E0FFF5, {3, true, 8, 14, 0xFFFF, 5}},
        {"/dev/fpga-adi", 0x3FFFFFFF, {local, true, 63, 15, 0xFFFF, 15}},
    };
    Board board;
    board.presentChip(Location::local, 0);
    for (std::size_t index : {1, 2, 3})
    {
        board.presentChip(Location::remote, index);
    }
    inWorld(board, [&](World& world) {
        for (const auto& row : rows)
        {
            SCOPED_TRACE(::testing::Message()
                         << row.node << " @ 0x" << std::hex << row.position);
            world.poke(row.node, row.position, {0x5A});
            std::vector<char> buffer(1);
            EXPECT_EQ(row.call(read, buffer), 0);
            EXPECT_EQ(buffer[0], 0x5A);
            // Operation 2 is not named, but writes.
            buffer[0] = 0x3C;
            EXPECT_EQ(row.call(static_cast<Operation>(2), buffer), 0);
            EXPECT_EQ(world.peek(row.node, row.position, 1), Bytes{0x3C});
            EXPECT_EQ(world.nodeSize(row.node), fpga_sim::windowOf(row.node));
        }
    });
}

TEST_F(WorldTest, TransfersMinOfLengthAndBuffer)
{
    Board board;
    board.presentChip(Location::local, 0);
    board.setBytes(Location::local, 0, Mode::normal, 0x20, {1, 2, 3, 4, 5});
    inWorld(board, [](World& world) {
        std::vector<char> buffer(4, 'x');
        auto three = std::span(buffer).first(3);
        EXPECT_EQ(rawNormalAccess(read, 2, 0, 16, three), 0);
        EXPECT_EQ(toBytes(buffer, 4), (Bytes{1, 2, 3, 'x'}));
        EXPECT_EQ(rawNormalAccess(read, 2, 1, 2, buffer), 0);
        EXPECT_EQ(toBytes(buffer, 4), (Bytes{2, 3, 3, 'x'}));
        buffer = {9, 9, 9, 9};
        auto two = std::span(buffer).first(2);
        EXPECT_EQ(rawNormalAccess(Operation::write, 2, 0, 100, two), 0);
        EXPECT_EQ(world.peek("/dev/fpga-cdev", 0x20, 4), (Bytes{9, 9, 3, 4}));
    });
}

TEST_F(WorldTest, NothingToMoveOpensNoNode)
{
    Board board;
    board.presentChip(Location::local, 0);
    board.node(Location::local, 0, Mode::normal).fault = NodeFault::missing;
    inWorld(board, [](World&) {
        JournalCapture journal;
        std::vector<char> buffer(4);
        EXPECT_EQ(rawNormalAccess(read, 1, 0, 0, buffer), 0);
        EXPECT_EQ(rawNormalAccess(read, 1, 0, 4, std::span<char>()), 0);
        EXPECT_THAT(journal.drain(), IsEmpty());
        // The checks still run.
        EXPECT_EQ(rawNormalAccess(read, 1, 16, 0, buffer), -EINVAL);
        EXPECT_THAT(journal.drain(),
                    ElementsAre(Logged("Invalid offset:{OFFSET}\n",
                                       {{"OFFSET", "16"}}, "normalAccess")));
    });
}

TEST_F(WorldTest, ChecksRunInOrderAndLogOnce)
{
    Board board; // the local chip is absent
    // Reading this malformed set throws: rows failing a range check prove
    // that the set is read only after all of them.
    board.presentChip(Location::remote, 0).remotes[0].blocks = "10x1\n";
    board.remotes[1].detected = "0\n";
    board.presentChip(Location::remote, 2);
    board.node(Location::remote, 2, Mode::normal).fault = NodeFault::missing;
    board.presentChip(Location::remote, 3).remotes[3].blocks =
        fpga_sim::blocksText({0, 1, 2, 3, 4});
    board.node(Location::remote, 3, Mode::normal).fault = NodeFault::readOnly;
    board.node(Location::remote, 3, Mode::adi).fault = NodeFault::readOnly;
    board.remotes[4].detected = "1\n";

    const std::string absent = "RMT:{R} Chip{ID} not detected\n";
    const std::string noOpen = "Failed to open {DEV}\n";
    const struct
    {
        Call call;
        int rc;
        std::string format;
        std::map<std::string, std::string> fields;
        std::string function;
    } rows[] = {
        {{local, false, 64, 16},
         -ENODEV,
         absent,
         {{"R", "False"}, {"ID", "0"}},
         "normalAccess"},
        {{1, true, 0, 0, 0x10000},
         -ENODEV,
         absent,
         {{"R", "True"}, {"ID", "1"}},
         "adiAccess"},
        {{4, false, 0, 0},
         -ENODEV,
         absent,
         {{"R", "True"}, {"ID", "4"}},
         "normalAccess"},
        {{0, false, 64, 16},
         -EINVAL,
         "Invalid block:{BLOCK}\n",
         {{"BLOCK", "64"}},
         "normalAccess"},
        {{0, true, 1, 16, 0x10000, 16},
         -EINVAL,
         "Invalid offset:{OFFSET}\n",
         {{"OFFSET", "16"}},
         "adiAccess"},
        {{0, true, 1, 15, 0x10000, 16},
         -EINVAL,
         "Invalid page:{PAGE}\n",
         {{"PAGE", "65536"}},
         "adiAccess"},
        {{0, true, 1, 15, 0xFFFF, 16},
         -EINVAL,
         "Invalid pageDataOffset:{OFFSET}\n",
         {{"OFFSET", "16"}},
         "adiAccess"},
        {{3, false, 5, 0},
         -EFAULT,
         "Block{BLOCK} is disabled\n",
         {{"BLOCK", "5"}},
         "normalAccess"},
        {{2, false, 1, 0},
         -EFAULT,
         noOpen,
         {{"DEV", "/dev/fpga-r2"}},
         "deviceAccess"},
        {{3, false, 1, 0},
         -EFAULT,
         noOpen,
         {{"DEV", "/dev/fpga-r3"}},
         "deviceAccess"},
        {{3, true, 1, 0},
         -EFAULT,
         noOpen,
         {{"DEV", "/dev/fpga-r3-adi"}},
         "deviceAccess"},
    };
    inWorld(board, [&](World&) {
        JournalCapture journal;
        std::vector<char> buffer(2);
        for (const auto& row : rows)
        {
            SCOPED_TRACE(::testing::PrintToString(row.fields));
            const auto fds = fpga_test::openFds();
            EXPECT_EQ(row.call(read, buffer), row.rc);
            EXPECT_THAT(
                journal.drain(),
                ElementsAre(Logged(row.format, row.fields, row.function)));
            EXPECT_EQ(fpga_test::openFds(), fds);
        }
    });
}

TEST_F(WorldTest, StreamFailuresReportTheirOwnErrno)
{
    Board board;
    board.presentChip(Location::local, 0);
    auto& node = board.node(Location::local, 0, Mode::normal);
    node.fault = NodeFault::truncated;
    node.truncatedSize = 0x3A;
    board.setBytes(Location::local, 0, Mode::normal, 0x30,
                   {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    board.presentChip(Location::remote, 0);
    board.node(Location::remote, 0, Mode::normal).fault = NodeFault::fifo;
    inWorld(board, [](World&) {
        JournalCapture journal;
        const auto fds = fpga_test::openFds();
        std::vector<char> buffer(16);
        // A seek that fails reports the system's errno ...
        EXPECT_EQ(rawRemoteNormalAccess(0, read, 3, 0, 16, buffer), -ESPIPE);
        // ... which must not stand for a later read that merely ends early.
        EXPECT_EQ(rawNormalAccess(read, 3, 0, 16, buffer), -EIO);
        EXPECT_EQ(toBytes(buffer, 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        EXPECT_THAT(journal.drain(), IsEmpty());
        EXPECT_EQ(fpga_test::openFds(), fds);
    });
}

} // namespace
