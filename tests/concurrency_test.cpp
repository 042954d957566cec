// SPDX-License-Identifier: Apache-2.0
// Transfers from several threads at once on one device node: every call
// opens a descriptor of its own, so no thread moves another's file position
// or sees another's bytes. The ThreadSanitizer leg runs the cases whose
// names contain "Concurrent".

#include "support/world_test.hpp"

#include <libfpga.hpp>

#include <cerrno>
#include <cstdint>
#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::World;
using fpga_test::WorldTest;
using namespace tavrin_fpga;

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t threadCount = 8;
constexpr int rounds = 50;

/** The 16 bytes thread @p t writes in round @p round. */
std::vector<char> pattern(std::size_t t, int round)
{
    std::vector<char> bytes(16);
    for (std::size_t i = 0; i < bytes.size(); ++i)
    {
        bytes[i] = static_cast<char>(t << 4 | ((round + i) & 0xF));
    }
    return bytes;
}

TEST_F(WorldTest, ConcurrentTransfersOnOneNode)
{
    Board board;
    board.presentChip(Location::remote, 2);
    inWorld(board, [](World& world) {
        // Thread t owns block t of remote 2: each round it writes its
        // pattern, reads it back and makes one failing call, which logs.
        std::vector<int> mismatches(threadCount, 0);
        std::vector<int> errors(threadCount, 0);
        std::latch start(threadCount);
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < threadCount; ++t)
        {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                for (int round = 0; round < rounds; ++round)
                {
                    auto out = pattern(t, round);
                    std::vector<char> in(16);
                    errors[t] += rawRemoteNormalAccess(2, Operation::write, t,
                                                       0, 16, out) != 0;
                    errors[t] += rawRemoteNormalAccess(2, Operation::read, t, 0,
                                                       16, in) != 0;
                    errors[t] += rawRemoteNormalAccess(2, Operation::read, t,
                                                       16, 1, in) != -EINVAL;
                    mismatches[t] += in != out;
                }
            });
        }
        for (auto& thread : threads)
        {
            thread.join();
        }
        for (std::size_t t = 0; t < threadCount; ++t)
        {
            SCOPED_TRACE(t);
            EXPECT_EQ(errors[t], 0);
            EXPECT_EQ(mismatches[t], 0);
            const auto last = pattern(t, rounds - 1);
            EXPECT_EQ(world.peek("/dev/fpga-r2", t * 16, 16),
                      Bytes(last.begin(), last.end()));
        }
    });
}

} // namespace
