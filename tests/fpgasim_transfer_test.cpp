// SPDX-License-Identifier: Apache-2.0
// The library's register transfers on both front ends of one board: the
// same cases run once on World's files and once under fpga-sim, so the two
// cannot drift apart. Cases that only a live driver can stage (a failing
// system call, reads that come in pieces) run under fpga-sim alone.
//
// Under fpga-sim the cases run in this same program, started by fpga-sim
// with --inside-sim; main() picks the suite.

#include "fpgasim_run.hpp"

#include <libfpga.hpp>

#include <functional>

#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::FaultOps;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
using tavrin_fpga::Location;
using tavrin_fpga::Operation;

Board transferBoard()
{
    Board board;
    board.presentChip(Location::local, 0);
    for (std::size_t index : {0, 1, 2, 3})
    {
        board.presentChip(Location::remote, index, "0x41");
    }
    board.setBytes(Location::local, 0, Mode::normal, 0x3FF, {0xEE});
    board.node(Location::remote, 0, Mode::normal).fault = NodeFault::readOnly;
    board.node(Location::remote, 0, Mode::adi).fault = NodeFault::missing;
    auto& truncated = board.node(Location::remote, 2, Mode::normal);
    truncated.fault = NodeFault::truncated;
    truncated.truncatedSize = 0x18;
    // Only fpga-sim honours these; the shared cases leave remote 3 alone.
    auto& failing = board.node(Location::remote, 3, Mode::normal);
    failing.failures = {{ETIMEDOUT, FaultOps::read, 5},
                        {EIO, FaultOps::write, {}}};
    board.setBytes(Location::remote, 3, Mode::normal,
                   fpga_sim::normalPosition(6, 0),
                   {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    board.node(Location::remote, 3, Mode::normal).maxRead = 3;
    return board;
}

std::vector<char> bytes(std::initializer_list<int> values)
{
    return {values.begin(), values.end()};
}

struct TransferCase
{
    const char* name;
    std::function<void()> run;
};

const TransferCase sharedCases[] = {
    {"normal write then read",
     [] {
         auto data = bytes({0x11, 0x22});
         EXPECT_EQ(
             tavrin_fpga::rawNormalAccess(Operation::write, 5, 3, 2, data), 0);
         std::vector<char> back(2);
         EXPECT_EQ(tavrin_fpga::rawNormalAccess(Operation::read, 5, 3, 2, back),
                   0);
         EXPECT_EQ(back, data);
     }},
    {"last register of the window",
     [] {
         std::vector<char> back(1);
         EXPECT_EQ(
             tavrin_fpga::rawNormalAccess(Operation::read, 63, 15, 1, back), 0);
         EXPECT_EQ(back, bytes({0xEE}));
     }},
    {"ADI space apart from normal space",
     [] {
         auto data = bytes({0x5A});
         EXPECT_EQ(tavrin_fpga::rawAdiAccess(Operation::write, 2, 1, 0x1234, 7,
                                             1, data),
                   0);
         std::vector<char> back(1);
         EXPECT_EQ(tavrin_fpga::rawAdiAccess(Operation::read, 2, 1, 0x1234, 7,
                                             1, back),
                   0);
         EXPECT_EQ(back, data);
         EXPECT_EQ(tavrin_fpga::rawAdiAccess(Operation::read, 2, 1, 0x0234, 7,
                                             1, back),
                   0);
         EXPECT_EQ(back, bytes({0}));
     }},
    {"remote ADI pages carry 12 bits",
     [] {
         auto data = bytes({0x42, 0x43});
         EXPECT_EQ(tavrin_fpga::rawRemoteAdiAccess(1, Operation::write, 8, 14,
                                                   0x1234, 0, 2, data),
                   0);
         std::vector<char> back(2);
         EXPECT_EQ(tavrin_fpga::rawRemoteAdiAccess(1, Operation::read, 8, 14,
                                                   0x0234, 0, 2, back),
                   0);
         EXPECT_EQ(back, data);
     }},
    {"length cut to the buffer",
     [] {
         auto data = bytes({0x77});
         EXPECT_EQ(tavrin_fpga::rawRemoteNormalAccess(1, Operation::write, 9, 0,
                                                      16, data),
                   0);
         std::vector<char> back(2);
         EXPECT_EQ(tavrin_fpga::rawRemoteNormalAccess(1, Operation::read, 9, 0,
                                                      2, back),
                   0);
         EXPECT_EQ(back, bytes({0x77, 0}));
     }},
    {"read-only node",
     [] {
         std::vector<char> back(1);
         EXPECT_EQ(tavrin_fpga::rawRemoteNormalAccess(0, Operation::read, 1, 0,
                                                      1, back),
                   -EFAULT);
     }},
    {"missing node",
     [] {
         std::vector<char> back(1);
         EXPECT_EQ(tavrin_fpga::rawRemoteAdiAccess(0, Operation::read, 1, 0, 0,
                                                   0, 1, back),
                   -EFAULT);
     }},
    {"read that ends early",
     [] {
         std::vector<char> back(16);
         EXPECT_LT(tavrin_fpga::rawRemoteNormalAccess(2, Operation::read, 1, 0,
                                                      16, back),
                   0);
     }},
};

const TransferCase simOnlyCases[] = {
    {"read failing with an errno",
     [] {
         std::vector<char> back(1);
         EXPECT_EQ(tavrin_fpga::rawRemoteNormalAccess(3, Operation::read, 5, 0,
                                                      1, back),
                   -ETIMEDOUT);
     }},
    {"write failing with an errno",
     [] {
         auto data = bytes({1});
         EXPECT_EQ(tavrin_fpga::rawRemoteNormalAccess(3, Operation::write, 6, 0,
                                                      1, data),
                   -EIO);
     }},
    {"reset restores the registers",
     [] {
         auto data = bytes({0x66});
         std::vector<char> back(1);
         EXPECT_EQ(
             tavrin_fpga::rawNormalAccess(Operation::write, 63, 15, 1, data),
             0);
         tavrin_fpga::resetFpga();
         EXPECT_EQ(
             tavrin_fpga::rawNormalAccess(Operation::read, 63, 15, 1, back), 0);
         EXPECT_EQ(back, bytes({0xEE}));
     }},
    {"read delivered in short pieces",
     [] {
         std::vector<char> back(16);
         EXPECT_EQ(tavrin_fpga::rawRemoteNormalAccess(3, Operation::read, 6, 0,
                                                      16, back),
                   0);
         EXPECT_EQ(back, bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14,
                                15, 16}));
     }},
};

template <std::size_t N>
void runCases(const TransferCase (&cases)[N])
{
    for (const TransferCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        c.run();
    }
}

class TransferOnWorld : public fpga_test::WorldTest
{};

TEST_F(TransferOnWorld, SharedCases)
{
    inWorld(transferBoard(), [](fpga_sim::World&) { runCases(sharedCases); });
}

class TransferOnFpgaSim : public fpga_test::FpgaSimTest
{};

TEST_F(TransferOnFpgaSim, SharedAndLiveFaultCases)
{
    // fpga-sim's child would read its own /proc/self/exe: resolve it here.
    std::string self(4096, '\0');
    const ssize_t len = ::readlink("/proc/self/exe", self.data(), self.size());
    ASSERT_GT(len, 0);
    self.resize(static_cast<std::size_t>(len));
    const auto run =
        fpga_test::runOnBoard(transferBoard(), {self, "--inside-sim"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // Both inner cases ran; a filter that matched nothing would pass too.
    EXPECT_NE(run.out.find("[  PASSED  ] 2 tests."), std::string::npos)
        << run.out;
}

// Run only inside fpga-sim (see main()).
TEST(InsideSim, SharedCases)
{
    runCases(sharedCases);
}

TEST(InsideSim, SimOnlyCases)
{
    runCases(simOnlyCases);
}

} // namespace

int main(int argc, char** argv)
{
    const bool inside = argc > 1 && std::string(argv[1]) == "--inside-sim";
    ::testing::InitGoogleTest(&argc, argv);
    if (inside)
    {
        GTEST_FLAG_SET(filter, "InsideSim.*");
    }
    else if (GTEST_FLAG_GET(filter) == "*")
    {
        GTEST_FLAG_SET(filter, "-InsideSim.*");
    }
    return RUN_ALL_TESTS();
}
