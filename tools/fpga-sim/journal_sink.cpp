// SPDX-License-Identifier: Apache-2.0
#include "journal_sink.hpp"

#include "mounts.hpp"
#include "output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace fpga_sim
{

namespace
{

/** Streams served at once, as journald's default. */
constexpr std::size_t maxStreams = 4096;
/** How long streams still open when the command ends are read on. */
constexpr std::chrono::seconds streamGrace{1};
/** Milliseconds from now to @p time, 0 when it has passed. */
int msUntil(std::chrono::steady_clock::time_point time)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        time - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

/** The largest entry taken from a memfd (journald's is 768 MiB). */
constexpr off_t maxMemfd = 64 << 20;

Fd bound(const char* path, int type)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof(addr.sun_path) - 1);
    Fd fd(::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    if (fd.get() < 0 ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) !=
            0 ||
        (type == SOCK_STREAM && ::listen(fd.get(), SOMAXCONN) != 0))
    {
        setupFailed(std::string("bind ") + path);
    }
    return fd;
}

/** The content of a sealed memfd, which libsystemd sends in place of an
 *  entry too large for one datagram. @throws std::runtime_error for any
 *  other descriptor */
std::string memfdContent(int fd)
{
    struct stat st
    {};
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & F_SEAL_WRITE) == 0 || ::fstat(fd, &st) != 0 ||
        st.st_size > maxMemfd)
    {
        throw std::runtime_error(
            "a descriptor that is no sealed memfd of at most 64 MiB");
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

/** Whether journald takes a field of this name from a sender: 1 to 64 of
 *  A-Z, 0-9 and _, not starting with a digit or _ (its own fields). */
bool senderField(const std::string& name)
{
    return !name.empty() && name.size() <= 64 &&
           name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") ==
               std::string::npos &&
           !(name[0] >= '0' && name[0] <= '9') && name[0] != '_';
}

/** The entry of a datagram of @p transport. */
JournalEntry parseDatagram(const std::string& datagram, bool native)
{
    if (!native)
    {
        return syslogEntry(datagram).value_or(JournalEntry{});
    }
    JournalEntry entry = parseJournalDatagram(datagram);
    std::erase_if(entry,
                  [](const auto& field) { return !senderField(field.first); });
    return entry;
}

} // namespace

JournalSink::JournalSink(int outFd) :
    outFd(outFd), native(bound("/run/systemd/journal/socket", SOCK_DGRAM)),
    syslog(bound(syslogSocket, SOCK_DGRAM)),
    streams(bound("/run/systemd/journal/stdout", SOCK_STREAM)),
    stop(::eventfd(0, EFD_CLOEXEC))
{
    if (stop.get() < 0)
    {
        setupFailed("eventfd");
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
    std::vector<pollfd> fds;
    // Once the command has ended: streams still open get streamGrace more.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    for (;;)
    {
        fds = {{native.get(), POLLIN, 0},
               {syslog.get(), POLLIN, 0},
               {streams.get(), POLLIN, 0},
               {deadline ? -1 : stop.get(), POLLIN, 0}};
        for (const Stream& client : clients)
        {
            fds.push_back({client.fd.get(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), deadline ? msUntil(*deadline) : -1) <
            0)
        {
            continue;
        }
        if (fds[3].revents != 0)
        {
            deadline = std::chrono::steady_clock::now() + streamGrace;
        }
        takeDatagram(fds[0].revents != 0 ? native.get() : -1, "journal");
        takeDatagram(fds[1].revents != 0 ? syslog.get() : -1, "syslog");
        auto client = clients.begin();
        for (std::size_t i = 4; i < fds.size(); ++i)
        {
            client = fds[i].revents != 0 && readStream(*client) == 0
                         ? clients.erase(client)
                         : std::next(client);
        }
        // At the end, every connection waiting is taken, then read.
        while ((fds[2].revents != 0 || deadline) && acceptStream())
        {}
        if (deadline &&
            (clients.empty() || std::chrono::steady_clock::now() >= *deadline))
        {
            drain();
            return;
        }
    }
}

void JournalSink::drain()
{
    // Whatever was sent before the command ended is queued by now.
    while (takeDatagram(native.get(), "journal"))
    {}
    while (takeDatagram(syslog.get(), "syslog"))
    {}
    for (Stream& client : clients)
    {
        ssize_t got = 0;
        while ((got = readStream(client)) > 0)
        {}
        if (got < 0)
        {
            // Still open: its last line is all there will be.
            std::vector<JournalEntry> entries;
            client.parser.end(entries);
            for (JournalEntry& entry : entries)
            {
                write(std::move(entry), "stdout", client.sender);
            }
        }
    }
    clients.clear();
}

bool JournalSink::takeDatagram(int fd, const char* transport)
{
    // The size first: an entry may be larger than any fixed buffer.
    const ssize_t size =
        fd < 0 ? -1
               : ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0)
    {
        return fd >= 0 && errno == EINTR;
    }
    std::string datagram(static_cast<std::size_t>(size), '\0');
    iovec iov{datagram.data(), datagram.size()};
    alignas(cmsghdr)
        std::array<char,
                   CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(4 * sizeof(int))>
            control{};
    msghdr msg{nullptr, 0, &iov, 1, control.data(), control.size(), 0};
    if (::recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) < 0)
    {
        return errno == EINTR;
    }
    ucred sender{};
    std::vector<Fd> passed;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr;
         c = CMSG_NXTHDR(&msg, c))
    {
        if (c->cmsg_type == SCM_CREDENTIALS)
        {
            std::memcpy(&sender, CMSG_DATA(c), sizeof(sender));
        }
        for (std::size_t i = 0; c->cmsg_type == SCM_RIGHTS &&
                                CMSG_LEN((i + 1) * sizeof(int)) <= c->cmsg_len;
             ++i)
        {
            int passedFd = -1;
            std::memcpy(&passedFd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            passed.emplace_back(passedFd);
        }
    }
    const bool isNative = std::strcmp(transport, "journal") == 0;
    try
    {
        if (isNative && passed.size() == 1 && datagram.empty())
        {
            datagram = memfdContent(passed.front().get());
        }
        write(parseDatagram(datagram, isNative), transport, sender);
    }
    catch (const std::exception&)
    {
        // Not the journal's protocol: dropped, as journald drops it.
    }
    return true;
}

bool JournalSink::acceptStream()
{
    Fd fd(::accept4(streams.get(), nullptr, nullptr,
                    SOCK_CLOEXEC | SOCK_NONBLOCK));
    ucred sender{};
    socklen_t size = sizeof(sender);
    if (fd.get() >= 0 && clients.size() < maxStreams &&
        ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &sender, &size) == 0)
    {
        clients.push_back({std::move(fd), sender, {}});
    }
    return fd.get() >= 0 || errno == EINTR || errno == ECONNABORTED;
}

ssize_t JournalSink::readStream(Stream& stream)
{
    char buffer[1 << 16];
    const ssize_t n = ::read(stream.fd.get(), buffer, sizeof(buffer));
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
    {
        return -1;
    }
    std::vector<JournalEntry> entries;
    // A malformed header ends the stream, as journald ends it.
    const bool over =
        n <= 0 ||
        !stream.parser.feed({buffer, static_cast<std::size_t>(n)}, entries);
    if (n <= 0)
    {
        stream.parser.end(entries);
    }
    for (JournalEntry& entry : entries)
    {
        write(std::move(entry), "stdout", stream.sender);
    }
    return over ? 0 : n;
}

void JournalSink::write(JournalEntry entry, const char* transport,
                        const ucred& sender)
{
    if (entry.empty())
    {
        return; // an empty syslog datagram, which journald drops too
    }
    entry.emplace_back("_TRANSPORT", transport);
    entry.emplace_back("_PID", std::to_string(sender.pid));
    entry.emplace_back("_UID", std::to_string(sender.uid));
    entry.emplace_back("_GID", std::to_string(sender.gid));
    entry.emplace_back("__SEQNUM", std::to_string(nextSeq()));
    std::string line =
        journalEntryToJson(entry).dump(
            -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
        "\n";
    // One write per entry, so lines never interleave with another writer.
    [[maybe_unused]] const ssize_t ignored =
        ::write(outFd, line.data(), line.size());
}

} // namespace fpga_sim
