// SPDX-License-Identifier: Apache-2.0
// fpgatool: the command line of libfpga, for BMC engineers.
//
// The verbs are one table: name, group, help with examples, the options
// they offer and the function that does the work. main builds the command
// line from it; the options are checked before any library call.

#include "fpgatool.hpp"
#include "options.hpp"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#ifndef FPGATOOL_VERSION
#define FPGATOOL_VERSION "unknown"
#endif

namespace
{

using namespace fpgatool;

// The groups of verbs in --help. The first example of each reading verb
// is its plain use: the tests run each of them.
constexpr std::string_view reading = "Reading the hardware";
constexpr std::string_view changing = "Changing the hardware";
constexpr std::string_view more = "Watching, naming, taking a snapshot";

struct Verb
{
    std::string_view name;
    std::string_view group;
    std::string_view help;
    std::vector<std::string> examples;
    std::vector<AddOptions> options;
    /** Reads or changes the hardware and reports; present() prints. */
    Report (*action)(const Args& args);
    /** Or prints as it goes and returns the exit status. */
    int (*stream)(const Args& args) = nullptr;
    /** The grammar of the words after CHIP, for read, watch and write. */
    std::optional<Tail> tail = std::nullopt;
    bool needsDriver = true;
};

/** The verbs, in the order of --help; a verb for each decoded view follows
 *  them (allVerbs()). */
const std::vector<Verb> verbTable = {
    {"list",
     reading,
     "every chip: detected, chip id, interface version, firmware, "
     "supported blocks",
     {"fpgatool list", "fpgatool list --json"},
     {jsonOption},
     listChips},
    {"info",
     reading,
     "platform type, HPM FPGA and the firmware of every chip",
     {"fpgatool info", "fpgatool info --json"},
     {jsonOption},
     showInfo},
    {"read",
     reading,
     "read bytes from registers (normal or ADI mode)",
     {"fpgatool read hpm 4 10 5             5 bytes from block 4 offset 10 on",
      "fpgatool read hpm power.on-source    the same as read hpm 4 11",
      "fpgatool read r1 8 14 16 --adi --page 0 --page-offset 0",
      "fpgatool read hpm power.on-source --repeat 20 --interval 0.5"},
     {jsonOption, repeatOptions},
     readRegisters,
     nullptr,
     Tail::count},
    {"dump",
     reading,
     "the enabled blocks of a chip as a hex table, a block a row",
     {"fpgatool dump r0", "fpgatool dump hpm -o /tmp/hpm-registers.txt"},
     {chipOption, jsonOption, outputOption},
     dumpChip},
    {"buttons",
     reading,
     "show, enable (on) or disable (off) the front buttons",
     {"fpgatool buttons", "fpgatool buttons -y off",
      "fpgatool buttons on --dry-run"},
     {stateOption, changeOptions, jsonOption, repeatOptions},
     buttons},
    {"write",
     changing,
     "write bytes to registers (normal or ADI mode)",
     {"fpgatool write local 0 10 0x03             asks first on a terminal",
      "fpgatool write -y r1 4 10 0x02 --mask 0x02 set bit 1 only",
      "fpgatool write -y hpm power.front-buttons 0x03 --verify",
      "fpgatool write --dry-run r1 8 14 0x01 --adi --page 0x12"},
     {writeOptions, changeOptions, jsonOption},
     writeRegisters,
     nullptr,
     Tail::bytes},
    {"reset",
     changing,
     "reset the FPGA (the driver's reset attribute)",
     {"fpgatool reset -y", "fpgatool reset --dry-run"},
     {changeOptions},
     resetFpga},
    {"watch",
     more,
     "read registers every interval and print each change, timestamped",
     {"fpgatool watch hpm power.on-source",
      "fpgatool watch hpm power.front-buttons --until 0x02 --timeout 30 -i 0.1",
      "fpgatool watch r1 8 0 16 --json"},
     {intervalOption, watchOptions, jsonOption},
     nullptr,
     watchRegisters,
     Tail::count},
    {"registers",
     more,
     "the registers the library decodes, by name; a name stands for "
     "BLOCK OFFSET in read, watch and write",
     {"fpgatool registers", "fpgatool read hpm thermal.header"},
     {jsonOption},
     listRegisters,
     nullptr,
     std::nullopt,
     false},
    {"snapshot",
     more,
     "a board file of what the library sees (attributes, the registers "
     "of the enabled blocks, the thermal records), for fpga-sim --board",
     {"fpgatool snapshot -o /tmp/board.json",
      "fpgatool snapshot > board.json    also when a read fails"},
     {outputOption},
     takeSnapshot},
};

std::vector<Verb> allVerbs()
{
    std::vector<Verb> verbs = verbTable;
    for (const View& view : views())
    {
        verbs.push_back(
            {view.name,
             reading,
             view.help,
             {"fpgatool " + std::string(view.name), std::string(view.example)},
             {jsonOption, repeatOptions},
             view.show});
    }
    return verbs;
}

std::string examples(const std::vector<std::string>& lines)
{
    return "Examples:" + joined(lines, "", [](const std::string& line) {
               return "\n  " + line;
           });
}

/** The message of a command line that does not parse. */
std::string usageMessage(const CLI::App& app, const CLI::ParseError& error,
                         int argc, char** argv)
{
    const auto chosen = app.get_subcommands();
    if (chosen.empty())
    {
        const std::string first = argc < 2 ? "" : argv[1];
        return (argc < 2 ? std::string("a verb is required")
                : first.starts_with('-')
                    ? "a verb is required first, before \"" + first + "\""
                    : "unknown verb \"" + first + "\"") +
               "; see fpgatool --help";
    }
    std::string what = error.what();
    const std::string override = " was given a disallowed flag override";
    const std::string twice = ": At Most 1 required but received ";
    if (what.ends_with(override))
    {
        what = "--" + what.substr(0, what.size() - override.size()) +
               " takes no value";
    }
    if (what.find(twice) != std::string::npos)
    {
        what = what.substr(0, what.find(twice)) + ": given more than once";
    }
    // Words the verb does not take, in the order given; a register name
    // among them says where names go.
    const std::vector<std::string> extra =
        chosen.empty() || chosen[0]->remaining().empty()
            ? app.remaining()
            : chosen[0]->remaining();
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr &&
        !extra.empty())
    {
        what = "not expected: " + joined(extra, " ", [](const std::string& w) {
                   return "\"" + w + "\"";
               });
    }
    for (const std::string& word : extra)
    {
        const std::string name = registerNameError(word);
        what = name.empty() ? what : name;
    }
    const std::string verb = chosen.empty() ? "" : chosen[0]->get_name() + " ";
    return (verb.empty() ? "" : chosen[0]->get_name() + ": ") + what +
           "; see fpgatool " + verb + "--help";
}

/** Runs the verb the command line names. */
int run(const Verb& verb, Args& args)
{
    if (verb.tail)
    {
        readRegisterWords(std::string(verb.name), *verb.tail, args);
    }
    if (verb.stream != nullptr)
    {
        return verb.stream(args);
    }
    return present(
        std::string(verb.name),
        [&] {
            if (verb.needsDriver)
            {
                requireDriver();
            }
            return verb.action(args);
        },
        args);
}

/** The command line of every verb: its options, help and examples; the
 *  verb given is @p chosen once the command line is parsed. */
void addVerbs(CLI::App& app, const std::vector<Verb>& verbs, Args& args,
              const Verb*& chosen)
{
    app.set_version_flag("--version", "fpgatool " FPGATOOL_VERSION);
    app.require_subcommand(1);
    app.footer(examples({"fpgatool info", "fpgatool dump hpm",
                         "fpgatool read r1 4 10 3 --json",
                         "fpgatool write -y local 0 10 0x03 --verify",
                         "fpgatool interrupts --repeat 10 --interval 0.5"}) +
               "\n\nExit status: 0 success, 1 a library call or check "
               "failed, 2 usage error.\nRun 'fpgatool VERB --help' for the "
               "options of a verb.");
    for (const Verb& verb : verbs)
    {
        CLI::App* command =
            app.add_subcommand(std::string(verb.name), std::string(verb.help));
        command->group(std::string(verb.group));
        command->footer(examples(verb.examples));
        if (verb.tail)
        {
            registerOptions(*command, args, *verb.tail);
        }
        for (const AddOptions add : verb.options)
        {
            add(*command, args);
        }
        // "--dry-run=no" must not be a write.
        for (CLI::Option* option : command->get_options())
        {
            option->disable_flag_override(option->get_expected_max() == 0);
        }
        command->callback([&chosen, &verb] { chosen = &verb; });
    }
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"fpgatool: read, write and decode the registers of the "
                 "server's FPGAs through libfpga.",
                 "fpgatool"};
    Args args;
    const std::vector<Verb> verbs = allVerbs();
    const Verb* chosen = nullptr;
    addVerbs(app, verbs, args, chosen);
    if (argc >= 2 && std::string_view(argv[1]) == "__complete")
    {
        const std::vector<std::string> line(argv + 2, argv + argc);
        printCompletions(app,
                         line.empty() ? std::vector<std::string>{""} : line);
        return exitOk;
    }
    try
    {
        app.parse(argc, argv);
        return run(*chosen, args);
    }
    catch (const CLI::ParseError& error)
    {
        if (error.get_exit_code() == 0)
        {
            app.exit(error); // --help, --version
            std::cout.flush();
            if (!std::cout)
            {
                printError(std::string("cannot write the output: ") +
                           std::strerror(errno));
                return exitFailure;
            }
            return exitOk;
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
