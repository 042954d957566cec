// SPDX-License-Identifier: Apache-2.0
// fpga-sim as its users see it: node and attribute semantics inside the
// simulation, each fault, the reset, the trace, teardown and exit status,
// and the messages of --check.

#include "fpgasim_run.hpp"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::FaultOps;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
using fpga_test::FpgaSimTest;
using fpga_test::ioOnBoard;
using fpga_test::runOnBoard;
using fpga_test::runProgram;
using fpga_test::ScratchDir;
using tavrin_fpga::Location;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr const char* dir = "/sys/bus/spi/devices/spi2.2/";

Board registerBoard()
{
    Board board;
    board.presentChip(Location::local, 0);
    board.setBytes(Location::local, 0, Mode::normal,
                   fpga_sim::normalPosition(4, 10), {0x03, 0x30, 0x50});
    board.setBytes(Location::remote, 1, Mode::adi,
                   fpga_sim::adiPosition(Location::remote, 8, 14, 0xabc, 3),
                   {0x5a});
    return board;
}

TEST_F(FpgaSimTest, NodesReadWhatWasWrittenAtEachPosition)
{
    EXPECT_THAT(
        ioOnBoard(registerBoard(),
                  {
                      "r /dev/fpga-cdev 0x4a 3",
                      // A read returns the bytes from its position on.
                      "r /dev/fpga-cdev 0x49 4",
                      "w /dev/fpga-cdev 0x4b a5",
                      "r /dev/fpga-cdev 0x4a 3",
                      // The ADI space of the same chip is a separate one.
                      "r /dev/fpga-adi 0x4b 1",
                      "w /dev/fpga-adi 0x4b 77",
                      "r /dev/fpga-cdev 0x4b 1",
                      "r /dev/fpga-r1-adi 0x08e0abc3 2",
                      // The window ends where the block field does.
                      "r /dev/fpga-cdev 0x3ff 4",
                      "r /dev/fpga-cdev 0x400 1",
                      "w /dev/fpga-cdev 0x400 01",
                  }),
        ElementsAre("03 30 50", "00 03 30 50", "ok 1", "03 a5 50", "00", "ok 1",
                    "a5", "5a 00", "00", "", "error ENOSPC"));
}

TEST_F(FpgaSimTest, ResetReleaseRestoresInitialRegisters)
{
    const std::string reset = std::string("a ") + dir + "tavrin_fpga_reset ";
    EXPECT_THAT(
        ioOnBoard(registerBoard(),
                  {
                      "w /dev/fpga-cdev 0x4a ff ff",
                      "w /dev/fpga-r1-adi 0x08e0abc3 00",
                      // Releasing without asserting changes nothing.
                      reset + "0",
                      "r /dev/fpga-cdev 0x4a 2",
                      reset + "1",
                      std::string("t ") + dir + "tavrin_fpga_reset",
                      reset + "0",
                      "r /dev/fpga-cdev 0x4a 2",
                      "r /dev/fpga-r1-adi 0x08e0abc3 1",
                      reset + "2",
                  }),
        ElementsAre("ok 2", "ok 1", "ok", "ff ff", "ok", "1\\n", "ok", "03 30",
                    "5a", "error EINVAL"));
}

TEST_F(FpgaSimTest, AttributesAreServedAsTheBoardWritesThem)
{
    Board board = registerBoard();
    board.remotes[2].blocks = "10x1";
    board.remotes[3].detected = "0\n";
    board.hpmChip = "remote";
    EXPECT_THAT(ioOnBoard(board,
                          {
                              std::string("t ") + dir + "fpga_loc_chip_id",
                              std::string("t ") + dir + "fpga_rmt2_blocks",
                              std::string("t ") + dir + "tavrin_fpga_hpm_chip",
                              std::string("e ") + dir + "fpga_rmt3_chip_id",
                              std::string("e ") + dir + "tavrin_fpga_wakeup",
                              // Read-only as on sysfs, even for root.
                              std::string("o ") + dir + "fpga_loc_detected rw",
                              std::string("o ") + dir + "fpga_loc_new rw",
                          }),
                ElementsAre("0x7a\\n", "10x1", "remote", "no", "yes",
                            "error EACCES", "error ENOENT"));
}

TEST_F(FpgaSimTest, ProbeSettingPlacesTheDriverDirectory)
{
    const std::pair<fpga_sim::ProbeDirs, std::vector<std::string>> rows[] = {
        {fpga_sim::ProbeDirs::spi22, {"yes", "yes", "no"}},
        {fpga_sim::ProbeDirs::spi20, {"no", "no", "yes"}},
        {fpga_sim::ProbeDirs::both, {"yes", "yes", "no"}},
        {fpga_sim::ProbeDirs::none, {"no", "no", "no"}},
    };
    for (const auto& [probe, expected] : rows)
    {
        SCOPED_TRACE(static_cast<int>(probe));
        Board board = registerBoard();
        board.probe = probe;
        EXPECT_THAT(ioOnBoard(board, {"e /sys/bus/spi/devices/spi2.2/"
                                      "tavrin_fpga_wakeup",
                                      "e /sys/bus/spi/devices/spi2.2/"
                                      "fpga_loc_chip_id",
                                      "e /sys/bus/spi/devices/spi2.0/"
                                      "fpga_loc_chip_id"}),
                    ElementsAreArray(expected));
    }
}

TEST_F(FpgaSimTest, NodeFaultsFailLikeTheDriver)
{
    Board board = registerBoard();
    board.node(Location::local, 0, Mode::adi).fault = NodeFault::missing;
    board.node(Location::remote, 0, Mode::normal).fault = NodeFault::readOnly;
    board.node(Location::remote, 1, Mode::normal).failures = {
        {EIO, FaultOps::read, 12}, {ETIMEDOUT, FaultOps::write, {}}};
    board.node(Location::remote, 2, Mode::normal).maxRead = 4;
    auto& truncated = board.node(Location::remote, 3, Mode::normal);
    truncated.fault = NodeFault::truncated;
    truncated.truncatedSize = 0x20;
    board.node(Location::remote, 3, Mode::adi).fault = NodeFault::fifo;
    board.readOnlyReset = true;
    EXPECT_THAT(
        ioOnBoard(board,
                  {
                      "o /dev/fpga-adi rw",
                      "o /dev/fpga-r0 rw",
                      "o /dev/fpga-r0 r",
                      "r /dev/fpga-r1 0xc0 16",
                      "r /dev/fpga-r1 0xbf 1",
                      "r /dev/fpga-r1 0xbf 2",
                      "w /dev/fpga-r1 0x40 01",
                      "r /dev/fpga-r2 0x00 16",
                      "r /dev/fpga-r3 0x1e 4",
                      "s /dev/fpga-r3-adi 16",
                      std::string("o ") + dir + "tavrin_fpga_reset rw",
                  }),
        ElementsAre("error ENOENT", "error EROFS", "ok", "error EIO", "00",
                    "error EIO", "error ETIMEDOUT", "00 00 00 00", "00 00",
                    "error ESPIPE", "error EACCES"));
}

TEST_F(FpgaSimTest, TraceDecodesEveryTransfer)
{
    ScratchDir scratch;
    const std::string trace = scratch.file("trace");
    Board board = registerBoard();
    board.node(Location::remote, 2, Mode::normal).failures = {{}};
    ioOnBoard(board,
              {"r /dev/fpga-cdev 0x4a 3", "w /dev/fpga-r1-adi 0x08e0abc3 01 02",
               "r /dev/fpga-r2 0x10 1", "r /dev/fpga-cdev 0x3ff 2"},
              {"--trace=" + trace});
    EXPECT_EQ(fpga_test::slurp(trace),
              "fpga-cdev read pos=0x4a block=4 offset=10 len=3: 03 30 50\n"
              "fpga-r1-adi write pos=0x8e0abc3 block=8 offset=14 page=0xabc "
              "pdo=3 len=2: 01 02\n"
              "fpga-r2 read pos=0x10 block=1 offset=0 len=1: error EIO\n"
              "fpga-cdev read pos=0x3ff block=63 offset=15 len=2 got=1: 00\n");
}

TEST_F(FpgaSimTest, PassesTheStatusOnAndLeavesNothingBehind)
{
    const std::string mountsBefore = fpga_test::slurp("/proc/self/mountinfo");
    const std::pair<std::vector<std::string>, int> rows[] = {
        {{"sh", "-c", "exit 7"}, 7},
        {{"sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
        // SIGTERM sent to fpga-sim reaches the command.
        {{"sh", "-c",
          "trap 'exit 9' TERM; kill -TERM $PPID; i=0; "
          "while [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; exit 1"},
         9},
        {{"/nonexistent/command"}, 127},
        {{"/"}, 126},
        {{"sh", "-c", "test -e /dev/fpga-r3-adi && test -c /dev/null"}, 0},
    };
    for (const auto& [command, status] : rows)
    {
        SCOPED_TRACE(command.back());
        EXPECT_EQ(runOnBoard(registerBoard(), command).status, status);
    }
    EXPECT_EQ(fpga_test::slurp("/proc/self/mountinfo"), mountsBefore);
    struct stat st
    {};
    EXPECT_NE(::stat("/dev/fpga-cdev", &st), 0);
}

TEST(FpgaSimCommandLine, RefusesUsageErrors)
{
    const std::vector<std::string> rows[] = {
        {FPGA_SIM},
        {FPGA_SIM, "--trace"},
        {FPGA_SIM, "--bogus", "--", "true"},
        {FPGA_SIM, "--check", "x.json", "--", "true"},
        {FPGA_SIM, "--board", "/nonexistent.json", "--", "true"},
    };
    for (const auto& argv : rows)
    {
        SCOPED_TRACE(argv.size());
        EXPECT_EQ(runProgram(argv).status, 2);
    }
}

TEST(FpgaSimCommandLine, CheckNamesTheFieldAndTheProblem)
{
    ScratchDir scratch;
    const std::pair<std::string, std::string> rows[] = {
        {R"({"probe": "spi2.1"})",
         R"(probe: "spi2.1" is not one of spi2.2, spi2.0, both, none)"},
        {R"({"chips": {"r1": {"chipId": "0x7g"}}})",
         "chips.r1.chipId: expected a hexadecimal string"},
        {R"({"nodes": {"fpga-r1": {"registers": [{"block": 4, "offset": 16,
           "bytes": "01"}]}}})",
         "nodes.fpga-r1.registers[0].offset: 16 is out of range 0-15"},
        {R"({"nodes": {"fpga-r1": {"fail": [{"errno": "EWHAT"}]}}})",
         R"(nodes.fpga-r1.fail[0].errno: "EWHAT" is not an errno name)"},
        {"{\n  \"probe\": \"spi2.2\",,\n}",
         "line 2, column 21: not valid JSON"},
    };
    for (const auto& [text, message] : rows)
    {
        SCOPED_TRACE(text);
        const std::string file = scratch.write("bad.json", text);
        const auto run = runProgram({FPGA_SIM, "--check", file});
        EXPECT_EQ(run.status, 1);
        EXPECT_THAT(run.err, HasSubstr(file + ": " + message));
    }
    const auto good = runProgram(
        {FPGA_SIM, "--check", std::string(BOARDS_DIR) + "/default.json"});
    EXPECT_EQ(good.status, 0);
    EXPECT_THAT(good.out, HasSubstr("valid board"));
}

TEST(FpgaSimCommandLine, PrintsTheBuiltInBoard)
{
    const auto run = runProgram({FPGA_SIM, "--print-board"});
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(
        fpga_sim::boardFromText(run.out),
        fpga_sim::loadBoardFile(std::string(BOARDS_DIR) + "/default.json"));
}

} // namespace
