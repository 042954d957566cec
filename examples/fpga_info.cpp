// SPDX-License-Identifier: Apache-2.0
// fpga-info: print what libfpga reads from the board it runs on: every chip
// the driver reports, the platform type, the FPGA carrying the HPM blocks,
// a power-block register and the decoded views the platform offers.
//
// Build against an installed library with (the run path for a prefix the
// dynamic linker does not search)
//     g++ -std=c++20 fpga_info.cpp $(pkg-config --cflags --libs libfpga)
//         -Wl,-rpath,$(pkg-config --variable=libdir libfpga)

#include <libfpga.hpp>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

using namespace tavrin_fpga;

namespace
{

void printChip(const char* name, Location location, std::size_t index)
{
    Firmware firmware{};
    getFirmwareInfo(location, index, firmware);
    if (!firmware.detected)
    {
        std::printf("%-8s not detected\n", name);
        return;
    }
    std::printf("%-8s chip id 0x%02x, interface %u, firmware %u.%u (\"%s\"), "
                "%zu blocks\n",
                name, firmware.chipId, firmware.ifaceVer,
                firmware.firmwareMajor, firmware.firmwareMinor,
                firmware.firmwareVerStr.c_str(),
                firmware.supportedBlocks.count());
}

void printResult(const char* what, int rc)
{
    std::printf("%-22s failed: %d (%s)\n", what, rc, std::strerror(-rc));
}

} // namespace

int main()
try
{
    std::printf("Chips\n");
    printChip("local", Location::local, 0);
    for (std::size_t index = 0; index < 4; ++index)
    {
        const std::string name = "remote" + std::to_string(index);
        printChip(name.c_str(), Location::remote, index);
    }

    std::printf("\nPlatform type %d\n", getPlatformType());
    Location location = Location::local;
    std::size_t index = 0;
    if (int rc = getHPMLocation(location, index); rc != 0)
    {
        std::printf("HPM location unknown: %s\n", std::strerror(rc));
    }
    else if (location == Location::remote)
    {
        std::printf("HPM blocks on remote%zu\n", index);
    }
    else
    {
        std::printf("HPM blocks on the local FPGA\n");
    }

    std::printf("\nRegisters\n");
    std::vector<char> power(16);
    if (int rc = rawHpmNormalAccess(Operation::read, Block::power, 0,
                                    power.size(), power);
        rc != 0)
    {
        printResult("power block", rc);
    }
    else
    {
        std::printf("power block           ");
        for (char byte : power)
        {
            std::printf(" %02x", static_cast<unsigned char>(byte));
        }
        std::printf("\n");
    }

    PowerOnSource on{};
    if (int rc = getPowerOnSource(on); rc != 0)
    {
        printResult("power-on source", rc);
    }
    else
    {
        std::printf("power-on source        %u\n", static_cast<unsigned>(on));
    }
    bool buttons = false;
    if (int rc = getFrontButtonsEnabled(buttons); rc != 0)
    {
        printResult("front buttons", rc);
    }
    else
    {
        std::printf("front buttons          %s\n",
                    buttons ? "enabled" : "disabled");
    }
    Interrupt interrupts{};
    if (int rc = getInterrupts(interrupts); rc != 0)
    {
        printResult("interrupts", rc);
    }
    else
    {
        std::printf("interrupts             0x%016llx 0x%016llx\n",
                    static_cast<unsigned long long>(interrupts.status0),
                    static_cast<unsigned long long>(interrupts.status1));
    }
    std::vector<Thermal> thermals;
    if (int rc = getThermals(thermals); rc != 0)
    {
        printResult("thermals", rc);
    }
    else
    {
        std::printf("thermal entries        %zu\n", thermals.size());
        for (const Thermal& t : thermals)
        {
            std::printf("                       %3u %3u %3u %3u %3u %3u\n",
                        t.value0, t.value1, t.value2, t.value3, t.value4,
                        t.value5);
        }
    }
    return 0;
}
catch (const std::exception& e)
{
    std::fprintf(stderr, "fpga-info: %s\n", e.what());
    return 1;
}
