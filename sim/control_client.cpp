// SPDX-License-Identifier: Apache-2.0
#include "control_client.hpp"

#include "fd.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fpga_sim
{

namespace
{

using Clock = std::chrono::steady_clock;

/** The longest answer taken: a read of a board with a gibibyte of
 *  registers in hex. */
constexpr std::size_t maxReply = std::size_t{3} << 30;

[[noreturn]] void failed(const std::string& what, int error = errno)
{
    throw ControlError(what + ": " + std::strerror(error));
}

std::string within(std::chrono::milliseconds timeout)
{
    const auto ms = timeout.count();
    return "within " + (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s"
                                       : std::to_string(ms) + " ms");
}

/** What a failed connect() to @p path means. */
std::string connectProblem(const std::string& path, int error,
                           std::chrono::milliseconds timeout)
{
    struct stat st
    {};
    if (error == ECONNREFUSED && ::stat(path.c_str(), &st) == 0 &&
        !S_ISSOCK(st.st_mode))
    {
        return path + " is not a socket";
    }
    if (error == ECONNREFUSED)
    {
        return "nothing listens at " + path;
    }
    if (error == EAGAIN)
    {
        return "no answer from " + path + " " + within(timeout);
    }
    return "cannot connect to " + path + ": " + std::strerror(error);
}

Fd connectTo(const std::string& path, std::chrono::milliseconds timeout)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() > maxSocketPath)
    {
        throw ControlError(path + ": a socket path is at most " +
                           std::to_string(maxSocketPath) + " bytes long");
    }
    path.copy(address.sun_path, path.size());
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // connect() waits while the listener's backlog is full: as long as this.
    const timeval limit{
        static_cast<time_t>(timeout.count() / 1000),
        static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    if (fd.get() < 0 || ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit,
                                     sizeof(limit)) != 0)
    {
        failed("socket");
    }
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                  sizeof(address)) != 0)
    {
        throw ControlError(connectProblem(path, errno, timeout));
    }
    return fd;
}

/** Wait until @p fd is ready for @p events, until @p deadline at most.
 *  @return false when the time is up */
bool await(int fd, short events, Clock::time_point deadline)
{
    for (;;)
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - Clock::now());
        pollfd polled{fd, events, 0};
        const int ready =
            left.count() <= 0
                ? 0
                : ::poll(&polled, 1, static_cast<int>(left.count()));
        if (ready != 0 || left.count() <= 0)
        {
            return ready != 0;
        }
    }
}

/** Everything fpga-sim answers, until it closes. */
std::string receive(int fd, const std::string& path, Clock::time_point deadline,
                    std::chrono::milliseconds timeout)
{
    std::string reply;
    char buffer[1 << 16];
    for (;;)
    {
        if (!await(fd, POLLIN, deadline))
        {
            throw ControlError(
                "no answer from " + path + " " + within(timeout));
        }
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && errno == ECONNRESET)
        {
            throw ControlError(
                "the connection to " + path + " was reset before the answer");
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
        {
            failed("no answer from " + path);
        }
        if (n == 0 || reply.size() > maxReply)
        {
            return reply;
        }
        reply.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
}

/** @p text with its control bytes as C writes them (\\x1b); with
 *  @p quoting, every byte but printable ASCII, and " and \\ too. */
std::string escaped(const std::string& text, bool quoting)
{
    std::string out;
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        char hex[8];
        std::snprintf(hex, sizeof(hex), "\\x%02x", byte);
        out += quoting && (c == '"' || c == '\\') ? std::string("\\") + c
               : byte < 0x20 || byte == 0x7f || (quoting && byte > 0x7f)
                   ? std::string(hex)
                   : std::string(1, c);
    }
    return out;
}

/** @p text as C writes it, printable ASCII as is, at most 80 bytes. */
std::string quoted(const std::string& text)
{
    return "\"" + escaped(text.substr(0, 80), true) +
           (text.size() > 80 ? "\"..." : "\"");
}

} // namespace

ControlReply sendRequest(const std::string& socketPath,
                         const std::string& request,
                         std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    const Fd fd = connectTo(socketPath, timeout);
    const std::string line = request + "\n";
    for (std::size_t sent = 0; sent < line.size();)
    {
        if (!await(fd.get(), POLLOUT, deadline))
        {
            throw ControlError(
                "no answer from " + socketPath + " " + within(timeout));
        }
        const ssize_t n =
            ::send(fd.get(), line.data() + sent, line.size() - sent,
                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
        {
            failed("cannot send to " + socketPath);
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    // All sent: fpga-sim answers, and closes when it sees the end.
    ::shutdown(fd.get(), SHUT_WR);
    const std::string reply = receive(fd.get(), socketPath, deadline, timeout);
    const bool oneLine = reply.find('\n') == reply.size() - 1;
    for (const std::string_view word : {"refused ", "ok "})
    {
        if (reply.starts_with(word) && oneLine)
        {
            const std::string text =
                reply.substr(word.size(), reply.size() - word.size() - 1);
            return word == "ok "
                       ? ControlReply{true, "", text}
                       : ControlReply{false, escaped(text, false), ""};
        }
    }
    if (reply == "ok\n")
    {
        return {true, "", ""};
    }
    throw ControlError(
        reply.empty()
            ? "no answer from " + socketPath + ": it closed the connection"
            : "unexpected answer from " + socketPath + ": " + quoted(reply));
}

} // namespace fpga_sim
