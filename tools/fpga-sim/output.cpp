// SPDX-License-Identifier: Apache-2.0
#include "output.hpp"

#include "mounts.hpp"
#include "sandbox.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <iostream>

namespace fpga_sim
{

namespace
{

/** Writes of whole lines up to the size a pipe takes at once, so that they
 *  never mix with what the command writes to the same place. */
constexpr std::size_t chunk = PIPE_BUF;

std::array<int, 2> makePipe()
{
    std::array<int, 2> fds{-1, -1};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0)
    {
        setupFailed("pipe");
    }
    // Room for bursts while the thread is not scheduled.
    ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    return fds;
}

/** Whether a write to @p fd can wait on a reader: a pipe, a FIFO, a
 *  terminal. */
bool waitsOnReader(int fd)
{
    struct stat st
    {};
    return ::fstat(fd, &st) == 0 &&
           (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode));
}

/** Opens @p path for writing. A named FIFO (@p named) waits for its
 *  reader, as a shell's > would, but a signal that ends fpga-sim ends the
 *  wait: such signals are blocked by now, to be taken by sigwaitinfo. */
int openForWriting(const std::string& path, const std::string& option,
                   bool named)
{
    const sigset_t ending = endingSignals();
    for (;;)
    {
        const int fd = ::open(
            path.c_str(),
            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_APPEND | O_NONBLOCK,
            0644);
        const int error = errno;
        // ENXIO is also a socket's answer.
        struct stat st
        {};
        const bool waiting = named && fd < 0 && error == ENXIO &&
                             ::stat(path.c_str(), &st) == 0 &&
                             S_ISFIFO(st.st_mode);
        if (!waiting)
        {
            errno = error;
            return fd;
        }
        const timespec pause{0, 100'000'000};
        if (const int sig = ::sigtimedwait(&ending, nullptr, &pause); sig > 0)
        {
            throw SetupError(option + ": " + ::strsignal(sig) +
                             " while waiting for a reader of the FIFO");
        }
    }
}

/** FILE, or standard error. A pipe or terminal gets an open file
 *  description of its own, made non-blocking without touching the
 *  command's. */
Fd openDestination(const std::string& file, const std::string& option)
{
    if (file.empty() && !waitsOnReader(STDERR_FILENO))
    {
        return Fd(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    }
    const std::string path = file.empty() ? "/proc/self/fd/2" : file;
    Fd fd(openForWriting(path, option, !file.empty()));
    if (fd.get() < 0)
    {
        if (file.empty())
        {
            return Fd(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
        }
        setupFailed("cannot open " + option);
    }
    if (!waitsOnReader(fd.get()))
    {
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

} // namespace

sigset_t endingSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    {
        sigaddset(&set, sig);
    }
    return set;
}

std::uint64_t nextSeq()
{
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}

Output::Output(std::string option, std::string file) :
    Output(std::move(option), std::move(file), makePipe())
{}

Output::Output(std::string opt, std::string path, std::array<int, 2> pipe) :
    option(std::move(opt)), file(std::move(path)), reader(pipe[0]),
    writer(pipe[1]), stop(::eventfd(0, EFD_CLOEXEC))
{}

void Output::open()
{
    destination.emplace(openDestination(file, option));
    struct stat st
    {};
    socket = ::fstat(destination->get(), &st) == 0 && S_ISSOCK(st.st_mode);
    nonBlocking = (::fcntl(destination->get(), F_GETFL) & O_NONBLOCK) != 0;
}

void Output::start()
{
    // The thread takes no signal: SIGPIPE becomes EPIPE, the others are
    // fpga-sim's main thread's.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    relay = std::thread([this] { run(); });
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

Output::~Output()
{
    if (relay.joinable())
    {
        finish();
    }
}

bool Output::finish()
{
    const auto wake = [this] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored =
            ::write(stop.get(), &one, sizeof(one));
    };
    wake();
    // A reader that has stopped would hold fpga-sim here for ever: a signal
    // that ends fpga-sim ends the wait, and what still waits is lost.
    const sigset_t ending = endingSignals();
    while (relay.joinable() && !done.load())
    {
        const timespec pause{0, 50'000'000};
        if (::sigtimedwait(&ending, nullptr, &pause) > 0)
        {
            abandoned.store(true);
            wake();
        }
    }
    if (relay.joinable())
    {
        relay.join();
    }
    if (lostLines == 0)
    {
        return true;
    }
    std::cerr << "fpga-sim: " << option << ": " << lostLines
              << (lostLines == 1 ? " line" : " lines") << " lost: " << lostWhy
              << "\n";
    return false;
}

void Output::run()
{
    for (bool stopping = false;;)
    {
        std::array<pollfd, 3> fds = {
            {{reader.get(), POLLIN, 0},
             {stop.get(), POLLIN, 0},
             {sent == pending.size() ? -1 : destination->get(), POLLOUT, 0}}};
        ::poll(fds.data(), fds.size(), -1);
        if (fds[1].revents != 0)
        {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t ignored =
                ::read(stop.get(), &count, sizeof(count));
            stopping = true;
        }
        take();
        while (!abandoned.load() && pass(stopping))
        {}
        if (abandoned.load() && sent < pending.size())
        {
            lose(pending.size() - sent, "fpga-sim was ended while its "
                                        "reader did not read");
        }
        if (stopping && sent == pending.size())
        {
            done.store(true);
            return;
        }
    }
}

void Output::take()
{
    char buffer[1 << 16];
    for (ssize_t n = 0; (n = ::read(reader.get(), buffer, sizeof(buffer))) > 0;)
    {
        keep(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
}

void Output::keep(std::string_view data)
{
    if (sent > pending.size() / 2)
    {
        pending.erase(0, sent);
        sent = 0;
    }
    if (pending.size() - sent + data.size() > maxPending)
    {
        // Full: end the line that waits, drop the whole lines after it.
        if (sent < pending.size() && pending.back() != '\n')
        {
            const std::size_t end = std::min(data.find('\n'), data.size() - 1);
            pending.append(data.substr(0, end + 1));
            data.remove_prefix(end + 1);
        }
        const std::size_t last = data.rfind('\n');
        if (last != std::string_view::npos)
        {
            lostLines += static_cast<std::size_t>(
                std::count(data.begin(), data.begin() + last + 1, '\n'));
            lostWhy = lostWhy.empty() ? "its reader did not keep up" : lostWhy;
            data.remove_prefix(last + 1);
        }
    }
    pending.append(data);
}

bool Output::pass(bool all)
{
    const std::string_view rest(pending.data() + sent, pending.size() - sent);
    std::size_t size = rest.rfind('\n', chunk - 1);
    size = size != std::string_view::npos ? size : rest.find('\n');
    size = size != std::string_view::npos ? size + 1 : all ? rest.size() : 0;
    if (size == 0)
    {
        return false;
    }
    const ssize_t n = socket ? ::send(destination->get(), rest.data(), size,
                                      MSG_DONTWAIT | MSG_NOSIGNAL)
                             : ::write(destination->get(), rest.data(), size);
    if (n >= 0)
    {
        sent += static_cast<std::size_t>(n);
        return true;
    }
    if (errno == EAGAIN || errno == EINTR)
    {
        return errno == EINTR;
    }
    lose(size, std::strerror(errno));
    return true;
}

void Output::lose(std::size_t bytes, const std::string& why)
{
    const auto from = pending.begin() + static_cast<std::ptrdiff_t>(sent);
    lostLines += static_cast<std::size_t>(
        std::count(from, from + static_cast<std::ptrdiff_t>(bytes), '\n'));
    lostLines += pending[sent + bytes - 1] != '\n' ? 1 : 0;
    lostWhy = lostWhy.empty() ? why : lostWhy;
    sent += bytes;
}

} // namespace fpga_sim
