// SPDX-License-Identifier: Apache-2.0
// fpgatool: the command line of libfpga, for BMC engineers.
//
// The verbs are one table: name, help with examples, the options they
// offer and the function that does the work (verbs.cpp). main builds the
// command line from it; the options are checked here, before any library
// call.

#include "base/device_layout.hpp"
#include "fpgatool.hpp"

#include <CLI/CLI.hpp>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#ifndef FPGATOOL_VERSION
#define FPGATOOL_VERSION "unknown"
#endif

namespace
{

using namespace fpgatool;
namespace layout = tavrin_fpga::layout;

constexpr std::uint64_t maxCount = 1024;
constexpr std::uint64_t maxByte = 0xFF;
constexpr std::uint64_t maxRepeat = 1000000;
constexpr double maxInterval = 3600;

/** Accepts a number from @p min to @p max (decimal, 0x hex or 0 octal, as
 *  i2c-tools do); the message gives the range, @p max in hex if asked. */
CLI::Validator inRange(std::uint64_t min, std::uint64_t max,
                       bool hexMax = false)
{
    char maxText[24];
    std::snprintf(maxText, sizeof(maxText), hexMax ? "0x%llX" : "%llu",
                  static_cast<unsigned long long>(max));
    const std::string range = std::to_string(min) + "-" + maxText;
    return CLI::Validator(
        [=](std::string& input) -> std::string {
            char* end = nullptr;
            errno = 0;
            const std::uint64_t value = std::strtoull(input.c_str(), &end, 0);
            if (input.empty() || input[0] == '-' || *end != '\0' || errno != 0)
            {
                return "\"" + input + "\" is not a number";
            }
            return value < min || value > max
                       ? input + " is out of range " + range
                       : "";
        },
        range, "");
}

CLI::Validator secondsRange()
{
    return CLI::Validator(
        [](std::string& input) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(input.c_str(), &end);
            const bool valid = !input.empty() && *end == '\0' && value >= 0 &&
                               value <= maxInterval;
            return valid ? "" : input + " is out of range 0-3600 seconds";
        },
        "0-3600", "seconds");
}

// The options a verb can offer, in groups that verbs share.
using AddOptions = void (*)(CLI::App& verb, Args& args);

void chipOption(CLI::App& verb, Args& args)
{
    verb.add_option("chip", args.chip, chipNames(", "))
        ->required()
        ->check(CLI::Validator(
            [](std::string& input) { return chipNameError(input); },
            chipNames("|"), "chip"));
}

void registerOptions(CLI::App& verb, Args& args)
{
    Address& address = args.address;
    verb.add_option("block", address.block, "register block")
        ->required()
        ->check(inRange(0, layout::maxBlock));
    verb.add_option("offset", address.offset, "register offset in the block")
        ->required()
        ->check(inRange(0, layout::maxOffset));
    auto* adi = verb.add_flag("-a,--adi", address.adi, "ADI (paged) mode");
    verb.add_option("--page", address.page,
                    "ADI page (default 0; 0-0xFFF on a remote FPGA)")
        ->check(inRange(0, layout::maxPage, true))
        ->needs(adi);
    verb.add_option("--page-offset", address.pageDataOffset,
                    "ADI page data offset (default 0)")
        ->check(inRange(0, layout::maxPageDataOffset))
        ->needs(adi);
    verb.add_flag("--cross-blocks", args.crossBlocks,
                  "let the bytes run on past the block into the next ones "
                  "(each must be enabled)");
}

void countOption(CLI::App& verb, Args& args)
{
    verb.add_option("count", args.count, "number of bytes (default 1)")
        ->check(inRange(1, maxCount));
}

void writeOptions(CLI::App& verb, Args& args)
{
    verb.add_option("bytes", args.bytes,
                    "byte values, written from the offset on")
        ->required()
        ->check(inRange(0, maxByte, true));
    verb.add_option("-m,--mask", args.mask,
                    "change only these bits of each byte (read-modify-write)")
        ->check(inRange(0, maxByte, true));
    verb.add_flag("--verify", args.verify, "read the bytes back and compare");
}

void stateOption(CLI::App& verb, Args& args)
{
    verb.add_option("state", args.state, "on or off; none: show the state")
        ->check(CLI::IsMember({"on", "off"}));
}

void outputOption(CLI::App& verb, Args& args)
{
    verb.add_option("-o,--output", args.file,
                    "write the table to FILE instead of stdout");
}

void snapshotOptions(CLI::App& verb, Args& args)
{
    verb.add_option("-o,--output", args.file,
                    "write the board file to FILE instead of stdout");
}

void jsonOption(CLI::App& verb, Args& args)
{
    verb.add_flag("-j,--json", args.json,
                  "print one JSON document instead of text");
}

void intervalOption(CLI::App& verb, Args& args)
{
    verb.add_option("-i,--interval", args.interval,
                    "seconds between two reads (default 1)")
        ->check(secondsRange());
}

void repeatOptions(CLI::App& verb, Args& args)
{
    verb.add_option("-r,--repeat", args.repeat, "read N times (default 1)")
        ->check(inRange(1, maxRepeat));
    intervalOption(verb, args);
}

void watchOptions(CLI::App& verb, Args& args)
{
    verb.add_option("--until", args.until,
                    "stop when the bytes read are these (one per byte read)")
        ->check(inRange(0, maxByte, true))
        ->delimiter(',');
    verb.add_option("--timeout", args.timeout,
                    "stop after this many seconds; with --until a failure")
        ->check(secondsRange());
}

void changeOptions(CLI::App& verb, Args& args)
{
    verb.add_flag("-n,--dry-run", args.dryRun,
                  "print the library call that would change the hardware; "
                  "change nothing");
    verb.add_flag("-y,--yes", args.yes, "do not ask for confirmation");
}

struct Verb
{
    std::string_view name;
    std::string_view help;
    std::vector<std::string_view> examples;
    std::vector<AddOptions> options;
    /** Reads or changes the hardware and reports; present() prints. */
    Report (*action)(const Args& args);
    /** Or prints as it goes and returns the exit status. */
    int (*stream)(const Args& args) = nullptr;
    bool needsDriver = true;
};

const std::array<Verb, 10> verbs = {{
    {"list",
     "every chip: detected, chip id, interface version, firmware, supported "
     "blocks",
     {"fpgatool list --json"},
     {jsonOption},
     listChips},
    {"info",
     "platform type, HPM FPGA and the firmware of every chip",
     {"fpgatool info --json"},
     {jsonOption},
     showInfo},
    {"read",
     "read bytes from registers (normal or ADI mode)",
     {"fpgatool read local 4 10          one byte: block 4, offset 10",
      "fpgatool read hpm 6 0 16          16 bytes of block 6 on the HPM FPGA",
      "fpgatool read r1 8 14 4 --adi --page 0 --page-offset 0",
      "fpgatool read local 4 11 --repeat 20 --interval 0.5"},
     {chipOption, registerOptions, countOption, jsonOption, repeatOptions},
     readRegisters},
    {"watch",
     "read registers every interval and print each change, timestamped",
     {"fpgatool watch hpm power.on-source",
      "fpgatool watch local 4 10 --until 0x03 --timeout 30 -i 0.1",
      "fpgatool watch r1 8 0 16 --json"},
     {chipOption, registerOptions, countOption, intervalOption, watchOptions,
      jsonOption},
     nullptr,
     watchRegisters},
    {"write",
     "write bytes to registers (normal or ADI mode)",
     {"fpgatool write local 4 10 0x03             asks first on a terminal",
      "fpgatool write -y r1 4 10 0x02 --mask 0x02 set bit 1 only",
      "fpgatool write -y hpm 4 10 0x03 0xa7 --verify",
      "fpgatool write --dry-run r2 8 14 0x01 --adi --page 0x12"},
     {chipOption, registerOptions, writeOptions, changeOptions, jsonOption},
     writeRegisters},
    {"dump",
     "the enabled blocks of a chip as a hex table, a block a row",
     {"fpgatool dump local", "fpgatool dump hpm -o /tmp/hpm-registers.txt"},
     {chipOption, jsonOption, outputOption},
     dumpChip},
    {"buttons",
     "show, enable (on) or disable (off) the front buttons",
     {"fpgatool buttons", "fpgatool buttons -y off",
      "fpgatool buttons on --dry-run"},
     {stateOption, changeOptions, jsonOption, repeatOptions},
     buttons},
    {"reset",
     "reset the FPGA (the driver's reset attribute)",
     {"fpgatool reset -y", "fpgatool reset --dry-run"},
     {changeOptions},
     resetFpga},
    {"registers",
     "the registers the library decodes, by name; a name stands for block "
     "and offset in read, write and watch",
     {"fpgatool registers", "fpgatool read hpm power.on-source",
      "fpgatool read hpm thermal.header"},
     {jsonOption},
     listRegisters,
     nullptr,
     false},
    {"snapshot",
     "a board file of what the library sees (attributes, the registers of "
     "the enabled blocks, the thermal records), for fpga-sim --board",
     {"fpgatool snapshot -o /tmp/board.json",
      "fpgatool snapshot > board.json    kept also when a read fails"},
     {snapshotOptions},
     takeSnapshot},
}};

/** The verbs that take a register address. */
constexpr std::array<std::string_view, 3> addressVerbs = {
    "read", "write", "watch"};

/**
 * The command line with register names ("power.on-source") replaced by
 * their block and offset, "--adi" added for an ADI register, and the count
 * defaulting to the register's length.
 */
std::vector<std::string> withRegisterNames(int argc, char** argv, Args& args)
{
    std::vector<std::string> words(argv, argv + argc);
    if (argc < 2 ||
        std::ranges::find(addressVerbs, words[1]) == addressVerbs.end())
    {
        return words;
    }
    std::vector<std::string> expanded(words.begin(), words.begin() + 2);
    for (auto word = words.begin() + 2; word != words.end(); ++word)
    {
        const auto named = layout::registerNamed(*word);
        if (!named || *word == "--")
        {
            expanded.push_back(*word);
            continue;
        }
        expanded.push_back(std::to_string(named->block));
        expanded.push_back(std::to_string(named->offset));
        args.count = named->length;
        if (named->mode == layout::Mode::adi)
        {
            expanded.push_back("--adi");
        }
    }
    return expanded;
}

std::string examples(const std::vector<std::string_view>& lines)
{
    std::string text = "Examples:";
    for (const std::string_view line : lines)
    {
        text += "\n  " + std::string(line);
    }
    return text;
}

/** The message of a command line that does not parse. */
std::string usageMessage(const CLI::App& app, const CLI::ParseError& error,
                         int argc, char** argv)
{
    const auto chosen = app.get_subcommands();
    if (chosen.empty() && (argc < 2 || argv[1][0] != '-'))
    {
        return (argc < 2 ? std::string("a verb is required")
                         : "unknown verb \"" + std::string(argv[1]) + "\"") +
               "; see fpgatool --help";
    }
    const std::string verb = chosen.empty() ? "" : chosen[0]->get_name() + " ";
    return (verb.empty() ? "" : chosen[0]->get_name() + ": ") + error.what() +
           "; see fpgatool " + verb + "--help";
}

/**
 * For bash completion: print the words that may stand in the last of
 * @p words (the command line after "fpgatool", the last word the one being
 * completed), one a line; "<files>" for a file name. Taken from the verbs
 * as they are set up, so a new verb or option completes with no more work.
 */
void printCompletions(const CLI::App& app,
                      const std::vector<std::string>& words)
{
    const auto verbAt = std::ranges::find_if(
        words.begin(), words.end() - 1,
        [](const std::string& word) { return !word.starts_with('-'); });
    const CLI::App* verb = nullptr;
    for (const CLI::App* sub : app.get_subcommands({}))
    {
        verb = verbAt != words.end() - 1 && sub->get_name() == *verbAt
                   ? sub
                   : verb;
    }
    std::vector<std::string> candidates;
    if (verb == nullptr)
    {
        for (const CLI::App* sub : app.get_subcommands({}))
        {
            candidates.push_back(sub->get_name());
        }
        candidates.insert(candidates.end(), {"--help", "--version"});
    }
    else
    {
        // Which positional the last word is: the words before it, less
        // options and the values of those that take one.
        std::size_t positional = 0;
        const CLI::Option* valued = nullptr;
        for (auto word = verbAt + 1; word != words.end() - 1; ++word)
        {
            if (valued != nullptr)
            {
                valued = nullptr;
            }
            else if (word->starts_with('-'))
            {
                valued = verb->get_option_no_throw(*word);
                valued = valued != nullptr && valued->get_expected_max() > 0
                             ? valued
                             : nullptr;
            }
            else
            {
                ++positional;
            }
        }
        std::vector<const CLI::Option*> positionals;
        for (const CLI::Option* option : verb->get_options())
        {
            if (valued == nullptr && words.back().starts_with('-') &&
                !option->get_lnames().empty())
            {
                candidates.push_back("--" + option->get_lnames().front());
            }
            if (!option->nonpositional())
            {
                positionals.push_back(option);
            }
        }
        const std::string name =
            valued != nullptr ? valued->get_name()
            : words.back().starts_with('-') || positional >= positionals.size()
                ? ""
                : positionals[positional]->get_name();
        if (name == "--output")
        {
            candidates = {"<files>"};
        }
        else if (name == "chip")
        {
            candidates = chipNameList();
        }
        else if (name == "block")
        {
            for (const layout::Register& reg : layout::registers)
            {
                candidates.emplace_back(reg.name);
            }
        }
        else if (name == "state")
        {
            candidates = {"on", "off"};
        }
    }
    for (const std::string& candidate : candidates)
    {
        std::printf("%s\n", candidate.c_str());
    }
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

    Args args;
    std::vector<std::string> words = withRegisterNames(argc, argv, args);
    std::vector<char*> wordPointers;
    for (std::string& word : words)
    {
        wordPointers.push_back(word.data());
    }
    argc = static_cast<int>(wordPointers.size());
    argv = wordPointers.data();
    // The verbs of the table, then a verb for each decoded view.
    std::vector<Verb> all(verbs.begin(), verbs.end());
    for (const View& view : views())
    {
        all.push_back({view.name,
                       view.help,
                       {view.example},
                       {jsonOption, repeatOptions},
                       view.show});
    }
    const Verb* chosen = nullptr;
    for (const Verb& verb : all)
    {
        CLI::App* command =
            app.add_subcommand(std::string(verb.name), std::string(verb.help));
        command->footer(examples(verb.examples));
        for (const AddOptions add : verb.options)
        {
            add(*command, args);
        }
        command->callback([&chosen, &verb] { chosen = &verb; });
    }

    if (argc >= 2 && std::string_view(argv[1]) == "__complete")
    {
        const std::vector<std::string> line(argv + 2, argv + argc);
        printCompletions(app,
                         line.empty() ? std::vector<std::string>{""} : line);
        return 0;
    }
    try
    {
        app.parse(argc, argv);
        if (chosen->stream != nullptr)
        {
            return chosen->stream(args);
        }
        return present(
            std::string(chosen->name),
            [&] {
                if (chosen->needsDriver)
                {
                    requireDriver();
                }
                return chosen->action(args);
            },
            args);
    }
    catch (const CLI::ParseError& error)
    {
        if (error.get_exit_code() == 0)
        {
            return app.exit(error); // --help, --version
        }
        printError(usageMessage(app, error, argc, argv));
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
