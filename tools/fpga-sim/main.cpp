// SPDX-License-Identifier: Apache-2.0
// fpga-sim: run a command with the FPGA driver simulated from a board file
// (usage below); docs/fpga-sim.md is the manual, docs/board-format.md the
// board format.

#include "default_board.hpp"
#include "output.hpp"
#include "sandbox.hpp"
#include "sim/board_json.hpp"
#include "sim/canonical.hpp"
#include "sim/change.hpp"
#include "sim/control_client.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string_view>

namespace
{

constexpr int exitUsage = 2;
constexpr int exitInvalidBoard = 1;
constexpr int exitRefused = 1;

constexpr const char* usage =
    "Usage: fpga-sim [OPTIONS] -- COMMAND [ARGS...]\n"
    "  or:  fpga-sim --check FILE\n"
    "  or:  fpga-sim [--board FILE] --print-board\n"
    "  or:  fpga-sim ctl [--timeout SECONDS] [--] SOCKET REQUEST...\n";

constexpr const char* footer = R"(
Examples:
  fpga-sim -- fpgatool info          run fpgatool on the built-in board
  B=$(pkg-config --variable=boardsdir libfpga-sim)
  fpga-sim --board $B/platform-6.json --trace -- fpgatool fans
                                     ... on another board (of those
                                     installed), tracing transfers
  fpga-sim --journal=log.jsonl -- my-service
                                     ... catching its journal entries
  fpga-sim --check my-board.json     validate a board file
  fpga-sim --control /tmp/sim.sock -- my-service &
  fpga-sim ctl /tmp/sim.sock set chips.r0.detected 0
                                     remote 0 stops being detected

Changes:
  set FIELD VALUE        a board-file field, VALUE as JSON (a bare word is
                         a string): set chips.r1.fwVersion '"3 12"'
  unset FIELD            as if the board file left FIELD out
  poke NODE ENTRY        write live registers: poke fpga-r1 8 14 40, or a
                         board-file register entry as JSON
  poke TARGET REGISTER HEX...
                         at a register fpgatool names, on a node or a chip
                         (local, r0-r3, hpm): poke hpm power.front-buttons 00
  fault add NODE ERRNO [read|write|both] [block N]
  fault clear NODE
  after N [of FILE] CHANGE...
                         make CHANGE as the next open (of FILE) after N
                         such opens begins: after 0 of fpga-r1 set ...

Reads:
  get FIELD              a board-file field's value, null when left out
  peek NODE BLOCK OFFSET [LENGTH]
                         live register bytes in hex; also peek NODE ENTRY,
                         peek TARGET REGISTER [LENGTH]
  board                  the board as served now, live registers in it
  ctl prints a read's value and waits --timeout SECONDS (10 unless
  given) for fpga-sim's answer.

Exit status:
  The command's own status (128+N when signal N ended it); 125 when the
  simulation cannot be set up, or when a line of --trace or --journal could
  not be written and the command's status is 0; 126 when the command cannot
  be executed, 127 when it is not found, 2 for a usage error. --check: 0
  when the board file is valid, 1 when it is not. ctl: 0 when the request
  is taken, 1 when it is refused, 2 for a usage error, 125 when no
  fpga-sim answers at SOCKET in time or a read's value cannot be
  written.)";

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

/** A usage error, each line with the program's name. */
int usageError(const std::string& message)
{
    std::istringstream lines(message);
    for (std::string line; std::getline(lines, line);)
    {
        std::cerr << "fpga-sim: " << line << "\n";
    }
    return exitUsage;
}

/** CLI11's message for a usage error in plain words, or its --help and
 *  --version. */
int usageError(const CLI::App& app, const CLI::ParseError& e)
{
    std::ostringstream err;
    const int status = app.exit(e, std::cout, err);
    if (status == 0)
    {
        return 0;
    }
    if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr)
    {
        std::string extras;
        for (const std::string& arg : app.remaining())
        {
            extras += " " + arg;
        }
        return usageError("unexpected arguments (the command follows "
                          "\"--\"):" +
                          extras + "\nRun with --help for more information.");
    }
    static const std::pair<std::regex, const char*> plain[] = {
        {std::regex(": At Most 1 required but received [0-9]+"),
         ": given more than once"},
        {std::regex(": 1 required TEXT missing"), ": needs a value"},
    };
    std::string message = err.str();
    for (const auto& [cli11, words] : plain)
    {
        message = std::regex_replace(message, cli11, words);
    }
    return usageError(message);
}

/** Seconds, as --timeout takes them: a number above 0, a day at most. */
std::optional<std::chrono::milliseconds> seconds(std::string_view text)
{
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() ||
        !(value > 0 && value <= 86400))
    {
        return std::nullopt;
    }
    return std::chrono::milliseconds(
        std::max<long long>(1, static_cast<long long>(value * 1000)));
}

/** A read's value as ctl prints it: a string's text as is, the board as
 *  board-file text, anything else as the compact JSON it came as. */
std::string printed(const std::string& words, const std::string& value)
{
    const auto json = nlohmann::json::parse(value, nullptr, false);
    if (json.is_string())
    {
        return json.get<std::string>() + "\n";
    }
    return words == "board" ? fpga_sim::canonicalText(json) : value + "\n";
}

/** Send @p request to the fpga-sim at @p socket, print its answer.
 *  @return ctl's exit status */
int send(const std::string& socket, const std::string& request,
         std::chrono::milliseconds timeout)
{
    try
    {
        const auto reply = fpga_sim::sendRequest(socket, request, timeout);
        if (!reply.applied)
        {
            std::cerr << "fpga-sim: " << reply.message << "\n";
        }
        std::cout << (reply.value.empty() ? "" : printed(request, reply.value))
                  << std::flush;
        if (!std::cout)
        {
            // A value half written is no answer.
            std::cerr << "fpga-sim: ctl: standard output: "
                      << std::strerror(errno) << "\n";
            return fpga_sim::exitSetupFailed;
        }
        return reply.applied ? 0 : exitRefused;
    }
    catch (const fpga_sim::ControlError& e)
    {
        std::cerr << "fpga-sim: ctl: " << e.what() << "\n";
        return fpga_sim::exitSetupFailed;
    }
}

/** A socket path any client can connect to. */
std::string socketPathProblem(const std::string& path)
{
    if (path.empty())
    {
        return "SOCKET is empty";
    }
    if (path.ends_with('/'))
    {
        return "SOCKET names a directory";
    }
    if (path.size() > fpga_sim::maxSocketPath)
    {
        return "a socket path is at most " +
               std::to_string(fpga_sim::maxSocketPath) +
               " bytes long, this one has " + std::to_string(path.size());
    }
    return "";
}

constexpr const char* ctlUsage =
    "usage: fpga-sim ctl [--timeout SECONDS] [--] SOCKET REQUEST...\n";
constexpr const char* ctlHelp =
    R"(Send REQUEST (its words joined with spaces) to the fpga-sim listening at
SOCKET (--control), wait SECONDS (10 unless given) for its answer, print a
read's value. The requests: fpga-sim --help.
)";

/** fpga-sim ctl [--timeout SECONDS] SOCKET REQUEST...: send one request
 *  to a running fpga-sim. */
int ctl(std::vector<std::string> args)
{
    std::optional<std::chrono::milliseconds> timeout =
        fpga_sim::defaultControlTimeout;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h"))
    {
        std::cout << ctlUsage << ctlHelp;
        return 0;
    }
    if (!args.empty() && args[0].starts_with("--timeout"))
    {
        const bool joined = args[0].starts_with("--timeout=");
        const bool given = joined ||
                           (args[0] == "--timeout" && args.size() > 1);
        timeout = given ? seconds(joined ? args[0].substr(10) : args[1])
                        : std::nullopt;
        args.erase(args.begin(), args.begin() + (joined || !given ? 1 : 2));
        if (!timeout)
        {
            return usageError("ctl: --timeout takes a number of seconds "
                              "above 0, at most 86400");
        }
    }
    if (!args.empty() && args[0] == "--")
    {
        args.erase(args.begin());
    }
    if (args.size() < 2)
    {
        return usageError(
            std::string(ctlUsage) + "Run with --help for more information.");
    }
    if (const std::string problem = socketPathProblem(args[0]);
        !problem.empty())
    {
        return usageError("ctl: " + problem);
    }
    std::string change;
    for (std::size_t i = 1; i < args.size(); ++i)
    {
        change += (i == 1 ? "" : " ") + args[i];
    }
    if (change.find('\n') != std::string::npos)
    {
        return usageError("ctl: a request is one line");
    }
    if (change.size() > fpga_sim::maxChangeLine)
    {
        // As fpga-sim would answer, without sending what it would not read.
        std::cerr << "fpga-sim: a line is at most " << fpga_sim::maxChangeLine
                  << " bytes long\n";
        return exitRefused;
    }
    return send(args[0], change, *timeout);
}

/** What the command line asks for. */
struct Options
{
    std::string boardFile;
    std::string traceFile;
    std::string traceFormat = "text";
    std::string journalFile;
    std::string checkFile;
    std::string controlPath;
    bool printBoard = false;
    std::vector<std::string> command;
};

void addOptions(CLI::App& app, Options& o)
{
    app.add_option("--board", o.boardFile,
                   "board file to serve (default: the built-in server "
                   "board)")
        ->check(CLI::ExistingFile)
        ->option_text("FILE");
    // The outputs: FILE follows "=", or standard error without it.
    const std::tuple<const char*, std::string*, const char*> outputs[] = {
        {"--trace", &o.traceFile,
         "write one line per transfer to FILE, or to standard error without "
         "=FILE"},
        {"--journal", &o.journalFile,
         "catch the journal entries sent inside (native, standard output "
         "streams and syslog) and write them to FILE, one JSON object per "
         "line, or to standard error without =FILE"},
    };
    for (const auto& [name, file, help] : outputs)
    {
        app.add_option(name, *file, help)
            ->expected(0, 1)
            ->option_text("[=FILE]");
    }
    app.add_option("--trace-format", o.traceFormat,
                   "how --trace writes: text, one line per record for "
                   "people (default), or json, one JSON object a line, the "
                   "stable form")
        ->check(CLI::IsMember({"text", "json"}))
        ->option_text("FORMAT");
    app.add_option("--control", o.controlPath,
                   "listen for changes (fpga-sim ctl) on a Unix socket made "
                   "at SOCKET, removed at exit")
        ->check(socketPathProblem)
        ->option_text("SOCKET");
    app.add_option("--check", o.checkFile, "validate a board file and exit")
        ->option_text("FILE");
    app.add_flag("--print-board", o.printBoard,
                 "print the board (--board or the built-in one) as JSON and "
                 "exit");
    app.set_version_flag("--version", "fpga-sim " FPGA_SIM_VERSION,
                         "print the version and exit");
    app.formatter(std::make_shared<Formatter>());
    app.get_formatter()->column_width(24);
}

/** Refuse an output FILE that is the board file, the other output or the
 *  control socket: writing it would destroy what it is. */
void checkSharedFiles(const Options& o)
{
    const std::tuple<const char*, const std::string*, const char*,
                     const std::string*>
        pairs[] = {
            {"--trace", &o.traceFile, "--board", &o.boardFile},
            {"--journal", &o.journalFile, "--board", &o.boardFile},
            {"--trace", &o.traceFile, "--journal", &o.journalFile},
            {"--trace", &o.traceFile, "--control", &o.controlPath},
            {"--journal", &o.journalFile, "--control", &o.controlPath},
        };
    namespace fs = std::filesystem;
    std::error_code ignored;
    for (const auto& [output, file, other, otherFile] : pairs)
    {
        // One path, or one inode.
        if (!file->empty() && !otherFile->empty() &&
            (fs::absolute(*file).lexically_normal() ==
                 fs::absolute(*otherFile).lexically_normal() ||
             fs::equivalent(*file, *otherFile, ignored)))
        {
            throw CLI::ValidationError(output, *file + " is the file of " +
                                                   other + " too");
        }
    }
}

/** Refuse options that the form asked for would ignore. */
void checkCombinations(const CLI::App& app, const Options& o)
{
    const bool check = app.count("--check") != 0;
    if (!check && !o.printBoard && o.command.empty())
    {
        throw CLI::ValidationError("COMMAND",
                                   "a command to run is required (after --)");
    }
    if ((check || o.printBoard) && !o.command.empty())
    {
        throw CLI::ValidationError("COMMAND",
                                   "--check and --print-board run no command");
    }
    const std::pair<const char*, std::vector<const char*>> forms[] = {
        {"--check",
         {"--board", "--trace", "--trace-format", "--journal", "--print-board",
          "--control"}},
        {"--print-board",
         {"--trace", "--trace-format", "--journal", "--control"}},
    };
    for (const auto& [form, ignored] : forms)
    {
        for (const char* other : ignored)
        {
            if (app.count(form) != 0 && app.count(other) != 0)
            {
                throw CLI::ValidationError(form,
                                           std::string("takes no ") + other);
            }
        }
    }
    checkSharedFiles(o);
    if (app.count("--trace-format") != 0 && app.count("--trace") == 0)
    {
        throw CLI::ValidationError("--trace-format", "needs --trace");
    }
}

int check(const std::string& file)
{
    try
    {
        const fpga_sim::Board board = fpga_sim::loadBoardFile(file);
        std::cout << file << ": valid board";
        if (!board.description.empty())
        {
            std::cout << " (" << fpga_sim::printable(board.description) << ")";
        }
        std::cout << "\n";
        return 0;
    }
    catch (const fpga_sim::BoardError& e)
    {
        std::cerr << file << ": " << e.what() << "\n";
        return exitInvalidBoard;
    }
}

/** Serve the board and run the command; never returns on success. */
int simulate(const CLI::App& app, const Options& o,
             const fpga_sim::Board& board)
{
    try
    {
        // Opened before anything runs, so that a bad path fails fast.
        const auto output = [&app](const std::string& option,
                                   const std::string& file) {
            return app.count(option) == 0
                       ? nullptr
                       : std::make_unique<fpga_sim::Output>(
                             option + (file.empty() ? "" : "=" + file), file);
        };
        const auto trace = output("--trace", o.traceFile);
        const auto journal = output("--journal", o.journalFile);
        int status = fpga_sim::runOnBoard(
            board, trace.get(),
            o.traceFormat == "json" ? fpga_sim::TraceFormat::json
                                    : fpga_sim::TraceFormat::text,
            journal.get(), o.controlPath, o.command);
        // Both say what they lost; a command that succeeded did not.
        const bool traced = !trace || trace->finish();
        const bool logged = !journal || journal->finish();
        status = (traced && logged) || status != 0 ? status
                                                   : fpga_sim::exitSetupFailed;
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

/** A standard stream closed by the caller gets /dev/null, so that no
 *  descriptor of fpga-sim's own (the FUSE device, the control socket's
 *  directory) takes its number and is passed on as the command's; closed
 *  on exec, so that the command finds the stream closed, as it was left.
 *  @return false when /dev/null cannot be opened */
bool openStandardStreams()
{
    for (int fd = 0; fd < 3; ++fd)
    {
        if (::fcntl(fd, F_GETFD) < 0 &&
            ::open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC) !=
                fd)
        {
            return false;
        }
    }
    return true;
}

/** Parse fpga-sim's own options into @p o, and the command after "--".
 *  @return the status to exit with when there is nothing to run */
std::optional<int> parse(CLI::App& app, Options& o, int argc, char** argv)
{
    addOptions(app, o);
    // Everything after the first "--" is the command, taken verbatim: CLI11
    // would let an option with an optional value swallow the "--".
    int ownArgs = 1;
    while (ownArgs < argc && std::string_view(argv[ownArgs]) != "--")
    {
        ++ownArgs;
    }
    o.command.assign(argv + std::min(ownArgs + 1, argc), argv + argc);
    for (int i = 1; i < ownArgs; ++i)
    {
        // CLI11 gives "--journal=" as "--journal".
        const std::string_view arg = argv[i];
        if (arg == "--trace=" || arg == "--journal=")
        {
            return usageError(std::string(arg) +
                              " FILE is empty (without \"=\", lines go to "
                              "standard error)\nRun with --help for more "
                              "information.");
        }
        // CLI11 would take a word after "--trace" as its FILE.
        const bool bare = arg == "--trace" || arg == "--journal";
        if (bare && i + 1 < ownArgs && argv[i + 1][0] != '-')
        {
            return usageError(std::string(arg) +
                              " takes FILE after \"=\" "
                              "only (" +
                              std::string(arg) + "=" + argv[i + 1] +
                              "); the command follows \"--\"\nRun with --help "
                              "for more information.");
        }
    }
    try
    {
        app.parse(ownArgs, argv);
        checkCombinations(app, o);
    }
    catch (const CLI::ParseError& e)
    {
        return usageError(app, e);
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    fpga_sim::ignoreBrokenPipes();
    if (!openStandardStreams())
    {
        return fpga_sim::exitSetupFailed;
    }
    if (argc > 1 && std::string_view(argv[1]) == "ctl")
    {
        return ctl({argv + 2, argv + argc});
    }
    CLI::App app{std::string(usage) +
                     "\nRun COMMAND with the FPGA driver simulated from a "
                     "board file, in a private mount namespace. The board's "
                     "sysfs attributes and the ten /dev/fpga-* nodes are "
                     "served with libfuse; nothing outside the namespace "
                     "changes. With --control, \"fpga-sim ctl\" changes the "
                     "board while COMMAND runs.",
                 "fpga-sim"};
    app.footer(footer);
    Options o;
    if (const auto status = parse(app, o, argc, argv))
    {
        return *status;
    }
    if (app.count("--check") != 0)
    {
        return check(o.checkFile);
    }
    fpga_sim::Board board;
    try
    {
        board = o.boardFile.empty()
                    ? fpga_sim::boardFromText(fpga_sim::defaultBoardJson)
                    : fpga_sim::loadBoardFile(o.boardFile);
    }
    catch (const fpga_sim::BoardError& e)
    {
        std::cerr << "fpga-sim: " << o.boardFile << ": " << e.what() << "\n";
        return fpga_sim::exitSetupFailed;
    }
    if (o.printBoard)
    {
        std::cout << fpga_sim::boardFileText(board);
        return 0;
    }
    return simulate(app, o, board);
}
