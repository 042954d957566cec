// SPDX-License-Identifier: Apache-2.0
// registers-doc: prints docs/registers.md from the tables of the device
// layout (fpga/lib/base/device_layout.hpp, decoder_layout.hpp) that
// libfpga's decoders read, so that the page says what the library does.
//
//     registers-doc                 the page, on standard output
//     registers-doc --output FILE   the page, written to FILE
//     registers-doc --check FILE    exit 1 when FILE is not the page

#include "base/decoder_layout.hpp"
#include "base/device_layout.hpp"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace
{

namespace layout = tavrin_fpga::layout;
namespace fans = layout::fans;

std::string hex(unsigned value, int digits = 2)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*x", digits, value);
    return text;
}

std::string list(const auto& values, auto&& text)
{
    std::string out;
    for (const auto& value : values)
    {
        out += (out.empty() ? "" : ", ") + text(value);
    }
    return out;
}

void intro(std::ostream& out)
{
    out << "# Registers\n\n"
           "<!-- Written by tools/registers-doc from "
           "fpga/lib/base/device_layout.hpp and decoder_layout.hpp: change "
           "the layout, not this "
           "page, and run `meson compile -C build registers-md`. -->\n\n"
           "The registers libfpga decodes, where it reads them and what "
           "their bits mean, printed from the tables the library's decoders "
           "read (`fpga/lib/base/device_layout.hpp`, `decoder_layout.hpp`), "
           "so it cannot say "
           "other than the library does. Offsets and lengths are in bytes; "
           "a register's position in a node is in docs/board-format.md. "
           "`meson compile -C build registers-md` writes this page anew "
           "from the layout; the test `registers.md` fails while it "
           "differs.\n";
}

void namedRegisters(std::ostream& out)
{
    out << "\n## Named registers\n\n"
           "Read in normal mode, or in ADI mode at page 0, page data "
           "offset 0. The HPM FPGA is the one `tavrin_fpga_hpm_chip` "
           "names.\n\n"
           "| Name | FPGA | Block | Offset | Length | Mode | Meaning |\n"
           "|---|---|---|---|---|---|---|\n";
    for (const layout::Register& r : layout::registers)
    {
        out << "| `" << r.name << "` | " << layout::homeName(r.home).words
            << " | " << r.block << " | " << r.offset << " | " << r.length
            << " | " << layout::modeInfo(r.mode).name << " | " << r.meaning
            << " |\n";
    }
}

void powerAndThermal(std::ostream& out)
{
    namespace thermal = layout::thermal;
    out << "\n## Power\n\n"
           "- `power.on-source`, `power.off-source`, `power.reset-source`: "
           "the source code is the byte shifted right by "
        << layout::power::sourceShift
        << ".\n- `power.front-buttons`: the buttons are enabled while bit "
           "mask "
        << hex(layout::power::frontButtonsEnable)
        << " is set; enabling or disabling them changes that bit "
           "alone.\n\n## Thermal\n\n"
           "- `thermal.header` byte "
        << thermal::adiFlagByte << ", bit mask " << hex(thermal::adiFlag)
        << ": the records are readable in ADI mode (else the read fails "
           "with EIO).\n- `thermal.header` byte "
        << thermal::entryCountByte
        << ": the number of entries. The records hold entry count / "
        << thermal::entryStarts.size()
        << " records (an odd last entry is not read), read in one transfer "
           "from `thermal.records` on, one record after the other.\n"
           "- A record of `thermal.records` holds "
        << thermal::entryStarts.size() << " entries of " << thermal::entrySize
        << " bytes, at bytes "
        << list(thermal::entryStarts,
                [](std::size_t b) { return std::to_string(b); })
        << "; an entry's bytes are `value0` to `value" << thermal::entrySize - 1
        << "` of a `Thermal`.\n";
}

std::string fieldBits(const fans::Field& field)
{
    return "register " +
           std::to_string(layout::reg::fanTypes.offset + field.byte) +
           " bits " + std::to_string(field.shift + 1) + "-" +
           std::to_string(field.shift);
}

void fanWirings(std::ostream& out)
{
    out << "\n## Fans\n\n"
           "`getPlatform()` reads them from remote FPGA 0. On platform "
           "types 4 and 5 each fan position has a 2-bit code (mask "
        << hex(fans::fieldMask)
        << ") in `fans.types` (registers 11 and 12 of block "
        << layout::reg::fanTypes.block
        << "); the wiring says which bits. `fanTypeCodes` lists the code of "
           "an empty position, then of fan kinds 1 to 3 ("
        << hex(fans::noKind) << ": the platform has no such kind).\n";
    for (const fans::Wiring& wiring : fans::wirings)
    {
        out << "\n### Type " << wiring.platformType << ", " << wiring.when
            << "\n\nfanTypeCodes "
            << list(wiring.codes, [](unsigned c) { return hex(c); }) << "; "
            << wiring.fields.size() << " positions:\n\n"
            << "| Position | Code in |\n|---|---|\n";
        for (std::size_t n = 0; n < wiring.fields.size(); ++n)
        {
            out << "| " << n << " | " << fieldBits(wiring.fields[n]) << " |\n";
        }
    }
}

std::string fanConfigs(const auto& table)
{
    return list(table, [](unsigned c) {
        return c == fans::keepFanConfig ? std::string("kept")
                                        : std::to_string(c);
    });
}

void fanConfiguration(std::ostream& out)
{
    out << "\n### The fan configuration\n\n"
           "- Type 4: fanConfig by the configuration byte (`fans.config`) "
           "modulo the table's size, while the selector (`fans.selector`) "
           "is below "
        << unsigned{fans::type4WideSelector} << ": "
        << fanConfigs(fans::type4NarrowFanConfigs) << "; from "
        << unsigned{fans::type4WideSelector}
        << " on: " << fanConfigs(fans::type4WideFanConfigs)
        << " (kept: the caller's fanConfig stays and decides). Under a "
           "fanConfig without a wiring above, fanCount and the positions "
           "stay as the caller had them.\n"
           "- Type 5: fanConfig by the configuration byte, when below "
        << fans::type5FanConfigs.size() << ": "
        << fanConfigs(fans::type5FanConfigs)
        << "; else the caller's stays.\n"
           "- Type 6: no configuration. `fans.status` has "
        << fans::type6FanCount
        << " positions: bit n set marks position n occupied, and the byte "
           "shifted right by n, masked with "
        << hex(fans::type6CodeMask)
        << " (bits n and n + 4), is its code; fanTypeCodes "
        << list(fans::type6Codes, [](unsigned c) { return hex(c); }) << ".\n";
}

void presenceMaps(std::ostream& out)
{
    namespace presence = layout::presence;
    out << "\n## Device presence\n\n"
           "`getPlatDevPresence()` reads the "
        << layout::reg::presence.length
        << " bytes of `presence` and ORs each group of bits, masked and "
           "shifted left, into a field of `PlatDevPresence`. Bytes not "
           "listed are not read into any field.\n";
    for (std::size_t type = 0; type < presence::byPlatformType.size(); ++type)
    {
        out << "\n### Platform type " << type
            << "\n\n| Field | Byte | Mask | Shift |\n|---|---|---|---|\n";
        for (const presence::Bits& bits : presence::byPlatformType[type])
        {
            out << "| `" << presence::fields[bits.field].name << "` | "
                << unsigned{bits.byte} << " | " << hex(bits.mask) << " | "
                << unsigned{bits.shift} << " |\n";
        }
    }
}

void platforms(std::ostream& out)
{
    out << "\n## Platform types\n\n"
           "`getPlatformType()` by the chip id of the local FPGA, the "
           "first row that matches; a local chip id of "
        << hex(layout::chainedChipId)
        << " leaves the decision to the chip id of remote FPGA 0, by the "
           "same table. No match: type "
        << layout::unknownPlatformType
        << ".\n\n| Chip id | Platform type |\n|---|---|\n";
    for (const layout::Platform& platform : layout::platforms)
    {
        out << "| " << hex(platform.chipId) << " | " << platform.type << " |\n";
    }
    out << "\nThe HPM blocks are routed on the interface versions "
        << list(layout::blockTranslations,
                [](const layout::BlockTranslation& t) {
                    return std::to_string(t.ifaceVer);
                })
        << " of the HPM FPGA; on any other, no HPM block is available.\n";
}

std::string page()
{
    std::ostringstream out;
    intro(out);
    namedRegisters(out);
    powerAndThermal(out);
    fanWirings(out);
    fanConfiguration(out);
    presenceMaps(out);
    platforms(out);
    return out.str();
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Print docs/registers.md from libfpga's device layout",
                 "registers-doc"};
    std::string output;
    std::string check;
    app.add_option("--output", output, "write the page to FILE");
    app.add_option("--check", check, "exit 1 when FILE differs from the page")
        ->check(CLI::ExistingFile)
        ->excludes("--output");
    CLI11_PARSE(app, argc, argv);

    const std::string text = page();
    if (!check.empty())
    {
        std::ifstream in(check);
        const std::string written{std::istreambuf_iterator<char>(in), {}};
        if (written == text)
        {
            return 0;
        }
        std::cerr << check
                  << " is not what the layout says: run `meson "
                     "compile -C BUILD registers-md` and commit it\n";
        return 1;
    }
    if (output.empty())
    {
        std::cout << text;
        return std::cout.flush() ? 0 : 1;
    }
    std::ofstream file(output);
    file << text;
    file.close();
    if (!file)
    {
        std::cerr << "registers-doc: cannot write " << output << "\n";
        return 1;
    }
    return 0;
}
