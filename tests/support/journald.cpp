// SPDX-License-Identifier: Apache-2.0
#include "journald.hpp"

#include "sim/world.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fpga_test
{

namespace
{

constexpr const char* journaldPath = "/lib/systemd/systemd-journald";
constexpr const char* socketPath = "/run/systemd/journal/socket";

bool exists(const char* path)
{
    struct stat st = {};
    return ::stat(path, &st) == 0;
}

/** Run a shell command line and return what it printed on stdout. */
std::string capture(const std::string& command)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "re"),
                                               ::pclose);
    if (!pipe)
    {
        throw std::runtime_error("cannot run " + command);
    }
    std::string out;
    std::array<char, 4096> chunk{};
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0)
    {
        out.append(chunk.data(), got);
    }
    return out;
}

/** journalctl writes a value with unprintable bytes as an array of byte
 *  numbers, and a field sent more than once as an array of values. */
std::string valueText(const nlohmann::json& value)
{
    if (value.is_string())
    {
        return value.get<std::string>();
    }
    if (value.is_array() && !value.empty() && value.front().is_number())
    {
        std::string bytes;
        for (const auto& byte : value)
        {
            bytes.push_back(static_cast<char>(byte.get<int>()));
        }
        return bytes;
    }
    return value.dump();
}

} // namespace

Journald::Journald() : pid(-1)
{
    if (!exists(journaldPath))
    {
        throw std::runtime_error(std::string(journaldPath) + " not installed");
    }
    // journald would move its journal to a persistent directory that
    // exists; keep it in the private /run.
    if (exists("/var/log/journal"))
    {
        fpga_sim::mountTmpfs("/var/log/journal");
    }
    pid = ::fork();
    if (pid < 0)
    {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0)
    {
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0)
        {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execl(journaldPath, journaldPath, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Readiness: journald creates its socket once it listens. Bounded, so a
    // journald that cannot start fails the case instead of hanging it.
    for (int tries = 0; tries < 500 && !exists(socketPath); ++tries)
    {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
        {
            pid = -1;
            throw std::runtime_error("systemd-journald exited at start");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!exists(socketPath))
    {
        throw std::runtime_error("systemd-journald did not create its socket");
    }
}

Journald::~Journald()
{
    if (pid > 0)
    {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

std::vector<std::map<std::string, std::string>>
    Journald::entriesOf(pid_t sender) const
{
    capture("journalctl --sync 2>/dev/null");
    std::istringstream lines(
        capture("journalctl --directory=/run/log/journal -o json 2>/dev/null"));
    std::vector<std::map<std::string, std::string>> entries;
    std::string line;
    while (std::getline(lines, line))
    {
        if (line.empty())
        {
            continue;
        }
        const auto json = nlohmann::json::parse(line);
        if (!json.contains("_PID") ||
            valueText(json["_PID"]) != std::to_string(sender))
        {
            continue;
        }
        std::map<std::string, std::string> entry;
        for (const auto& [key, value] : json.items())
        {
            entry.emplace(key, valueText(value));
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

} // namespace fpga_test
