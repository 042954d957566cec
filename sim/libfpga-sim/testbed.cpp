// SPDX-License-Identifier: Apache-2.0
// What a test does around the command: waits for its end, stops it within
// a bound, runs a function of its own on the board, and tells libfpga's
// journal entries from the program's.
#include "libfpga-sim.hpp"
#include "sim/fd.hpp"
#include "sim/process.hpp"
#include "simulation_state.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace fpga_sim
{

namespace
{

/** The last @p count lines of @p text, each as «line». */
std::string lastLines(const std::string& text, std::size_t count)
{
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
    {
        all.push_back(line);
    }
    std::string out;
    for (std::size_t i = all.size() > count ? all.size() - count : 0;
         i < all.size(); ++i)
    {
        out += (out.empty() ? "«" : " «") + all[i] + "»";
    }
    return out;
}

/** The processes whose parent is @p parent, from /proc. */
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc", error))
    {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
        {
            continue;
        }
        // "PID (COMM) STATE PPID ...": COMM may hold spaces and ")".
        std::ifstream stat(entry.path() / "stat");
        const std::string text{std::istreambuf_iterator<char>(stat), {}};
        const auto close = text.rfind(')');
        int ppid = 0;
        if (close != std::string::npos &&
            std::sscanf(text.c_str() + close + 1, " %*c %d", &ppid) == 1 &&
            ppid == parent)
        {
            children.push_back(std::stoi(text));
        }
    }
    return children;
}

/** Whether the command of @p sim ended within @p timeout. */
bool endedWithin(Simulation& sim, std::chrono::milliseconds timeout)
{
    sim.waitFor([](const Simulation&) { return false; }, timeout);
    return !sim.running();
}

/** The command's user and mount namespaces, opened. */
struct Namespaces
{
    Fd user; ///< -1 when it is this process's own
    Fd mount;
};

/** Whether @p path is a namespace of this process's own. */
bool ownNamespace(const std::string& path, const char* own)
{
    struct stat theirs
    {};
    struct stat ours
    {};
    return ::stat(path.c_str(), &theirs) == 0 && ::stat(own, &ours) == 0 &&
           theirs.st_ino == ours.st_ino && theirs.st_dev == ours.st_dev;
}

Namespaces namespacesOf(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/ns/";
    // As root fpga-sim makes no user namespace; one's own cannot be joined
    // (EINVAL).
    const bool ownUser = ownNamespace(dir + "user", "/proc/self/ns/user");
    Namespaces joined{
        Fd(ownUser ? -1 : ::open((dir + "user").c_str(), O_RDONLY | O_CLOEXEC)),
        Fd(::open((dir + "mnt").c_str(), O_RDONLY | O_CLOEXEC))};
    if ((!ownUser && joined.user.get() < 0) || joined.mount.get() < 0)
    {
        throw SimulationError("cannot open the namespaces of fpga-sim (" + dir +
                              "): " + std::strerror(errno));
    }
    return joined;
}

/** The forked child of run(): into the namespaces, the function called,
 *  its result the exit status; what went wrong goes to @p reportFd. */
[[noreturn]] void runInside(const std::function<int()>& function,
                            const Namespaces& joined, const std::string& cwd,
                            int reportFd, pid_t parent)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
    {
        ::_exit(128 + SIGKILL);
    }
    std::string problem;
    int status = 1;
    try
    {
        if ((joined.user.get() >= 0 &&
             ::setns(joined.user.get(), CLONE_NEWUSER) != 0) ||
            ::setns(joined.mount.get(), CLONE_NEWNS) != 0)
        {
            problem = std::string("cannot join the simulation's namespaces: ") +
                      std::strerror(errno);
        }
        else
        {
            // Joining a mount namespace moves to its root directory.
            [[maybe_unused]] const int back = ::chdir(cwd.c_str());
            status = function();
        }
    }
    catch (const std::exception& e)
    {
        problem = std::string("the function threw: ") + e.what();
    }
    catch (...)
    {
        problem = "the function threw something that is no std::exception";
    }
    std::fflush(nullptr);
    // Fits the pipe: the write never waits.
    [[maybe_unused]] const ssize_t sent = ::write(
        reportFd, problem.data(), std::min<std::size_t>(problem.size(), 4000));
    ::_exit(status);
}

} // namespace

bool isLibraryEntry(const JournalEntry& entry)
{
    // "RETURN-TYPE QUALIFIED-NAME(PARAMETERS)...": the name is the word
    // before the first parenthesis; types in the parameters do not count.
    const std::string func = field(entry, "CODE_FUNC");
    const std::string head = func.substr(0, func.find('('));
    const std::string name = head.substr(head.find_last_of(" *&") + 1);
    return name.starts_with("tavrin_fpga::");
}

WaitResult Simulation::waitForExit(std::chrono::milliseconds timeout)
{
    if (state->pid < 0)
    {
        return {false, "no command was started"};
    }
    if (endedWithin(*this, timeout))
    {
        return {true, ""};
    }
    std::string seen = "the command still runs after " +
                       std::to_string(timeout.count()) + " ms";
    if (!state->options.passOutput)
    {
        const std::string said = lastLines(errors(), 3);
        seen += said.empty() ? "; it wrote nothing to standard error"
                             : "; the end of its standard error: " + said;
    }
    std::string sent;
    for (const JournalEntry& entry : journal())
    {
        sent += field(entry, "MESSAGE") + "\n";
    }
    seen += sent.empty() ? "; it sent no journal entry"
                         : "; its last journal entries: " + lastLines(sent, 3);
    return {false, seen};
}

int Simulation::status()
{
    return running() ? -1 : state->status;
}

int Simulation::stop(std::chrono::milliseconds grace)
{
    if (!running())
    {
        return state->status;
    }
    ::kill(state->pid, SIGTERM);
    if (!endedWithin(*this, grace))
    {
        // The command and every process below it first (a child of a
        // command that ignored SIGTERM would outlive it): fpga-sim then ends
        // as it does, with what it caught written out.
        std::vector<pid_t> below = childrenOf(state->pid);
        for (std::size_t i = 0; i < below.size(); ++i)
        {
            const std::vector<pid_t> next = childrenOf(below[i]);
            below.insert(below.end(), next.begin(), next.end());
        }
        for (const pid_t process : below)
        {
            ::kill(process, SIGKILL);
        }
        if (!endedWithin(*this, grace))
        {
            ::kill(state->pid, SIGKILL);
        }
    }
    return wait();
}

int Simulation::run(const std::function<int()>& function)
{
    const SimulationError notRunning(
        "run() needs a command running on the board (start one, "
        "{\"sleep\", \"infinity\"} will do)");
    // fpga-sim forks the command once everything is in place.
    if (!running() || !waitFor([&](const Simulation&) {
            return !childrenOf(state->pid).empty();
        }))
    {
        throw notRunning;
    }
    const pid_t sim = state->pid;
    std::optional<Namespaces> joined;
    try
    {
        joined.emplace(namespacesOf(sim));
    }
    catch (const SimulationError&)
    {
        // The command may have ended since: say so, not what it left.
        if (running())
        {
            throw;
        }
        throw notRunning;
    }
    const std::string cwd = std::filesystem::current_path().string();
    int report[2];
    if (::pipe2(report, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        throw SimulationError(std::string("pipe: ") + std::strerror(errno));
    }
    const Fd reportEnd(report[0]);
    std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0)
    {
        runInside(function, *joined, cwd, report[1], parent);
    }
    ::close(report[1]);
    if (child < 0)
    {
        throw SimulationError(std::string("fork: ") + std::strerror(errno));
    }
    const int status = fpga_sim::waitForExit(child);
    char problem[4000];
    const ssize_t got = ::read(reportEnd.get(), problem, sizeof(problem));
    if (got > 0)
    {
        throw SimulationError(
            std::string(problem, static_cast<std::size_t>(got)));
    }
    return status;
}

} // namespace fpga_sim
