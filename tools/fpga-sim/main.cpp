// SPDX-License-Identifier: Apache-2.0
// fpga-sim: run a command with the FPGA driver simulated from a board file.
//
//     fpga-sim [--board FILE] [--trace[=FILE]] [--journal[=FILE]]
//              [--control SOCKET]
//              -- COMMAND [ARGS...]
//     fpga-sim --check FILE
//     fpga-sim [--board FILE] --print-board
//     fpga-sim ctl SOCKET CHANGE...
//
// docs/fpga-sim.md is the manual, docs/board-format.md the board format.

#include "default_board.hpp"
#include "sandbox.hpp"
#include "sim/board_json.hpp"
#include "sim/change.hpp"
#include "sim/control_client.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string_view>

namespace
{

constexpr int exitUsage = 2;
constexpr int exitInvalidBoard = 1;
constexpr int exitRefused = 1;

constexpr const char* footer = R"(
Examples:
  fpga-sim -- fpgatool info          run fpgatool on the built-in board
  fpga-sim --board examples/boards/platform-6.json --trace -- fpgatool fans
                                     ... on another board, tracing transfers
  fpga-sim --journal=log.jsonl -- my-service
                                     ... catching its journal entries
  fpga-sim --check my-board.json     validate a board file
  fpga-sim --control /tmp/sim.sock -- my-service &
  fpga-sim ctl /tmp/sim.sock set chips.r0.detected 0
                                     remote 0 stops being detected

Changes (fpga-sim ctl SOCKET CHANGE...):
  set FIELD VALUE        a board-file field, VALUE as JSON (a bare word is
                         a string): set chips.r1.fwVersion '"3 12"'
  unset FIELD            as if the board file left FIELD out
  poke NODE ENTRY        write live registers: poke fpga-r1 8 14 40, or a
                         board-file register entry as JSON
  fault add NODE ERRNO [read|write|both] [block N]
  fault clear NODE

Exit status:
The command's own status (128+N when signal N ended it); 125 when the
simulation cannot be set up, 126 when the command cannot be executed, 127
when it is not found, 2 for a usage error. With --check: 0 when the board
file is valid, 1 when it is not. ctl: 0 when the change is applied, 1 when
it is refused, 125 when no fpga-sim answers at SOCKET.)";

/** CLI11's help, without its own usage line: the description has one. */
class Formatter : public CLI::Formatter
{
  public:
    std::string make_usage(const CLI::App* /*app*/,
                           std::string /*name*/) const override
    {
        return "";
    }

    /** "--trace[=FILE]": the value of an optional "=FILE" follows the
     *  name without a space. */
    std::string make_option_opts(const CLI::Option* opt) const override
    {
        const std::string& text = opt->get_option_text();
        return text.starts_with("[=") ? text
                                      : CLI::Formatter::make_option_opts(opt);
    }
};

/** CLI11's message for a usage error, each line with the program's name. */
int usageError(const CLI::App& app, const CLI::ParseError& e)
{
    std::ostringstream err;
    const int status = app.exit(e, std::cout, err);
    if (status == 0)
    {
        return 0;
    }
    std::istringstream lines(err.str());
    for (std::string line; std::getline(lines, line);)
    {
        std::cerr << "fpga-sim: " << line << "\n";
    }
    return exitUsage;
}

/** Where --trace or --journal write: FILE, or standard error without it.
 *  @return the descriptor, or -1 with errno set */
int openOutput(const std::string& file)
{
    return file.empty()
               ? ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)
               : ::open(file.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_APPEND,
                        0644);
}

/** fpga-sim ctl SOCKET CHANGE...: send one change to a running fpga-sim. */
int ctl(int argc, char** argv)
{
    if (argc < 4)
    {
        std::cerr << "fpga-sim: usage: fpga-sim ctl SOCKET CHANGE...\n"
                     "fpga-sim: run with --help for more information\n";
        return exitUsage;
    }
    std::string change;
    for (int i = 3; i < argc; ++i)
    {
        change += (i == 3 ? "" : " ") + std::string(argv[i]);
    }
    if (change.find('\n') != std::string::npos)
    {
        std::cerr << "fpga-sim: ctl: a change is one line\n";
        return exitUsage;
    }
    if (change.size() > fpga_sim::maxChangeLine)
    {
        // As fpga-sim would answer, without sending what it would not read.
        std::cerr << "fpga-sim: a change is at most " << fpga_sim::maxChangeLine
                  << " bytes long\n";
        return exitRefused;
    }
    try
    {
        const auto reply = fpga_sim::sendChange(argv[2], change);
        if (!reply.applied)
        {
            std::cerr << "fpga-sim: " << reply.message << "\n";
        }
        return reply.applied ? 0 : exitRefused;
    }
    catch (const fpga_sim::ControlError& e)
    {
        std::cerr << "fpga-sim: ctl: " << e.what() << "\n";
        return fpga_sim::exitSetupFailed;
    }
}

fpga_sim::Board boardFrom(const std::string& file)
{
    if (file.empty())
    {
        return fpga_sim::boardFromText(fpga_sim::defaultBoardJson);
    }
    return fpga_sim::loadBoardFile(file);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string_view(argv[1]) == "ctl")
    {
        return ctl(argc, argv);
    }
    CLI::App app{"Usage: fpga-sim [OPTIONS] -- COMMAND [ARGS...]\n"
                 "       fpga-sim ctl SOCKET CHANGE...\n\n"
                 "Run COMMAND with the FPGA driver simulated from a board "
                 "file, in a private mount namespace. The board's sysfs "
                 "attributes and the ten /dev/fpga-* nodes are served with "
                 "libfuse; nothing outside the namespace changes. With "
                 "--control, \"fpga-sim ctl\" changes the board while "
                 "COMMAND runs.",
                 "fpga-sim"};
    app.footer(footer);
    std::string boardFile;
    std::string traceFile;
    std::string journalFile;
    std::string checkFile;
    std::string controlPath;
    bool printBoard = false;
    std::vector<std::string> command;
    app.add_option("--board", boardFile,
                   "board file to serve (default: the built-in server "
                   "board)")
        ->check(CLI::ExistingFile)
        ->option_text("FILE");
    auto* trace = app.add_option("--trace", traceFile,
                                 "write one line per transfer to FILE, or to "
                                 "standard error without =FILE")
                      ->expected(0, 1)
                      ->option_text("[=FILE]");
    auto* journal =
        app.add_option("--journal", journalFile,
                       "catch the journal entries sent inside and write "
                       "them to FILE, one JSON object per line, or to "
                       "standard error without =FILE")
            ->expected(0, 1)
            ->option_text("[=FILE]");
    app.add_option("--control", controlPath,
                   "listen for changes (fpga-sim ctl) on a Unix socket made "
                   "at SOCKET, removed at exit")
        ->option_text("SOCKET");
    auto* check =
        app.add_option("--check", checkFile, "validate a board file and exit")
            ->option_text("FILE");
    app.add_flag("--print-board", printBoard,
                 "print the board (--board or the built-in "
                 "one) as JSON and exit");
    app.set_version_flag("--version", "fpga-sim " FPGA_SIM_VERSION,
                         "print the version and exit");
    app.formatter(std::make_shared<Formatter>());
    app.get_formatter()->column_width(24);
    // Everything after the first "--" is the command, taken verbatim: CLI11
    // would let an option with an optional value swallow the "--".
    int ownArgs = 1;
    while (ownArgs < argc && std::string_view(argv[ownArgs]) != "--")
    {
        ++ownArgs;
    }
    for (int i = ownArgs + 1; i < argc; ++i)
    {
        command.emplace_back(argv[i]);
    }
    try
    {
        app.parse(ownArgs, argv);
        if (!check->count() && !printBoard && command.empty())
        {
            throw CLI::ValidationError(
                "COMMAND", "a command to run is required (after --)");
        }
        // --check reads FILE alone: any other option would be ignored.
        for (const char* other :
             {"--board", "--trace", "--journal", "--print-board", "--control"})
        {
            if (check->count() && app.get_option(other)->count())
            {
                throw CLI::ValidationError("--check",
                                           std::string("takes no ") + other);
            }
        }
        if (printBoard && !controlPath.empty())
        {
            throw CLI::ValidationError("--print-board", "takes no --control");
        }
        if ((check->count() || printBoard) && !command.empty())
        {
            throw CLI::ValidationError(
                "COMMAND", "--check and --print-board run no command");
        }
    }
    catch (const CLI::ParseError& e)
    {
        return usageError(app, e);
    }

    if (check->count())
    {
        try
        {
            const fpga_sim::Board board = fpga_sim::loadBoardFile(checkFile);
            std::cout << checkFile << ": valid board";
            if (!board.description.empty())
            {
                std::cout << " (" << board.description << ")";
            }
            std::cout << "\n";
            return 0;
        }
        catch (const fpga_sim::BoardError& e)
        {
            std::cerr << checkFile << ": " << e.what() << "\n";
            return exitInvalidBoard;
        }
    }

    fpga_sim::Board board;
    try
    {
        board = boardFrom(boardFile);
    }
    catch (const fpga_sim::BoardError& e)
    {
        std::cerr << "fpga-sim: " << boardFile << ": " << e.what() << "\n";
        return fpga_sim::exitSetupFailed;
    }
    if (printBoard)
    {
        std::cout << fpga_sim::boardFileText(board);
        return 0;
    }

    // Both outputs are opened before anything runs, so a bad path fails
    // fast; they close when fpga-sim exits.
    struct Output
    {
        const CLI::Option* option;
        const std::string& file;
        const char* what;
        int fd = -1;
    };
    std::array<Output, 2> outputs = {
        {{trace, traceFile, "trace"}, {journal, journalFile, "journal"}}};
    for (Output& output : outputs)
    {
        if (output.option->count() == 0)
        {
            continue;
        }
        output.fd = openOutput(output.file);
        if (output.fd < 0)
        {
            std::cerr << "fpga-sim: cannot open " << output.what << " file "
                      << output.file << ": " << std::strerror(errno) << "\n";
            return fpga_sim::exitSetupFailed;
        }
    }

    try
    {
        const int status = fpga_sim::runOnBoard(
            board, outputs[0].fd, outputs[1].fd, controlPath, command);
        std::fflush(nullptr);
        // The FUSE loop thread may still serve a process the command left
        // behind; end without running destructors under it.
        ::_exit(status);
    }
    catch (const fpga_sim::SetupError& e)
    {
        std::cerr << "fpga-sim: " << e.what() << "\n";
        return fpga_sim::exitSetupFailed;
    }
}
