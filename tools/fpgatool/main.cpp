// SPDX-License-Identifier: Apache-2.0
// fpgatool: the command line of libfpga, for BMC engineers.
//
// This file is the argument parsing: one CLI11 subcommand per verb, whose
// options are checked here, before any library call. The verbs themselves
// (verbs.cpp) make the library calls; output.cpp prints what they found.

#include "output.hpp"
#include "verbs.hpp"

#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#ifndef FPGATOOL_VERSION
#define FPGATOOL_VERSION "unknown"
#endif

namespace
{

using namespace fpgatool;

constexpr std::uint64_t maxCount = 0x400;
constexpr std::uint64_t maxRepeat = 1000000;
constexpr double maxInterval = 3600;

/** Accepts a number from @p min to @p max (decimal, 0x hex or 0 octal, as
 *  i2c-tools do); the message gives the range as @p range. */
CLI::Validator inRange(std::uint64_t min, std::uint64_t max,
                       const std::string& range)
{
    return CLI::Validator(
        [=](std::string& input) -> std::string {
            char* end = nullptr;
            errno = 0;
            const std::uint64_t value = std::strtoull(input.c_str(), &end, 0);
            if (input.empty() || input[0] == '-' || *end != '\0' || errno != 0)
            {
                return "\"" + input + "\" is not a number";
            }
            if (value < min || value > max)
            {
                return input + " is out of range " + range;
            }
            return "";
        },
        range, "");
}

CLI::Validator secondsRange()
{
    return CLI::Validator(
        [](std::string& input) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(input.c_str(), &end);
            if (input.empty() || *end != '\0' || !(value >= 0) ||
                value > maxInterval)
            {
                return input + " is out of range 0-3600 seconds";
            }
            return "";
        },
        "0-3600", "seconds");
}

CLI::Validator chipName()
{
    return CLI::Validator(
        [](std::string& input) { return chipNameError(input); },
        "local|r0-r3|hpm", "chip");
}

/** Options shared by the verbs that address one register. */
struct AddressArgs
{
    std::string chip;
    std::size_t block = 0;
    std::size_t offset = 0;
    bool adi = false;
    std::size_t page = 0;
    std::size_t pageDataOffset = 0;

    Address address() const
    {
        Address address{block, offset, {}};
        if (adi)
        {
            address.adi = Address::Paged{page, pageDataOffset};
        }
        return address;
    }
};

void addAddressArgs(CLI::App* verb, AddressArgs& args)
{
    verb->add_option("chip", args.chip, "local, r0 to r3, or hpm")
        ->required()
        ->check(chipName());
    verb->add_option("block", args.block, "register block")
        ->required()
        ->check(inRange(0, maxBlock, "0-63"));
    verb->add_option("offset", args.offset, "register offset in the block")
        ->required()
        ->check(inRange(0, maxOffset, "0-15"));
    auto* adi = verb->add_flag("-a,--adi", args.adi, "ADI (paged) mode");
    verb->add_option("--page", args.page, "ADI page (default 0)")
        ->check(inRange(0, maxPage, "0-0xFFFF"))
        ->needs(adi);
    verb->add_option("--page-offset", args.pageDataOffset,
                     "ADI page data offset (default 0)")
        ->check(inRange(0, maxPageDataOffset, "0-15"))
        ->needs(adi);
}

void addJson(CLI::App* verb, OutputOptions& output)
{
    verb->add_flag("-j,--json", output.json,
                   "print one JSON document instead of text");
}

void addRepeat(CLI::App* verb, OutputOptions& output)
{
    verb->add_option("-r,--repeat", output.repeat, "read N times (default 1)")
        ->check(inRange(1, maxRepeat, "1-1000000"));
    verb->add_option("-i,--interval", output.interval,
                     "seconds between two reads (default 1)")
        ->check(secondsRange());
}

/** Asks on the terminal unless -y was given; without a terminal, -y is
 *  required. */
Confirm confirmation(const bool& yes)
{
    return [&yes](const std::string& question) {
        if (yes)
        {
            return true;
        }
        if (::isatty(STDIN_FILENO) == 0)
        {
            throw UsageError("standard input is not a terminal: add -y to "
                             "change the hardware without being asked");
        }
        std::cerr << question << " [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
    };
}

std::string examples(const std::vector<std::string>& lines)
{
    std::string text = "Examples:";
    for (const std::string& line : lines)
    {
        text += "\n  " + line;
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"fpgatool: read, write and decode the registers of the "
                 "server's FPGAs through libfpga.",
                 "fpgatool"};
    app.set_version_flag("--version", "fpgatool " FPGATOOL_VERSION);
    app.require_subcommand(1);
    app.footer(examples({"fpgatool info", "fpgatool dump hpm",
                         "fpgatool read r1 4 10 3 --json",
                         "fpgatool write -y local 4 10 0x03 --verify",
                         "fpgatool interrupts --repeat 10 --interval 0.5"}) +
               "\n\nExit status: 0 success, 1 a library call or check "
               "failed, 2 usage error.\nRun 'fpgatool VERB --help' for the "
               "options of a verb.");

    OutputOptions output;
    AddressArgs target;
    std::size_t count = 1;
    std::vector<std::string> values;
    std::uint8_t mask = 0;
    bool verify = false;
    bool dryRun = false;
    bool yes = false;
    std::string chip;
    std::string state;
    const Confirm confirm = confirmation(yes);
    std::function<int()> action;

    auto* list = app.add_subcommand(
        "list", "every chip: detected, chip id, interface version, firmware, "
                "supported blocks");
    addJson(list, output);
    list->footer(examples({"fpgatool list", "fpgatool list --json"}));
    list->callback([&] {
        action = [&] { return present("list", listChips, output); };
    });

    auto* info = app.add_subcommand(
        "info", "platform type, HPM FPGA and the firmware of every chip");
    addJson(info, output);
    info->footer(examples({"fpgatool info", "fpgatool info --json"}));
    info->callback([&] {
        action = [&] { return present("info", showInfo, output); };
    });

    auto* read = app.add_subcommand(
        "read", "read bytes from registers (normal or ADI mode)");
    addAddressArgs(read, target);
    read->add_option("count", count, "number of bytes (default 1)")
        ->check(inRange(1, maxCount, "1-1024"));
    addJson(read, output);
    addRepeat(read, output);
    read->footer(examples({
        "fpgatool read local 4 10          one byte: block 4, offset 10",
        "fpgatool read hpm 6 0 16          16 bytes of block 6 on the HPM FPGA",
        "fpgatool read r1 8 14 4 --adi --page 0 --page-offset 0",
        "fpgatool read local 4 11 --repeat 20 --interval 0.5",
    }));
    read->callback([&] {
        action = [&] {
            return present(
                "read",
                [&] {
                    return readRegisters(parseChip(target.chip),
                                         target.address(), count);
                },
                output);
        };
    });

    auto* write = app.add_subcommand(
        "write", "write bytes to registers (normal or ADI mode)");
    addAddressArgs(write, target);
    write
        ->add_option("bytes", values, "byte values, written from the offset on")
        ->required()
        ->check(inRange(0, 0xFF, "0-0xFF"));
    write
        ->add_option("-m,--mask", mask,
                     "change only these bits of each byte (read-modify-write)")
        ->check(inRange(0, 0xFF, "0-0xFF"));
    write->add_flag("--verify", verify, "read the bytes back and compare");
    write->add_flag("-n,--dry-run", dryRun,
                    "show the node, position and bytes; write nothing");
    write->add_flag("-y,--yes", yes, "do not ask for confirmation");
    addJson(write, output);
    write->footer(examples({
        "fpgatool write local 4 10 0x03             asks first on a terminal",
        "fpgatool write -y r1 4 10 0x02 --mask 0x02 set bit 1 only",
        "fpgatool write -y hpm 4 10 0x03 0xa7 --verify",
        "fpgatool write --dry-run r2 8 14 0x01 --adi --page 0x12",
    }));
    write->callback([&] {
        action = [&] {
            WriteRequest request{
                parseChip(target.chip), target.address(), {},
                std::nullopt,           verify,           dryRun};
            for (const std::string& value : values)
            {
                request.values.push_back(static_cast<std::uint8_t>(
                    std::strtoul(value.c_str(), nullptr, 0)));
            }
            if (write->count("--mask") > 0)
            {
                request.mask = mask;
            }
            return present(
                "write", [&] { return writeRegisters(request, confirm); },
                output);
        };
    });

    auto* dump = app.add_subcommand(
        "dump", "the enabled blocks of a chip as a hex table, a block a row");
    dump->add_option("chip", chip, "local, r0 to r3, or hpm")
        ->required()
        ->check(chipName());
    addJson(dump, output);
    dump->add_option("-o,--output", output.file,
                     "write the table to FILE instead of stdout");
    dump->footer(examples({"fpgatool dump local",
                           "fpgatool dump hpm -o /tmp/hpm-registers.txt"}));
    dump->callback([&] {
        action = [&] {
            return present(
                "dump", [&] { return dumpChip(parseChip(chip)); }, output);
        };
    });

    auto* power = app.add_subcommand(
        "power", "power-on, power-off and reset sources, front buttons");
    addJson(power, output);
    addRepeat(power, output);
    power->footer(examples({"fpgatool power", "fpgatool power --json"}));
    power->callback([&] {
        action = [&] { return present("power", showPower, output); };
    });

    auto* buttons = app.add_subcommand(
        "buttons", "show, enable (on) or disable (off) the front buttons");
    buttons->add_option("state", state, "on or off; none: show the state")
        ->check(CLI::IsMember({"on", "off"}));
    buttons->add_flag("-n,--dry-run", dryRun,
                      "show the register change; write nothing");
    buttons->add_flag("-y,--yes", yes, "do not ask for confirmation");
    addJson(buttons, output);
    addRepeat(buttons, output);
    buttons->footer(examples({"fpgatool buttons", "fpgatool buttons -y off",
                              "fpgatool buttons on --dry-run"}));
    buttons->callback([&] {
        action = [&] {
            if (state.empty())
            {
                return present("buttons", showButtons, output);
            }
            if (output.repeat > 1)
            {
                throw UsageError("buttons: --repeat only applies to showing "
                                 "the state");
            }
            return present(
                "buttons",
                [&] { return setButtons(state == "on", dryRun, confirm); },
                output);
        };
    });

    auto* interrupts = app.add_subcommand(
        "interrupts", "the two interrupt masks and their set bits");
    addJson(interrupts, output);
    addRepeat(interrupts, output);
    interrupts->footer(
        examples({"fpgatool interrupts", "fpgatool interrupts --repeat 5"}));
    interrupts->callback([&] {
        action = [&] { return present("interrupts", showInterrupts, output); };
    });

    auto* thermals = app.add_subcommand("thermals", "the thermal entries");
    addJson(thermals, output);
    addRepeat(thermals, output);
    thermals->footer(
        examples({"fpgatool thermals", "fpgatool thermals --json"}));
    thermals->callback([&] {
        action = [&] { return present("thermals", showThermals, output); };
    });

    auto* fans = app.add_subcommand(
        "fans", "fan layout and fan types (platform types 4 to 6)");
    addJson(fans, output);
    addRepeat(fans, output);
    fans->footer(examples({"fpgatool fans", "fpgatool fans --json"}));
    fans->callback([&] {
        action = [&] { return present("fans", showFans, output); };
    });

    auto* presence = app.add_subcommand(
        "presence", "device-presence bits (platform types 0 and 1)");
    addJson(presence, output);
    addRepeat(presence, output);
    presence->footer(
        examples({"fpgatool presence", "fpgatool presence --json"}));
    presence->callback([&] {
        action = [&] { return present("presence", showPresence, output); };
    });

    auto* reset = app.add_subcommand(
        "reset", "reset the FPGA (the driver's reset attribute)");
    reset->add_flag("-n,--dry-run", dryRun,
                    "show the attribute that would be written; reset nothing");
    reset->add_flag("-y,--yes", yes, "do not ask for confirmation");
    reset->footer(examples({"fpgatool reset", "fpgatool reset -y"}));
    reset->callback([&] {
        action = [&] {
            return present(
                "reset", [&] { return resetFpga(dryRun, confirm); }, output);
        };
    });

    try
    {
        app.parse(argc, argv);
        return action();
    }
    catch (const CLI::ParseError& error)
    {
        if (error.get_exit_code() == 0)
        {
            return app.exit(error); // --help, --version
        }
        const auto verbs = app.get_subcommands();
        if (verbs.empty() && (argc < 2 || argv[1][0] != '-'))
        {
            printError(
                (argc < 2 ? std::string("a verb is required")
                          : "unknown verb \"" + std::string(argv[1]) + "\"") +
                "; see fpgatool --help");
            return exitUsage;
        }
        const std::string verb = verbs.empty() ? "" : verbs[0]->get_name();
        printError((verb.empty() ? "" : verb + ": ") + error.what() +
                   "; see fpgatool " + (verb.empty() ? "" : verb + " ") +
                   "--help");
        return exitUsage;
    }
    catch (const UsageError& error)
    {
        printError(error.what());
        return exitUsage;
    }
    catch (const std::exception& error)
    {
        printError(error.what());
        return exitFailure;
    }
}
