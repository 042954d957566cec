// SPDX-License-Identifier: Apache-2.0
#include "control.hpp"

#include "sandbox.hpp"
#include "sim/change.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <thread>
#include <vector>

namespace fpga_sim
{

namespace
{

/** Clients served at once. */
constexpr std::size_t maxClients = 32;

sockaddr_un addressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
    {
        throw SetupError(
            "--control " + path + ": a socket path is 1 to " +
            std::to_string(sizeof(address.sun_path) - 1) + " bytes long");
    }
    std::strcpy(address.sun_path, path.c_str());
    return address;
}

/** Whether @p path is a socket no one listens on any more. */
bool staleSocket(const std::string& path, const sockaddr_un& address)
{
    struct stat st
    {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
    {
        return false;
    }
    const Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                     sizeof(address)) != 0 &&
           errno == ECONNREFUSED;
}

struct Client
{
    Fd fd;
    std::string pending;
};

/** Answers every whole line @p client has sent, in one send. @return
 *  false when the client is to be dropped */
bool answer(Client& client, DriverFs& fs)
{
    std::string replies;
    for (auto end = client.pending.find('\n'); end != std::string::npos;
         end = client.pending.find('\n'))
    {
        const std::string line = client.pending.substr(0, end);
        client.pending.erase(0, end + 1);
        const std::string refused =
            line.size() > maxChangeLine
                ? "a change is at most " + std::to_string(maxChangeLine) +
                      " bytes long"
                : fs.change(line, "control");
        replies += refused.empty() ? "ok\n" : "refused " + refused + "\n";
    }
    const bool tooLong = client.pending.size() > maxChangeLine;
    if (tooLong)
    {
        replies += "refused a change is at most " +
                   std::to_string(maxChangeLine) + " bytes long\n";
    }
    // A client that lets its answers pile up unread is let go.
    return (replies.empty() ||
            ::send(client.fd.get(), replies.data(), replies.size(),
                   MSG_NOSIGNAL | MSG_DONTWAIT) ==
                static_cast<ssize_t>(replies.size())) &&
           !tooLong;
}

[[noreturn]] void serve(int listening, DriverFs& fs)
{
    std::list<Client> clients;
    std::vector<pollfd> polled;
    char buffer[4096];
    for (;;)
    {
        const auto wait = fs.runTimedSteps();
        polled.clear();
        // At most maxClients at once; the others wait in the backlog.
        polled.push_back(
            {clients.size() < maxClients ? listening : -1, POLLIN, 0});
        for (const Client& client : clients)
        {
            polled.push_back({client.fd.get(), POLLIN, 0});
        }
        if (::poll(polled.data(), polled.size(),
                   wait ? static_cast<int>(wait->count()) : -1) <= 0)
        {
            continue;
        }
        // Answer the clients, drop those that are done, take new ones.
        auto client = clients.begin();
        for (std::size_t i = 1; i < polled.size(); ++i)
        {
            if (polled[i].revents == 0)
            {
                ++client;
                continue;
            }
            const ssize_t n =
                ::recv(client->fd.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
            {
                ++client;
                continue;
            }
            if (n > 0)
            {
                client->pending.append(buffer, static_cast<std::size_t>(n));
            }
            // A line cut short by the client leaving is no change.
            client = n <= 0 || !answer(*client, fs) ? clients.erase(client)
                                                    : std::next(client);
        }
        if ((polled[0].revents & POLLIN) != 0)
        {
            Fd fd(::accept4(listening, nullptr, nullptr,
                            SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (fd.get() >= 0)
            {
                clients.emplace_back(Client{std::move(fd), {}});
            }
        }
    }
}

} // namespace

Fd listenForChanges(const std::string& path)
{
    const sockaddr_un address = addressOf(path);
    struct stat st
    {};
    if (staleSocket(path, address))
    {
        ::unlink(path.c_str());
    }
    else if (::lstat(path.c_str(), &st) == 0)
    {
        throw SetupError(
            "--control " + path + ": " +
            (S_ISSOCK(st.st_mode) ? "a program listens there already"
                                  : "exists and is not a socket"));
    }
    // Bound and listening under a name of its own first, then renamed into
    // place: a client that finds the path can connect at once.
    const std::string made = path + ".fpga-sim-" + std::to_string(::getpid());
    const sockaddr_un madeAddress = addressOf(made);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&madeAddress),
               sizeof(madeAddress)) != 0 ||
        ::listen(fd.get(), 64) != 0 ||
        ::rename(made.c_str(), path.c_str()) != 0)
    {
        const int error = errno;
        ::unlink(made.c_str());
        throw SetupError("--control " + path + ": " + std::strerror(error));
    }
    return fd;
}

void serveChanges(Fd listening, DriverFs& fs)
{
    if (listening.get() < 0 && !fs.runTimedSteps())
    {
        return;
    }
    // Never joined: the thread serves until the process exits.
    std::thread([&fs](std::shared_ptr<Fd> fd) { serve(fd->get(), fs); },
                std::make_shared<Fd>(std::move(listening)))
        .detach();
}

} // namespace fpga_sim
