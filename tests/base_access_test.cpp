// Checked register transfers: argument checks in their order, the file
// position each access reaches, and the transfer through the device node.

#include "support/fd_check.hpp"
#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <cerrno>
#include <cstdint>
#include <functional>
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
using fpga_test::openFds;
using fpga_test::WorldTest;
using namespace tavrin_fpga;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Bytes = std::vector<std::uint8_t>;

constexpr auto read = Operation::read;

Bytes toBytes(const std::vector<char>& chars)
{
    return Bytes(chars.begin(), chars.end());
}

TEST_F(WorldTest, EachAccessReachesItsPosition)
{
    // Operation 2 is not named but writes like Operation::write.
    const auto write2 = static_cast<Operation>(2);
    const struct
    {
        const char* node;
        std::uint64_t position;
        std::function<int(Operation, std::span<char>)> access;
    } rows[] = {
        {"/dev/fpga-cdev", 0x3FF,
         [](Operation op, std::span<char> b) {
             return rawNormalAccess(op, 63, 15, b.size(), b);
         }},
        {"/dev/fpga-r2", 75,
         [](Operation op, std::span<char> b) {
             return rawRemoteNormalAccess(2, op, 4, 11, b.size(), b);
         }},
        {"/dev/fpga-adi", 0x12340,
         [](Operation op, std::span<char> b) {
             return rawAdiAccess(op, 0, 0, 0x1234, 0, b.size(), b);
         }},
        {"/dev/fpga-r1-adi", 0x2340,
         [](Operation op, std::span<char> b) {
             return rawRemoteAdiAccess(1, op, 0, 0, 0x1234, 0, b.size(), b);
         }},
        {"/dev/fpga-r3-adi", 0x08E0FFF5,
         [](Operation op, std::span<char> b) {
             return rawRemoteAdiAccess(3, op, 8, 14, 0xFFFF, 5, b.size(), b);
         }},
        {"/dev/fpga-adi", 0x3FFFFFFF,
         [](Operation op, std::span<char> b) {
             return rawAdiAccess(op, 63, 15, 0xFFFF, 15, b.size(), b);
         }},
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
            EXPECT_EQ(row.access(read, buffer), 0);
            EXPECT_EQ(toBytes(buffer), Bytes{0x5A});

            buffer = {'\x3C'};
            EXPECT_EQ(row.access(write2, buffer), 0);
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
        EXPECT_EQ(rawNormalAccess(read, 2, 0, 16, std::span(buffer).first(3)),
                  0);
        EXPECT_EQ(toBytes(buffer), (Bytes{1, 2, 3, 'x'}));
        EXPECT_EQ(rawNormalAccess(read, 2, 1, 2, buffer), 0);
        EXPECT_EQ(toBytes(buffer), (Bytes{2, 3, 3, 'x'}));

        buffer = {9, 9, 9, 9};
        EXPECT_EQ(rawNormalAccess(Operation::write, 2, 0, 100,
                                  std::span(buffer).first(2)),
                  0);
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
    Board board;
    // A malformed set throws when read: rows that reach a range check prove
    // that the set was not read before it.
    board.presentChip(Location::remote, 0).remotes[0].blocks = "10x1\n";
    board.remotes[1].detected = "0\n";
    board.presentChip(Location::remote, 2);
    board.node(Location::remote, 2, Mode::normal).fault = NodeFault::missing;
    board.presentChip(Location::remote, 3).remotes[3].blocks =
        fpga_sim::blocksText({0, 1, 2, 3, 4});
    board.node(Location::remote, 3, Mode::normal).fault = NodeFault::readOnly;
    board.node(Location::remote, 3, Mode::adi).fault = NodeFault::readOnly;
    board.remotes[4].detected = "1\n";

    std::vector<char> buffer(2);
    const std::span<char> span(buffer);
    const struct
    {
        const char* what;
        std::function<int()> access;
        int rc;
        std::string format;
        std::map<std::string, std::string> fields;
        std::string function;
    } rows[] = {
        {"absent local chip, bad block",
         [] {
             std::vector<char> none;
             return rawNormalAccess(Operation::write, 64, 16, 0, none);
         },
         -ENODEV,
         "RMT:{R} Chip{ID} not detected\n",
         {{"R", "False"}, {"ID", "0"}},
         "normalAccess"},
        {"absent remote chip, bad page",
         [&] { return rawRemoteAdiAccess(1, read, 0, 0, 0x10000, 0, 2, span); },
         -ENODEV,
         "RMT:{R} Chip{ID} not detected\n",
         {{"R", "True"}, {"ID", "1"}},
         "adiAccess"},
        {"remote index without a node",
         [&] { return rawRemoteNormalAccess(4, read, 0, 0, 2, span); },
         -ENODEV,
         "RMT:{R} Chip{ID} not detected\n",
         {{"R", "True"}, {"ID", "4"}},
         "normalAccess"},
        {"block 64",
         [&] { return rawRemoteNormalAccess(0, read, 64, 16, 2, span); },
         -EINVAL,
         "Invalid block:{BLOCK}\n",
         {{"BLOCK", "64"}},
         "normalAccess"},
        {"offset 16 before a bad page",
         [&] {
             return rawRemoteAdiAccess(0, read, 1, 16, 0x10000, 16, 2, span);
         },
         -EINVAL,
         "Invalid offset:{OFFSET}\n",
         {{"OFFSET", "16"}},
         "adiAccess"},
        {"page 0x10000 before a bad page data offset",
         [&] {
             return rawRemoteAdiAccess(0, read, 1, 15, 0x10000, 16, 2, span);
         },
         -EINVAL,
         "Invalid page:{PAGE}\n",
         {{"PAGE", "65536"}},
         "adiAccess"},
        {"page data offset 16",
         [&] {
             return rawRemoteAdiAccess(0, read, 1, 15, 0xFFFF, 16, 2, span);
         },
         -EINVAL,
         "Invalid pageDataOffset:{OFFSET}\n",
         {{"OFFSET", "16"}},
         "adiAccess"},
        {"disabled block",
         [&] { return rawRemoteNormalAccess(3, read, 5, 0, 2, span); },
         -EFAULT,
         "Block{BLOCK} is disabled\n",
         {{"BLOCK", "5"}},
         "normalAccess"},
        {"missing node",
         [&] { return rawRemoteNormalAccess(2, read, 1, 0, 2, span); },
         -EFAULT,
         "Failed to open {DEV}\n",
         {{"DEV", "/dev/fpga-r2"}},
         "deviceAccess"},
        {"read from a node that opens read-only",
         [&] { return rawRemoteNormalAccess(3, read, 1, 0, 2, span); },
         -EFAULT,
         "Failed to open {DEV}\n",
         {{"DEV", "/dev/fpga-r3"}},
         "deviceAccess"},
        {"ADI read from a node that opens read-only",
         [&] { return rawRemoteAdiAccess(3, read, 1, 0, 0, 0, 2, span); },
         -EFAULT,
         "Failed to open {DEV}\n",
         {{"DEV", "/dev/fpga-r3-adi"}},
         "deviceAccess"},
    };
    inWorld(board, [&](World&) {
        JournalCapture journal;
        for (const auto& row : rows)
        {
            SCOPED_TRACE(row.what);
            const auto fds = openFds();
            EXPECT_EQ(row.access(), row.rc);
            EXPECT_THAT(
                journal.drain(),
                ElementsAre(Logged(row.format, row.fields, row.function)));
            EXPECT_EQ(openFds(), fds);
        }
    });
}

TEST_F(WorldTest, ShortReadIsAnIoError)
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
        const auto fds = openFds();
        std::vector<char> buffer(16);
        // A seek that fails reports the system's errno ...
        EXPECT_EQ(rawRemoteNormalAccess(0, read, 3, 0, 16, buffer), -ESPIPE);
        // ... which must not stand for a later read that merely ends early.
        EXPECT_EQ(rawNormalAccess(read, 3, 0, 16, buffer), -EIO);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10),
                  (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        EXPECT_THAT(journal.drain(), IsEmpty());
        EXPECT_EQ(openFds(), fds);
    });
}

} // namespace
