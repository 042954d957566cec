// SPDX-License-Identifier: Apache-2.0
// snapshot: what the library sees on this board, as a board file that
// fpga-sim serves, so that a board can be reproduced away from it.

#include "fpgatool.hpp"
#include "sim/board_json.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace fpgatool
{
namespace
{

namespace lib = tavrin_fpga;
namespace reg = layout::reg;
namespace thermal = layout::thermal;
using fpga_sim::Board;
using lib::Operation;

/** Notes on the report that @p what was left out, and why. */
void leftOut(Report& report, const std::string& what, const std::string& why)
{
    report.problems.emplace_back("snapshot",
                                 "snapshot: left out " + what + ": " + why);
}

/** The text of the attribute file at the path the library resolved, so
 *  that an attribute that does not parse is kept as it is; none when it is
 *  missing or does not read. */
std::optional<std::string> attributeText(
    const std::string& path, const std::string& what, Report& report)
{
    int error = 0;
    std::optional<std::string> text = fileText(path, error);
    // The library takes any file it cannot open for a missing one.
    if (!text && error != ENOENT)
    {
        leftOut(report, what, path + ": " + std::strerror(error));
    }
    return text;
}

/** The 16 registers of every enabled block of a detected chip, read in
 *  normal mode as rawNormalAccess or rawRemoteNormalAccess gives them. */
void addBlocks(Board& board, const Chip& chip, Report& report)
{
    const Fpga& fpga = chip.fpga;
    try
    {
        if (!detected(fpga))
        {
            return;
        }
        const auto rows = readEnabledBlocks(
            chip, [&](std::size_t block, const Failure& failure) {
                leftOut(report, chip.name + " block " + std::to_string(block),
                        failure.what());
            });
        for (const auto& [block, read] : rows)
        {
            if (read)
            {
                board.setBytes(fpga.location, fpga.index, layout::Mode::normal,
                               layout::normalPosition(block, 0),
                               {read->begin(), read->end()});
            }
        }
    }
    catch (const Failure& failure)
    {
        leftOut(report, "the registers of " + chip.name, failure.what());
    }
}

/** The thermal records that getThermals reads in ADI mode from the HPM
 *  FPGA (at least the one record of reg::thermalRecords), when the header
 *  says the records are readable in ADI mode. */
void addThermalRecords(Board& board, Report& report)
{
    try
    {
        // The HPM FPGA and the block the routing translates to.
        const Chip chip = chipOf("hpm");
        const Fpga& hpm = chip.fpga;
        std::array<char, reg::thermalHeader.length> header{};
        transfer(chip, Operation::read,
                 {reg::thermalHeader.block, reg::thermalHeader.offset}, header);
        const auto byte = [&](std::size_t at) {
            return static_cast<std::uint8_t>(header.at(at));
        };
        if ((byte(thermal::adiFlagByte) & thermal::adiFlag) == 0)
        {
            return;
        }
        std::vector<char> bytes(
            std::max<std::size_t>(
                thermal::recordCount(byte(thermal::entryCountByte)), 1) *
            reg::thermalRecords.length);
        transfer(chip, Operation::read,
                 {reg::thermalRecords.block, reg::thermalRecords.offset,
                  layout::Mode::adi},
                 bytes);
        const std::size_t block = guarded("blockId", [&] {
            return lib::blockId(hpm.location, hpm.index, lib::Block::thermal);
        });
        board.setBytes(hpm.location, hpm.index, layout::Mode::adi,
                       layout::adiPosition(hpm.location, block,
                                           reg::thermalRecords.offset, 0, 0),
                       {bytes.begin(), bytes.end()});
    }
    catch (const Failure& failure)
    {
        leftOut(report, "the thermal records", failure.what());
    }
}

/** The attribute files of a chip, as the library finds them. */
void addAttributes(Board& board, const Chip& chip, Report& report)
{
    const Fpga& fpga = chip.fpga;
    fpga_sim::ChipAttributes attributes;
    for (const fpga_sim::ChipField& field : fpga_sim::chipFields)
    {
        const std::string path = guarded("devAttrFilePath", [&] {
            return lib::devAttrFilePath(std::string(field.file), fpga.location,
                                        fpga.index);
        });
        attributes.*field.text = attributeText(
            path, chip.name + " " + std::string(field.file), report);
    }
    if (attributes != fpga_sim::ChipAttributes{})
    {
        board.chip(fpga.location, fpga.index) = attributes;
    }
}

/** Which probe directories carry the driver's mark. */
fpga_sim::ProbeDirs probedDirs()
{
    int probe = 0;
    for (std::size_t i = 0; i < layout::probeDirs.size(); ++i)
    {
        std::error_code error;
        const std::string mark = std::string(layout::probeDirs[i]) + "/" +
                                 std::string(layout::wakeupAttr);
        probe |= std::filesystem::exists(mark, error) ? 1 << i : 0;
    }
    return static_cast<fpga_sim::ProbeDirs>(probe);
}

/** The description: host, driver directory, version and time. */
std::string description(const std::string& dir)
{
    char host[256] = "";
    ::gethostname(host, sizeof(host) - 1);
    return "Snapshot of the FPGAs of " + std::string(host) + " (driver in " +
           dir + "), taken by fpgatool " + FPGATOOL_VERSION + " at " +
           utcTime(false) + " (UTC)";
}

} // namespace

Report takeSnapshot(const Args&)
{
    Report report;
    Board board;
    const std::string dir = driverDirectory();
    board.description = description(dir);
    board.probe = probedDirs();
    for (const Chip& chip : allChips())
    {
        if (chip.kind != Chip::Kind::hpm)
        {
            addAttributes(board, chip, report);
            addBlocks(board, chip, report);
        }
    }
    board.hpmChip = attributeText(dir + "/" + std::string(layout::hpmChipAttr),
                                  std::string(layout::hpmChipAttr), report);
    const std::string reset = dir + "/" + std::string(layout::resetAttr);
    struct stat status
    {};
    const int error = ::stat(reset.c_str(), &status) == 0 ? 0 : errno;
    board.resetAttribute = error == 0;
    if (error != 0 && error != ENOENT)
    {
        leftOut(report, "the reset attribute",
                reset + ": " + std::strerror(error));
    }
    addThermalRecords(board, report);
    report.text = fpga_sim::boardFileText(board);
    return report;
}

} // namespace fpgatool
