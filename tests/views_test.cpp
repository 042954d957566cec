// SPDX-License-Identifier: Apache-2.0
// The decoded views: power sources and front buttons, interrupts,
// thermals, platform fans and device presence. The HPM decoders run with
// the HPM blocks on remote FPGA 2; routing, which decides that, is tested in
// routing_test.cpp.

#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <sys/resource.h>

#include <libfpga.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <tuple>
#include <type_traits>

namespace
{

using namespace fpga_sim;
using namespace fpga_test;
using namespace tavrin_fpga;
using namespace ::testing;

// Callers memset and memcpy PlatformInformation and pass fanTypes and
// fanTypeCodes where a std::uint8_t* is expected: its layout is part of the
// interface.
static_assert(
    std::is_same_v<decltype(PlatformInformation::fanTypes), std::uint8_t[24]>);
static_assert(std::is_same_v<decltype(PlatformInformation::fanTypeCodes),
                             std::uint8_t[4]>);
static_assert(std::is_trivially_copyable_v<PlatformInformation> &&
              std::is_standard_layout_v<PlatformInformation>);
static_assert(sizeof(PlatformInformation) == 31 &&
              alignof(PlatformInformation) == 1);
static_assert(offsetof(PlatformInformation, fanTypes) == 3 &&
              offsetof(PlatformInformation, fanTypeCodes) == 27);

using Bytes = std::vector<std::uint8_t>;
using Entries = std::vector<Matcher<const JournalEntry&>>;
constexpr auto read = Operation::read;

// ----------------------------------------------------------- HPM decoders

constexpr std::size_t hpmIndex = 2;
constexpr std::uint64_t frontButtonPosition = 0x4A; // power block, 0xA

/** A board whose one chip, remote 2, is the HPM FPGA, every block offered
 *  but @p missing, all registers 0. */
Board hpmBoard(std::initializer_list<std::size_t> missing = {})
{
    Board board;
    board.hpmChip = "remote2\n";
    auto& blocks = board.presentChip(Location::remote, hpmIndex)
                       .remotes[hpmIndex]
                       .blocks.emplace(64, '1');
    for (std::size_t block : missing)
    {
        blocks[63 - block] = '0';
    }
    return board;
}

void pokeHpm(World& world, std::size_t block, std::size_t offset,
             const Bytes& bytes)
{
    world.pokeNormal(Location::remote, hpmIndex, block, offset, bytes);
}

/** From now on writes at or past @p position of any file fail (EFBIG), so
 *  that an attempted write shows; RLIM_INFINITY lifts the limit. */
void limitWrites(rlim_t position)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = std::min(position, limit.rlim_max);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

TEST_F(WorldTest, PowerSourcesAndFrontButtons)
{
    // Offsets 11 to 14; the sources on, off and reset. Offset 13 holds a
    // nibble of its own, so reading it would show.
    const std::tuple<Bytes, std::uint32_t, std::uint32_t, std::uint32_t>
        sources[] = {{{0xA7, 0x5C, 0xE1, 0x3F}, 10, 5, 3},
                     {{0x0F, 0xF0, 0x70, 0x8E}, 0, 15, 8},
                     {{0x10, 0x0F, 0xFF, 0x00}, 1, 0, 0}};
    // Register, enabled as read from it, enable, register after (the same:
    // no write allowed).
    const std::tuple<std::uint8_t, bool, bool, std::uint8_t> buttons[] = {
        {0x05, false, true, 0x07}, {0x07, true, true, 0x07},
        {0xFF, true, false, 0xFD}, {0x00, false, false, 0x00},
        {0xFD, false, true, 0xFF}, {0x02, true, false, 0x00},
        {0x02, true, true, 0x02},  {0xFD, false, false, 0xFD},
    };
    inWorld(hpmBoard(), [&](World& world) {
        JournalCapture journal;
        for (const auto& [registers, on, off, reset] : sources)
        {
            pokeHpm(world, 4, 11, registers);
            PowerOnSource onSource{99};
            PowerOffSource offSource{99};
            PowerResetSource resetSource{99};
            EXPECT_EQ(getPowerOnSource(onSource), 0);
            EXPECT_EQ(getPowerOffSource(offSource), 0);
            EXPECT_EQ(getPowerResetSource(resetSource), 0);
            EXPECT_EQ(std::tuple(onSource, offSource, resetSource),
                      std::tuple(PowerOnSource{on}, PowerOffSource{off},
                                 PowerResetSource{reset}));
        }
        for (const auto& [before, enabled, enable, after] : buttons)
        {
            SCOPED_TRACE(Message()
                         << "register " << +before << ", enable " << enable);
            pokeHpm(world, 4, 0xA, {before});
            bool state = !enabled;
            EXPECT_EQ(getFrontButtonsEnabled(state), 0);
            EXPECT_EQ(state, enabled);
            limitWrites(after == before ? frontButtonPosition : RLIM_INFINITY);
            EXPECT_EQ(setFrontButtonsEnabled(enable), 0);
            limitWrites(RLIM_INFINITY);
            EXPECT_EQ(world.peek("/dev/fpga-r2", frontButtonPosition, 1),
                      Bytes{after});
        }
        EXPECT_THAT(journal.drain(), IsEmpty());
    });
}

/** The mask bit that bit @p bit of interrupt byte @p byte sets: bits 0-3 of
 *  byte 0 are mask bits 2-5 and its bits 4-7 mask bits 8-11; bit k of bytes
 *  1 to 6 is mask bit 4 + 8 * byte + k; bytes 7 to 15 carry no source. */
std::uint64_t maskOf(std::size_t byte, std::size_t bit)
{
    if (byte == 0)
    {
        return std::uint64_t{1} << (bit < 4 ? 2 + bit : 4 + bit);
    }
    return byte <= 6 ? std::uint64_t{1} << (4 + 8 * byte + bit) : 0;
}

TEST_F(WorldTest, EachInterruptSourceLandsInItsOwnMaskBit)
{
    inWorld(hpmBoard(), [&](World& world) {
        JournalCapture journal;
        // One bit in each block, a different one in each.
        for (std::size_t byte = 0; byte < 16; ++byte)
        {
            for (std::size_t bit = 0; bit < 8; ++bit)
            {
                SCOPED_TRACE(Message() << "byte " << byte << " bit " << bit);
                Bytes block0(16);
                Bytes block1(16);
                block0[byte] = static_cast<std::uint8_t>(1U << bit);
                block1[15 - byte] = static_cast<std::uint8_t>(0x80U >> bit);
                pokeHpm(world, 6, 0, block0);
                pokeHpm(world, 7, 0, block1);
                Interrupt status{~0ULL, ~0ULL};
                EXPECT_EQ(getInterrupts(status), 0);
                EXPECT_EQ(status.status0, maskOf(byte, bit));
                EXPECT_EQ(status.status1, maskOf(15 - byte, 7 - bit));
            }
        }
        // Every source at once.
        pokeHpm(world, 6, 0, Bytes(16, 0xFF));
        pokeHpm(world, 7, 0, Bytes(7, 0xFF));
        Interrupt status{};
        EXPECT_EQ(getInterrupts(status), 0);
        EXPECT_EQ(status.status0, 0x0FFFFFFFFFFFFF3CULL);
        EXPECT_EQ(status.status1, 0x0FFFFFFFFFFFFF3CULL);
        EXPECT_THAT(journal.drain(), IsEmpty());
    });
}

const std::vector<Thermal> oldEntries = {{1, 2, 3, 4, 5, 6},
                                         {7, 8, 9, 10, 11, 12}};

TEST_F(WorldTest, ThermalEntryCountGivesWholeRecordsOfTwoEntries)
{
    // Flag byte (bits 1 to 7 do not matter), entry count, entries read.
    const std::tuple<std::uint8_t, std::uint8_t, std::size_t> rows[] = {
        {0x01, 0, 0}, {0xFF, 1, 0},     {0x01, 2, 2},
        {0x03, 5, 4}, {0x01, 254, 254}, {0xFF, 255, 254}};
    // Records of 16 bytes that differ from each of their neighbours, one
    // more than can ever be asked for; entry n is bytes 1-6 (n even) or
    // 7-12 (n odd) of record n / 2.
    Bytes area(128 * 16);
    for (std::size_t i = 0; i < area.size(); ++i)
    {
        area[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    inWorld(hpmBoard(), [&](World& world) {
        world.pokeAdi(Location::remote, hpmIndex, 8, 14, 0, 0, area);
        JournalCapture journal;
        for (const auto& [flag, count, entries] : rows)
        {
            SCOPED_TRACE(+count);
            pokeHpm(world, 8, 0, {flag});
            pokeHpm(world, 8, 13, {count});
            std::vector<Thermal> thermals = oldEntries;
            EXPECT_EQ(getThermals(thermals), 0);
            ASSERT_EQ(thermals.size(), entries);
            for (std::size_t n = 0; n < entries; ++n)
            {
                const auto* e = &area[n / 2 * 16 + 1 + n % 2 * 6];
                EXPECT_EQ(thermals[n],
                          (Thermal{e[0], e[1], e[2], e[3], e[4], e[5]}))
                    << "entry " << n;
            }
        }
        EXPECT_THAT(journal.drain(), IsEmpty());
    });
}

// ------------------------------------------------ platform fans and presence

constexpr std::size_t configBlock = 1;
constexpr std::size_t presenceBlock = 12;
constexpr std::uint8_t untouched = 0xEE;

/** A board of @p platformType whose remote FPGA 0 carries the fan
 *  registers. Platform type 3 needs id 0x34 on both chips. */
Board platformBoard(int platformType)
{
    static const char* const ids[] = {"0x7a", "0x7b", "0x4c", "0x34",
                                      "0x40", "0x51", "0x48", "0x99"};
    Board board;
    board.presentChip(Location::local, 0, ids[platformType]);
    board.presentChip(Location::remote, 0, platformType == 3 ? "0x34" : "0x7a");
    return board;
}

PlatformInformation callerRecord(std::uint8_t fanConfig = untouched)
{
    PlatformInformation info{};
    std::memset(&info, untouched, sizeof(info));
    info.fanConfig = fanConfig;
    return info;
}

/** The caller's record as getPlatform leaves it: @p fanConfig, @p codes,
 *  reserved 0 and, when given, @p fanCount and the leading @p types. */
PlatformInformation expected(std::uint8_t fanConfig, const Bytes& codes,
                             std::uint8_t fanCount = untouched,
                             const Bytes& types = {})
{
    PlatformInformation info = callerRecord(fanConfig);
    info.reserved = 0;
    info.fanCount = fanCount;
    std::ranges::copy(types, info.fanTypes);
    std::ranges::copy(codes, info.fanTypeCodes);
    return info;
}

// Two pairs of fan bytes 11 and 12 in which no two of the eight 2-bit fields
// hold the same pair of values, so a field taken from the wrong place shows.
const Bytes fanBytesA = {0xE4, 0x9B};
const Bytes fanBytesB = {0x1B, 0x9E};

/** The fan types a wiring reads from fanBytesA and from fanBytesB. */
using Wiring = std::pair<Bytes, Bytes>;
const Wiring sixFans{{2, 3, 3, 2, 1, 0}, {3, 2, 0, 1, 2, 3}};
const Wiring firstWiring{{2, 2, 3, 3, 2, 2, 1, 1}, {3, 3, 2, 2, 1, 1, 2, 2}};
const Wiring secondWiring{{2, 2, 3, 3, 1, 1, 0, 0}, {3, 3, 0, 0, 2, 2, 3, 3}};
const Wiring type5Wiring{{0, 1, 2, 3, 3, 2}, {3, 2, 1, 0, 2, 3}};
const Wiring noFans;

const Bytes type4Codes = {0x03, 0x01, 0x02, 0x00};
const Bytes type4SecondCodes = {0x03, 0x02, 0xff, 0xff};
const Bytes type5Codes = {0x03, 0x00, 0x01, 0x02};
const Bytes type6Codes = {0x00, 0xff, 0x11, 0x01};

TEST_F(WorldTest, FanConfigAndWiringOfTypes4And5)
{
    // Platform type, selector, configuration byte, the caller's fanConfig,
    // fanConfig after, wiring, codes.
    const std::tuple<int, std::uint8_t, std::uint8_t, std::uint8_t,
                     std::uint8_t, const Wiring&, const Bytes&>
        rows[] = {
            // Type 4, selectors 0 and 1: bits 1-0 of the configuration byte.
            {4, 0, 0x01, untouched, 1, firstWiring, type4Codes},
            {4, 1, 0x00, untouched, 2, sixFans, type4Codes},
            {4, 0, 0x04, untouched, 2, sixFans, type4Codes},
            {4, 0, 0x03, 2, 2, sixFans, type4Codes},
            // Selectors from 2 up: bits 2-0.
            {4, 2, 0x02, untouched, 1, secondWiring, type4SecondCodes},
            {4, 2, 0x0A, untouched, 1, firstWiring, type4Codes},
            {4, 3, 0x08, untouched, 1, firstWiring, type4Codes},
            {4, 7, 0x03, untouched, 2, sixFans, type4Codes},
            {4, 0xFF, 0x01, untouched, 2, sixFans, type4Codes},
            {4, 2, 0x04, 1, 1, firstWiring, type4Codes},
            {4, 2, 0x06, untouched, untouched, noFans, type4Codes},
            // The caller's fanConfig decides where the byte does not.
            {4, 0, 0x02, 0, 0, noFans, type4Codes},
            {4, 0, 0x02, 1, 1, secondWiring, type4SecondCodes},
            // Type 5: the whole configuration byte; six fans, logged.
            {5, 0, 0x00, untouched, 2, type5Wiring, type5Codes},
            {5, 0, 0x01, untouched, 3, type5Wiring, type5Codes},
            {5, 0, 0x02, untouched, untouched, type5Wiring, type5Codes},
        };
    for (const auto& [type, selector, config, caller, fanConfig, wiring,
                      codes] : rows)
    {
        SCOPED_TRACE(Message()
                     << "type " << type << ", selector " << +selector
                     << ", config " << +config << ", caller " << +caller);
        inWorld(platformBoard(type), [&](World& world) {
            JournalCapture journal;
            world.pokeNormal(Location::remote, 0, configBlock, 9, {selector});
            world.pokeNormal(Location::remote, 0, configBlock, 7, {config});
            for (const bool a : {true, false})
            {
                world.pokeNormal(Location::remote, 0, presenceBlock, 11,
                                 a ? fanBytesA : fanBytesB);
                PlatformInformation info = callerRecord(caller);
                EXPECT_EQ(getPlatform(info), 0);
                const Bytes& types = a ? wiring.first : wiring.second;
                EXPECT_EQ(info, types.empty() ? expected(fanConfig, codes)
                                              : expected(fanConfig, codes,
                                                         types.size(), types));
                Entries entries;
                if (type == 5)
                {
                    entries.push_back(
                        Logged("tq310v2or320v2 fan types: {FAN_TYPE}",
                               {{"FAN_TYPE", "3"}}, "getPlatform"));
                }
                EXPECT_THAT(journal.drain(), ElementsAreArray(entries));
            }
        });
    }
}

TEST_F(WorldTest, Type6StatusByteAndMixedFanWarnings)
{
    // Status byte, fan types, warnings (position, FAN_TYPE).
    const std::tuple<std::uint8_t, Bytes, std::vector<std::pair<int, int>>>
        rows[] = {
            {0x00, {0x00, 0x00, 0x00, 0x00}, {}},
            {0x13, {0x11, 0x01, 0x00, 0x00}, {{1, 1}}},
            // An empty position does not reset the comparison.
            {0x45, {0x01, 0x00, 0x11, 0x00}, {{2, 17}}},
            {0x0E, {0x00, 0x01, 0x01, 0x01}, {}},
            {0xFF, {0x11, 0x11, 0x11, 0x11}, {}},
            {0x5F, {0x11, 0x01, 0x11, 0x01}, {{1, 1}, {2, 17}, {3, 1}}},
            {0xE9, {0x01, 0x00, 0x00, 0x11}, {{3, 17}}},
        };
    inWorld(platformBoard(6), [&](World& world) {
        JournalCapture journal;
        // The byte after the status byte does not belong to it.
        world.pokeNormal(Location::remote, 0, presenceBlock, 14, {0xFF});
        for (const auto& [status, types, warnings] : rows)
        {
            SCOPED_TRACE(+status);
            world.pokeNormal(Location::remote, 0, presenceBlock, 13, {status});
            PlatformInformation info = callerRecord(0x42);
            EXPECT_EQ(getPlatform(info), 0);
            EXPECT_EQ(info, expected(0x42, type6Codes, 4, types));
            Entries entries;
            for (const auto& [position, fanType] : warnings)
            {
                entries.push_back(Logged(
                    "Fans[" + std::to_string(position) +
                        "] type is {FAN_TYPE}, which is different from "
                        "previous one, mixed fan installed on Tundo?",
                    {{"FAN_TYPE", std::to_string(fanType)}}, "getPlatform"));
            }
            EXPECT_THAT(journal.drain(), ElementsAreArray(entries));
        }
    });
}

constexpr PlatDevPresence untouchedPresence{
    0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5,
    0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5A5A5};

TEST_F(WorldTest, PresenceRegroupedByPlatform)
{
    // All ones show each member's bits; byte i = i << 4 | (15 - i), unlike
    // its neighbours under every mask, shows where they come from. Bytes 9
    // and 13 are no member's.
    const Bytes ones(16, 0xFF);
    const Bytes distinct = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                            0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
    const std::tuple<int, Bytes, PlatDevPresence> rows[] = {
        {0, ones, {0xFFFFFFFF, 0xFFFFFFFF, 0xFF, 0xFFFF, 0xF0, 0x7F, 0xFF}},
        {1, ones, {0xFFFFFFFF, 0xEF776C3F, 0xFF, 0x1FFF, 0x8F, 0x00, 0xFF}},
        {0, distinct, {0x3C2D1E0F, 0x78695A4B, 0x87, 0xB4A5, 0x00, 0x61, 0xC3}},
        {1, distinct, {0x3C2D1E0F, 0x6861480B, 0x87, 0x14A5, 0x01, 0x00, 0xC3}},
    };
    for (const auto& [type, bytes, expectedPresence] : rows)
    {
        SCOPED_TRACE(Message()
                     << "type " << type << ", bytes " << PrintToString(bytes));
        inWorld(platformBoard(type), [&](World& world) {
            world.poke("/dev/fpga-cdev", 0xC0, bytes);
            JournalCapture journal;
            PlatDevPresence presence = untouchedPresence;
            EXPECT_EQ(getPlatDevPresence(presence), 0);
            EXPECT_EQ(presence, expectedPresence);
            EXPECT_THAT(journal.drain(), IsEmpty());
        });
    }
}

// ----------------------------------------------------------------- failures

/** A decoder call on a record that starts as @p start and must end as
 *  @p end (by default untouched); returns the decoder's result. */
template <typename Record>
std::function<int()> leaves(int (*decoder)(Record&), Record start,
                            std::optional<Record> end = {})
{
    return [=] {
        Record record = start;
        const int res = decoder(record);
        EXPECT_EQ(record, end.value_or(start));
        return res;
    };
}

Matcher<const JournalEntry&> disabled(std::size_t block)
{
    return Logged("Block{BLOCK} is disabled\n",
                  {{"BLOCK", std::to_string(block)}}, "normalAccess");
}

/** The entries of a power block reader whose read at @p offset found the
 *  block missing on the HPM FPGA: the routing layer's, then the reader's. */
Entries powerReadFailed(const std::string& offset)
{
    const std::string res = std::to_string(-EINVAL);
    return {notAvailable(4),
            offset == "0xA"
                ? Logged("rawHpmNormalAccess(read, power, 0xA) res:{RES}\n",
                         {{"RES", res}}, "frontButtonsEnabled")
                : Logged("rawHpmNormalAccess(read, power, {OFFSET}) "
                         "res:{RES}\n",
                         {{"OFFSET", offset}, {"RES", res}},
                         "getPowerActionSource")};
}

TEST_F(WorldTest, FailedDecoderReportsAndLeavesTheRecord)
{
    const auto fails = [&](const std::string& name, const Board& board,
                           const std::function<int()>& call, int result,
                           const Entries& entries) {
        SCOPED_TRACE(name);
        inWorld(board, [&](World&) {
            JournalCapture journal;
            EXPECT_EQ(call(), result);
            EXPECT_THAT(journal.drain(), ElementsAreArray(entries));
        });
    };

    // Power block readers (the source readers share their code; a failed
    // read writes nothing).
    const Board noPower = hpmBoard({4});
    fails("on source", noPower, leaves(getPowerOnSource, PowerOnSource{9}),
          -EINVAL, powerReadFailed("11"));
    fails("get buttons", noPower, leaves(getFrontButtonsEnabled, true), -EINVAL,
          powerReadFailed("0xA"));
    fails(
        "set buttons", noPower, [] { return setFrontButtonsEnabled(true); },
        -EINVAL, powerReadFailed("0xA"));
    Board buttonsOff = hpmBoard();
    buttonsOff.setBytes(Location::remote, hpmIndex, Mode::normal,
                        frontButtonPosition, {0x05});
    fails(
        "set buttons, write fails", buttonsOff,
        [] {
            limitWrites(frontButtonPosition);
            const int res = setFrontButtonsEnabled(true);
            limitWrites(RLIM_INFINITY);
            return res;
        },
        -EFBIG,
        {AllOf(Logged("rawHpmNormalAccess(write, power, 0xA) res:{RES}\n",
                      {{"RES", std::to_string(-EFBIG)}}, "frontButtonsEnabled"),
               // Services filter on the function as the journal names it.
               Contains(Pair("CODE_FUNC",
                             "int tavrin_fpga::"
                             "frontButtonsEnabled(bool, bool&)")))});

    // Interrupts: with both blocks unavailable only the first is asked for.
    const auto interrupts = leaves(getInterrupts, Interrupt{~0ULL, ~0ULL});
    fails("interrupts, both", hpmBoard({6, 7}), interrupts, -EINVAL,
          {notAvailable(6)});
    fails("interrupts, second", hpmBoard({7}), interrupts, -EINVAL,
          {notAvailable(7)});

    // Thermals: the header unavailable; the flag byte without ADI mode (the
    // record node missing, so that reading it would show); the record node
    // read-only.
    const auto thermals = leaves(getThermals, oldEntries);
    fails("thermals, header", hpmBoard({8}), thermals, -EINVAL,
          {notAvailable(8)});
    Board thermal = hpmBoard();
    thermal.setBytes(Location::remote, hpmIndex, Mode::normal, 0x80, {0xFE});
    thermal.setBytes(Location::remote, hpmIndex, Mode::normal, 0x8D, {4});
    auto& records = thermal.node(Location::remote, hpmIndex, Mode::adi);
    records.fault = NodeFault::missing;
    fails("thermals, no ADI mode", thermal, thermals, -EIO,
          {Logged("ADI mode is not supported.\n", {}, "getThermals")});
    thermal.setBytes(Location::remote, hpmIndex, Mode::normal, 0x80, {0x01});
    records.fault = NodeFault::readOnly;
    fails("thermals, records", thermal, thermals, -EFAULT,
          {Logged("Failed to open {DEV}\n", {{"DEV", "/dev/fpga-r2-adi"}},
                  "deviceAccess")});

    // Platform fans: what was stored before the failing read stays.
    const auto fanBoard = [](int type, std::size_t missing) {
        Board board = platformBoard(type);
        board.setBytes(Location::remote, 0, Mode::normal, 0x17, {1});
        board.remotes[0].blocks.emplace(64, '1').at(63 - missing) = '0';
        return board;
    };
    const auto platform = [](const PlatformInformation& end) {
        return leaves(getPlatform, callerRecord(), std::optional(end));
    };
    fails("type 4, selector", fanBoard(4, configBlock),
          platform(expected(untouched, type4Codes)), -EFAULT,
          {disabled(configBlock)});
    fails("type 4, fan bytes", fanBoard(4, presenceBlock),
          platform(expected(1, type4Codes)), -EFAULT,
          {disabled(presenceBlock)});
    fails("type 5, configuration", fanBoard(5, configBlock),
          platform(expected(untouched, type5Codes, 6)), -EFAULT,
          {disabled(configBlock)});
    fails("type 5, fan bytes", fanBoard(5, presenceBlock),
          platform(expected(3, type5Codes, 6, Bytes(6, 0x03))), -EFAULT,
          {disabled(presenceBlock)});
    fails("type 6, status", fanBoard(6, presenceBlock),
          platform(expected(untouched, type6Codes, 4, Bytes(4, 0))), -EFAULT,
          {disabled(presenceBlock)});

    // Device presence: the local FPGA without the block.
    const auto presence = leaves(getPlatDevPresence, untouchedPresence);
    Board noPresence = platformBoard(1);
    noPresence.local.blocks.emplace(64, '1').at(63 - presenceBlock) = '0';
    fails("presence", noPresence, presence, -EFAULT, {disabled(presenceBlock)});

    // Platforms a view does not know read nothing (both chips are absent:
    // a register read would say so).
    for (int type = 0; type < 8; ++type)
    {
        Board board = platformBoard(type);
        board.local.detected = "0\n";
        board.remotes[0].detected = "0\n";
        const std::string name = "platform type " + std::to_string(type);
        if (type < 4 || type > 6)
        {
            fails(name, board, leaves(getPlatform, callerRecord()), -ENODATA,
                  {Logged("Unsupported platform(type = {PLAT_TYPE}) found "
                          "while retrieving fan types.",
                          {{"PLAT_TYPE", std::to_string(type)}},
                          "getPlatform")});
        }
        if (type > 1)
        {
            fails(name + ", presence", board, presence, -ENODATA, {});
        }
    }
}

} // namespace
