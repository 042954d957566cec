// SPDX-License-Identifier: Apache-2.0
#include "base/device_layout.hpp"
#include "fpgatool.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <thread>

namespace fpgatool
{
namespace
{

namespace lib = tavrin_fpga;
namespace layout = tavrin_fpga::layout;
using lib::Location;
using lib::Operation;

/** A physical FPGA. */
struct Fpga
{
    Location location = Location::local;
    std::size_t index = 0;
};

/** A chip as the command line names it, and the FPGA it stands for. */
struct Chip
{
    std::string name;
    /** Indexes the library's transfer calls: local, remote, hpm. */
    enum class Kind
    {
        local,
        remote,
        hpm,
    } kind;
    Fpga fpga;
};

/** local, r0 to r3, and hpm, whose FPGA chipOf() looks up. */
std::vector<Chip> allChips()
{
    std::vector<Chip> chips = {{"local", Chip::Kind::local, {}}};
    for (std::size_t index = 0; index < layout::remoteCount; ++index)
    {
        chips.push_back({"r" + std::to_string(index),
                         Chip::Kind::remote,
                         {Location::remote, index}});
    }
    chips.push_back({"hpm", Chip::Kind::hpm, {}});
    return chips;
}

std::string fpgaName(const Fpga& fpga)
{
    return allChips()[fpga.location == Location::local ? 0 : 1 + fpga.index]
        .name;
}

/** The chip of a name that chipNameError() accepts. For "hpm" the library
 *  is asked; when it cannot tell, the local FPGA, as it does itself. */
Chip chipOf(const std::string& name)
{
    const std::vector<Chip> chips = allChips();
    Chip chip = *std::ranges::find(chips, name, &Chip::name);
    Fpga hpm;
    if (chip.kind == Chip::Kind::hpm &&
        guarded("getHPMLocation", [&] {
            return lib::getHPMLocation(hpm.location, hpm.index);
        }) == 0)
    {
        chip.fpga = hpm;
    }
    return chip;
}

/** Hex digits that show every value up to @p max. */
constexpr int hexDigits(std::uint64_t max)
{
    return max > 0xF ? 1 + hexDigits(max >> 4) : 1;
}

const layout::Node& nodeOf(const Fpga& fpga, const Address& address)
{
    return layout::node(fpga.location, fpga.index,
                        address.adi ? layout::Mode::adi : layout::Mode::normal);
}

std::uint64_t positionOf(const Fpga& fpga, const Address& a)
{
    return a.adi ? layout::adiPosition(fpga.location, a.block, a.offset, a.page,
                                       a.pageDataOffset)
                 : layout::normalPosition(a.block, a.offset);
}

std::string positionText(const Fpga& fpga, const Address& a)
{
    const std::uint64_t window =
        a.adi ? layout::adiWindow : layout::normalWindow;
    return hex(positionOf(fpga, a), hexDigits(window - 1));
}

using Transfer = int (*)(std::size_t index, Operation op, const Address& a,
                         std::span<char> buffer);

struct TransferCall
{
    std::string_view name;
    Transfer run;
};

// By chip kind (local, remote, hpm), then normal and ADI mode. For "hpm"
// the block is passed as a Block, which the library translates.
constexpr std::array<std::array<TransferCall, 2>, 3> transferCalls = {{
    {{{"rawNormalAccess",
       [](std::size_t, Operation op, const Address& a, std::span<char> b) {
           return lib::rawNormalAccess(op, a.block, a.offset, b.size(), b);
       }},
      {"rawAdiAccess",
       [](std::size_t, Operation op, const Address& a, std::span<char> b) {
           return lib::rawAdiAccess(op, a.block, a.offset, a.page,
                                    a.pageDataOffset, b.size(), b);
       }}}},
    {{{"rawRemoteNormalAccess",
       [](std::size_t i, Operation op, const Address& a, std::span<char> b) {
           return lib::rawRemoteNormalAccess(i, op, a.block, a.offset, b.size(),
                                             b);
       }},
      {"rawRemoteAdiAccess",
       [](std::size_t i, Operation op, const Address& a, std::span<char> b) {
           return lib::rawRemoteAdiAccess(i, op, a.block, a.offset, a.page,
                                          a.pageDataOffset, b.size(), b);
       }}}},
    {{{"rawHpmNormalAccess",
       [](std::size_t, Operation op, const Address& a, std::span<char> b) {
           return lib::rawHpmNormalAccess(op, static_cast<lib::Block>(a.block),
                                          a.offset, b.size(), b);
       }},
      {"rawHpmAdiAccess",
       [](std::size_t, Operation op, const Address& a, std::span<char> b) {
           return lib::rawHpmAdiAccess(op, static_cast<lib::Block>(a.block),
                                       a.offset, a.page, a.pageDataOffset,
                                       b.size(), b);
       }}}},
}};

const TransferCall& transferCall(const Chip& chip, const Address& address)
{
    return transferCalls.at(static_cast<std::size_t>(chip.kind))
        .at(address.adi ? 1 : 0);
}

/** Moves bytes; a failure throws the Failure that names the call. */
void transfer(const Chip& chip, Operation op, const Address& address,
              std::span<char> buffer)
{
    const TransferCall& call = transferCall(chip, address);
    checked(call.name,
            [&] { return call.run(chip.fpga.index, op, address, buffer); });
}

/** Refuses an ADI transfer on a remote FPGA (also "hpm" on one) whose
 *  bytes reach a page above 0xFFF: a remote ADI node carries only the low
 *  12 bits of the page, so the node would get another page than the one
 *  asked for. The bytes run on through the page data offsets and pages,
 *  so it is the page of the last byte that counts. */
void checkRemotePage(const Chip& chip, const Address& a, std::size_t count,
                     std::string_view verb)
{
    if (!a.adi || chip.fpga.location != Location::remote)
    {
        return;
    }
    constexpr auto pageDigits = hexDigits(layout::maxPage);
    const std::string where =
        " on " + chip.name +
        (chip.kind == Chip::Kind::hpm ? " (" + fpgaName(chip.fpga) + ")" : "") +
        ": the remote ADI page is 12 bits (0-0xFFF)";
    if (a.page > layout::remotePageMask)
    {
        throw UsageError(std::string(verb) + ": --page: " +
                         hex(a.page, pageDigits) + " is out of range" + where +
                         "; see fpgatool " + std::string(verb) + " --help");
    }
    const std::uint64_t last =
        (a.page << layout::adiPageShift | a.pageDataOffset) + count - 1;
    if (last >> layout::adiPageShift > layout::remotePageMask)
    {
        throw UsageError(
            std::string(verb) + ": " + std::to_string(count) +
            " bytes from page " + hex(a.page, pageDigits) + " page offset " +
            std::to_string(a.pageDataOffset) + " run past page 0xFFF" + where);
    }
}

/** Refuses a transfer of @p count bytes at @p a that leaves its block,
 *  unless --cross-blocks; then each block it touches must exist and be
 *  enabled on the chip. The bytes go to consecutive file positions, so
 *  they leave the block when they run past the block field's last
 *  position: in normal mode past offset 15, in ADI mode past page data
 *  offset 15 of the last page of offset 15. */
void checkBlocks(const Chip& chip, const Address& a, std::size_t count,
                 const Args& args, std::string_view verb)
{
    const unsigned shift =
        layout::blockShift(a.adi ? layout::Mode::adi : layout::Mode::normal);
    const std::uint64_t inBlock =
        positionOf(chip.fpga, a) & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t blocks = ((inBlock + count - 1) >> shift) + 1;
    if (blocks == 1)
    {
        return;
    }
    if (!args.crossBlocks)
    {
        throw UsageError(
            std::string(verb) + ": " + std::to_string(count) +
            " bytes from block " + std::to_string(a.block) + " offset " +
            std::to_string(a.offset) +
            (a.adi ? " page " + hex(a.page, 4) + " page offset " +
                         std::to_string(a.pageDataOffset)
                   : "") +
            " run past the end of the block; add --cross-blocks "
            "to go on into the next blocks");
    }
    const Fpga& fpga = chip.fpga;
    if (!guarded("chipDetected",
                 [&] { return lib::chipDetected(fpga.location, fpga.index); }))
    {
        return; // the transfer fails with ENODEV and moves nothing
    }
    // An HPM block is translated for its FPGA; the bytes run on from there.
    const std::size_t first =
        chip.kind != Chip::Kind::hpm ? a.block : guarded("blockId", [&] {
            return lib::blockId(fpga.location, fpga.index,
                                static_cast<lib::Block>(a.block));
        });
    if (first + blocks - 1 > layout::maxBlock)
    {
        throw UsageError(std::string(verb) + ": the bytes run past block " +
                         std::to_string(layout::maxBlock) + ", the last block");
    }
    const std::bitset<64> enabled = guarded("getSupportedBlocks", [&] {
        return lib::getSupportedBlocks(fpga.location, fpga.index);
    });
    for (std::size_t block = first; block < first + blocks; ++block)
    {
        if (!enabled[block])
        {
            throw Failure("getSupportedBlocks",
                          "getSupportedBlocks: block " + std::to_string(block) +
                              " is not enabled on " + fpgaName(fpga) +
                              "; nothing transferred");
        }
    }
}

/** The call transfer() would make, with its arguments, e.g.
 *  "rawRemoteNormalAccess(2, write, 4, 11, 1, [0xaa])". */
std::string describeWrite(const Chip& chip, const Address& a,
                          std::span<const char> buffer)
{
    std::string text = std::string(transferCall(chip, a).name) + "(";
    text += chip.kind == Chip::Kind::remote
                ? std::to_string(chip.fpga.index) + ", "
                : "";
    text += "write, " + std::to_string(a.block) + ", " +
            std::to_string(a.offset) + ", ";
    text += a.adi ? hex(a.page, hexDigits(layout::maxPage)) + ", " +
                        std::to_string(a.pageDataOffset) + ", "
                  : "";
    text += std::to_string(buffer.size()) + ", [";
    for (std::size_t i = 0; i < buffer.size(); ++i)
    {
        text += (i == 0 ? "" : ", ") +
                hex(static_cast<std::uint8_t>(buffer[i]), 2);
    }
    return text + "])";
}

/** The fields that say where an access goes; in JSON only. */
void addAddress(Report& report, const Chip& chip, const Address& a)
{
    constexpr auto hidden = Report::Shown::hidden;
    report.field("chip", plain(chip.name), hidden)
        .field("fpga", plain(fpgaName(chip.fpga)), hidden)
        .field("mode", plain(a.adi ? "adi" : "normal"), hidden)
        .field("block", number(a.block), hidden)
        .field("offset", number(a.offset), hidden)
        .field("page", a.adi ? number(a.page) : none(), hidden)
        .field("pageDataOffset", a.adi ? number(a.pageDataOffset) : none(),
               hidden)
        .field("node", plain(std::string(nodeOf(chip.fpga, a).path)), hidden)
        .field("position", number(positionOf(chip.fpga, a)), hidden);
}

/** Goes on only when -y was given or the user answers yes on the terminal;
 *  without a terminal, -y is required. */
void confirm(const Args& args, const std::string& question,
             std::string_view verb, std::string_view refused)
{
    if (args.yes)
    {
        return;
    }
    if (::isatty(STDIN_FILENO) == 0)
    {
        throw UsageError("standard input is not a terminal: add -y to "
                         "change the hardware without being asked");
    }
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer.empty() || (answer[0] != 'y' && answer[0] != 'Y'))
    {
        throw Failure(verb, std::string(verb) + ": not confirmed; " +
                                std::string(refused));
    }
}

/** flock(LOCK_EX) on a device node, held while fpgatool changes registers
 *  behind it: two fpgatool runs that read, modify and write the same
 *  register then cannot lose each other's bits. Only fpgatool takes it;
 *  the library and other programs do not. A node that does not open is
 *  left to the transfer to report. */
class NodeLock
{
  public:
    explicit NodeLock(std::string_view path) :
        fd(::open(std::string(path).c_str(),
                  O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY))
    {
        while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR)
        {}
    }
    NodeLock(const NodeLock&) = delete;
    NodeLock& operator=(const NodeLock&) = delete;
    ~NodeLock()
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }

  private:
    int fd;
};

/** What --dry-run shows: the library call the verb would make. */
Report wouldCall(const std::string& call)
{
    return Report{}
        .field("dryRun", flag(true), Report::Shown::hidden)
        .field("wouldCall", plain(call));
}

/** The driver's sysfs directory as the library finds it, or "" when it
 *  finds none. */
std::string driverDirectory()
{
    const std::string path = guarded("devAttrFilePath", [] {
        return lib::devAttrFilePath(std::string(layout::detectedAttr),
                                    Location::local, 0);
    });
    return path.substr(0, path.rfind('/'));
}

/** Whether the driver publishes @p attr for @p fpga: an attribute that is
 *  missing or does not open for reading is 0 or "" to the library, which
 *  is not a value the driver gave. */
bool attributeReadable(const Fpga& fpga, std::string_view attr)
{
    const std::string path = guarded("devAttrFilePath", [&] {
        return lib::devAttrFilePath(std::string(attr), fpga.location,
                                    fpga.index);
    });
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0)
    {
        ::close(fd);
    }
    return fd >= 0;
}

/** Every chip the driver can report, a row each; info leaves out the
 *  columns named in @p omitted. A chip that is not detected has only its
 *  DETECTED column; an attribute the driver does not publish is missing. */
void addChips(Report& report, std::initializer_list<std::string_view> omitted)
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
    for (const Chip& chip : allChips())
    {
        lib::Firmware f{};
        if (chip.kind != Chip::Kind::hpm)
        {
            guarded("getFirmwareInfo", [&] {
                lib::getFirmwareInfo(chip.fpga.location, chip.fpga.index, f);
            });
            const auto read = [&](std::string_view attr, Value value) {
                return f.detected && attributeReadable(chip.fpga, attr)
                           ? std::move(value)
                           : none();
            };
            rows.push_back(
                {plain(chip.name), flag(f.detected),
                 read(layout::chipIdAttr, hexNumber(f.chipId, 2)),
                 read(layout::ifaceVerAttr, hexNumber(f.ifaceVer, 1)),
                 read(layout::fwVersionAttr, number(f.firmwareMajor)),
                 read(layout::fwVersionAttr, number(f.firmwareMinor)),
                 read(layout::fwVersionAttr, driverText(f.firmwareVerStr)),
                 read(layout::blocksAttr, blockSet(f.supportedBlocks))});
        }
    }
    for (std::size_t column = columns.size(); column-- > 0;)
    {
        if (std::ranges::find(omitted, columns[column].key) != omitted.end())
        {
            columns.erase(columns.begin() + column);
            for (auto& row : rows)
            {
                row.erase(row.begin() + column);
            }
        }
    }
    report.table("chips", columns, rows);
}

} // namespace

void requireDriver()
{
    if (driverDirectory().empty())
    {
        std::string dirs;
        for (const std::string_view dir : layout::probeDirs)
        {
            dirs += (dirs.empty() ? "" : " or ") + std::string(dir);
        }
        throw Failure("devAttrFilePath", "no FPGA driver directory found (" +
                                             dirs + "): is the driver loaded?");
    }
}

std::vector<std::string> chipNameList()
{
    std::vector<std::string> names;
    for (const Chip& chip : allChips())
    {
        names.push_back(chip.name);
    }
    return names;
}

std::string chipNames(std::string_view separator)
{
    const std::vector<Chip> chips = allChips();
    const std::string between(separator);
    return chips.front().name + between + chips[1].name + "-" +
           chips.rbegin()[1].name + between + chips.back().name;
}

std::string chipNameError(std::string_view name)
{
    const std::vector<Chip> chips = allChips();
    if (std::ranges::find(chips, name, &Chip::name) != chips.end())
    {
        return "";
    }
    std::size_t index = 0;
    const char* last = name.data() + name.size();
    if (name.size() > 1 && name[0] == 'r' &&
        std::from_chars(name.data() + 1, last, index).ptr == last)
    {
        return "remote " + std::to_string(index) + " is out of range 0-" +
               std::to_string(layout::remoteCount - 1);
    }
    return "chip \"" + std::string(name) + "\" is not one of " +
           chipNames(", ");
}

Report listChips(const Args&)
{
    Report report;
    addChips(report, {});
    return report;
}

Report showInfo(const Args&)
{
    Report report;
    report.field("platformType",
                 number(guarded("getPlatformType", lib::getPlatformType)));
    const std::string dir = driverDirectory();
    report.field("driverDirectory", dir.empty() ? none() : plain(dir));
    Fpga hpm;
    const int result = guarded("getHPMLocation", [&] {
        return lib::getHPMLocation(hpm.location, hpm.index);
    });
    if (result != 0)
    {
        report.problems.push_back(resultFailure("getHPMLocation", result));
    }
    report.field("hpmChip", result == 0 ? plain(fpgaName(hpm)) : none());
    addChips(report, {"chipId", "ifaceVer", "supportedBlocks"});
    return report;
}

Report readRegisters(const Args& args)
{
    const Chip chip = chipOf(args.chip);
    checkRemotePage(chip, args.address, args.count, "read");
    checkBlocks(chip, args.address, args.count, args, "read");
    std::vector<char> buffer(args.count);
    transfer(chip, Operation::read, args.address, buffer);
    Report report;
    addAddress(report, chip, args.address);
    return report.field("bytes", bytes(buffer), Report::Shown::bare);
}

Report writeRegisters(const Args& args)
{
    const Chip chip = chipOf(args.chip);
    const Address& address = args.address;
    checkRemotePage(chip, address, args.bytes.size(), "write");
    checkBlocks(chip, address, args.bytes.size(), args, "write");
    std::vector<char> buffer(args.bytes.begin(), args.bytes.end());
    std::vector<char> current(args.mask ? buffer.size() : 0);
    // From the read of --mask to the read of --verify.
    std::optional<NodeLock> lock;
    if (!args.dryRun)
    {
        lock.emplace(nodeOf(chip.fpga, address).path);
    }
    if (args.mask)
    {
        transfer(chip, Operation::read, address, current);
        for (std::size_t i = 0; i < buffer.size(); ++i)
        {
            buffer[i] = static_cast<char>(
                (current[i] & ~*args.mask) | (args.bytes[i] & *args.mask));
        }
    }

    Report report;
    addAddress(report, chip, address);
    report
        .field("current", args.mask ? bytes(current) : none(),
               args.mask && args.dryRun ? Report::Shown::labelled
                                        : Report::Shown::hidden)
        .field("bytes", bytes(buffer), Report::Shown::hidden)
        .field("dryRun", flag(args.dryRun), Report::Shown::hidden);
    if (args.dryRun)
    {
        return report.field("wouldCall",
                            plain(describeWrite(chip, address, buffer)));
    }
    confirm(args,
            "Write " + bytes(buffer).text + " to " + chip.name + " block " +
                std::to_string(address.block) + " offset " +
                std::to_string(address.offset) + " (" +
                std::string(nodeOf(chip.fpga, address).path) + " position " +
                positionText(chip.fpga, address) + ")?",
            "write", "nothing written");
    transfer(chip, Operation::write, address, buffer);
    if (args.verify)
    {
        std::vector<char> readBack(buffer.size());
        transfer(chip, Operation::read, address, readBack);
        if (readBack != buffer)
        {
            throw Failure("verify", "verify: wrote " + bytes(buffer).text +
                                        ", read back " + bytes(readBack).text);
        }
    }
    return report.field("verified", flag(args.verify), Report::Shown::hidden);
}

Report dumpChip(const Args& args)
{
    const Chip chip = chipOf(args.chip);
    const Fpga& fpga = chip.fpga;
    if (!guarded("chipDetected",
                 [&] { return lib::chipDetected(fpga.location, fpga.index); }))
    {
        throw Failure("chipDetected", "chipDetected: " + fpgaName(fpga) +
                                          " is not detected; nothing to dump");
    }
    const std::bitset<64> blocks = guarded("getSupportedBlocks", [&] {
        return lib::getSupportedBlocks(fpga.location, fpga.index);
    });

    Report report;
    std::vector<Report::DumpRow> rows;
    for (std::size_t block = 0; block < blocks.size(); ++block)
    {
        if (!blocks[block])
        {
            continue;
        }
        std::vector<char> buffer(layout::registersPerBlock);
        try
        {
            transfer(chip, Operation::read, Address{block}, buffer);
            rows.emplace_back(block, buffer);
        }
        catch (const Failure& failure)
        {
            report.problems.push_back(failure);
            rows.emplace_back(block, std::nullopt);
        }
    }
    return report.field("chip", plain(chip.name))
        .field("fpga", plain(fpgaName(fpga)))
        .field("node", plain(std::string(nodeOf(fpga, {}).path)))
        .dump("blocks", rows);
}

Report buttons(const Args& args)
{
    bool enabled = args.state == "on";
    if (args.state.empty())
    {
        checked("getFrontButtonsEnabled",
                [&] { return lib::getFrontButtonsEnabled(enabled); });
        return Report{}.field("frontButtonsEnabled", flag(enabled));
    }
    if (args.repeat > 1)
    {
        throw UsageError("buttons: --repeat only applies to showing the state");
    }
    if (args.dryRun)
    {
        return wouldCall(std::string("setFrontButtonsEnabled(") +
                         (enabled ? "true" : "false") + ")");
    }
    confirm(args,
            std::string(enabled ? "Enable" : "Disable") + " the front buttons?",
            "buttons", "nothing written");
    // The library reads the register, then writes it with bit 1 changed.
    // A malformed HPM attribute is the library call's failure to report.
    std::optional<NodeLock> lock;
    try
    {
        lock.emplace(nodeOf(chipOf("hpm").fpga, {}).path);
    }
    catch (const Failure&)
    {}
    checked("setFrontButtonsEnabled",
            [&] { return lib::setFrontButtonsEnabled(enabled); });
    return Report{}.field("frontButtonsEnabled", flag(enabled),
                          Report::Shown::hidden);
}

namespace
{

Report showPower(const Args&)
{
    lib::PowerOnSource on{};
    lib::PowerOffSource off{};
    lib::PowerResetSource reset{};
    bool enabled = false;
    checked("getPowerOnSource", [&] { return lib::getPowerOnSource(on); });
    checked("getPowerOffSource", [&] { return lib::getPowerOffSource(off); });
    checked("getPowerResetSource",
            [&] { return lib::getPowerResetSource(reset); });
    checked("getFrontButtonsEnabled",
            [&] { return lib::getFrontButtonsEnabled(enabled); });
    return Report{}
        .field("powerOnSource", number(on))
        .field("powerOffSource", number(off))
        .field("powerResetSource", number(reset))
        .field("frontButtonsEnabled", flag(enabled));
}

Report showInterrupts(const Args&)
{
    lib::Interrupt interrupt{};
    checked("getInterrupts", [&] { return lib::getInterrupts(interrupt); });
    return Report{}
        .field("status0", bitMask(interrupt.status0, 16))
        .field("status1", bitMask(interrupt.status1, 16));
}

Report showThermals(const Args&)
{
    std::vector<lib::Thermal> thermals;
    checked("getThermals", [&] { return lib::getThermals(thermals); });
    // An entry is six values, value0 to value5.
    std::vector<Report::Column> columns = {{"entry", "ENTRY"}};
    for (std::size_t v = 0; v < sizeof(lib::Thermal) / sizeof(std::uint32_t);
         ++v)
    {
        columns.push_back(
            {"value" + std::to_string(v), "VALUE" + std::to_string(v)});
    }
    std::vector<std::vector<Value>> rows;
    for (const lib::Thermal& t : thermals)
    {
        rows.push_back({number(rows.size())});
        for (const std::uint32_t value :
             {t.value0, t.value1, t.value2, t.value3, t.value4, t.value5})
        {
            rows.back().push_back(number(value));
        }
    }
    return Report{}
        .field("count", number(thermals.size()))
        .table("entries", columns, rows);
}

Report showFans(const Args&)
{
    lib::PlatformInformation info{};
    checked("getPlatform", [&] { return lib::getPlatform(info); });

    // fanTypeCodes holds the code of an empty slot, then of kinds 1 to 3;
    // 0xff marks a kind the platform does not have.
    static constexpr std::array<std::string_view, 4> kinds = {
        "empty", "kind1", "kind2", "kind3"};
    Report report;
    // The library sets fanConfig to 1, 2 or 3, or leaves it as it was: 0
    // is the platform reporting none.
    report
        .field("fanConfig",
               info.fanConfig != 0 ? number(info.fanConfig) : none())
        .field("fanCount", number(info.fanCount));
    for (std::size_t kind = 0; kind < kinds.size(); ++kind)
    {
        const std::uint8_t code = info.fanTypeCodes[kind];
        report.field(std::string(kinds[kind]) + "Code",
                     kind > 0 && code == 0xff ? none() : hexNumber(code, 2));
    }
    std::vector<std::vector<Value>> rows;
    for (std::size_t i = 0; i < info.fanCount && i < std::size(info.fanTypes);
         ++i)
    {
        const std::uint8_t code = info.fanTypes[i];
        std::size_t kind = 0;
        while (kind < kinds.size() &&
               (code != info.fanTypeCodes[kind] || (kind > 0 && code == 0xff)))
        {
            ++kind;
        }
        rows.push_back({number(i), hexNumber(code, 2),
                        plain(kind < kinds.size() ? std::string(kinds[kind])
                                                  : "unknown")});
    }
    return report.table(
        "fans", {{"position", "POSITION"}, {"code", "CODE"}, {"kind", "KIND"}},
        rows);
}

Report showPresence(const Args&)
{
    lib::PlatDevPresence p{};
    checked("getPlatDevPresence", [&] { return lib::getPlatDevPresence(p); });
    // Platform type 1 has no presence5 word; the library leaves it 0.
    const std::size_t unused =
        guarded("getPlatformType", lib::getPlatformType) == 1 ? 5 : 7;
    Report report;
    for (const std::uint32_t word :
         {p.presence0, p.presence1, p.presence2, p.presence3, p.presence4,
          p.presence5, p.presence6})
    {
        const std::size_t n = report.members.size();
        report.field("presence" + std::to_string(n),
                     n == unused ? none() : bitMask(word, 8));
    }
    return report;
}

} // namespace

std::span<const View> views()
{
    static constexpr std::array<View, 5> table = {{
        {"power", "power-on, power-off and reset sources, front buttons",
         "fpgatool power --json", showPower},
        {"interrupts", "the two interrupt masks and their set bits",
         "fpgatool interrupts --repeat 5 --interval 0.2", showInterrupts},
        {"thermals", "the thermal entries", "fpgatool thermals --json",
         showThermals},
        {"fans", "fan layout and fan types (platform types 4 to 6)",
         "fpgatool fans --json", showFans},
        {"presence", "device-presence bits (platform types 0 and 1)",
         "fpgatool presence --json", showPresence},
    }};
    return table;
}

Report resetFpga(const Args& args)
{
    const std::string dir = driverDirectory(); // found: requireDriver()
    // Opened for writing, without writing, so that a missing or forbidden
    // attribute is reported instead of a reset that silently did nothing.
    const std::string attribute = dir + "/" + std::string(layout::resetAttr);
    const int fd = ::open(attribute.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
    {
        const int error = errno;
        throw Failure("resetFpga", "resetFpga: nothing reset: " + attribute +
                                       ": " + std::strerror(error));
    }
    ::close(fd);
    if (args.dryRun)
    {
        return wouldCall("resetFpga()");
    }
    confirm(args, "Reset the FPGA through " + attribute + "?", "reset",
            "nothing reset");
    guarded("resetFpga", lib::resetFpga);
    return {};
}

Report listRegisters(const Args&)
{
    constexpr std::array<std::string_view, 3> homes = {"hpm", "local", "r0"};
    std::vector<std::vector<Value>> rows;
    for (const layout::Register& r : layout::registers)
    {
        rows.push_back(
            {plain(std::string(r.name)),
             plain(std::string(homes.at(static_cast<std::size_t>(r.home)))),
             number(r.block), number(r.offset), number(r.length),
             plain(r.mode == layout::Mode::adi ? "adi" : "normal"),
             plain(std::string(r.meaning))});
    }
    return Report{}.table(
        "registers",
        {{"name", "NAME"},
         {"chip", "CHIP"},
         {"block", "BLOCK"},
         {"offset", "OFFSET"},
         {"length", "LENGTH"},
         {"mode", "MODE"},
         {"meaning", "MEANING"}},
        rows);
}

namespace
{

/** Now, as "2026-12-06T18:20:01.123Z". */
std::string timestamp()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis =
        duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    char fraction[8];
    std::snprintf(fraction, sizeof(fraction), ".%03dZ",
                  static_cast<int>(millis));
    return std::string(text) + fraction;
}

} // namespace

int watchRegisters(const Args& args)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(args.timeout.value_or(0)));
    const auto line = [&](Json members) {
        Json document = {{"schemaVersion", 2}, {"command", "watch"}};
        document.update(members);
        std::cout << document.dump(-1, ' ', false,
                                   Json::error_handler_t::replace)
                  << '\n'
                  << std::flush;
    };
    std::optional<std::vector<char>> last;
    try
    {
        requireDriver();
        const Chip chip = chipOf(args.chip);
        checkRemotePage(chip, args.address, args.count, "watch");
        checkBlocks(chip, args.address, args.count, args, "watch");
        if (!args.until.empty() && args.until.size() != args.count)
        {
            throw UsageError(
                "watch: --until gives " + std::to_string(args.until.size()) +
                " bytes, the watch reads " + std::to_string(args.count));
        }
        for (;;)
        {
            std::vector<char> buffer(args.count);
            transfer(chip, Operation::read, args.address, buffer);
            const bool reached =
                !args.until.empty() &&
                std::ranges::equal(buffer, args.until, [](char b, unsigned u) {
                    return static_cast<std::uint8_t>(b) == u;
                });
            if (buffer != last)
            {
                const Value value = bytes(buffer);
                if (args.json)
                {
                    line({{"time", timestamp()}, {"bytes", value.json}});
                }
                else
                {
                    std::cout << timestamp() << ' ' << value.text << '\n'
                              << std::flush;
                }
                last = std::move(buffer);
            }
            if (reached)
            {
                return exitOk;
            }
            const auto next = Clock::now() +
                              std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(args.interval));
            if (args.timeout && next > deadline)
            {
                if (args.until.empty())
                {
                    return exitOk;
                }
                char seconds[32];
                std::snprintf(seconds, sizeof(seconds), "%g", *args.timeout);
                throw Failure("watch",
                              "watch: timed out after " + std::string(seconds) +
                                  " s without reading the --until "
                                  "bytes");
            }
            std::this_thread::sleep_until(next);
        }
    }
    catch (const Failure& failure)
    {
        printError(failure.what());
        if (args.json)
        {
            line({{"error", failure.toJson()}});
        }
        return exitFailure;
    }
}

} // namespace fpgatool
