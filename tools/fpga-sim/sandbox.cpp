// SPDX-License-Identifier: Apache-2.0
#include "sandbox.hpp"

#include "control.hpp"
#include "driver_fs.hpp"
#include "journal_sink.hpp"
#include "mounts.hpp"
#include "sim/fd.hpp"
#include "sim/published.hpp"
#include "sim/world.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

namespace fpga_sim
{

namespace
{

constexpr const char* stageName = ".fpga-sim-stage";
constexpr const char* stageDir = "/dev/.fpga-sim-stage";

/** The FUSE file system and its loop thread. */
class Server
{
  public:
    /** Takes @p fuse, which libfuse reads from then on: it stays open for
     *  as long as the server, the life of the process. */
    Server(const Board& board, int traceFd, TraceFormat format, Fd fuse) :
        fs(board, traceFd, format), fuseFd(std::move(fuse))
    {
        const std::string options =
            "fd=" + std::to_string(fuseFd.get()) +
            ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
            ",group_id=" + std::to_string(::getgid()) +
            // Everyone may look; opens are checked against each file's
            // mode and owner by the file system (permission.hpp).
            ",allow_other";
        makeDir(stageDir);
        if (::mount("fpga-sim", stageDir, "fuse.fpga-sim", MS_NOSUID | MS_NODEV,
                    options.c_str()) != 0)
        {
            setupFailed("mount the FUSE file system");
        }
        fuse_args args = FUSE_ARGS_INIT(0, nullptr);
        fuse_opt_add_arg(&args, "fpga-sim");
        handle = ::fuse_new(&args, &DriverFs::operations(),
                            sizeof(fuse_operations), &fs);
        fuse_opt_free_args(&args);
        if (handle == nullptr)
        {
            throw SetupError("libfuse refused to start");
        }
        // The mount is made already; "/dev/fd/N" tells libfuse to use N.
        const std::string device = "/dev/fd/" + std::to_string(fuseFd.get());
        if (::fuse_mount(handle, device.c_str()) != 0)
        {
            throw SetupError("libfuse cannot take over /dev/fuse");
        }
        std::thread([this] { ::fuse_loop(handle); }).detach();
    }

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    DriverFs& files()
    {
        return fs;
    }

  private:
    DriverFs fs;
    Fd fuseFd;
    fuse* handle = nullptr;
};

/** SIGPIPE's disposition as fpga-sim found it, the command's to have. */
struct sigaction inheritedPipe
{};

sigset_t waitedSignals()
{
    sigset_t set = endingSignals();
    sigaddset(&set, SIGCHLD);
    return set;
}

Fd openFuse()
{
    Fd fd(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (fd.get() < 0)
    {
        setupFailed("cannot open /dev/fuse (the simulator needs read and "
                    "write access to it; Debian's udev makes it 0666)");
    }
    return fd;
}

/** The names of /dev that fpga-sim makes itself, rather than the host's. */
std::set<std::string> ownDevNames(bool journal)
{
    std::set<std::string> names = {stageName};
    for (const layout::Node& node : layout::nodes)
    {
        names.emplace(node.name);
    }
    if (journal)
    {
        names.emplace("log");
    }
    return names;
}

/**
 * Serve @p board: mount the FUSE file system at a staging directory, cover
 * the SPI devices directory, and bind each published directory and node
 * from the stage to its path.
 * @return the server, never destroyed: the loop thread may serve a
 *         straggler of the command until the process exits
 */
Server& serveBoard(const Board& board, int traceFd, TraceFormat format, Fd fuse,
                   Mounts& mounts)
{
    auto* server = new Server(board, traceFd, format, std::move(fuse));
    mounts.tmpfs(coverFor(spiDevicesDir(), "/sys/bus"),
                 "the driver's directories");
    makeDirs(spiDevicesDir());
    for (const Published& entry : published(board))
    {
        switch (entry.kind)
        {
            case Published::Kind::dir:
                makeDir(entry.path);
                break;
            case Published::Kind::node:
                makeFile(entry.path);
                break;
            case Published::Kind::fifo:
                // A FIFO cannot seek (ESPIPE), which FUSE cannot imitate.
                if (::mkfifo(entry.path.c_str(), 0644) != 0)
                {
                    setupFailed("mkfifo " + entry.path);
                }
                continue;
            case Published::Kind::attribute:
            case Published::Kind::reset:
                // They come with their directory.
                continue;
        }
        mounts.bind(std::string(stageDir) + entry.path, entry.path);
    }
    // The binds keep the file system mounted; the staging mount goes.
    ::umount2(stageDir, MNT_DETACH);
    ::rmdir(stageDir);
    return *server;
}

/** With --journal: the journal's sockets in a directory of fpga-sim's own,
 *  and /dev/log leading to its syslog socket. */
std::unique_ptr<JournalSink> catchJournal(int journalFd, Mounts& mounts)
{
    if (journalFd < 0)
    {
        return nullptr;
    }
    const std::string journalDir = "/run/systemd/journal";
    mounts.tmpfs(coverFor(journalDir, "/run"),
                 "the directory of --journal's sockets");
    makeDirs(journalDir);
    auto sink = std::make_unique<JournalSink>(journalFd);
    if (::symlink(JournalSink::syslogSocket, "/dev/log") != 0)
    {
        setupFailed("symlink /dev/log");
    }
    return sink;
}

/** Refuse an output FILE where fpga-sim puts files of its own: the host's
 *  file there would be written (on a BMC, the driver's own node), not what
 *  the command sees. @throws SetupError */
void refuseCovered(std::initializer_list<const Output*> outputs, bool journal)
{
    std::vector<std::string> covered = {coverFor(spiDevicesDir(), "/sys/bus")};
    for (const std::string& name : ownDevNames(journal))
    {
        covered.push_back("/dev/" + name);
    }
    if (journal)
    {
        covered.push_back(coverFor("/run/systemd/journal", "/run"));
    }
    for (const Output* output : outputs)
    {
        if (output == nullptr || output->path().empty())
        {
            continue;
        }
        std::error_code ignored;
        const std::filesystem::path file =
            std::filesystem::absolute(output->path()).lexically_normal();
        for (const std::string& path :
             {file.string(),
              std::filesystem::weakly_canonical(file, ignored).string()})
        {
            for (const std::string& dir : covered)
            {
                if (path == dir || path.starts_with(dir + "/"))
                {
                    throw SetupError(output->name() + ": fpga-sim serves " +
                                     dir + " in its place; write elsewhere");
                }
            }
        }
    }
}

/** Runs in the forked child, which must only make async-signal-safe calls
 *  while the threads of its parent may hold locks. */
[[noreturn]] void execCommand(char* const* argv, int reportFd,
                              const sigset_t& blocked, pid_t parent)
{
    ::sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
    ::sigaction(SIGPIPE, &inheritedPipe, nullptr);
    // The command must not outlive fpga-sim, whose loop serves its files;
    // if fpga-sim is gone already, the signal would never come.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent)
    {
        ::_exit(128 + SIGTERM);
    }
    ::execvp(argv[0], argv);
    const int error = errno;
    [[maybe_unused]] const ssize_t ignored =
        ::write(reportFd, &error, sizeof(error));
    ::_exit(error == ENOENT ? exitNotFound : exitCannotExecute);
}

int waitForCommand(pid_t child, const sigset_t& waited)
{
    for (;;)
    {
        siginfo_t info{};
        if (::sigwaitinfo(&waited, &info) < 0)
        {
            continue;
        }
        if (info.si_signo != SIGCHLD)
        {
            // A terminal's signal reaches the command's process group
            // already; pass on only those sent to fpga-sim itself.
            if (info.si_code != SI_KERNEL)
            {
                ::kill(child, info.si_signo);
            }
            continue;
        }
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child)
        {
            return WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                       : WEXITSTATUS(status);
        }
    }
}

/** Start @p command, say why when it cannot start, wait for it. */
int runCommand(const std::vector<std::string>& command, const sigset_t& waited)
{
    std::vector<char*> argv;
    for (const std::string& arg : command)
    {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
    {
        setupFailed("pipe");
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0)
    {
        setupFailed("fork");
    }
    if (child == 0)
    {
        ::close(report[0]);
        execCommand(argv.data(), report[1], waited, parent);
    }
    ::close(report[1]);
    // While the command runs, fpga-sim's own messages (a scenario step
    // refused) pass through a relay: no request of the file system waits on
    // a reader of standard error that has stopped.
    Output messages("standard error", "");
    messages.open();
    messages.start();
    const Fd stderrFd(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    ::dup2(messages.writeEnd(), STDERR_FILENO);
    int execError = 0;
    if (::read(report[0], &execError, sizeof(execError)) == sizeof(execError))
    {
        std::fprintf(stderr, "fpga-sim: cannot run %s: %s\n",
                     command.front().c_str(), std::strerror(execError));
    }
    ::close(report[0]);
    const int status = waitForCommand(child, waited);
    ::dup2(stderrFd.get(), STDERR_FILENO);
    messages.finish();
    return status;
}

} // namespace

void ignoreBrokenPipes()
{
    struct sigaction ignore
    {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &inheritedPipe);
}

int runOnBoard(const Board& board, Output* trace, TraceFormat traceFormat,
               Output* journal, const std::string& controlPath,
               const std::vector<std::string>& command)
{
    // Signals are taken with sigwaitinfo; block them before any thread
    // starts so that no other thread takes them.
    const sigset_t waited = waitedSignals();
    ::sigprocmask(SIG_BLOCK, &waited, nullptr);
    // Each step needs what the one before made: the order is the design.
    // Fail before changing anything when /dev/fuse is closed to us.
    openFuse();
    refuseCovered({trace, journal}, journal != nullptr);
    // The socket's file, in the host's file system where clients outside
    // find it.
    ControlSocket control(controlPath);
    // Files are created or truncated once nothing else may refuse the run.
    for (Output* output : {trace, journal})
    {
        if (output != nullptr)
        {
            output->open();
        }
    }
    enterNamespace();
    for (Output* output : {trace, journal})
    {
        if (output != nullptr)
        {
            output->start();
        }
    }
    // The kernel takes a FUSE mount only with a descriptor opened in the
    // user namespace that mounts.
    Fd fuse = openFuse();
    Mounts mounts;
    // Before anything is made in /dev, or it lands on the host.
    coverDev(mounts, ownDevNames(journal != nullptr));
    Server& server = serveBoard(board, trace ? trace->writeEnd() : -1,
                                traceFormat, std::move(fuse), mounts);
    auto sink = catchJournal(journal ? journal->writeEnd() : -1, mounts);
    // Once everything is covered: the command sees the path as it is now.
    control.publish();
    control.checkReachable(mounts);
    serveChanges(control.take(), server.files());
    std::fflush(nullptr);
    const int status = runCommand(command, waited);
    sink.reset();
    mounts.detachAll();
    return status;
}

} // namespace fpga_sim
