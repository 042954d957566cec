// SPDX-License-Identifier: Apache-2.0
// The simulated driver as its users see it. Each board case runs on both
// front ends of its board: in a World (files in a tmpfs) and inside fpga-sim,
// where this program runs itself with --inside CASE, so the two cannot drift
// apart. What only a live driver can stage (failing system calls, short
// reads, the reset, the end of a node's window, changes made while the
// command runs, reads of the board and scenarios) runs under fpga-sim
// alone, its trace checked; a write that plain files cut short, in the World
// alone. fpga-sim as a program is fpgasim_program_test.cpp's.

#include "fpgasim_changes.hpp"
#include "fpgasim_run.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <libfpga.hpp>

#include <csignal>
#include <filesystem>
#include <functional>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
using fpga_test::zero;
using ::testing::HasSubstr;
constexpr tavrin_fpga::Location local = tavrin_fpga::Location::local;
constexpr tavrin_fpga::Location remote = tavrin_fpga::Location::remote;

// The driver's paths and positions, written out by hand: the one independent
// check of the layout that the library, board files and both front ends
// take from one header.

const std::string driverDir = "/sys/bus/spi/devices/spi2.2/";
const std::string otherDir = "/sys/bus/spi/devices/spi2.0/";
const char* const nodes[] = {
    "/dev/fpga-cdev", "/dev/fpga-adi",    "/dev/fpga-r0", "/dev/fpga-r0-adi",
    "/dev/fpga-r1",   "/dev/fpga-r1-adi", "/dev/fpga-r2", "/dev/fpga-r2-adi",
    "/dev/fpga-r3",   "/dev/fpga-r3-adi",
};

struct Register
{
    tavrin_fpga::Location location;
    std::size_t index;
    Mode mode;
    std::size_t block;
    std::size_t offset;
    std::size_t page = 0;
    std::size_t pageDataOffset = 0;
};

/** A register, its node and its file position there. */
struct Position
{
    Register reg;
    const char* node;
    std::uint64_t position;
};

const Position positions[] = {
    {{local, 0, Mode::normal, 4, 11}, "/dev/fpga-cdev", 0x4B},
    {{remote, 3, Mode::normal, 63, 15}, "/dev/fpga-r3", 0x3FF},
    {{local, 0, Mode::adi, 8, 14, 0x1234, 1}, "/dev/fpga-adi", 0x08E12341},
    {{remote, 1, Mode::adi, 8, 14, 0x234, 1}, "/dev/fpga-r1-adi", 0x08E02341},
};
/** fpga-sim's trace of a write of 0x50 + the row's index at each position,
 *  and of a read of two bytes at the last register of a normal node and of
 *  a read and a write just past the node's window. */
const std::vector<std::string> positionsTrace = {
    "\nfpga-cdev write pos=0x4b block=4 offset=11 len=1: 50\n",
    "\nfpga-r3 write pos=0x3ff block=63 offset=15 len=1: 51\n",
    "\nfpga-adi write pos=0x8e12341 block=8 offset=14 page=0x1234 pdo=1 len=1: "
    "52\n",
    "\nfpga-r1-adi write pos=0x8e02341 block=8 offset=14 page=0x234 pdo=1 "
    "len=1: 53\n",
    "fpga-r3 read pos=0x3ff block=63 offset=15 len=2 got=1: 51\n"
    "fpga-r3 read pos=0x400 block=64 offset=0 len=1 got=0: end of data\n"
    "fpga-r3 write pos=0x400 block=64 offset=0 len=1: error ENOSPC (past the "
    "end of the node)\n"};
/** The last register of a normal node. */
const Position& lastRegister = positions[1];

// Plain file operations, and the library's transfers.

/** One pread of @p count bytes, or pwrite of @p bytes, at @p position.
 *  @return the bytes moved, or "error E" */
std::string transfer(const std::string& path, std::uint64_t position,
                     std::size_t count, const std::string& bytes = "")
{
    const bool read = bytes.empty();
    const int fd = ::open(path.c_str(), (read ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    std::string data = read ? std::string(count, '\0') : bytes;
    const auto pos = static_cast<off_t>(position);
    const ssize_t moved = fd < 0 ? -1
                          : read ? ::pread(fd, data.data(), data.size(), pos)
                                 : ::pwrite(fd, data.data(), data.size(), pos);
    const std::string error = "error " + fpga_sim::errnoName(errno);
    ::close(fd);
    return moved < 0 ? error : data.substr(0, static_cast<std::size_t>(moved));
}

std::string text(const std::string& path)
{
    return transfer(path, 0, 4096);
}

/** @return the errno of opening @p path with @p flags, or 0 */
int openError(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    const int error = fd < 0 ? errno : 0;
    ::close(fd);
    return error;
}

bool exists(const std::string& path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

std::string result(int rc)
{
    return "result " + std::to_string(rc);
}

/** One transfer of the library at @p r: it writes @p write, or reads
 *  @p count bytes. A write asks for more than it gives: the buffer bounds
 *  it. @return the bytes read, "" for a write, or "result RC" */
std::string library(const Register& r, std::string write, std::size_t count)
{
    using namespace tavrin_fpga;
    const Operation op = write.empty() ? Operation::read : Operation::write;
    std::vector<char> data(write.begin(), write.end());
    data.resize(write.empty() ? count : write.size());
    const std::size_t n = write.empty() ? count : 16;
    const auto [far, b, o, page, pdo] = std::tuple{
        r.location == remote, r.block, r.offset, r.page, r.pageDataOffset};
    const int rc =
        r.mode == Mode::normal
            ? (far ? rawRemoteNormalAccess(r.index, op, b, o, n, data)
                   : rawNormalAccess(op, b, o, n, data))
            : (far ? rawRemoteAdiAccess(r.index, op, b, o, page, pdo, n, data)
                   : rawAdiAccess(op, b, o, page, pdo, n, data));
    return rc != 0         ? result(rc)
           : write.empty() ? std::string(data.begin(), data.end())
                           : "";
}

/** A library transfer (what it writes, or how much it reads) and what it
 *  must give. */
using Transfer = std::tuple<Register, std::string, std::size_t, std::string>;

void runTransfers(const std::vector<Transfer>& transfers)
{
    for (std::size_t i = 0; i < transfers.size(); ++i)
    {
        const auto& [reg, write, count, expected] = transfers[i];
        EXPECT_EQ(library(reg, write, count), expected) << "row " << i;
    }
}

// The board cases.

struct BoardCase
{
    std::string name;
    std::function<Board()> board;
    /** Runs in the World (false) or inside fpga-sim (true). */
    std::function<void(bool live)> body;
    /** Lines fpga-sim's trace of the case has. */
    std::vector<std::string> traced = {};
    /** The MESSAGE of each journal entry the library sends, in order. */
    std::vector<std::string> logged = {};
};

/** Every file in its place with its text, each fault as the driver's. */
Board filesBoard()
{
    Board board;
    board.probe = fpga_sim::ProbeDirs::both;
    board.presentChip(local, 0);
    board.remotes[2].blocks = "10x1";
    board.hpmChip = "remote";
    board.readOnlyReset = true;
    board.node(remote, 0, Mode::normal).fault = NodeFault::readOnly;
    board.node(remote, 0, Mode::adi).fault = NodeFault::missing;
    return board;
}

void checkFiles(bool live)
{
    EXPECT_EQ(text(driverDir + "fpga_loc_chip_id"), "0x7a\n");
    EXPECT_EQ(text(driverDir + "fpga_rmt2_blocks"), "10x1");
    EXPECT_EQ(text(driverDir + "tavrin_fpga_hpm_chip"), "remote");
    EXPECT_EQ(text(driverDir + "tavrin_fpga_wakeup"), "");
    // With both marks the attributes live in spi2.2 alone.
    EXPECT_EQ(text(otherDir + "tavrin_fpga_wakeup"), "");
    EXPECT_FALSE(exists(otherDir + "fpga_loc_chip_id"));
    EXPECT_FALSE(exists(driverDir + "fpga_rmt3_chip_id"));
    for (const std::string node : nodes)
    {
        EXPECT_EQ(exists(node), node != "/dev/fpga-r0-adi") << node;
    }
    EXPECT_EQ(openError("/dev/fpga-r0", O_RDWR), EROFS);
    EXPECT_EQ(openError("/dev/fpga-r0", O_RDONLY), 0);
    // The World's read-only files refuse as read-only mounts do.
    EXPECT_EQ(openError(driverDir + "tavrin_fpga_reset", O_WRONLY),
              live ? EACCES : EROFS);
    if (live)
    {
        // Modes as the driver's; everything is root's.
        const std::pair<std::string, unsigned> modes[] = {
            {driverDir, S_IFDIR | 0755},
            {driverDir + "fpga_loc_chip_id", S_IFREG | 0444},
            {driverDir + "tavrin_fpga_reset", S_IFREG | 0444}, // read-only
            {"/dev/fpga-cdev", S_IFREG | 0600},
        };
        for (const auto& [path, mode] : modes)
        {
            struct stat st
            {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(st.st_mode, mode) << path;
            EXPECT_EQ(st.st_uid + st.st_gid, 0U) << path;
        }
        // As sysfs: no attribute opens for writing, even for root, and no
        // file can be created.
        EXPECT_EQ(openError(driverDir + "fpga_loc_detected", O_RDWR), EACCES);
        EXPECT_EQ(openError(driverDir + "new", O_WRONLY | O_CREAT), EACCES);
    }
    // /dev is the host's again, but for the nodes.
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

/** The driver's files in spi2.0 alone, where no file can be created. */
Board spi20Board()
{
    Board board;
    board.probe = fpga_sim::ProbeDirs::spi20;
    board.presentChip(local, 0);
    board.readOnlyDriverDir = true;
    return board;
}

void checkSpi20(bool)
{
    EXPECT_FALSE(exists(driverDir + "tavrin_fpga_wakeup"));
    EXPECT_FALSE(exists(driverDir + "fpga_loc_chip_id"));
    EXPECT_EQ(text(otherDir + "tavrin_fpga_wakeup"), "");
    EXPECT_EQ(text(otherDir + "fpga_loc_chip_id"), "0x7a\n");
    EXPECT_NE(openError(otherDir + "new", O_WRONLY | O_CREAT), 0);
}

/** Registers set by a board file lie where the driver has them, and the
 *  library moves bytes there. */
Board positionsBoard()
{
    nlohmann::json nodes;
    for (std::size_t i = 0; i < std::size(positions); ++i)
    {
        const Register& reg = positions[i].reg;
        nlohmann::json entry = {{"block", reg.block},
                                {"offset", reg.offset},
                                {"bytes", nlohmann::json::array({0xA0 + i})}};
        if (reg.mode == Mode::adi)
        {
            entry["page"] = reg.page;
            entry["pageDataOffset"] = reg.pageDataOffset;
        }
        // The node's name in board files: its path without "/dev/".
        nodes[std::string(positions[i].node).substr(5)]["registers"].push_back(
            entry);
    }
    Board board = fpga_sim::boardFromJson({{"nodes", nodes}});
    for (const Position& p : positions)
    {
        board.presentChip(p.reg.location, p.reg.index);
    }
    return board;
}

void checkPositions(bool live)
{
    for (std::size_t i = 0; i < std::size(positions); ++i)
    {
        const auto& [reg, node, position] = positions[i];
        SCOPED_TRACE(node);
        const std::string initial(1, static_cast<char>(0xA0 + i));
        const std::string written(1, static_cast<char>(0x50 + i));
        EXPECT_EQ(transfer(node, position, 1), initial);
        EXPECT_EQ(library(reg, "", 1), initial);
        EXPECT_EQ(library(reg, written, 0), "");
        EXPECT_EQ(transfer(node, position, 1), written);
    }
    // The node's data ends with its window.
    EXPECT_EQ(transfer(lastRegister.node, lastRegister.position, 2), "\x51");
    if (live)
    {
        const std::uint64_t past = lastRegister.position + 1;
        EXPECT_EQ(transfer(lastRegister.node, past, 1), "");
        EXPECT_EQ(transfer(lastRegister.node, past, 0, "\x01"), "error ENOSPC");
    }
}

/** The library's transfers, on nodes that work and on nodes that fail. */
Board transferBoard()
{
    Board board;
    board.presentChip(local, 0);
    for (std::size_t index : {0, 1, 2, 3})
    {
        board.presentChip(remote, index, "0x41");
    }
    board.setBytes(local, 0, Mode::normal, fpga_sim::normalPosition(63, 15),
                   {0xEE});
    board.node(remote, 0, Mode::normal).fault = NodeFault::readOnly;
    board.node(remote, 0, Mode::adi).fault = NodeFault::missing;
    auto& truncated = board.node(remote, 2, Mode::normal);
    truncated.fault = NodeFault::truncated;
    truncated.truncatedSize = fpga_sim::normalPosition(1, 8);
    board.node(remote, 2, Mode::adi).fault = NodeFault::fifo;
    // Only fpga-sim honours these; the shared transfers leave remote 3 alone.
    auto& failing = board.node(remote, 3, Mode::normal);
    failing.failures = {{ETIMEDOUT, fpga_sim::FaultOps::read, 5},
                        {EIO, fpga_sim::FaultOps::write, {}}};
    failing.maxRead = 3;
    board.setBytes(remote, 3, Mode::normal, fpga_sim::normalPosition(6, 0),
                   {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    return board;
}

const Register lastLocal{local, 0, Mode::normal, 63, 15};

const std::vector<Transfer> sharedTransfers = {
    {{local, 0, Mode::normal, 5, 3}, "\x11\x22", 0, ""},
    {{local, 0, Mode::normal, 5, 3}, "", 3, {"\x11\x22\0", 3}},
    // Local pages have 16 bits, remote ones 12.
    {{local, 0, Mode::adi, 2, 1, 0x1234, 7}, "\x5A", 0, ""},
    {{local, 0, Mode::adi, 2, 1, 0x234, 7}, "", 1, zero},
    {{remote, 1, Mode::adi, 8, 14, 0x1234}, "\x42\x43", 0, ""},
    {{remote, 1, Mode::adi, 8, 14, 0x234}, "", 2, "\x42\x43"},
    // The ADI space is apart from the normal one: the same file position.
    {{local, 0, Mode::adi, 0, 0, 2, 1}, "\x33", 0, ""},
    {{local, 0, Mode::normal, 2, 1}, "", 1, zero},
    // A read-only, a missing and a truncated node, and a FIFO.
    {{remote, 0, Mode::normal, 1, 0}, "", 1, result(-EFAULT)},
    {{remote, 0, Mode::adi, 1, 0}, "", 1, result(-EFAULT)},
    {{remote, 2, Mode::normal, 1, 0}, "", 16, result(-EIO)},
    {{remote, 2, Mode::adi, 1, 0}, "", 1, result(-ESPIPE)},
};

// Failing reads and writes, short reads, and a register the reset restores.
const std::vector<Transfer> liveTransfers = {
    {{remote, 3, Mode::normal, 5, 0}, "", 1, result(-ETIMEDOUT)},
    {{remote, 3, Mode::normal, 6, 0}, "\x01", 0, result(-EIO)},
    {{remote, 3, Mode::normal, 6, 0},
     "",
     16,
     "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10"},
    {lastLocal, "\x66", 0, ""},
};

void transfers(bool live)
{
    runTransfers(sharedTransfers);
    if (!live)
    {
        // Files of this process may not reach past block 2 offset 4: of 16
        // bytes written at block 2 the first four land, then the write fails.
        const rlim_t end = fpga_sim::normalPosition(2, 4);
        const rlimit limit{end, end};
        std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        const Register at{local, 0, Mode::normal, 2, 0};
        runTransfers({{at, std::string(16, 'Z'), 0, result(-EFBIG)},
                      {at, "", 5, {"ZZZZ\0", 5}}});
        return;
    }
    runTransfers(liveTransfers);
    // Releasing the reset without asserting it changes nothing; asserting
    // shows, and the release restores the board's registers.
    const std::string reset = driverDir + "tavrin_fpga_reset";
    EXPECT_EQ(transfer(reset, 0, 0, "0"), "0");
    EXPECT_EQ(library(lastLocal, "", 1), "\x66");
    EXPECT_EQ(transfer(reset, 0, 0, "1"), "1");
    EXPECT_EQ(text(reset), "1\n");
    EXPECT_EQ(transfer(reset, 0, 0, "2"), "error EINVAL");
    tavrin_fpga::resetFpga();
    EXPECT_EQ(text(reset), "0\n");
    EXPECT_EQ(library(lastLocal, "", 1), "\xEE");
}

/** The control socket of the fpga-sim a case runs in (see main()). */
std::string controlSocket;

/** The command changes its board itself, and each change is seen by the
 *  next access. */
void changes(bool live)
{
    if (!live)
    {
        return; // the World has no changes
    }
    // What a row looks at: an attribute of remote 1, or two bytes of its
    // node at a position ("@40").
    const auto look = [](const std::string& what) {
        return what.starts_with('@')
                   ? transfer("/dev/fpga-r1",
                              std::stoul(what.substr(1), nullptr, 16), 2)
                   : text(driverDir + "fpga_rmt1_" + what);
    };
    const std::string reset = driverDir + "tavrin_fpga_reset";
    for (const auto& [change, status, message, what, shown] :
         fpga_test::changeRows)
    {
        SCOPED_TRACE(change);
        // The change as one word: ctl joins its words with spaces.
        const auto run = fpga_test::runProgram(
            change.empty() ? std::vector<std::string>{"sh", "-c",
                                                      "echo 1 > " + reset +
                                                          "; echo 0 > " + reset}
                           : std::vector<std::string>{FPGA_SIM, "ctl",
                                                      controlSocket, change});
        EXPECT_EQ(run.status, status);
        EXPECT_THAT(run.out + run.err, HasSubstr(message));
        EXPECT_EQ(look(what), shown);
    }
}

/** A scenario: remote 0 goes after three looks at it and comes back two
 *  opens of any file later, at the same look in every run; then, in time,
 *  a new firmware. */
Board scenarioBoard()
{
    return fpga_sim::boardFromJson(nlohmann::json::parse(R"({
        "chips": {"r0": {"detected": 1, "chipId": 7}},
        "scenario": [
          {"after": {"accesses": 3, "of": "fpga_rmt0_detected"},
           "set": {"chips.r0.detected": 0, "chips.r0.chipId": 9}},
          {"after": {"accesses": 2}, "set": {"chips.r0.detected": 1}},
          {"after": {"ms": 1}, "set": {"chips.r0.fwVersion": "9 9"}}]})"));
}

void scenario(bool live)
{
    if (!live)
    {
        return; // the World runs no scenario
    }
    std::string seen;
    for (int i = 0; i < 6; ++i)
    {
        // The chip id's opens count for the second step alone, and do
        // not run the first.
        seen += text(driverDir + "fpga_rmt0_chip_id");
        seen += text(driverDir + "fpga_rmt0_detected");
    }
    EXPECT_EQ(seen, "0x7\n1\n0x7\n1\n0x7\n1\n0x7\n0\n0x9\n1\n0x9\n1\n");
    // Ten seconds at most: a guard, not a measure.
    for (int i = 0; i < 10000 && !exists(driverDir + "fpga_rmt0_fw_version");
         ++i)
    {
        ::usleep(1000);
    }
    EXPECT_EQ(text(driverDir + "fpga_rmt0_fw_version"), "9 9\n");
}

const std::vector<BoardCase>& boardCases()
{
    static const std::vector<BoardCase> cases = {
        {"files", filesBoard, checkFiles},
        {"spi2.0", spi20Board, checkSpi20},
        {"positions", positionsBoard, checkPositions, positionsTrace},
        {"transfers",
         transferBoard,
         transfers,
         {" len=1: error ETIMEDOUT\n", " len=1: error EIO\n",
          " len=16 got=3: 01 02 03\n", " len=13 got=3: 04 05 06\n",
          "\ntavrin_fpga_reset write \"0\"\n",
          "\ntavrin_fpga_reset write \"1\"\n",
          "\ntavrin_fpga_reset write \"0\": registers restored\n"},
         {"Failed to open /dev/fpga-r0\n",
          "Failed to open /dev/fpga-r0-adi\n"}},
        {"changes",
         [] {
             Board board = Board().presentChip(remote, 1);
             board.node(remote, 0, Mode::adi).fault = NodeFault::missing;
             board.node(remote, 2, Mode::adi).fault = NodeFault::fifo;
             return board;
         },
         changes,
         {"control set chips.r1.detected 0: applied\n",
          "\ncontrol after 1 of fpga_rmt1_detected: set chips.r1.detected 1: "
          "applied\n",
          "\ncontrol set chips.r1.detected \"yes\": refused chips.r1.detected: "
          "expected",
          // Control bytes of a refused change are escaped, the line whole.
          "blocks \\x1b[31m\\x01: refused"}},
        {"scenario",
         scenarioBoard,
         scenario,
         {"\nscenario[1] set chips.r0.detected 1: applied\n"}},
    };
    return cases;
}

using OnWorld = fpga_test::WorldTest;

TEST_F(OnWorld, BoardCases)
{
    for (const BoardCase& c : boardCases())
    {
        SCOPED_TRACE(c.name);
        inWorld(c.board(), [&](fpga_sim::World&) { c.body(false); });
    }
}

using OnFpgaSim = fpga_test::FpgaSimTest;

TEST_F(OnFpgaSim, BoardCases)
{
    // fpga-sim's child would read its own /proc/self/exe: resolve it here.
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    for (const BoardCase& c : boardCases())
    {
        SCOPED_TRACE(c.name);
        fpga_test::ScratchDir scratch;
        const std::string trace = scratch.file("trace");
        const std::string journal = scratch.file("journal");
        const std::string socket = scratch.file("control");
        const auto run = fpga_test::runOnBoard(
            c.board(), {self, "--inside", c.name, socket},
            {"--trace=" + trace, "--journal=" + journal, "--control", socket});
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_FALSE(exists(socket));
        // The inner case ran; a filter that matched nothing would pass too.
        EXPECT_THAT(run.out, HasSubstr("[  PASSED  ] 1 test."));
        for (const std::string& line : c.traced)
        {
            EXPECT_THAT(fpga_test::slurp(trace), HasSubstr(line));
        }
        // What the library logged inside, caught there: one JSON object a
        // line, as the journal has it.
        std::vector<std::string> messages;
        std::istringstream lines(fpga_test::slurp(journal));
        for (std::string line; std::getline(lines, line);)
        {
            const auto entry = nlohmann::json::parse(line);
            EXPECT_EQ(entry["SYSLOG_IDENTIFIER"], "fpgasim_test");
            messages.push_back(entry["MESSAGE"]);
        }
        EXPECT_EQ(messages, c.logged);
    }
}

/** The case that --inside names, run inside fpga-sim (see main()). */
const BoardCase* insideCase = nullptr;

TEST(Inside, Case)
{
    ASSERT_NE(insideCase, nullptr);
    insideCase->body(true);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const bool inside = argc == 4 && std::string_view(argv[1]) == "--inside";
    for (const BoardCase& c : boardCases())
    {
        insideCase = inside && c.name == argv[2] ? &c : insideCase;
    }
    controlSocket = inside ? argv[3] : "";
    if (inside || GTEST_FLAG_GET(filter) == "*")
    {
        GTEST_FLAG_SET(filter, inside ? "Inside.Case" : "-Inside.*");
    }
    return RUN_ALL_TESTS();
}
