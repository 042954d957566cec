// SPDX-License-Identifier: Apache-2.0
// watch: a register read every interval, each change printed as it comes.

#include "fpgatool.hpp"

#include <poll.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

namespace fpgatool
{
namespace
{

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double value)
{
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(value));
}

/** Waits until @p until, or less when standard output's reader has gone
 *  (a pipe whose reader ended, a terminal hung up): a register that does
 *  not change writes nothing that would meet SIGPIPE, so the watch looks
 *  for it, as tail -f does, and ends as SIGPIPE would end it. */
void waitWatchingOutput(Clock::time_point until)
{
    using std::chrono::milliseconds;
    // Looked at once at least, also with no time to wait (-i 0).
    for (bool first = true; first || Clock::now() < until; first = false)
    {
        const milliseconds left =
            std::max(std::chrono::ceil<milliseconds>(until - Clock::now()),
                     milliseconds(0));
        pollfd out{STDOUT_FILENO, 0, 0};
        const int ready = ::poll(&out, 1, static_cast<int>(left.count()));
        if (ready > 0 && (out.revents & (POLLERR | POLLHUP)) != 0)
        {
            ::raise(SIGPIPE);
            throw Failure("watch", "watch: standard output has no reader");
        }
        if ((ready < 0 && errno != EINTR) || (out.revents & POLLNVAL) != 0)
        {
            std::this_thread::sleep_until(until);
        }
    }
}

/** One line of the watch: a JSON document a line with --json. */
void printLine(const Args& args, const Json& members, const std::string& text)
{
    Json document = {{"schemaVersion", schemaVersion}, {"command", "watch"}};
    document.update(members);
    std::cout << (args.json ? "" : text + "\n");
    printDocument(std::cout, args.json ? document : Json(), true);
}

/** Reads until the --until bytes come or the deadline passes; the last
 *  read is made at the deadline, whatever the interval. */
int watchLoop(const Args& args, const Chip& chip)
{
    const auto start = Clock::now();
    std::optional<std::vector<char>> last;
    for (;;)
    {
        std::vector<char> buffer(args.count);
        transfer(chip, tavrin_fpga::Operation::read, args.address, buffer);
        if (buffer != last)
        {
            const Value value = bytes(buffer);
            const std::string time = utcTime(true);
            printLine(args, {{"time", time}, {"bytes", value.json}},
                      time + ' ' + value.text);
        }
        if (!args.until.empty() &&
            std::ranges::equal(buffer, args.until, [](char b, unsigned u) {
                return static_cast<std::uint8_t>(b) == u;
            }))
        {
            return exitOk;
        }
        last = std::move(buffer);
        const auto next = Clock::now() + seconds(args.interval);
        const auto deadline = start + seconds(args.timeout.value_or(0));
        if (args.timeout && Clock::now() >= deadline)
        {
            if (args.until.empty())
            {
                return exitOk;
            }
            // As given: 30, 0.5, 0.000001 (no exponent).
            char text[32];
            std::snprintf(text, sizeof(text), "%.9f", *args.timeout);
            std::string given = text;
            given.erase(given.find_last_not_of('0') + 1);
            given.erase(given.find_last_not_of('.') + 1);
            throw Failure("watch", "watch: timed out after " + given +
                                       " s without reading the --until bytes");
        }
        waitWatchingOutput(args.timeout ? std::min(next, deadline) : next);
    }
}

} // namespace

int watchRegisters(const Args& args)
{
    try
    {
        requireDriver();
        const Chip chip = chipOf(args.chip);
        checkTransfer(chip, args.address, args.count, args, "watch");
        if (!args.until.empty() && args.until.size() != args.count)
        {
            throw UsageError(
                "watch: --until gives " + byteCount(args.until.size()) +
                ", the watch reads " + std::to_string(args.count) +
                "; see fpgatool watch --help");
        }
        return watchLoop(args, chip);
    }
    catch (const Failure& failure)
    {
        printError(failure.what());
        if (args.json && std::cout)
        {
            printLine(args, {{"error", failure.toJson()}}, "");
        }
        return exitFailure;
    }
}

} // namespace fpgatool
