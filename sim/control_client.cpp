// SPDX-License-Identifier: Apache-2.0
#include "control_client.hpp"

#include "fd.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace fpga_sim
{

namespace
{

[[noreturn]] void failed(const std::string& what, int error = errno)
{
    throw ControlError(what + ": " + std::strerror(error));
}

} // namespace

ControlReply sendChange(const std::string& socketPath,
                        const std::string& change)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(address.sun_path))
    {
        failed(socketPath, ENAMETOOLONG);
    }
    std::strcpy(address.sun_path, socketPath.c_str());
    const Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                  sizeof(address)) != 0)
    {
        failed("cannot connect to " + socketPath);
    }
    const std::string line = change + "\n";
    for (std::size_t sent = 0; sent < line.size();)
    {
        const ssize_t n = ::send(fd.get(), line.data() + sent,
                                 line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR)
        {
            failed("cannot send to " + socketPath);
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    // All sent: fpga-sim answers, and closes when it sees the end.
    ::shutdown(fd.get(), SHUT_WR);
    std::string reply;
    char buffer[512];
    for (;;)
    {
        const ssize_t n = ::recv(fd.get(), buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0)
        {
            failed("no answer from " + socketPath);
        }
        if (n == 0)
        {
            break;
        }
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    if (reply == "ok\n")
    {
        return {true, ""};
    }
    constexpr std::string_view refused = "refused ";
    if (!reply.starts_with(refused) || !reply.ends_with('\n'))
    {
        throw ControlError("no answer from " + socketPath);
    }
    return {false,
            reply.substr(refused.size(), reply.size() - refused.size() - 1)};
}

} // namespace fpga_sim
