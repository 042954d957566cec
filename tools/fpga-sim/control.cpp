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

const std::string tooLong = "refused a line is at most " +
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

/** Answers kept for a client before its next line waits for them to go:
 *  what a slow reader costs, but for one answer larger than that. */
constexpr std::size_t replyRoom = 64 * 1024;

struct Client
{
    explicit Client(Fd connected) :
        fd(std::move(connected)), heard(std::chrono::steady_clock::now())
    {}

    Fd fd;
    /** What it sent and is not answered yet. */
    std::string pending;
    /** Answers it has not taken yet. */
    std::string replies;
    /** It sent all it will (it shut its side, or a line was too long). */
    bool over = false;
    std::chrono::steady_clock::time_point heard;

    /** What to wait for: more lines while there is room for their
     *  answers, the room for the answers waiting. */
    short events() const
    {
        const bool room = replies.size() < replyRoom &&
                          pending.find('\n') == std::string::npos;
        return static_cast<short>(
            (!over && room ? POLLIN : 0) | (replies.empty() ? 0 : POLLOUT));
    }
};

/** Answers the whole lines @p client has sent, while its answers have
 *  room. A line too long is refused, and nothing after it is heard. */
void answer(Client& client, DriverFs& fs)
{
    bool tooLongLine = false;
    for (auto end = client.pending.find('\n');
         end != std::string::npos && !tooLongLine &&
         client.replies.size() < replyRoom;
         end = client.pending.find('\n'))
    {
        const std::string line = client.pending.substr(0, end);
        client.pending.erase(0, end + 1);
        tooLongLine = line.size() > maxChangeLine;
        const DriverFs::Answer a =
            tooLongLine ? DriverFs::Answer{} : fs.request(line, "control");
        client.replies += tooLongLine      ? ""
                          : !a.ok          ? "refused " + a.text + "\n"
                          : a.text.empty() ? "ok\n"
                                           : "ok " + a.text + "\n";
    }
    if (tooLongLine || (client.pending.size() > maxChangeLine &&
                        client.pending.find('\n') == std::string::npos))
    {
        client.replies += tooLong;
        client.pending.clear();
        client.over = true;
    }
}

/** Reads what @p client sent, answers it, and sends what it can of the
 *  answers. @return false when the client is to be let go */
bool serveClient(Client& client, DriverFs& fs)
{
    if ((client.events() & POLLIN) != 0)
    {
        char buffer[4096];
        const ssize_t n =
            ::recv(client.fd.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
        {
            return false;
        }
        // A line cut short by the client leaving is no change.
        client.over = n == 0;
        client.pending.append(
            buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        client.heard = std::chrono::steady_clock::now();
    }
    answer(client, fs);
    if (!client.replies.empty())
    {
        const ssize_t n =
            ::send(client.fd.get(), client.replies.data(),
                   client.replies.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
        {
            return false;
        }
        client.replies.erase(0,
                             static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
    return !client.over || !client.replies.empty() ||
           client.pending.find('\n') != std::string::npos;
}

/** Take the clients waiting; when all places are taken (or descriptors
 *  are out), the one idle longest makes room for a new one: one partway
 *  through a line only when every client is. */
void admit(int listening, std::list<Client>& clients)
{
    const auto evict = [&clients] {
        clients.erase(
            std::min_element(clients.begin(), clients.end(),
                             [](const Client& a, const Client& b) {
                                 return std::pair(!a.pending.empty(), a.heard) <
                                        std::pair(!b.pending.empty(), b.heard);
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
        clients.emplace_back(std::move(fd));
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
            polled.push_back({client.fd.get(), client.events(), 0});
        }
        if (::poll(polled.data(), polled.size(),
                   wait ? static_cast<int>(wait->count()) : -1) <= 0)
        {
            continue;
        }
        auto client = clients.begin();
        for (std::size_t i = 1; i < polled.size(); ++i)
        {
            client = polled[i].revents != 0 && !serveClient(*client, fs)
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
    name(path.substr(path.rfind('/') + 1)),
    temporary(".fpga-sim-" + std::to_string(::getpid())), listening(listen())
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
    // Bound and listening under a name of its own first, renamed into place
    // by publish(): a client that finds the path can connect at once. The
    // directory's descriptor keeps that name short, whatever the path.
    const sockaddr_un address = addressOf(
        "/proc/self/fd/" + std::to_string(dir.get()) + "/" + temporary);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address),
               sizeof(address)) != 0 ||
        ::listen(fd.get(), 64) != 0 ||
        ::fstatat(dir.get(), temporary.c_str(), &made, AT_SYMLINK_NOFOLLOW) !=
            0)
    {
        const int error = errno;
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        made = {};
        setupFailed("--control " + path + ": cannot make the socket", error);
    }
    return fd;
}

void ControlSocket::publish()
{
    if (made.st_ino != 0 && ::renameat2(dir.get(), temporary.c_str(), dir.get(),
                                        name.c_str(), RENAME_NOREPLACE) != 0)
    {
        setupFailed("--control " + path + ": cannot make the socket");
    }
    published = made.st_ino != 0;
}

ControlSocket::~ControlSocket()
{
    // Only the socket fpga-sim made: the command may have put a file of its
    // own in its place. The directory's descriptor reaches the host's
    // directory from inside the namespace, where another may cover it.
    struct stat st
    {};
    if (made.st_ino != 0 && !published)
    {
        ::unlinkat(dir.get(), temporary.c_str(), 0);
    }
    if (published &&
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
