// SPDX-License-Identifier: Apache-2.0
#include "default_board.hpp"
#include "libfpga-sim.hpp"
#include "sim/canonical.hpp"
#include "sim/change.hpp"
#include "sim/control_client.hpp"
#include "sim/field_reader.hpp"
#include "sim/journal.hpp"
#include "sim/process.hpp"
#include "sim/trace_record.hpp"
#include "sim/world.hpp"
#include "simulation_state.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fpga_sim
{

namespace
{

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& path)
{
    std::vector<std::string> all;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
    {
        all.push_back(line);
    }
    return all;
}

/**
 * Start @p argv; standard output and error go to @p out and @p err, or stay
 * this process's when empty; standard input is /dev/null.
 * @throws SimulationError when it cannot be started
 */
pid_t spawn(const std::vector<std::string>& argv, const std::string& out,
            const std::string& err)
{
    const pid_t pid = spawnProgram(argv, -1, out, err);
    if (pid < 0)
    {
        throw SimulationError(
            "cannot run " + argv[0] + ": " + std::strerror(-pid) +
            " (set FPGA_SIM to the fpga-sim program to run)");
    }
    return pid;
}

std::string withoutEndingNewlines(std::string text)
{
    while (!text.empty() && text.back() == '\n')
    {
        text.pop_back();
    }
    return text;
}

/** What a program that failed wrote to standard error, for a message
 *  that says what it did first. */
std::string saying(const std::string& errors)
{
    const std::string said = withoutEndingNewlines(errors);
    return said.empty() ? ", and wrote nothing to standard error" : ": " + said;
}

/** Run @p argv to its end. @return its exit status and standard error */
std::pair<int, std::string> runToEnd(const std::vector<std::string>& argv,
                                     const std::string& scratch)
{
    const std::string out = scratch + "/run.out";
    const std::string err = scratch + "/run.err";
    const int status = waitForExit(spawn(argv, out, err));
    return {status, withoutEndingNewlines(slurp(err))};
}

/** Send @p words to the fpga-sim of @p sim; only a change's last word, its
 *  value (@p valueLast), may hold white space, which would split the others
 *  into words of their own. @return a read's value (compact JSON), "" for a
 *  change @throws SimulationError when refused */
std::string ask(Simulation& sim, const std::vector<std::string>& words,
                bool valueLast = false)
{
    if (!sim.running())
    {
        throw SimulationError("no command runs");
    }
    std::string line;
    for (std::size_t i = 0; i < words.size(); ++i)
    {
        const bool mayHoldSpace = valueLast && i + 1 == words.size();
        if (!mayHoldSpace &&
            (words[i].empty() ||
             words[i].find_first_of(" \t") != std::string::npos))
        {
            throw SimulationError("\"" + words[i] +
                                  "\" is not one word (only the value, last, "
                                  "may hold white space)");
        }
        line += (line.empty() ? "" : " ") + words[i];
    }
    // Sent, a newline would end the request early and start another.
    if (const std::string problem = notOneLine(line); !problem.empty())
    {
        throw SimulationError(problem);
    }
    try
    {
        const ControlReply reply = sendRequest(sim.controlSocket(), line);
        if (!reply.applied)
        {
            throw SimulationError(reply.message);
        }
        return reply.value;
    }
    catch (const ControlError& e)
    {
        throw SimulationError(e.what());
    }
}

} // namespace

std::string field(const JournalEntry& entry, std::string_view key)
{
    for (const auto& [name, value] : entry)
    {
        if (name == key)
        {
            return value;
        }
    }
    return {};
}

SimulationError::~SimulationError() = default;

std::string Simulation::defaultFpgaSim()
{
    const char* relocated = std::getenv("FPGA_SIM");
    return relocated != nullptr && *relocated != '\0'
               ? relocated
               : FPGA_SIM_INSTALLED;
}

std::string Simulation::builtInBoard()
{
    return defaultBoardJson;
}

std::string Simulation::loadBoard(const std::string& path)
{
    const auto refused = [&](const std::string& why) {
        return SimulationError(
            "cannot read the board file " + path + ": " + why);
    };
    // A FIFO would wait for a writer, a device could read forever; a
    // directory opens and fails at the first read.
    struct stat st = {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    {
        throw refused(
            S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    }
    std::string text;
    try
    {
        text = readFile(path);
    }
    catch (const std::system_error& e)
    {
        throw refused(e.code().message());
    }
    // An empty text would stand for the built-in board.
    if (text.empty())
    {
        throw refused("the file is empty");
    }
    return text;
}

Simulation::Simulation(const std::string& board) : Simulation(board, Options{})
{}

Simulation::Simulation(const std::string& board, Options options) :
    state(std::make_unique<State>())
{
    state->options = std::move(options);
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
        "/fpga-sim-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
    {
        throw SimulationError("cannot create a directory in " + pattern + ": " +
                              std::strerror(errno));
    }
    state->dir = pattern;
    if (board.empty())
    {
        return;
    }
    std::ofstream(state->file("board.json")) << board;
    auto [checked, message] =
        runToEnd({state->options.fpgaSim, "--check", state->file("board.json")},
                 state->dir);
    if (checked != 0)
    {
        // "FILE: field: problem" without the file, which is ours; anything
        // else is no answer of fpga-sim's about the board.
        const std::string prefix = state->file("board.json") + ": ";
        message =
            message.starts_with(prefix)
                ? message.substr(prefix.size())
                : state->options.fpgaSim + " --check exited with status " +
                      std::to_string(checked) + saying(message);
        std::error_code ignored;
        std::filesystem::remove_all(state->dir, ignored);
        throw SimulationError(message);
    }
}

Simulation::~Simulation()
{
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(state->dir, ignored);
}

std::string Simulation::controlSocket() const
{
    return state->file("control");
}

void Simulation::start(const std::vector<std::string>& command)
{
    if (state->pid > 0)
    {
        throw SimulationError("a command runs already");
    }
    std::vector<std::string> argv = {state->options.fpgaSim};
    if (std::filesystem::exists(state->file("board.json")))
    {
        argv.insert(argv.end(), {"--board", state->file("board.json")});
    }
    argv.insert(argv.end(),
                {"--control", controlSocket(),
                 "--trace=" + state->file("trace"), "--trace-format=json",
                 "--journal=" + state->file("journal"), "--"});
    argv.insert(argv.end(), command.begin(), command.end());
    state->pid = state->options.passOutput
                     ? spawn(argv, "", "")
                     : spawn(argv, state->file("out"), state->file("err"));
    state->status = -1;
    state->records.clear();
    state->traceRead = 0;
    // fpga-sim listens before it starts the command.
    const bool listening = waitFor([](const Simulation& sim) {
        struct stat st
        {};
        return ::stat(sim.controlSocket().c_str(), &st) == 0;
    });
    if (!listening)
    {
        const bool exited = !running();
        const int status = stop();
        throw SimulationError(
            state->options.fpgaSim +
            (exited ? " exited with status " + std::to_string(status) +
                          " before it listened on its control socket"
                    : " did not listen on its control socket within 10 s "
                      "(stopped, status " +
                          std::to_string(status) + ")") +
            (state->options.passOutput ? "" : saying(errors())));
    }
}

void Simulation::change(const std::vector<std::string>& words)
{
    if (!words.empty() &&
        (words[0] == "get" || words[0] == "peek" || words[0] == "board"))
    {
        throw SimulationError("\"" + words[0] +
                              "\" is not a change: get(), peek() and board() "
                              "read the board");
    }
    ask(*this, words, true);
}

std::string Simulation::get(const std::string& field)
{
    return ask(*this, {"get", field});
}

std::vector<std::uint8_t>
    Simulation::peek(const std::string& node, std::size_t block,
                     std::size_t offset, std::size_t length)
{
    const std::string hex = nlohmann::json::parse(
        ask(*this, {"peek", node, std::to_string(block), std::to_string(offset),
                    std::to_string(length)}));
    return hexBytes(hex, "");
}

std::vector<std::uint8_t> Simulation::peek(const std::string& target,
                                           const std::string& registerName)
{
    const std::string hex =
        nlohmann::json::parse(ask(*this, {"peek", target, registerName}));
    return hexBytes(hex, "");
}

std::string Simulation::board()
{
    return canonicalText(nlohmann::json::parse(ask(*this, {"board"})));
}

void Simulation::changeAfter(std::uint64_t accesses, const std::string& file,
                             const std::vector<std::string>& words)
{
    std::vector<std::string> line = {"after", std::to_string(accesses)};
    if (!file.empty())
    {
        line.insert(line.end(), {"of", file});
    }
    line.insert(line.end(), words.begin(), words.end());
    ask(*this, line, true);
}

bool Simulation::running()
{
    if (state->pid <= 0)
    {
        return false;
    }
    int waitStatus = 0;
    if (::waitpid(state->pid, &waitStatus, WNOHANG) == state->pid)
    {
        state->status = exitStatus(waitStatus);
        state->pid = 0;
        return false;
    }
    return true;
}

int Simulation::wait()
{
    if (running())
    {
        state->status = fpga_sim::waitForExit(state->pid);
        state->pid = 0;
    }
    return state->status;
}

int Simulation::stop()
{
    return stop(std::chrono::seconds(5));
}

bool Simulation::waitFor(
    const std::function<bool(const Simulation&)>& condition,
    std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition(*this))
    {
        if (std::chrono::steady_clock::now() >= end || !running())
        {
            return condition(*this);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<std::string> Simulation::trace() const
{
    std::vector<std::string> text;
    for (const TraceRecord& record : records())
    {
        text.push_back(recordText(record));
    }
    return text;
}

std::vector<JournalEntry> Simulation::journal() const
{
    std::vector<JournalEntry> entries;
    for (const std::string& line : lines(state->file("journal")))
    {
        try
        {
            entries.push_back(
                journalEntryFromJson(nlohmann::ordered_json::parse(line)));
        }
        catch (const nlohmann::json::exception&)
        {
            // A line still being written: it is read in full next time.
        }
    }
    return entries;
}

std::string Simulation::output() const
{
    return slurp(state->file("out"));
}

std::string Simulation::errors() const
{
    return slurp(state->file("err"));
}

std::vector<TraceRecord> Simulation::records() const
{
    std::ifstream in(state->file("trace"), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(state->traceRead));
    // Whole lines only: the last may still be being written.
    for (std::string line; std::getline(in, line) && !in.eof();)
    {
        state->traceRead += line.size() + 1;
        state->records.push_back(recordFromJson(nlohmann::json::parse(line)));
    }
    return state->records;
}

} // namespace fpga_sim
