// SPDX-License-Identifier: Apache-2.0
// The decoded views, a verb each, and the registers they decode.

#include "fpgatool.hpp"

#include <libfpga.hpp>

#include <array>

namespace fpgatool
{
namespace
{

namespace lib = tavrin_fpga;

Report showPower(const Args&)
{
    chipOf("hpm"); // refuses an HPM FPGA the library would misroute
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
    chipOf("hpm"); // refuses an HPM FPGA the library would misroute
    lib::Interrupt interrupt{};
    checked("getInterrupts", [&] { return lib::getInterrupts(interrupt); });
    return Report{}
        .field("status0", bitMask(interrupt.status0, 16))
        .field("status1", bitMask(interrupt.status1, 16));
}

Report showThermals(const Args&)
{
    chipOf("hpm"); // refuses an HPM FPGA the library would misroute
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
                        plain(kind < kinds.size() ? kinds[kind] : "unknown")});
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

Report listRegisters(const Args&)
{
    std::vector<std::vector<Value>> rows;
    for (const layout::Register& r : layout::registers)
    {
        rows.push_back(
            {plain(r.name), plain(layout::homeName(r.home).chip),
             number(r.block), number(r.offset), number(r.length),
             plain(layout::modeInfo(r.mode).name), plain(r.meaning)});
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

} // namespace fpgatool
