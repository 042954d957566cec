// SPDX-License-Identifier: Apache-2.0
// The simulated driver as its users see it. Each board case runs on both
// front ends of its board: in a World (files in a tmpfs) and inside fpga-sim,
// where this program runs itself with --inside CASE, so the two cannot drift
// apart. What only a live driver can stage (failing system calls, short
// reads, the reset, the end of a node's window, changes made while the
// command runs and scenarios) runs under fpga-sim alone, its trace checked;
// a write that plain files cut short, in the World alone. Then fpga-sim as a
// program: options, exit statuses, signals, the control socket's clients,
// teardown.

#include "fpgasim_run.hpp"
#include "sim/control_client.hpp"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <libfpga.hpp>

#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
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

/** A register, its node, its file position there, and fpga-sim's trace of
 *  a write there of 0x50 + the row's index. */
struct Position
{
    Register reg;
    const char* node;
    std::uint64_t position;
    const char* traced;
};

const Position positions[] = {
    {{local, 0, Mode::normal, 4, 11},
     "/dev/fpga-cdev",
     0x4B,
     "\nfpga-cdev write pos=0x4b block=4 offset=11 len=1: 50\n"},
    {{remote, 3, Mode::normal, 63, 15},
     "/dev/fpga-r3",
     0x3FF,
     "\nfpga-r3 write pos=0x3ff block=63 offset=15 len=1: 51\n"},
    {{local, 0, Mode::adi, 8, 14, 0x1234, 1},
     "/dev/fpga-adi",
     0x08E12341,
     "\nfpga-adi write pos=0x8e12341 block=8 offset=14 page=0x1234 pdo=1 "
     "len=1: 52\n"},
    {{remote, 1, Mode::adi, 8, 14, 0x234, 1},
     "/dev/fpga-r1-adi",
     0x08E02341,
     "\nfpga-r1-adi write pos=0x8e02341 block=8 offset=14 page=0x234 pdo=1 "
     "len=1: 53\n"},
};
/** The last register of a normal node, and fpga-sim's trace of a read of two
 *  bytes there and of a read and a write just past the node's window. */
const Position& lastRegister = positions[1];
const char* const windowEndTrace =
    "fpga-r3 read pos=0x3ff block=63 offset=15 len=2 got=1: 51\n"
    "fpga-r3 read pos=0x400 block=64 offset=0 len=1 got=0: end of data\n"
    "fpga-r3 write pos=0x400 block=64 offset=0 len=1: error ENOSPC (past the "
    "end of the node)\n";

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
    /** Checks of fpga-sim's trace of the case. */
    std::function<void(const std::string&)> trace = [](const std::string&) {};
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
        const auto& [reg, node, position, traced] = positions[i];
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

void checkPositionsTrace(const std::string& trace)
{
    for (const Position& p : positions)
    {
        EXPECT_THAT(trace, HasSubstr(p.traced));
    }
    EXPECT_THAT(trace, HasSubstr(windowEndTrace));
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

const std::string zero(1, '\0');
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

void checkTransfersTrace(const std::string& trace)
{
    for (const char* line :
         {" len=1: error ETIMEDOUT\n", " len=1: error EIO\n",
          " len=16 got=3: 01 02 03\n", " len=13 got=3: 04 05 06\n",
          "\ntavrin_fpga_reset write \"0\"\n",
          "\ntavrin_fpga_reset write \"1\"\n",
          "\ntavrin_fpga_reset write \"0\": registers restored\n"})
    {
        EXPECT_THAT(trace, HasSubstr(line));
    }
}

/** The control socket of the fpga-sim a case runs in (see main()). */
std::string controlSocket;

/** fpga-sim ctl @p change, on the socket of the fpga-sim around. */
fpga_test::Run ctl(std::vector<std::string> change)
{
    change.insert(change.begin(), {FPGA_SIM, "ctl", controlSocket});
    return fpga_test::runProgram(change);
}

/** The command changes its board itself, and each change is seen by the
 *  next access. */
void changes(bool live)
{
    if (!live)
    {
        return; // the World has no changes
    }
    const std::string detected = driverDir + "fpga_rmt1_detected";
    const auto at = [](std::uint64_t position) {
        return [=] { return transfer("/dev/fpga-r1", position, 2); };
    };
    const auto reset = [at] {
        transfer(driverDir + "tavrin_fpga_reset", 0, 0, "1");
        transfer(driverDir + "tavrin_fpga_reset", 0, 0, "0");
        return at(0x50)();
    };
    // The change (none: the check alone), ctl's status and message, a look
    // at the board and what it must show.
    const std::tuple<std::vector<std::string>, int, std::string,
                     std::function<std::string()>, std::string>
        rows[] = {
            {{"set", "chips.r1.detected", "0"},
             0,
             "",
             [&] { return text(detected); },
             "0\n"},
            {{"set", "chips.r1.detected", "yes"},
             1,
             "fpga-sim: chips.r1.detected: expected true, false or an "
             "integer",
             [&] { return text(detected); },
             "0\n"},
            {{"set", "chips.r1.fwVersion", "\"3 12\""},
             0,
             "",
             [] { return text(driverDir + "fpga_rmt1_fw_version"); },
             "3 12\n"},
            {{"unset", "chips.r1.chipId"},
             0,
             "",
             [] { return text(driverDir + "fpga_rmt1_chip_id"); },
             "error ENOENT"},
            {{"fault", "add", "fpga-r1", "ETIMEDOUT", "read", "block", "4"},
             0,
             "",
             at(0x40),
             "error ETIMEDOUT"},
            {{"poke", "fpga-r1", "5", "0", "a1", "a2"},
             0,
             "",
             at(0x50),
             "\xa1\xa2"},
            {{"fault", "clear", "fpga-r1"}, 0, "", at(0x40), zero + zero},
            // The board's registers change live; a reset restores them and
            // not what was poked.
            {{"set", "nodes.fpga-r1.registers",
              R"([{"block": 5, "offset": 1, "bytes": "b2"}])"},
             0,
             "",
             at(0x50),
             zero + "\xb2"},
            {{"poke", "fpga-r1", R"({"block": 5, "offset": 0, "bytes": "c1"})"},
             0,
             "",
             at(0x50),
             "\xc1\xb2"},
            {{}, 0, "", reset, zero + "\xb2"},
        };
    for (const auto& [change, status, message, look, shown] : rows)
    {
        SCOPED_TRACE(::testing::PrintToString(change));
        if (!change.empty())
        {
            const auto run = ctl(change);
            EXPECT_EQ(run.status, status);
            EXPECT_THAT(run.err, HasSubstr(message));
        }
        EXPECT_EQ(look(), shown);
    }
    // Refused with the field and why, in our words.
    const std::pair<std::string, std::string> refusals[] = {
        {R"(["5-3"])", "chips.r1.blocks[0]: range \"5-3\" is reversed"},
        {"\xff\xfe", "a change is UTF-8 text"},
        {"\x1b[31m\x01", "a change is one line of text, without control"},
        {"poke fpga-r0-adi 1 0 01",
         "nodes.fpga-r0-adi: the node is \"missing\""},
        {"fault add fpga-r2-adi EIO",
         "nodes.fpga-r2-adi: the node is \"fifo\""},
    };
    for (const auto& [words, message] : refusals)
    {
        const auto run = words.find(' ') == std::string::npos
                             ? ctl({"set", "chips.r1.blocks", words})
                             : ctl({words});
        EXPECT_EQ(run.status, 1) << words;
        EXPECT_THAT(run.err, HasSubstr("fpga-sim: " + message));
    }
}

void checkChangesTrace(const std::string& trace)
{
    EXPECT_THAT(trace, HasSubstr("control set chips.r1.detected 0: applied\n"));
    EXPECT_THAT(trace, HasSubstr("\ncontrol set chips.r1.detected \"yes\": "
                                 "refused chips.r1.detected: expected"));
    // Control bytes of a refused change are escaped, the line kept whole.
    EXPECT_THAT(trace, HasSubstr("blocks \\x1b[31m\\x01: refused"));
    EXPECT_EQ(trace.find('\x1b'), std::string::npos);
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
        {"positions", positionsBoard, checkPositions, checkPositionsTrace},
        {"transfers",
         transferBoard,
         transfers,
         checkTransfersTrace,
         {"Failed to open /dev/fpga-r0\n",
          "Failed to open /dev/fpga-r0-adi\n"}},
        {"changes",
         [] {
             Board board = Board().presentChip(remote, 1);
             board.node(remote, 0, Mode::adi).fault = NodeFault::missing;
             board.node(remote, 2, Mode::adi).fault = NodeFault::fifo;
             return board;
         },
         changes, checkChangesTrace},
        {"scenario", scenarioBoard, scenario,
         [](const std::string& trace) {
             EXPECT_THAT(trace, HasSubstr("\nscenario[1] set chips.r0.detected "
                                          "1: applied\n"));
         }},
    };
    return cases;
}

class OnWorld : public fpga_test::WorldTest
{};

TEST_F(OnWorld, BoardCases)
{
    for (const BoardCase& c : boardCases())
    {
        SCOPED_TRACE(c.name);
        inWorld(c.board(), [&](fpga_sim::World&) { c.body(false); });
    }
}

class OnFpgaSim : public fpga_test::FpgaSimTest
{};

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
        // The inner case ran; a filter that matched nothing would pass too.
        EXPECT_THAT(run.out, HasSubstr("[  PASSED  ] 1 test."));
        c.trace(fpga_test::slurp(trace));
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

// fpga-sim as a program.

/** A client of the control socket at @p path: sends @p bytes, leaves, and
 *  returns what came back. @p bind: instead, leave a socket no one
 *  listens on at @p path. */
std::string converse(const std::string& path, const std::string& bytes,
                     bool bind = false)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string reply;
    if (bind ? ::bind(fd, at, sizeof(address)) == 0
             : ::connect(fd, at, sizeof(address)) == 0 &&
                   ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(bytes.size()) &&
                   ::shutdown(fd, SHUT_WR) == 0)
    {
        char buffer[4096];
        for (ssize_t n = 0; !bind && (n = ::read(fd, buffer, 4096)) > 0;)
        {
            reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

TEST_F(OnFpgaSim, TakesChangesFromOutsideAndOutlastsBadClients)
{
    fpga_test::ScratchDir scratch;
    const std::string socket = scratch.file("control");
    fpga_test::Run run;
    // The command waits (twenty seconds at most) for remote 0 to go.
    std::thread sim([&] {
        run = fpga_test::runOnBoard(
            Board().presentChip(remote, 0),
            {"sh", "-c",
             "cd " + driverDir +
                 "; i=0; until [ \"$(cat fpga_rmt0_detected)\" = 0 ]; do "
                 "i=$((i+1)); [ $i -lt 2000 ] || exit 1; sleep 0.01; done; "
                 "cat fpga_rmt0_fw_version; exit 3"},
            {"--control", socket});
    });
    for (int i = 0; i < 10000 && !exists(socket); ++i)
    {
        ::usleep(1000);
    }
    std::string flood;
    std::string oks;
    for (int i = 0; i < 1000; ++i)
    {
        flood += "set chips.r0.fwVersion \"" + std::to_string(i) + "\"\n";
        oks += "ok\n";
    }
    const std::pair<std::string, std::string> clients[] = {
        {std::string("\x01\xfe\0 garbage\n", 12),
         "refused a change is one line of text, without control characters "
         "such as 0x01\n"},
        {std::string(5000, 'x'),
         "refused a change is at most 4096 bytes long\n"},
        {"set chips.r0.detected 0", ""}, // cut short: no change
        {flood, oks},
    };
    for (const auto& [sent, answer] : clients)
    {
        EXPECT_EQ(converse(socket, sent), answer);
    }
    const auto applied =
        fpga_sim::sendChange(socket, "set chips.r0.detected false");
    EXPECT_TRUE(applied.applied) << applied.message;
    sim.join();
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(run.out, "999\n");
    EXPECT_FALSE(exists(socket));
}

TEST_F(OnFpgaSim, RunsTheCommandAndLeavesNothingBehind)
{
    fpga_test::ScratchDir scratch;
    const std::string bad = scratch.write("bad.json", R"({"nodes": {
        "fpga-r1": {"registers": [{"block": 4, "offset": 16, "bytes": "01"}]}}})");
    // 20,000 steps due at the first open run there, each at the cost of
    // what it changes.
    std::string steps = R"({"chips": {"r0": {"detected": 1}}, "scenario": [)";
    for (int i = 1; i <= 20000; ++i)
    {
        steps += R"({"after": {"accesses": 0}, "set": {"chips.r0.detected": )" +
                 std::to_string(i % 2) + (i < 20000 ? "}}," : "}}]}");
    }
    const std::string many = scratch.write("steps.json", steps);
    const std::string stale = scratch.file("stale");
    converse(stale, "", true);
    const std::string mountsBefore = fpga_test::slurp("/proc/self/mountinfo");
    const std::tuple<std::vector<std::string>, int, std::string> rows[] = {
        {{}, 2, "fpga-sim: COMMAND: a command to run is required"},
        {{"--bogus"}, 2, "fpga-sim: The following argument was not expected"},
        {{"--version"}, 0, "fpga-sim " FPGA_SIM_VERSION "\n"},
        // --check reads its file alone and refuses what it would ignore.
        {{"--check", "x.json", "--", "true"}, 2, "fpga-sim: COMMAND: "},
        {{"--check", "x.json", "--board", bad},
         2,
         "fpga-sim: --check: takes no --board"},
        {{"--check", "x.json", "--trace"}, 2, "--check: takes no --trace"},
        {{"--print-board", "--check", "x.json"},
         2,
         "--check: takes no --print-board"},
        {{"--check", bad},
         1,
         bad + ": nodes.fpga-r1.registers[0].offset: 16 is out of range 0-15"},
        {{"--check", std::string(BOARDS_DIR) + "/default.json"},
         0,
         "default.json: valid board"},
        {{"--", "sh", "-c", "exit 7"}, 7, ""},
        {{"--board", many, "--", "cat", driverDir + "fpga_rmt0_detected"},
         0,
         "0\n"},
        // Pseudo-terminals open inside (expect, tmux and ssh -t need them).
        {{"--", "script", "-qec", "true", "/dev/null"}, 0, ""},
        {{"--", "sh", "-c", "kill -TERM $$"}, 128 + SIGTERM, ""},
        // SIGTERM sent to fpga-sim reaches the command.
        {{"--", "sh", "-c",
          "trap 'exit 9' TERM; kill -TERM $PPID; i=0; "
          "while [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; exit 1"},
         9,
         ""},
        {{"--", "/nonexistent/command"},
         127,
         "fpga-sim: cannot run /nonexistent/command"},
        {{"--", "/"}, 126, ""},
        // A control socket left by a killed fpga-sim is taken, no other
        // file; a change needs an fpga-sim to answer.
        {{"--control", stale, "--", "true"}, 0, ""},
        {{"--control", bad, "--", "true"},
         125,
         "fpga-sim: --control " + bad + ": exists and is not a socket"},
        {{"ctl", stale, "set", "hpmChip", "local"},
         125,
         "fpga-sim: ctl: cannot connect to " + stale},
        {{"ctl", stale}, 2, "fpga-sim: usage: fpga-sim ctl SOCKET CHANGE..."},
    };
    for (const auto& [args, status, message] : rows)
    {
        std::vector<std::string> argv = {FPGA_SIM};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(::testing::PrintToString(argv));
        const auto run = fpga_test::runProgram(argv);
        EXPECT_EQ(run.status, status);
        EXPECT_THAT(run.out + run.err, HasSubstr(message));
        // Every line of a usage error names the program.
        std::istringstream lines(status == 2 ? run.err : "");
        for (std::string line; std::getline(lines, line);)
        {
            EXPECT_THAT(line, ::testing::StartsWith("fpga-sim: "));
        }
    }
    EXPECT_EQ(fpga_test::slurp("/proc/self/mountinfo"), mountsBefore);
    EXPECT_FALSE(exists("/dev/fpga-cdev"));
    const auto printed = fpga_test::runProgram({FPGA_SIM, "--print-board"});
    EXPECT_EQ(
        fpga_sim::boardFromText(printed.out),
        fpga_sim::loadBoardFile(std::string(BOARDS_DIR) + "/default.json"));
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
