// SPDX-License-Identifier: Apache-2.0
// list and info: the chips the driver reports, and the platform.

#include "fpgatool.hpp"

#include <fcntl.h>

#include <libfpga.hpp>

namespace fpgatool
{
namespace
{

namespace lib = tavrin_fpga;

/** Whether the driver publishes @p attr for @p fpga: an attribute that is
 *  missing or does not open for reading is 0 or "" to the library, which
 *  is not a value the driver gave. */
bool attributeReadable(const Fpga& fpga, std::string_view attr)
{
    const std::string path = guarded("devAttrFilePath", [&] {
        return lib::devAttrFilePath(std::string(attr), fpga.location,
                                    fpga.index);
    });
    return openError(path, O_RDONLY) == 0;
}

/** Every chip the driver can report, a row each; with @p firmwareOnly
 *  (info) without CHIP-ID, IFACE and BLOCKS. A chip that is not detected
 *  has only its DETECTED column; an attribute the driver does not publish
 *  is missing. */
Report& addChips(Report& report, bool firmwareOnly)
{
    std::vector<Report::Column> columns = {
        {"chip", "CHIP"},
        {"detected", "DETECTED"},
        {"chipId", "CHIP-ID"},
        {"ifaceVer", "IFACE"},
        {"firmwareMajor", "MAJOR"},
        {"firmwareMinor", "MINOR"},
        {"firmwareVerStr", "FIRMWARE"},
        {"supportedBlocks", "BLOCKS"}};
    std::vector<std::vector<Value>> rows;
    for (const Fpga& fpga : layout::fpgas)
    {
        lib::Firmware f{};
        guarded("getFirmwareInfo",
                [&] { lib::getFirmwareInfo(fpga.location, fpga.index, f); });
        const auto read = [&](std::string_view attr, Value value) {
            return f.detected && attributeReadable(fpga, attr)
                       ? std::move(value)
                       : none();
        };
        rows.push_back(
            {plain(fpga.name), flag(f.detected),
             read(layout::chipIdAttr, hexNumber(f.chipId, 2)),
             read(layout::ifaceVerAttr, hexNumber(f.ifaceVer, 1)),
             read(layout::fwVersionAttr, number(f.firmwareMajor)),
             read(layout::fwVersionAttr, number(f.firmwareMinor)),
             read(layout::fwVersionAttr, driverText(f.firmwareVerStr)),
             read(layout::blocksAttr, blockSet(f.supportedBlocks))});
    }
    for (std::size_t i = columns.size(); firmwareOnly && i-- > 0;)
    {
        const std::string& key = columns[i].key;
        if (key == "chipId" || key == "ifaceVer" || key == "supportedBlocks")
        {
            columns.erase(columns.begin() + i);
            for (auto& row : rows)
            {
                row.erase(row.begin() + i);
            }
        }
    }
    return report.table("chips", columns, rows);
}

} // namespace

Report listChips(const Args&)
{
    Report report;
    return addChips(report, false);
}

Report showInfo(const Args&)
{
    Report report;
    report.field("platformType",
                 number(guarded("getPlatformType", lib::getPlatformType)));
    const std::string dir = driverDirectory();
    report.field("driverDirectory", dir.empty() ? none() : plain(dir));
    Fpga hpm = layout::fpgas.front();
    int result = -1;
    try
    {
        result = hpmLocation(hpm);
        if (result != 0)
        {
            throw resultFailure("getHPMLocation", result);
        }
    }
    catch (const Failure& failure)
    {
        report.problems.push_back(failure);
    }
    report.field("hpmChip", result == 0 ? plain(hpm.name) : none());
    return addChips(report, true);
}

} // namespace fpgatool
