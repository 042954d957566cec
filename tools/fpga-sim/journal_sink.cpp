// SPDX-License-Identifier: Apache-2.0
#include "journal_sink.hpp"

#include "sandbox.hpp"
#include "sim/journal.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

namespace fpga_sim
{

namespace
{

constexpr const char* socketPath = "/run/systemd/journal/socket";

/** The content of a sealed memfd, which libsystemd sends in place of an
 *  entry too large for one datagram. */
std::string memfdContent(int fd)
{
    struct stat st
    {};
    std::string text;
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
    {
        text.resize(static_cast<std::size_t>(st.st_size));
        const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    return text;
}

} // namespace

JournalSink::JournalSink(int outFd) :
    outFd(outFd), socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
    stop(::eventfd(0, EFD_CLOEXEC))
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath, sizeof(addr.sun_path) - 1);
    if (socket.get() < 0 || stop.get() < 0 ||
        ::bind(socket.get(), reinterpret_cast<sockaddr*>(&addr),
               sizeof(addr)) != 0)
    {
        throw SetupError(
            std::string("bind ") + socketPath + ": " + std::strerror(errno));
    }
    reader = std::thread([this] { run(); });
}

JournalSink::~JournalSink()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored =
        ::write(stop.get(), &one, sizeof(one));
    reader.join();
}

void JournalSink::run()
{
    std::array<pollfd, 2> fds = {
        {{socket.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}}};
    while (true)
    {
        if (::poll(fds.data(), fds.size(), -1) < 0)
        {
            continue;
        }
        if (fds[1].revents != 0)
        {
            // Whatever was sent before the command ended is queued by now.
            while (takeOne())
            {}
            return;
        }
        takeOne();
    }
}

bool JournalSink::takeOne()
{
    // The size first: an entry may be larger than any fixed buffer.
    const ssize_t size =
        ::recv(socket.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0)
    {
        return errno == EINTR;
    }
    std::string datagram(static_cast<std::size_t>(size), '\0');
    iovec iov{datagram.data(), datagram.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    if (::recvmsg(socket.get(), &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) < 0)
    {
        return errno == EINTR;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr;
         c = CMSG_NXTHDR(&msg, c))
    {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
        {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c), sizeof(fd));
            Fd passed(fd);
            datagram = memfdContent(passed.get());
        }
    }
    std::string line;
    try
    {
        line =
            journalEntryToJson(parseJournalDatagram(datagram))
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    catch (const std::exception& e)
    {
        // Not the journal's protocol: say so where the entry would be.
        line = nlohmann::json{{"FPGA_SIM_ERROR", e.what()}}.dump();
    }
    line += "\n";
    // One write per entry, so lines never interleave with another writer.
    [[maybe_unused]] const ssize_t ignored =
        ::write(outFd, line.data(), line.size());
    return true;
}

} // namespace fpga_sim
