// SPDX-License-Identifier: Apache-2.0
#include "verbs.hpp"

#include <fcntl.h>

#include <array>

namespace fpgatool
{
namespace
{

namespace lib = tavrin_fpga;
using lib::Block;

/** The chips the driver can report, in the order they are listed. */
constexpr std::array<Chip, 5> allChips = {{
    {Chip::Kind::local, 0},
    {Chip::Kind::remote, 0},
    {Chip::Kind::remote, 1},
    {Chip::Kind::remote, 2},
    {Chip::Kind::remote, 3},
}};

/** The front-button control register: bit 1 of power block offset 10. */
constexpr std::size_t buttonsOffset = 10;
constexpr std::uint8_t buttonsBit = 0x02;

template <typename T>
Value number(T value)
{
    return static_cast<std::int64_t>(value);
}

Value hex(std::uint64_t value, int digits)
{
    return Hex{value, digits};
}

Value bytesOf(const std::vector<char>& buffer)
{
    return Bytes{std::vector<std::uint8_t>(buffer.begin(), buffer.end())};
}

/** Physical FPGA of a chip; for "hpm" the library is asked. */
Fpga fpgaOf(const Chip& chip)
{
    return guarded("getHPMLocation", [&] { return resolve(chip); }, {chip, {}});
}

/** The fields that say where an access goes: chip, FPGA, mode, register
 *  coordinates, node and position. */
void addAddress(Report& report, const Chip& chip, const Fpga& fpga,
                const Address& address, bool inText)
{
    const bool adi = address.adi.has_value();
    const Address::Paged paged = address.adi.value_or(Address::Paged{});
    const std::array<Field, 9> fields = {{
        {"chip", chipName(chip), inText},
        {"fpga", fpgaName(fpga), inText},
        {"mode", std::string(adi ? "adi" : "normal"), inText},
        {"block", number(address.block), inText},
        {"offset", number(address.offset), inText},
        {"page", adi ? hex(paged.page, 4) : nullptr, inText && adi},
        {"pageDataOffset", adi ? number(paged.pageDataOffset) : nullptr,
         inText && adi},
        {"node", nodePath(fpga, address), inText},
        {"position", hex(nodePosition(fpga, address), positionDigits(address)),
         inText},
    }};
    for (const Field& field : fields)
    {
        report.add(field);
    }
}

/** One transfer; a failure throws the Failure that names its call. */
void move(const Chip& chip, Operation op, const Address& address,
          std::span<char> buffer)
{
    const Context context{chip, address};
    const std::string call = transferCall(chip, address);
    check(call,
          guarded(
              call, [&] { return transfer(chip, op, address, buffer); },
              context),
          context);
}

void readInto(const Chip& chip, const Address& address,
              std::vector<char>& buffer)
{
    move(chip, Operation::read, address, buffer);
}

lib::Firmware firmwareOf(const Chip& chip)
{
    lib::Firmware firmware{};
    const Fpga fpga = resolve(chip);
    guarded("getFirmwareInfo",
            [&] { lib::getFirmwareInfo(fpga.location, fpga.index, firmware); },
            {chip, {}});
    return firmware;
}

/** "local" or "rN"; null when the driver does not name the HPM FPGA. */
Value hpmChip(std::vector<Failure>& problems)
{
    Fpga fpga;
    const int result = guarded("getHPMLocation", [&] {
        return lib::getHPMLocation(fpga.location, fpga.index);
    });
    if (result != 0)
    {
        problems.push_back(resultFailure("getHPMLocation", result));
        return nullptr;
    }
    return fpgaName(fpga);
}

Value driverDirectoryValue()
{
    const std::string dir = guarded("devAttrFilePath", driverDirectory);
    return dir.empty() ? Value(nullptr) : Value(dir);
}

/** An HPM-routed decoded read; its failures name the block it reads. */
template <typename Function>
void hpmView(const std::string& call, std::size_t block, Function&& function)
{
    const Context context{Chip{Chip::Kind::hpm, 0}, Address{block, 0, {}}};
    check(call, guarded(call, function, context), context);
}

std::string kindOf(std::uint8_t code, std::span<const std::uint8_t, 4> codes)
{
    if (code == codes[0])
    {
        return "empty";
    }
    for (std::size_t kind = 1; kind < codes.size(); ++kind)
    {
        if (codes[kind] != 0xff && code == codes[kind])
        {
            return "kind" + std::to_string(kind);
        }
    }
    return "unknown";
}

} // namespace

Outcome listChips()
{
    Table chips{"chips",
                {{"chip", "CHIP"},
                 {"detected", "DETECTED"},
                 {"chipId", "CHIP-ID"},
                 {"ifaceVer", "IFACE"},
                 {"firmwareMajor", "MAJOR"},
                 {"firmwareMinor", "MINOR"},
                 {"firmwareVerStr", "FIRMWARE"},
                 {"supportedBlocks", "BLOCKS"}},
                {}};
    for (const Chip& chip : allChips)
    {
        const lib::Firmware firmware = firmwareOf(chip);
        chips.rows.push_back(
            {chipName(chip), firmware.detected, hex(firmware.chipId, 2),
             hex(firmware.ifaceVer, 1), number(firmware.firmwareMajor),
             number(firmware.firmwareMinor), Quoted{firmware.firmwareVerStr},
             BlockSet{firmware.supportedBlocks}});
    }
    Outcome outcome;
    outcome.report.add(std::move(chips));
    return outcome;
}

Outcome showInfo()
{
    Outcome outcome;
    Report& report = outcome.report;
    report.add(Field{"platformType",
                     number(guarded("getPlatformType", lib::getPlatformType))});
    report.add(Field{"driverDirectory", driverDirectoryValue()});
    report.add(Field{"hpmChip", hpmChip(outcome.problems)});

    Table chips{"chips",
                {{"chip", "CHIP"},
                 {"detected", "DETECTED"},
                 {"firmwareMajor", "MAJOR"},
                 {"firmwareMinor", "MINOR"},
                 {"firmwareVerStr", "FIRMWARE"}},
                {}};
    for (const Chip& chip : allChips)
    {
        const lib::Firmware firmware = firmwareOf(chip);
        chips.rows.push_back(
            {chipName(chip), firmware.detected, number(firmware.firmwareMajor),
             number(firmware.firmwareMinor), Quoted{firmware.firmwareVerStr}});
    }
    report.add(std::move(chips));
    return outcome;
}

Outcome readRegisters(const Chip& chip, const Address& address,
                      std::size_t count)
{
    const Fpga fpga = fpgaOf(chip);
    std::vector<char> buffer(count);
    readInto(chip, address, buffer);

    Outcome outcome;
    addAddress(outcome.report, chip, fpga, address, false);
    outcome.report.add(Field{"bytes", bytesOf(buffer), true, ""});
    return outcome;
}

Outcome writeRegisters(const WriteRequest& request, const Confirm& confirm)
{
    const Chip& chip = request.chip;
    const Address& address = request.address;
    const Fpga fpga = fpgaOf(chip);
    std::vector<char> buffer(request.values.begin(), request.values.end());

    std::optional<std::vector<char>> current;
    if (request.mask)
    {
        current.emplace(buffer.size());
        readInto(chip, address, *current);
        const auto keep = static_cast<std::uint8_t>(~*request.mask);
        for (std::size_t i = 0; i < buffer.size(); ++i)
        {
            buffer[i] = static_cast<char>(
                (static_cast<std::uint8_t>((*current)[i]) & keep) |
                (request.values[i] & *request.mask));
        }
    }

    Outcome outcome;
    Report& report = outcome.report;
    addAddress(report, chip, fpga, address, request.dryRun);
    report.add(Field{"current", current ? bytesOf(*current) : nullptr,
                     request.dryRun && current.has_value()});
    report.add(Field{"bytes", bytesOf(buffer), request.dryRun});
    report.add(Field{"dryRun", request.dryRun, false});
    if (request.dryRun)
    {
        return outcome;
    }

    const std::string question =
        "Write " + toText(bytesOf(buffer)) + " to " + chipName(chip) +
        " block " + std::to_string(address.block) + " offset " +
        std::to_string(address.offset) + " (" + nodePath(fpga, address) +
        " position " +
        toText(hex(nodePosition(fpga, address), positionDigits(address))) +
        ")?";
    if (!confirm(question))
    {
        throw Failure("write", 0, "write: not confirmed; nothing written");
    }
    move(chip, Operation::write, address, buffer);

    if (request.verify)
    {
        std::vector<char> readBack(buffer.size());
        readInto(chip, address, readBack);
        if (readBack != buffer)
        {
            throw Failure("verify", 0,
                          "verify: wrote " + toText(bytesOf(buffer)) +
                              ", read back " + toText(bytesOf(readBack)));
        }
    }
    report.add(Field{"verified", request.verify, false});
    return outcome;
}

Outcome dumpChip(const Chip& chip)
{
    const Fpga fpga = fpgaOf(chip);
    if (!lib::chipDetected(fpga.location, fpga.index))
    {
        const std::string detected = guarded("devAttrFilePath", [&] {
            return lib::devAttrFilePath("detected", fpga.location, fpga.index);
        });
        throw Failure("chipDetected", 0,
                      "chipDetected: " + fpgaName(fpga) +
                          " is not detected (see " + detected +
                          "); nothing to dump");
    }
    const std::bitset<64> blocks = guarded(
        "getSupportedBlocks",
        [&] { return lib::getSupportedBlocks(fpga.location, fpga.index); },
        {chip, {}});

    Outcome outcome;
    HexDump dump{"blocks", {}};
    for (std::size_t block = 0; block < blocks.size(); ++block)
    {
        if (!blocks[block])
        {
            continue;
        }
        std::vector<char> buffer(16);
        try
        {
            readInto(chip, Address{block, 0, {}}, buffer);
            dump.rows.push_back(
                {block,
                 std::vector<std::uint8_t>(buffer.begin(), buffer.end())});
        }
        catch (const Failure& failure)
        {
            outcome.problems.push_back(failure);
            dump.rows.push_back({block, std::nullopt});
        }
    }
    Report& report = outcome.report;
    report.add(Field{"chip", chipName(chip)});
    report.add(Field{"fpga", fpgaName(fpga)});
    report.add(Field{"node", nodePath(fpga, Address{})});
    report.add(std::move(dump));
    return outcome;
}

Outcome showPower()
{
    constexpr auto power = static_cast<std::size_t>(Block::power);
    lib::PowerOnSource on{};
    lib::PowerOffSource off{};
    lib::PowerResetSource reset{};
    bool buttons = false;
    hpmView("getPowerOnSource", power,
            [&] { return lib::getPowerOnSource(on); });
    hpmView("getPowerOffSource", power,
            [&] { return lib::getPowerOffSource(off); });
    hpmView("getPowerResetSource", power,
            [&] { return lib::getPowerResetSource(reset); });
    hpmView("getFrontButtonsEnabled", power,
            [&] { return lib::getFrontButtonsEnabled(buttons); });

    Outcome outcome;
    outcome.report.add(Field{"powerOnSource", number(on)})
        .add(Field{"powerOffSource", number(off)})
        .add(Field{"powerResetSource", number(reset)})
        .add(Field{"frontButtonsEnabled", buttons});
    return outcome;
}

Outcome showButtons()
{
    bool buttons = false;
    hpmView("getFrontButtonsEnabled", static_cast<std::size_t>(Block::power),
            [&] { return lib::getFrontButtonsEnabled(buttons); });
    Outcome outcome;
    outcome.report.add(Field{"frontButtonsEnabled", buttons});
    return outcome;
}

Outcome setButtons(bool enable, bool dryRun, const Confirm& confirm)
{
    const Chip chip{Chip::Kind::hpm, 0};
    const Address address{
        static_cast<std::size_t>(Block::power), buttonsOffset, {}};
    Outcome outcome;
    if (dryRun)
    {
        // What setFrontButtonsEnabled() would do: read the byte, change
        // bit 1, write it only when the bit differs.
        const Fpga fpga = fpgaOf(chip);
        std::vector<char> current(1);
        readInto(chip, address, current);
        const auto byte = static_cast<std::uint8_t>(current[0]);
        const auto wanted = static_cast<char>(
            enable ? (byte | buttonsBit) : (byte & ~buttonsBit));
        Report& report = outcome.report;
        addAddress(report, chip, fpga, address, true);
        report.add(Field{"current", bytesOf(current)});
        report.add(Field{"bytes", bytesOf({wanted})});
        report.add(Field{"writeNeeded", wanted != current[0]});
        report.add(Field{"dryRun", true, false});
        return outcome;
    }
    if (!confirm(std::string(enable ? "Enable" : "Disable") +
                 " the front buttons (bit 1 of power block offset 10 on the "
                 "HPM FPGA)?"))
    {
        throw Failure("buttons", 0, "buttons: not confirmed; nothing written");
    }
    hpmView("setFrontButtonsEnabled", address.block,
            [&] { return lib::setFrontButtonsEnabled(enable); });
    outcome.report.add(Field{"frontButtonsEnabled", enable, false});
    return outcome;
}

Outcome showInterrupts()
{
    lib::Interrupt interrupt{};
    hpmView("getInterrupts", static_cast<std::size_t>(Block::interrupt0),
            [&] { return lib::getInterrupts(interrupt); });
    Outcome outcome;
    outcome.report.add(Field{"status0", BitMask{interrupt.status0, 16}})
        .add(Field{"status1", BitMask{interrupt.status1, 16}});
    return outcome;
}

Outcome showThermals()
{
    std::vector<lib::Thermal> thermals;
    hpmView("getThermals", static_cast<std::size_t>(Block::thermal),
            [&] { return lib::getThermals(thermals); });
    Table entries{"entries",
                  {{"entry", "ENTRY"},
                   {"value0", "VALUE0"},
                   {"value1", "VALUE1"},
                   {"value2", "VALUE2"},
                   {"value3", "VALUE3"},
                   {"value4", "VALUE4"},
                   {"value5", "VALUE5"}},
                  {}};
    for (std::size_t i = 0; i < thermals.size(); ++i)
    {
        const lib::Thermal& t = thermals[i];
        entries.rows.push_back(
            {number(i), number(t.value0), number(t.value1), number(t.value2),
             number(t.value3), number(t.value4), number(t.value5)});
    }
    Outcome outcome;
    outcome.report.add(Field{"count", number(thermals.size())});
    outcome.report.add(std::move(entries));
    return outcome;
}

Outcome showFans()
{
    // The fans are read from remote FPGA 0.
    const Context context{Chip{Chip::Kind::remote, 0}, {}};
    lib::PlatformInformation info{};
    check("getPlatform",
          guarded(
              "getPlatform", [&] { return lib::getPlatform(info); }, context),
          context);

    const auto& codes = info.fanTypeCodes;
    Table fans{"fans",
               {{"position", "POSITION"}, {"code", "CODE"}, {"kind", "KIND"}},
               {}};
    for (std::size_t i = 0; i < info.fanCount && i < std::size(info.fanTypes); ++i)
    {
        fans.rows.push_back({number(i), hex(info.fanTypes[i], 2),
                             kindOf(info.fanTypes[i], codes)});
    }
    Outcome outcome;
    outcome.report.add(Field{"fanConfig", number(info.fanConfig)})
        .add(Field{"fanCount", number(info.fanCount)})
        .add(Field{"emptyCode", hex(codes[0], 2)})
        .add(Field{"kind1Code", hex(codes[1], 2)})
        .add(Field{"kind2Code", hex(codes[2], 2)})
        .add(Field{"kind3Code", hex(codes[3], 2)})
        .add(std::move(fans));
    return outcome;
}

Outcome showPresence()
{
    // The presence bits are read from block 12 of the local FPGA.
    const Context context{Chip{}, Address{12, 0, {}}};
    lib::PlatDevPresence presence{};
    check("getPlatDevPresence",
          guarded(
              "getPlatDevPresence",
              [&] { return lib::getPlatDevPresence(presence); }, context),
          context);
    const std::array<std::uint32_t, 7> words = {
        presence.presence0, presence.presence1, presence.presence2,
        presence.presence3, presence.presence4, presence.presence5,
        presence.presence6};
    Outcome outcome;
    for (std::size_t i = 0; i < words.size(); ++i)
    {
        outcome.report.add(
            Field{"presence" + std::to_string(i), BitMask{words[i], 8}});
    }
    return outcome;
}

Outcome resetFpga(bool dryRun, const Confirm& confirm)
{
    const std::string dir = guarded("resetFpga", driverDirectory);
    if (dir.empty())
    {
        throw Failure("resetFpga", 0,
                      "resetFpga: the driver's sysfs directory is not found "
                      "(no tavrin_fpga_wakeup in /sys/bus/spi/devices/spi2.2 "
                      "or spi2.0); nothing reset");
    }
    const std::string attribute = dir + "/tavrin_fpga_reset";
    Outcome outcome;
    outcome.report.add(Field{"attribute", attribute, dryRun})
        .add(Field{"dryRun", dryRun, false});
    if (dryRun)
    {
        return outcome;
    }
    if (const std::string problem =
            openProblem(attribute, O_WRONLY, "the driver offers no reset");
        !problem.empty())
    {
        throw Failure("resetFpga", 0, "resetFpga: nothing reset: " + problem);
    }
    if (!confirm("Reset the FPGA (write 1, then 0, to " + attribute + ")?"))
    {
        throw Failure("resetFpga", 0, "reset: not confirmed; nothing reset");
    }
    guarded("resetFpga", [] { lib::resetFpga(); });
    return outcome;
}

} // namespace fpgatool
