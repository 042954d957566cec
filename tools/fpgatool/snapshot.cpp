// SPDX-License-Identifier: Apache-2.0
// snapshot: what the library sees on this board, as a board file that
// fpga-sim serves, so that a board can be reproduced away from it.

#include "base/device_layout.hpp"
#include "fpgatool.hpp"
#include "sim/board_json.hpp"

#include <unistd.h>

#include <libfpga.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fpgatool
{
namespace
{

namespace lib = tavrin_fpga;
namespace layout = tavrin_fpga::layout;
namespace reg = tavrin_fpga::layout::reg;
using fpga_sim::Board;
using lib::Location;
using lib::Operation;

// The thermal header as getThermals reads it (see reg::thermalHeader).
constexpr std::size_t thermalAdiFlagByte = 0;
constexpr std::uint8_t thermalAdiFlag = 0x01;
constexpr std::size_t thermalEntryCountByte = 13;
constexpr std::size_t thermalEntriesPerRecord = 2;

/** A chip's name on the command line: "local" or "r0" to "r3". */
std::string chipName(Location location, std::size_t index)
{
    return location == Location::local ? "local" : "r" + std::to_string(index);
}

/** Notes on the report that @p what was left out, and why. */
void leftOut(Report& report, const std::string& what, const std::string& why)
{
    report.problems.emplace_back("snapshot",
                                 "snapshot: left out " + what + ": " + why);
}

/** The whole text of an attribute file, byte for byte; none when it does
 *  not open. The library parses its attributes and has no call that gives
 *  their text, so the file at the path the library resolved is read here:
 *  an attribute that does not parse is kept as it is. */
std::optional<std::string> attributeText(
    const std::string& path, const std::string& what, Report& report)
{
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open())
    {
        // The library takes any file it cannot open for a missing one.
        if (errno != ENOENT)
        {
            leftOut(report, what, path + ": " + std::strerror(errno));
        }
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

/** The 16 registers of every enabled block of a detected chip, read in
 *  normal mode as rawNormalAccess or rawRemoteNormalAccess gives them. */
void addBlocks(Board& board, Location location, std::size_t index,
               Report& report)
{
    const std::string name = chipName(location, index);
    const bool remote = location == Location::remote;
    try
    {
        if (!guarded("chipDetected",
                     [&] { return lib::chipDetected(location, index); }))
        {
            return;
        }
        const std::bitset<64> blocks = guarded("getSupportedBlocks", [&] {
            return lib::getSupportedBlocks(location, index);
        });
        for (std::size_t block = 0; block < blocks.size(); ++block)
        {
            if (!blocks[block])
            {
                continue;
            }
            std::vector<char> bytes(layout::registersPerBlock);
            try
            {
                checked(remote ? "rawRemoteNormalAccess" : "rawNormalAccess",
                        [&] {
                            return remote ? lib::rawRemoteNormalAccess(
                                                index, Operation::read, block,
                                                0, bytes.size(), bytes)
                                          : lib::rawNormalAccess(
                                                Operation::read, block, 0,
                                                bytes.size(), bytes);
                        });
                board.setBytes(location, index, layout::Mode::normal,
                               layout::normalPosition(block, 0),
                               {bytes.begin(), bytes.end()});
            }
            catch (const Failure& failure)
            {
                leftOut(report, name + " block " + std::to_string(block),
                        failure.what());
            }
        }
    }
    catch (const Failure& failure)
    {
        leftOut(report, "the registers of " + name, failure.what());
    }
}

/** The thermal records that getThermals reads in ADI mode from the HPM
 *  FPGA (at least the one record of reg::thermalRecords), when the header
 *  says the records are readable in ADI mode. */
void addThermalRecords(Board& board, Report& report)
{
    try
    {
        std::array<char, reg::thermalHeader.length> header{};
        checked("rawHpmNormalAccess", [&] {
            return lib::rawHpmNormalAccess(Operation::read, lib::Block::thermal,
                                           reg::thermalHeader.offset,
                                           header.size(), header);
        });
        if ((static_cast<std::uint8_t>(header[thermalAdiFlagByte]) &
             thermalAdiFlag) == 0)
        {
            return;
        }
        const std::size_t records =
            static_cast<std::uint8_t>(header[thermalEntryCountByte]) /
            thermalEntriesPerRecord;
        std::vector<char> bytes(std::max(records * reg::thermalRecords.length,
                                         reg::thermalRecords.length));
        checked("rawHpmAdiAccess", [&] {
            return lib::rawHpmAdiAccess(Operation::read, lib::Block::thermal,
                                        reg::thermalRecords.offset, 0, 0,
                                        bytes.size(), bytes);
        });
        // Where the routing went: the HPM FPGA (the local one when the
        // driver does not name it, as the library does) and the block it
        // translated to.
        Location location = Location::local;
        std::size_t index = 0;
        if (guarded("getHPMLocation",
                    [&] { return lib::getHPMLocation(location, index); }) != 0)
        {
            location = Location::local;
            index = 0;
        }
        const std::size_t block = guarded("blockId", [&] {
            return lib::blockId(location, index, lib::Block::thermal);
        });
        board.setBytes(location, index, layout::Mode::adi,
                       layout::adiPosition(location, block,
                                           reg::thermalRecords.offset, 0, 0),
                       {bytes.begin(), bytes.end()});
    }
    catch (const Failure& failure)
    {
        leftOut(report, "the thermal records", failure.what());
    }
}

/** Now in UTC, as "2026-12-06T18:20:01Z". */
std::string utcNow()
{
    const std::time_t now =
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

Report takeSnapshot(const Args&)
{
    Report report;
    Board board;
    const std::string dir = [] {
        const std::string path = guarded("devAttrFilePath", [] {
            return lib::devAttrFilePath(std::string(layout::detectedAttr),
                                        Location::local, 0);
        });
        return path.substr(0, path.rfind('/'));
    }();
    char host[256] = "";
    ::gethostname(host, sizeof(host) - 1);
    board.description = "Snapshot of the FPGAs of " + std::string(host) +
                        " (driver in " + dir + "), taken by fpgatool " +
                        FPGATOOL_VERSION + " at " + utcNow() + " (UTC)";

    int probe = 0;
    for (std::size_t i = 0; i < layout::probeDirs.size(); ++i)
    {
        std::error_code error;
        const std::string mark = std::string(layout::probeDirs[i]) + "/" +
                                 std::string(layout::wakeupAttr);
        probe |= std::filesystem::exists(mark, error) ? 1 << i : 0;
    }
    board.probe = static_cast<fpga_sim::ProbeDirs>(probe);

    for (std::size_t chip = 0; chip <= layout::remoteCount; ++chip)
    {
        const Location location =
            chip == 0 ? Location::local : Location::remote;
        const std::size_t index = chip == 0 ? 0 : chip - 1;
        fpga_sim::ChipAttributes attributes;
        for (const fpga_sim::ChipField& field : fpga_sim::chipFields)
        {
            const std::string path = guarded("devAttrFilePath", [&] {
                return lib::devAttrFilePath(std::string(field.file), location,
                                            index);
            });
            attributes.*field.text = attributeText(
                path, chipName(location, index) + " " + std::string(field.file),
                report);
        }
        if (attributes != fpga_sim::ChipAttributes{})
        {
            board.chip(location, index) = attributes;
        }
        addBlocks(board, location, index, report);
    }
    board.hpmChip = attributeText(dir + "/" + std::string(layout::hpmChipAttr),
                                  std::string(layout::hpmChipAttr), report);
    std::error_code error;
    board.resetAttribute = std::filesystem::exists(
        dir + "/" + std::string(layout::resetAttr), error);
    addThermalRecords(board, report);

    report.text = fpga_sim::boardFileText(board);
    return report;
}

} // namespace fpgatool
