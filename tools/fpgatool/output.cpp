// SPDX-License-Identifier: Apache-2.0
// The file of -o. A regular file is written as a temporary file beside it
// that replaces it once the verb has run: a verb that fails leaves it as it
// was, and no signal that ends the tool leaves the temporary file behind.

#include "fpgatool.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>

namespace fpgatool
{
namespace
{

/** The temporary file a signal removes; "" for none. Changed only while
 *  every signal is held off. */
std::array<char, PATH_MAX> pendingTemporary{};

extern "C" void removeTemporary(int signal)
{
    if (pendingTemporary[0] != '\0')
    {
        ::unlink(pendingTemporary.data());
    }
    // SA_RESETHAND gave the signal its default action back: raised again,
    // it ends the tool as it would have, once this handler returns.
    ::raise(signal);
}

/** Makes @p name (ending in XXXXXX) the temporary file that a signal
 *  removes, or with "" none; the first one takes over every signal whose
 *  default action ends the tool, unless it is ignored.
 *  @return the descriptor of the file made, or -1 with errno set */
int setPendingTemporary(std::string name)
{
    sigset_t all;
    sigset_t before;
    ::sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &before);
    const int fd = name.empty() ? -1 : ::mkostemp(name.data(), O_CLOEXEC);
    const int error = errno;
    std::snprintf(pendingTemporary.data(), pendingTemporary.size(), "%s",
                  fd < 0 ? "" : name.c_str());
    struct sigaction handler
    {};
    handler.sa_handler = removeTemporary;
    handler.sa_flags = SA_RESETHAND;
    constexpr std::array<int, 9> others = {
        SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGTSTP,
        SIGTTIN, SIGTTOU, SIGURG,  SIGWINCH};
    for (int signal = 1; signal <= SIGRTMAX && fd >= 0; ++signal)
    {
        struct sigaction current
        {};
        if (std::ranges::find(others, signal) == others.end() &&
            ::sigaction(signal, nullptr, &current) == 0 &&
            current.sa_handler == SIG_DFL)
        {
            ::sigaction(signal, &handler, nullptr);
        }
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = error;
    return fd;
}

[[noreturn]] void cannotWrite(const std::string& file, const std::string& why)
{
    throw Failure("output", "cannot write " + file + ": " + why);
}

/** The descriptor of standard output or error when it writes the file of
 *  @p status, else -1. */
int standardStreamOf(const struct stat& status)
{
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO})
    {
        struct stat stream
        {};
        if (::fstat(fd, &stream) == 0 && stream.st_dev == status.st_dev &&
            stream.st_ino == status.st_ino)
        {
            return fd;
        }
    }
    return -1;
}

/** Whether @p file is the FPGA driver's: a device node, or a file in its
 *  sysfs directory, where text from -o would be written to the hardware. */
bool driversFile(const std::string& file)
{
    std::error_code ignored;
    const auto real = [&](std::string_view path) {
        return std::filesystem::weakly_canonical(std::string(path), ignored);
    };
    const auto path = real(file);
    return std::ranges::any_of(
               layout::probeDirs,
               [&](std::string_view dir) {
                   const auto base = real(dir);
                   return std::mismatch(base.begin(), base.end(), path.begin(),
                                        path.end())
                              .first == base.end();
               }) ||
           std::ranges::any_of(layout::nodes, [&](const layout::Node& node) {
               return real(node.path) == path;
           });
}

/** The file of -o open for writing: a temporary file that replaces the
 *  regular file @c target, or with no target the file itself. Going away,
 *  it closes the file and removes its temporary file, if still there. */
struct Output
{
    std::string file;
    std::string target;
    int fd = -1;

    ~Output()
    {
        if (!target.empty())
        {
            ::unlink(pendingTemporary.data());
            setPendingTemporary("");
        }
        if (fd >= 0)
        {
            ::close(fd);
        }
    }
};

/** Makes the temporary file that replaces the regular @p file, with the
 *  owner, group and mode of @p replaced when there is one. */
void makeTemporary(Output& output, const struct stat* replaced)
{
    // The file a symbolic link names is replaced, not the link.
    std::error_code ignored;
    const std::string& file = output.file;
    const std::string real = std::filesystem::canonical(file, ignored);
    output.target = replaced && !real.empty() ? real : file;
    // FILE.XXXXXX, its name cut to the longest a file name may be.
    const auto target = std::filesystem::absolute(output.target, ignored);
    const std::string name = target.filename().string().substr(0, NAME_MAX - 7);
    output.fd = setPendingTemporary(target.parent_path() / (name + ".XXXXXX"));
    if (output.fd < 0)
    {
        output.target.clear();
        cannotWrite(file, "cannot create a temporary file in " +
                              target.parent_path().string() + ": " +
                              std::strerror(errno));
    }
    if (replaced &&
        ::fchown(output.fd, replaced->st_uid, replaced->st_gid) != 0)
    {
        cannotWrite(file, "cannot keep its owner and group (" +
                              std::to_string(replaced->st_uid) + ":" +
                              std::to_string(replaced->st_gid) +
                              ") on the file that would replace it: " +
                              std::strerror(errno));
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(output.fd, replaced ? replaced->st_mode & 07777 : 0666 & ~mask);
}

/** Opens the file of -o. @throws Failure */
std::unique_ptr<Output> openOutput(const std::string& file)
{
    std::unique_ptr<Output> output(new Output{file, "", -1});
    struct stat status
    {};
    const bool exists = ::stat(file.c_str(), &status) == 0;
    if (!exists && (errno != ENOENT || ::lstat(file.c_str(), &status) == 0))
    {
        // /dev/stdout after >&- links to a descriptor that is not open.
        const int error = errno;
        std::error_code ignored;
        const std::string link = std::filesystem::read_symlink(file, ignored);
        const std::string fds = "/proc/self/fd/";
        cannotWrite(
            file, error != ENOENT ? std::strerror(error)
                  : link.starts_with(fds)
                      ? "descriptor " + link.substr(fds.size()) + " is not open"
                      : "a symbolic link to nothing");
    }
    if (driversFile(file))
    {
        cannotWrite(file, "it is a file of the FPGA driver");
    }
    if (exists && (S_ISDIR(status.st_mode) ||
                   ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0))
    {
        cannotWrite(file,
                    std::strerror(S_ISDIR(status.st_mode) ? EISDIR : errno));
    }
    const int stream = exists ? standardStreamOf(status) : -1;
    if (!exists || (S_ISREG(status.st_mode) && stream < 0))
    {
        makeTemporary(*output, exists ? &status : nullptr);
        return output;
    }
    // A pipe, a terminal, or what standard output already writes
    // (-o /dev/stdout >>log): written in place, as a shell's ">" would.
    output->fd = stream >= 0
                     ? ::dup(stream)
                     : ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (output->fd < 0)
    {
        cannotWrite(file, std::strerror(errno));
    }
    // Of the devices, only a terminal and /dev/null.
    struct stat null
    {};
    if ((S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) &&
        ::isatty(output->fd) == 0 &&
        (::stat("/dev/null", &null) != 0 || null.st_rdev != status.st_rdev))
    {
        cannotWrite(file, "a device other than a terminal or /dev/null");
    }
    return output;
}

/** Writes @p text, then puts the file in place. @throws Failure */
void commit(Output& output, const std::string& text)
{
    for (std::string_view rest = text; !rest.empty();)
    {
        const ssize_t written = ::write(output.fd, rest.data(), rest.size());
        if (written < 0 && errno != EINTR)
        {
            cannotWrite(output.file, std::strerror(errno));
        }
        rest.remove_prefix(written < 0 ? 0 : static_cast<std::size_t>(written));
    }
    const bool temporary = !output.target.empty();
    if (temporary &&
        (::fsync(output.fd) != 0 ||
         ::rename(pendingTemporary.data(), output.target.c_str()) != 0))
    {
        cannotWrite(output.file, std::strerror(errno));
    }
    output.target.clear();
    setPendingTemporary("");
}

} // namespace

int present(const std::string& command, const std::function<Report()>& verb,
            const Args& how)
{
    std::unique_ptr<Output> file;
    if (how.file)
    {
        file = openOutput(*how.file);
    }
    std::ostringstream buffer;
    std::ostream& out = file ? buffer : std::cout;
    const Samples samples = printSamples(command, verb, how, out);
    // What was read is written, also past failures; a verb that failed
    // leaves a file it would replace as it was.
    if (file && (samples.ran || file->target.empty()))
    {
        commit(*file, buffer.str());
    }
    return samples.status;
}

} // namespace fpgatool
