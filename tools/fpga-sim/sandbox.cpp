// SPDX-License-Identifier: Apache-2.0
#include "sandbox.hpp"

#include "control.hpp"
#include "driver_fs.hpp"
#include "journal_sink.hpp"
#include "sim/fd.hpp"
#include "sim/published.hpp"
#include "sim/world.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

namespace fpga_sim
{

namespace
{

constexpr const char* stageName = ".fpga-sim-stage";
constexpr const char* stageDir = "/dev/.fpga-sim-stage";

[[noreturn]] void setupFailed(const std::string& what, int error = errno)
{
    throw SetupError(what + ": " + std::strerror(error));
}

/** Mount points made here, unmounted in reverse order at the end. */
class Mounts
{
  public:
    void bind(const std::string& from, const std::string& to,
              unsigned long flags = 0)
    {
        if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | flags,
                    nullptr) != 0)
        {
            setupFailed("bind " + from + " on " + to);
        }
        made.push_back(to);
    }

    void tmpfs(const std::string& dir)
    {
        if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0)
        {
            setupFailed("mount tmpfs on " + dir);
        }
        made.push_back(dir);
    }

    void added(const std::string& dir)
    {
        made.push_back(dir);
    }

    /** Detach everything, so a process the command left behind finds no
     *  dead FUSE mount. */
    void detachAll()
    {
        for (auto it = made.rbegin(); it != made.rend(); ++it)
        {
            ::umount2(it->c_str(), MNT_DETACH);
        }
        made.clear();
    }

  private:
    std::vector<std::string> made;
};

void makeDir(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    {
        setupFailed("mkdir " + path);
    }
}

/** makeDir() of @p path and of every missing directory above it. */
void makeDirs(const std::string& path)
{
    const std::string parent = path.substr(0, path.rfind('/'));
    struct stat st
    {};
    if (!parent.empty() && ::stat(parent.c_str(), &st) != 0)
    {
        makeDirs(parent);
    }
    makeDir(path);
}

void makeFile(const std::string& path)
{
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (fd.get() < 0)
    {
        setupFailed("create " + path);
    }
}

std::string fdPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

/** One entry of the host's /dev, kept to be put back over the new tmpfs. */
struct DevEntry
{
    std::string name;
    enum class Kind
    {
        file,
        dir,
        link,
    } kind;
    Fd fd;
    std::string target;
};

/**
 * Remember every entry of the host's /dev except the names fpga-sim serves,
 * holding each by an O_PATH descriptor, so that it can be bound back after
 * /dev is covered.
 */
std::vector<DevEntry> collectDev(const std::set<std::string>& served)
{
    std::vector<DevEntry> entries;
    DIR* dir = ::opendir("/dev");
    if (dir == nullptr)
    {
        setupFailed("open /dev");
    }
    while (const dirent* ent = ::readdir(dir))
    {
        const std::string name = ent->d_name;
        if (name == "." || name == ".." || served.contains(name))
        {
            continue;
        }
        const std::string path = "/dev/" + name;
        struct stat st
        {};
        if (::lstat(path.c_str(), &st) != 0)
        {
            continue;
        }
        if (S_ISLNK(st.st_mode))
        {
            std::array<char, 4096> target{};
            const ssize_t len =
                ::readlink(path.c_str(), target.data(), target.size() - 1);
            if (len > 0)
            {
                entries.push_back({name, DevEntry::Kind::link, Fd{},
                                   std::string(target.data(),
                                               static_cast<std::size_t>(len))});
            }
            continue;
        }
        Fd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0)
        {
            continue;
        }
        entries.push_back(
            {name,
             S_ISDIR(st.st_mode) ? DevEntry::Kind::dir : DevEntry::Kind::file,
             std::move(fd), ""});
    }
    ::closedir(dir);
    return entries;
}

/** Put the remembered host entries into the fresh /dev. Best effort: an
 *  entry that cannot be carried over is left out. */
void restoreDev(std::vector<DevEntry>& entries, Mounts& mounts, bool ownPtys)
{
    for (DevEntry& entry : entries)
    {
        if (ownPtys && (entry.name == "pts" || entry.name == "ptmx"))
        {
            continue;
        }
        const std::string path = "/dev/" + entry.name;
        switch (entry.kind)
        {
            case DevEntry::Kind::link:
                if (::symlink(entry.target.c_str(), path.c_str()) != 0)
                {
                    // Left out, as any entry that cannot be carried over.
                }
                continue;
            case DevEntry::Kind::dir:
                if (::mkdir(path.c_str(), 0755) != 0)
                {
                    continue;
                }
                break;
            case DevEntry::Kind::file:
                if (Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC,
                                 0644));
                    fd.get() < 0)
                {
                    continue;
                }
                break;
        }
        // The magic link reaches the host's entry although /dev is covered.
        if (::mount(fdPath(entry.fd.get()).c_str(), path.c_str(), nullptr,
                    MS_BIND | MS_REC, nullptr) == 0)
        {
            mounts.added(path);
        }
    }
    entries.clear();
}

/**
 * Give /dev/pts an instance of devpts of its own, whose ptmx any user may
 * open, and bind that ptmx on /dev/ptmx. The host's /dev/ptmx cannot serve
 * alone: bound by itself it no longer finds the pts directory beside it, and
 * the host's own pts/ptmx has mode 000. The host's pseudo-terminals are not
 * listed in the new instance; those the command inherits work all the same.
 * @return false when devpts cannot be mounted; /dev/pts is then left empty
 */
bool mountPtys(Mounts& mounts)
{
    makeDir("/dev/pts");
    if (::mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
                "newinstance,ptmxmode=0666,mode=0620") != 0)
    {
        return false;
    }
    mounts.added("/dev/pts");
    makeFile("/dev/ptmx");
    mounts.bind("/dev/pts/ptmx", "/dev/ptmx");
    return true;
}

/** The deepest existing directory on the way to @p path, @p top at the
 *  least: a tmpfs over it hides what the host has there and nothing more
 *  (the SPI devices below /sys/bus, the journal's socket below /run). */
std::string coverFor(const std::string& path, const std::string& top)
{
    for (std::string dir = path; dir.starts_with(top);
         dir = dir.substr(0, dir.rfind('/')))
    {
        struct stat st
        {};
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        {
            return dir;
        }
    }
    throw SetupError("no " + top + " directory to cover");
}

/** The FUSE file system and its loop thread. */
class Server
{
  public:
    /** Takes @p fuse, which libfuse reads from then on: it stays open for
     *  as long as the server, the life of the process. */
    Server(const Board& board, int traceFd, Fd fuse) :
        fs(board, traceFd), fuseFd(std::move(fuse))
    {
        const std::string options =
            "fd=" + std::to_string(fuseFd.get()) +
            ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
            ",group_id=" + std::to_string(::getgid()) +
            // Everyone may look; opens are checked against each file's
            // mode and owner by the file system (driver_fs.cpp).
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
        loop = std::thread([this] { ::fuse_loop(handle); });
        loop.detach();
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
    std::thread loop;
};

const int forwardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

sigset_t waitedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    for (int sig : forwardedSignals)
    {
        sigaddset(&set, sig);
    }
    return set;
}

/** Runs in the forked child, which must only make async-signal-safe calls
 *  while the FUSE thread of its parent may hold locks. */
[[noreturn]] void execCommand(char* const* argv, int reportFd,
                              const sigset_t& blocked)
{
    ::sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
    // The command must not outlive fpga-sim, whose loop serves its files.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
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
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done != child)
        {
            continue;
        }
        if (WIFSIGNALED(status))
        {
            return 128 + WTERMSIG(status);
        }
        return WEXITSTATUS(status);
    }
}

/** The control socket's file, removed when fpga-sim is done with it. */
class ControlSocket
{
  public:
    explicit ControlSocket(const std::string& path) : path(path)
    {
        if (!path.empty())
        {
            fd = std::make_unique<Fd>(listenForChanges(path));
            ::stat(path.c_str(), &made);
        }
    }
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;
    ~ControlSocket()
    {
        if (fd)
        {
            ::unlink(path.c_str());
        }
    }

    /** Refuse a path the command would not reach (under /dev or /sys). */
    void checkReachable() const
    {
        struct stat st
        {};
        if (fd && (::stat(path.c_str(), &st) != 0 || st.st_ino != made.st_ino ||
                   st.st_dev != made.st_dev))
        {
            throw SetupError("--control " + path +
                             ": the command would not find it (fpga-sim "
                             "covers /dev and /sys/bus): put it under /tmp "
                             "or /run");
        }
    }

    Fd take()
    {
        return fd ? std::move(*fd) : Fd{};
    }

  private:
    std::string path;
    std::unique_ptr<Fd> fd;
    struct stat made
    {};
};

} // namespace

int runOnBoard(const Board& board, int traceFd, int journalFd,
               const std::string& controlPath,
               const std::vector<std::string>& command)
{
    // Signals are taken with sigwaitinfo; block them before any thread
    // starts so the FUSE loop never sees them.
    const sigset_t waited = waitedSignals();
    ::sigprocmask(SIG_BLOCK, &waited, nullptr);

    const auto openFuse = [] {
        Fd fd(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
        if (fd.get() < 0)
        {
            setupFailed("cannot open /dev/fuse (the simulator needs read "
                        "and write access to it; Debian's udev makes it "
                        "0666)");
        }
        return fd;
    };
    // Fail before changing anything when /dev/fuse is closed to us.
    openFuse();
    // In the host's file system, where clients outside find it too.
    ControlSocket control(controlPath);
    try
    {
        enterPrivateNamespace();
    }
    catch (const std::exception& e)
    {
        throw SetupError(
            std::string("cannot enter a private namespace: ") + e.what());
    }
    // The kernel takes a FUSE mount only with a descriptor opened in the
    // user namespace that mounts.
    Fd fuseFd = openFuse();

    std::set<std::string> served = {stageName};
    for (const layout::Node& node : layout::nodes)
    {
        served.emplace(node.name);
    }
    std::vector<DevEntry> hostDev = collectDev(served);

    Mounts mounts;
    // Mount before creating anything, or the files land on the host.
    mounts.tmpfs("/dev");
    restoreDev(hostDev, mounts, mountPtys(mounts));

    // Never destroyed: the loop thread may serve a straggler of the
    // command until the process exits.
    auto* server = new Server(board, traceFd, std::move(fuseFd));
    const std::string stage = stageDir;

    mounts.tmpfs(coverFor(spiDevicesDir(), "/sys/bus"));
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
        mounts.bind(stage + entry.path, entry.path);
    }
    // The binds keep the file system mounted; the staging mount goes.
    ::umount2(stageDir, MNT_DETACH);
    ::rmdir(stageDir);

    std::unique_ptr<JournalSink> journal;
    if (journalFd >= 0)
    {
        const std::string journalDir = "/run/systemd/journal";
        mounts.tmpfs(coverFor(journalDir, "/run"));
        makeDirs(journalDir);
        journal = std::make_unique<JournalSink>(journalFd);
    }
    control.checkReachable();
    serveChanges(control.take(), server->files());

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
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
    {
        setupFailed("fork");
    }
    if (child == 0)
    {
        ::close(report[0]);
        execCommand(argv.data(), report[1], waited);
    }
    ::close(report[1]);
    int execError = 0;
    if (::read(report[0], &execError, sizeof(execError)) == sizeof(execError))
    {
        std::fprintf(stderr, "fpga-sim: cannot run %s: %s\n",
                     command.front().c_str(), std::strerror(execError));
    }
    ::close(report[0]);

    const int status = waitForCommand(child, waited);
    journal.reset();
    mounts.detachAll();
    return status;
}

} // namespace fpga_sim
