// SPDX-License-Identifier: Apache-2.0
// Access and positions: the checks of every transfer and the entry each
// refusal logs, the node and file position each access reaches, the sysfs
// directory and the per-chip attributes with their text rules, and the
// caches and transfers under several threads ("Concurrent" cases, which the
// ThreadSanitizer leg runs).

#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <unistd.h>

#include <libfpga.hpp>

#include <cerrno>
#include <latch>
#include <limits>
#include <thread>
#include <tuple>

namespace
{

using namespace fpga_sim;
using namespace fpga_test;
using namespace tavrin_fpga;
using namespace ::testing;
using namespace std::string_literals;

using Bytes = std::vector<std::uint8_t>;
constexpr auto read = Operation::read;
constexpr std::optional<std::size_t> local;
constexpr std::uint32_t max32 = 0xFFFFFFFF;

/** One raw access: remote index (none: local), mode and address; the
 *  length is the buffer's. */
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

TEST_F(WorldTest, EachAccessReachesItsPosition)
{
    const std::tuple<const char*, std::uint64_t, Call> rows[] = {
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
        for (const auto& [node, position, call] : rows)
        {
            SCOPED_TRACE(Message() << node << " @ 0x" << std::hex << position);
            world.poke(node, position, {0x5A});
            std::vector<char> buffer(1);
            EXPECT_EQ(call(read, buffer), 0);
            EXPECT_EQ(buffer[0], 0x5A);
            // Operation 2 is not named, but writes.
            buffer[0] = 0x3C;
            EXPECT_EQ(call(static_cast<Operation>(2), buffer), 0);
            EXPECT_EQ(world.peek(node, position, 1), Bytes{0x3C});
            EXPECT_EQ(world.nodeSize(node), windowOf(node));
        }
    });
}

TEST_F(WorldTest, TransfersMinOfLengthAndBufferOrReportTheirErrno)
{
    Board board;
    board.presentChip(Location::remote, 1);
    board.node(Location::remote, 1, Mode::normal).fault = NodeFault::missing;
    board.presentChip(Location::remote, 2);
    board.setBytes(Location::remote, 2, Mode::normal, 0x20, {1, 2, 3, 4, 5});
    auto& node = board.presentChip(Location::local, 0)
                     .node(Location::local, 0, Mode::normal);
    node.fault = NodeFault::truncated;
    node.truncatedSize = 0x3A;
    board.setBytes(Location::local, 0, Mode::normal, 0x30, {1, 2, 3});
    board.presentChip(Location::remote, 0);
    board.node(Location::remote, 0, Mode::normal).fault = NodeFault::fifo;
    inWorld(board, [](World& world) {
        JournalCapture journal;
        std::vector<char> buffer(4, 'x');
        EXPECT_EQ(rawRemoteNormalAccess(2, read, 2, 0, 16,
                                        std::span(buffer).first(3)),
                  0);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), (Bytes{1, 2, 3, 'x'}));
        EXPECT_EQ(rawRemoteNormalAccess(2, read, 2, 1, 2, buffer), 0);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), (Bytes{2, 3, 3, 'x'}));
        // A length at the limit of size_t (of a 32-bit one on the BMC).
        buffer = {9, 8, 7, 6};
        EXPECT_EQ(rawRemoteNormalAccess(2, Operation::write, 2, 1,
                                        std::numeric_limits<std::size_t>::max(),
                                        std::span(buffer).first(2)),
                  0);
        EXPECT_EQ(world.peek("/dev/fpga-r2", 0x20, 4), (Bytes{1, 9, 8, 4}));
        // Nothing to move opens no node (this one is missing).
        EXPECT_EQ(rawRemoteNormalAccess(1, read, 1, 0, 0, buffer), 0);
        EXPECT_EQ(rawRemoteNormalAccess(1, read, 1, 0, 4, {}), 0);
        // A seek that fails reports the system's errno, which must not stand
        // for a later read that merely ends early.
        std::vector<char> all(16);
        EXPECT_EQ(rawRemoteNormalAccess(0, read, 3, 0, 16, all), -ESPIPE);
        EXPECT_EQ(rawNormalAccess(read, 3, 0, 16, all), -EIO);
        EXPECT_EQ(Bytes(all.begin(), all.begin() + 4), (Bytes{1, 2, 3, 0}));
        EXPECT_THAT(journal.drain(), IsEmpty());
        // Checked all the same.
        EXPECT_EQ(rawRemoteNormalAccess(1, read, 1, 16, 0, buffer), -EINVAL);
        EXPECT_THAT(journal.drain(),
                    ElementsAre(Logged("Invalid offset:{OFFSET}\n",
                                       {{"OFFSET", "16"}}, "normalAccess")));
    });
}

// The rows with values near 2^32 are for the 32-bit BMC (the armhf leg):
// each encodes to a file position that wraps, modulo 2^32, into the node's
// window, so only range checks made on every argument, never on the
// position and never after masking a field, refuse it.
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
        blocksText({0, 1, 2, 3, 4});
    board.node(Location::remote, 3, Mode::normal).fault = NodeFault::readOnly;
    board.node(Location::remote, 3, Mode::adi).fault = NodeFault::readOnly;
    // Detected, but no node belongs to these indices.
    board.remotes[4].detected = "1\n";
    board.remotes[max32].detected = "1\n";

    const std::string absent = "RMT:{R} Chip{ID} not detected\n";
    const std::string block = "Invalid block:{BLOCK}\n";
    const std::string offset = "Invalid offset:{OFFSET}\n";
    const std::string page = "Invalid page:{PAGE}\n";
    const std::string pdo = "Invalid pageDataOffset:{OFFSET}\n";
    const std::string noOpen = "Failed to open {DEV}\n";
    // The value of the entry's one field; an absent chip's are derived.
    const std::tuple<Call, int, std::string, std::string> rows[] = {
        {{local, false, 64, 16}, -ENODEV, absent, ""},
        {{local, true, 64, 16}, -ENODEV, absent, ""},
        {{1, true, 0, 0, 0x10000}, -ENODEV, absent, ""},
        {{4, false, 0, 0}, -ENODEV, absent, ""},
        {{max32, false, 0, 0}, -ENODEV, absent, ""},
        {{0, false, 64, 16}, -EINVAL, block, "64"},
        {{0, true, 1, 16, 0x10000, 16}, -EINVAL, offset, "16"},
        {{0, true, 1, 15, 0x10000, 16}, -EINVAL, page, "65536"},
        {{0, true, 1, 15, 0xFFFF, 16}, -EINVAL, pdo, "16"},
        // block * 16 = 2^32; 16 + offset = 2^32
        {{0, false, 0x10000000, 0}, -EINVAL, block, "268435456"},
        {{0, false, 1, 0xFFFFFFF0}, -EINVAL, offset, "4294967280"},
        // block << 24, offset << 20: 2^32; page << 4: 2^32 + 0x12340
        {{0, true, 0x100, 0}, -EINVAL, block, "256"},
        {{0, true, 0, 0x1000}, -EINVAL, offset, "4096"},
        {{0, true, 0, 0, 0x10001234}, -EINVAL, page, "268440116"},
        // A remote node keeps 12 bits of the page: masking before the
        // check would make this page 0xFFF.
        {{0, true, 0, 0, max32}, -EINVAL, page, "4294967295"},
        // pageDataOffset + 1 = 2^32
        {{0, true, 0, 0, 0, max32}, -EINVAL, pdo, "4294967295"},
        {{3, false, 5, 0}, -EFAULT, "Block{BLOCK} is disabled\n", "5"},
        {{2, false, 1, 0}, -EFAULT, noOpen, "/dev/fpga-r2"},
        {{3, false, 1, 0}, -EFAULT, noOpen, "/dev/fpga-r3"},
        {{3, true, 1, 0}, -EFAULT, noOpen, "/dev/fpga-r3-adi"},
    };
    inWorld(board, [&](World&) {
        JournalCapture journal;
        for (const auto& [call, rc, format, value] : rows)
        {
            SCOPED_TRACE(format + value);
            const auto fds = openFds();
            std::vector<char> buffer(2);
            EXPECT_EQ(call(read, buffer), rc);
            std::map<std::string, std::string> fields;
            if (format == absent)
            {
                fields = {{"R", call.remote ? "True" : "False"},
                          {"ID", std::to_string(call.remote.value_or(0))}};
            }
            else
            {
                const auto key = format.find('{') + 1;
                fields[format.substr(key, format.find('}') - key)] = value;
            }
            const char* function = format == noOpen ? "deviceAccess"
                                   : call.adi       ? "adiAccess"
                                                    : "normalAccess";
            EXPECT_THAT(journal.drain(),
                        ElementsAre(Logged(format, fields, function)));
            EXPECT_EQ(openFds(), fds);
        }
    });
}

// ---------------------------------------------------------------- attributes

TEST_F(WorldTest, DriverDirectoryIsProbedUntilFound)
{
    const std::string spi22 = "/sys/bus/spi/devices/spi2.2";
    const std::string spi20 = "/sys/bus/spi/devices/spi2.0";
    const std::pair<ProbeDirs, std::string> rows[] = {{ProbeDirs::both, spi22},
                                                      {ProbeDirs::spi20, spi20},
                                                      {ProbeDirs::none, ""}};
    for (const auto& [probe, dir] : rows)
    {
        SCOPED_TRACE(dir);
        Board board;
        board.probe = probe;
        inWorld(board, [&](World& world) {
            // The index of a remote chip is not range-checked.
            EXPECT_EQ(devAttrFilePath("chip_id", Location::local, 3),
                      dir + "/fpga_loc_chip_id");
            EXPECT_EQ(devAttrFilePath("blocks", Location::remote, 12),
                      dir + "/fpga_rmt12_blocks");
            // Not found yet: probed again. Found: kept, whatever appears or
            // vanishes later.
            world.setProbe(spi20, true);
            const std::string found = dir.empty() ? spi20 : dir;
            EXPECT_EQ(devAttrFilePath("x", Location::local, 0),
                      found + "/fpga_loc_x");
            world.setProbe(spi20, false);
            world.setProbe(spi22, true);
            EXPECT_EQ(devAttrFilePath("x", Location::remote, 2),
                      found + "/fpga_rmt2_x");
        });
    }
}

/** Rows of one attribute: its text (none: no file) and the value read. */
template <typename T>
using TextRows = std::vector<std::pair<std::optional<std::string>, T>>;

/** Longer than what one read of an attribute asks for. */
const std::string longSpace(10000, ' ');
/** Digits past any 64-bit number. */
const std::string nines(23, '9');
const std::string fs(40, 'f');
const std::string zeros(38, '0');

TEST_F(WorldTest, AttributeTextsReadAsAStreamExtractsThem)
{
    // Any decimal number but 0; overflow saturates, so is true.
    const TextRows<bool> detected = {
        {"1\n", true},    {"0\n", false},         {{}, false},
        {"", false},      {" \t\n\v\f\r2", true}, {"\b1", false},
        {"\0161", false}, {"\2401", false},       {longSpace + "1", true},
        {"+1", true},     {"-1", true},           {"- 1", false},
        {"0x1", false},   {"1yes", true},         {"-" + nines, true},
        {nines, true}};
    // Hexadecimal, one optional "0x"; wraps and saturates as unsigned.
    const TextRows<std::uint32_t> hex = {
        {"10\n", 0x10},       {"Af0F9a", 0xAF0F9A},  {" 0X7A\n", 0x7A},
        {"0x7a 0x10", 0x7A},  {"+0x10", 0x10},       {"-1", max32},
        {"-0x2", max32 - 1},  {"-ffffffff", 1},      {"fffffffe", max32 - 1},
        {"100000000", max32}, {"-100000000", max32}, {"0x", 0}};
    const TextRows<std::uint32_t> prefix = {
        {"0x" + fs, max32}, {zeros + "7a", 0x7A},
        {"0xg", 0},         {"00x7a", 0},
        {"0x0x5", 0},       {"0x-1", 0},
        {"x7a", 0},         {"zz", 0},
        {"1.5", 1},         {{}, 0},
        {"0X1f", 31},       {"- 1", 0}};
    // Two decimals of the first line, 8 bits each; once the major fails
    // the minor is not read.
    const std::string max = "4294967295 ";
    const std::string over = "4294967296 ";
    const TextRows<std::uint32_t> version = {
        {"3 12\n", 0x030C},  {"300 7\n", 0x2C07},  {"3.12\n", 0x0300},
        {"2", 0x0200},       {"\n4 1", 0},         {"1\n2", 0x0100},
        {"\t1\v2", 0x0102},  {"+1 +2 3", 0x0102},  {"07 010", 0x070A},
        {"-1 5", 0xFF05},    {"1 -1", 0x01FF},     {"1 " + over, 0x01FF},
        {max + "5", 0xFF05}, {over + "5", 0xFF00}, {"- 5", 0},
        {"0x10 5", 0}};
    const TextRows<std::string> versionText = {
        {{}, ""},
        {"\n1 2\n", ""},
        {"  3 12\r\n", "  3 12\r"},
        {"a\0b\nc"s, "a\0b"s},
        {std::string(9000, 'v') + "\nx", std::string(9000, 'v')}};
    // The first word, highest block first; only 64 characters count.
    const TextRows<unsigned long long> blocks = {
        {std::string(59, '0') + "10011\n", 0x13},
        {"1" + std::string(63, '0'), 1ULL << 63},
        {std::string(64, '1') + "abcdef", ~0ULL},
        {" \t\n11 0 x", 0b11},
        {"11\v1", 0b11},
        {std::string(8190, ' ') + "101", 0b101},
        {longSpace, 0},
        {{}, 0}};
    inWorld(Board{}, [&](World& world) {
        // Values are not cached: one world serves every row. Without a
        // standard input, as a daemon may run, files open as descriptor 0.
        close(STDIN_FILENO);
        const auto check = [&](const char* base, auto read, const auto& rows) {
            for (const auto& [text, expected] : rows)
            {
                SCOPED_TRACE(
                    std::string(base) + " = " +
                    PrintToString(text.value_or("(none)").substr(0, 80)));
                const std::string name = "fpga_rmt1_"s + base;
                text ? world.writeAttr(name, *text) : world.removeAttr(name);
                // A stale EINTR must not make a read at end of file retry.
                errno = EINTR;
                EXPECT_EQ(read(), expected);
            }
        };
        check(
            "detected", [] { return chipDetected(Location::remote, 1); },
            detected);
        check(
            "chip_id", [] { return getChipId(Location::remote, 1); }, hex);
        check(
            "iface_ver", [] { return getIfaceVer(Location::remote, 1); },
            prefix);
        check(
            "fw_version", [] { return getFirmwareVer(Location::remote, 1); },
            version);
        check(
            "fw_version", [] { return getFirmwareVerStr(Location::remote, 1); },
            versionText);
        check(
            "blocks",
            [] { return getSupportedBlocks(Location::remote, 1).to_ullong(); },
            blocks);
    });
}

TEST_F(WorldTest, FirmwareInfoAndBlockSet)
{
    const std::string all(64, '1');
    Board board;
    board.presentChip(Location::local, 0, "0x7b");
    board.chip(Location::local).fwVersion = "300 7\nbuilt today\n";
    inWorld(board, [&](World& world) {
        // Every field is overwritten, present chip or not.
        Firmware info{true, 1, 2, "old", 3, 4, std::bitset<64>(5)};
        getFirmwareInfo(Location::remote, 1, info);
        EXPECT_EQ(std::tie(info.detected, info.chipId, info.ifaceVer,
                           info.firmwareVerStr, info.firmwareMajor,
                           info.firmwareMinor, info.supportedBlocks),
                  std::tuple(false, 0U, 0U, "", 0U, 0U, std::bitset<64>()));
        world.writeAttr("fpga_loc_blocks", std::string(62, '1') + "01");
        EXPECT_EQ(std::tuple(blockSupported(0, Location::local, 0),
                             blockSupported(1, Location::local, 0)),
                  std::tuple(true, false));

        // A malformed set throws what the standard library throws for it;
        // the record keeps its old block set, the rest is filled first.
        for (const std::string& bad : {"10x1"s, "x" + all, all.substr(1) + "2"})
        {
            SCOPED_TRACE(bad);
            world.writeAttr("fpga_loc_blocks", bad);
            const std::string thrown =
                invalidArgument([&] { std::bitset<64>{bad}; });
            EXPECT_NE(thrown, "");
            EXPECT_EQ(
                invalidArgument([] { getSupportedBlocks(Location::local, 0); }),
                thrown);
            EXPECT_EQ(
                invalidArgument([] { blockSupported(1, Location::local, 0); }),
                thrown);
            // A block past the set is refused without reading it.
            EXPECT_FALSE(blockSupported(64, Location::local, 0));
            Firmware firmware{false, 0, 0, "", 0, 0, std::bitset<64>(5)};
            EXPECT_EQ(invalidArgument([&] {
                          getFirmwareInfo(Location::local, 0, firmware);
                      }),
                      thrown);
            EXPECT_EQ(std::tie(firmware.detected, firmware.chipId,
                               firmware.ifaceVer, firmware.firmwareVerStr,
                               firmware.firmwareMajor, firmware.firmwareMinor,
                               firmware.supportedBlocks),
                      std::tuple(true, 0x7BU, 2U, "300 7", 44U, 7U,
                                 std::bitset<64>(5)));
        }
    });
}

// --------------------------------------------------------------- concurrency

TEST_F(WorldTest, ConcurrentFirstUseAndTransfersOnOneNode)
{
    constexpr std::size_t threadCount = 8;
    constexpr int rounds = 50;
    // The 16 bytes thread t writes in a round.
    const auto pattern = [](std::size_t t, int round) {
        return std::vector<char>(16, static_cast<char>(t << 4 | round % 16));
    };
    Board board;
    board.probe = ProbeDirs::both;
    board.hpmChip = "remote3\n";
    board.presentChip(Location::remote, 2);
    inWorld(board, [&](World& world) {
        // Each thread first fills (or finds) both caches; then thread t owns
        // block t of remote 2: each round it writes its pattern, reads it
        // back and makes one failing call, which logs.
        std::vector<std::string> dirs(threadCount);
        std::vector<std::pair<Location, std::size_t>> hpm(threadCount);
        std::vector<int> errors(threadCount, 0);
        std::vector<int> mismatches(threadCount, 0);
        std::latch start(threadCount);
        const auto run = [&](std::size_t t) {
            start.arrive_and_wait();
            dirs[t] = devAttrFilePath("x", Location::local, 0);
            errors[t] += getHPMLocation(hpm[t].first, hpm[t].second);
            for (int round = 0; round < rounds; ++round)
            {
                auto out = pattern(t, round);
                std::vector<char> in(16);
                errors[t] += rawRemoteNormalAccess(2, Operation::write, t, 0,
                                                   16, out) != 0;
                errors[t] += rawRemoteNormalAccess(2, read, t, 0, 16, in) != 0;
                errors[t] += rawRemoteNormalAccess(2, read, t, 16, 1, in) !=
                             -EINVAL;
                mismatches[t] += in != out;
            }
        };
        // One thread reads the HPM attribute; the others use the cache.
        EXPECT_EQ(fileEvents("/sys/bus/spi/devices/spi2.2/tavrin_fpga_hpm_chip",
                             [&] {
                                 std::vector<std::jthread> threads;
                                 for (std::size_t t = 0; t < threadCount; ++t)
                                 {
                                     threads.emplace_back(run, t);
                                 }
                             }),
                  "Oc");
        for (std::size_t t = 0; t < threadCount; ++t)
        {
            SCOPED_TRACE(t);
            EXPECT_EQ(dirs[t], "/sys/bus/spi/devices/spi2.2/fpga_loc_x");
            EXPECT_EQ(hpm[t], std::pair(Location::remote, std::size_t{3}));
            EXPECT_EQ(std::pair(errors[t], mismatches[t]), std::pair(0, 0));
            const auto last = pattern(t, rounds - 1);
            EXPECT_EQ(world.peek("/dev/fpga-r2", t * 16, 16),
                      Bytes(last.begin(), last.end()));
        }
    });
}

} // namespace
