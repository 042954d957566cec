// SPDX-License-Identifier: Apache-2.0
#include "control.hpp"

#include "sandbox.hpp"
#include "sim/change.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <list>
#include <memory>
#include <thread>
#include <vector>

namespace fpga_sim
{

namespace
{

/** Clients served at once. */
constexpr std::size_t maxClients = 256;

const std::string tooLong = "refused a change is at most " +
                            std::to_string(maxChangeLine) + " bytes long\n";

sockaddr_un addressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    return address;
}

/** Whether the socket at @p path has no one listening any more. */
bool stale(const std::string& path)
{
    const sockaddr_un address = addressOf(path);
    const Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                     sizeof(address)) != 0 &&
           errno == ECONNREFUSED;
}

struct Client
{
    Fd fd;
    std::string pending;
    std::chrono::steady_clock::time_point heard;
};

/** Answers every whole line @p client has sent, in one send. @return
 *  false when the client is to be let go */
bool answer(Client& client, DriverFs& fs)
{
    std::string replies;
    bool refused = false;
    for (auto end = client.pending.find('\n');
         end != std::string::npos && !refused; end = client.pending.find('\n'))
    {
        const std::string line = client.pending.substr(0, end);
        client.pending.erase(0, end + 1);
        refused = line.size() > maxChangeLine;
        const std::string problem = refused ? "" : fs.change(line, "control");
        replies += refused           ? tooLong
                   : problem.empty() ? "ok\n"
                                     : "refused " + problem + "\n";
    }
    if (!refused && client.pending.size() > maxChangeLine)
    {
        refused = true;
        replies += tooLong;
    }
    // A client that lets its answers pile up unread is let go too.
    return (replies.empty() ||
            ::send(client.fd.get(), replies.data(), replies.size(),
                   MSG_NOSIGNAL | MSG_DONTWAIT) ==
                static_cast<ssize_t>(replies.size())) &&
           !refused;
}

/** Reads what @p client sent and answers it. @return false when the client
 *  is to be let go */
bool hear(Client& client, DriverFs& fs)
{
    char buffer[4096];
    const ssize_t n =
        ::recv(client.fd.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0)
    {
        return errno == EAGAIN || errno == EINTR;
    }
    // A line cut short by the client leaving is no change.
    if (n == 0)
    {
        return false;
    }
    client.pending.append(buffer, static_cast<std::size_t>(n));
    client.heard = std::chrono::steady_clock::now();
    return answer(client, fs);
}

/** Take the clients waiting; when all places are taken (or descriptors
 *  are out), the one idle longest makes room for a new one. */
void admit(int listening, std::list<Client>& clients)
{
    const auto evict = [&clients] {
        clients.erase(std::min_element(clients.begin(), clients.end(),
                                       [](const Client& a, const Client& b) {
                                           return a.heard < b.heard;
                                       }));
    };
    for (;;)
    {
        if (clients.size() >= maxClients)
        {
            evict();
        }
        Fd fd(::accept4(listening, nullptr, nullptr,
                        SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (fd.get() < 0 && (errno == EMFILE || errno == ENFILE) &&
            !clients.empty())
        {
            evict();
            continue;
        }
        if (fd.get() < 0)
        {
            return;
        }
        clients.push_back(
            {std::move(fd), {}, std::chrono::steady_clock::now()});
    }
}

[[noreturn]] void serve(int listening, DriverFs& fs)
{
    std::list<Client> clients;
    std::vector<pollfd> polled;
    for (;;)
    {
        const auto wait = fs.runTimedSteps();
        polled.assign(1, {listening, POLLIN, 0});
        for (const Client& client : clients)
        {
            polled.push_back({client.fd.get(), POLLIN, 0});
        }
        if (::poll(polled.data(), polled.size(),
                   wait ? static_cast<int>(wait->count()) : -1) <= 0)
        {
            continue;
        }
        auto client = clients.begin();
        for (std::size_t i = 1; i < polled.size(); ++i)
        {
            client = polled[i].revents != 0 && !hear(*client, fs)
                         ? clients.erase(client)
                         : std::next(client);
        }
        if ((polled[0].revents & POLLIN) != 0)
        {
            admit(listening, clients);
        }
    }
}

std::string directoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "."
           : slash == 0               ? "/"
                                      : path.substr(0, slash);
}

} // namespace

ControlSocket::ControlSocket(const std::string& path) :
    path(path), dir(path.empty() ? -1
                                 : ::open(directoryOf(path).c_str(),
                                          O_PATH | O_DIRECTORY | O_CLOEXEC)),
    name(path.substr(path.rfind('/') + 1)), listening(listen())
{}

Fd ControlSocket::listen()
{
    if (path.empty())
    {
        return Fd{};
    }
    struct stat st
    {};
    if (dir.get() < 0)
    {
        setupFailed("--control " + path + ": " + directoryOf(path));
    }
    if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
    {
        if (!S_ISSOCK(st.st_mode) || !stale(path))
        {
            throw SetupError(
                "--control " + path + ": " +
                (S_ISSOCK(st.st_mode) ? "a program listens there already"
                                      : "exists and is not a socket"));
        }
        ::unlinkat(dir.get(), name.c_str(), 0);
    }
    // Bound and listening under a name of its own first, then renamed into
    // place: a client that finds the path can connect at once. The
    // directory's descriptor keeps that name short, whatever the path.
    const std::string temporary = ".fpga-sim-" + std::to_string(::getpid());
    const sockaddr_un address = addressOf(
        "/proc/self/fd/" + std::to_string(dir.get()) + "/" + temporary);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address),
               sizeof(address)) != 0 ||
        ::listen(fd.get(), 64) != 0 ||
        ::fstatat(dir.get(), temporary.c_str(), &made, AT_SYMLINK_NOFOLLOW) !=
            0 ||
        ::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) != 0)
    {
        const int error = errno;
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        made = {};
        setupFailed("--control " + path + ": cannot make the socket", error);
    }
    return fd;
}

ControlSocket::~ControlSocket()
{
    // Only the socket fpga-sim made: the command may have put a file of its
    // own in its place. The directory's descriptor reaches the host's
    // directory from inside the namespace, where another may cover it.
    struct stat st
    {};
    if (made.st_ino != 0 &&
        ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_ino == made.st_ino && st.st_dev == made.st_dev)
    {
        ::unlinkat(dir.get(), name.c_str(), 0);
    }
}

void ControlSocket::checkReachable(const Mounts& mounts) const
{
    struct stat st
    {};
    if (made.st_ino == 0 ||
        (::stat(path.c_str(), &st) == 0 && st.st_ino == made.st_ino &&
         st.st_dev == made.st_dev))
    {
        return;
    }
    const std::string cover = mounts.covering(
        std::filesystem::absolute(path).lexically_normal().string());
    throw SetupError(
        "--control " + path + ": the command would not find it there: " +
        (cover.empty() ? "another file system covers it inside fpga-sim"
                       : "inside fpga-sim, " + cover + " covers it") +
        "; put it under /tmp, for one");
}

Fd ControlSocket::take()
{
    return std::move(listening);
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
