// SPDX-License-Identifier: Apache-2.0
#include "mounts.hpp"

#include "sandbox.hpp"
#include "sim/fd.hpp"
#include "sim/world.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace fpga_sim
{

namespace
{

/** Set when "/" is no mount point: the id of the mount it lies on, which
 *  stays as the host shares it. */
std::optional<std::uint64_t> unsharedRoot;

/** The id of the mount @p path lies on (the topmost one at a mount point). */
std::optional<std::uint64_t> mountId(const std::string& path)
{
    struct statx st
    {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_MNT_ID, &st) != 0 ||
        (st.stx_mask & STATX_MNT_ID) == 0)
    {
        return std::nullopt;
    }
    return st.stx_mnt_id;
}

/** A mount point as /proc/self/mountinfo writes it, octal escapes undone
 *  ("\040" for a space). */
std::string unescape(const std::string& field)
{
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i)
    {
        const std::string code = field.substr(i + 1, 3);
        if (field[i] == '\\' && code.size() == 3 &&
            code.find_first_not_of("01234567") == std::string::npos)
        {
            out += static_cast<char>(std::stoi(code, nullptr, 8));
            i += 3;
            continue;
        }
        out += field[i];
    }
    return out;
}

/** Every mount point this process sees. */
std::vector<std::string> mountPoints()
{
    std::ifstream info("/proc/self/mountinfo");
    if (!info)
    {
        setupFailed("read /proc/self/mountinfo");
    }
    std::vector<std::string> points;
    for (std::string line; std::getline(info, line);)
    {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i)
        {}
        points.push_back(unescape(field));
    }
    return points;
}

/** Make every mount private, so that nothing mounted here reaches the
 *  namespace fpga-sim came from. */
void makeMountsPrivate()
{
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
    {
        return;
    }
    if (errno != EINVAL)
    {
        setupFailed("make mounts private");
    }
    // "/" is no mount point (a chroot into a plain directory): the mounts
    // under it can be made private, the one it lies on cannot.
    for (const std::string& point : mountPoints())
    {
        if (::mount(nullptr, point.c_str(), nullptr, MS_REC | MS_PRIVATE,
                    nullptr) != 0)
        {
            setupFailed("make the mount at " + point + " private");
        }
    }
    unsharedRoot = mountId("/").value_or(0);
}

/** Refuse to mount on @p dir when it lies on the mount of an unshared root:
 *  the host could see what is mounted there. */
void checkMountable(const std::string& dir)
{
    if (unsharedRoot && mountId(dir).value_or(*unsharedRoot) == *unsharedRoot)
    {
        throw SetupError(
            "cannot mount on " + dir +
            ": in this chroot / is no mount point and " + dir +
            " lies on the same file system, where a mount could show "
            "outside fpga-sim. Make the chroot's directory a mount point "
            "before entering it (mount --bind DIR DIR), or mount a file "
            "system on " +
            dir + " in the chroot");
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

/** An entry of the host's /dev, held by an O_PATH descriptor so that it can
 *  be bound back after /dev is covered (a link by its target). */
std::optional<DevEntry> devEntry(const std::string& name)
{
    const std::string path = "/dev/" + name;
    struct stat st
    {};
    if (::lstat(path.c_str(), &st) != 0)
    {
        return std::nullopt;
    }
    if (S_ISLNK(st.st_mode))
    {
        std::array<char, 4096> target{};
        const ssize_t len =
            ::readlink(path.c_str(), target.data(), target.size() - 1);
        return len <= 0 ? std::nullopt
                        : std::optional<DevEntry>(
                              {name, DevEntry::Kind::link, Fd{},
                               std::string(target.data(),
                                           static_cast<std::size_t>(len))});
    }
    Fd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
    {
        return std::nullopt;
    }
    return DevEntry{
        name, S_ISDIR(st.st_mode) ? DevEntry::Kind::dir : DevEntry::Kind::file,
        std::move(fd), ""};
}

/** Every entry of the host's /dev except the names in @p skipped. */
std::vector<DevEntry> collectDev(const std::set<std::string>& skipped)
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
        if (name == "." || name == ".." || skipped.contains(name))
        {
            continue;
        }
        if (auto entry = devEntry(name))
        {
            entries.push_back(std::move(*entry));
        }
    }
    ::closedir(dir);
    return entries;
}

/** Put a remembered host entry into the fresh /dev. Best effort: an entry
 *  that cannot be carried over is left out. */
void restoreDevEntry(const DevEntry& entry, Mounts& mounts)
{
    const std::string path = "/dev/" + entry.name;
    switch (entry.kind)
    {
        case DevEntry::Kind::link:
            // Left out when it cannot be made, as any entry.
            if (::symlink(entry.target.c_str(), path.c_str()) != 0)
            {}
            return;
        case DevEntry::Kind::dir:
            if (::mkdir(path.c_str(), 0755) != 0)
            {
                return;
            }
            break;
        case DevEntry::Kind::file:
            if (Fd fd(
                    ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
                fd.get() < 0)
            {
                return;
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

} // namespace

void setupFailed(const std::string& what, int error)
{
    throw SetupError(what + ": " + std::strerror(error));
}

void makeDir(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    {
        setupFailed("mkdir " + path);
    }
}

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

void enterNamespace()
{
    try
    {
        unshareNamespaces();
    }
    catch (const std::exception& e)
    {
        throw SetupError(
            std::string("cannot enter a private namespace: ") + e.what() +
            (::geteuid() == 0 ? ""
                              : " (an ordinary user gets no user namespace "
                                "in a chroot, nor where the kernel keeps "
                                "them from users)"));
    }
    makeMountsPrivate();
}

void Mounts::bind(const std::string& from, const std::string& to)
{
    if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
    {
        setupFailed("bind " + from + " on " + to);
    }
    made.push_back({to, ""});
}

void Mounts::tmpfs(const std::string& dir, const std::string& why)
{
    checkMountable(dir);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0)
    {
        setupFailed("mount tmpfs on " + dir);
    }
    made.push_back({dir, why});
}

void Mounts::added(const std::string& dir)
{
    made.push_back({dir, ""});
}

std::string Mounts::covering(const std::string& path) const
{
    for (const Mount& mount : made)
    {
        if (!mount.why.empty() &&
            (path == mount.dir || path.starts_with(mount.dir + "/")))
        {
            return mount.dir + " (" + mount.why + ")";
        }
    }
    return "";
}

void Mounts::detachAll()
{
    for (auto it = made.rbegin(); it != made.rend(); ++it)
    {
        ::umount2(it->dir.c_str(), MNT_DETACH);
    }
    made.clear();
}

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

void coverDev(Mounts& mounts, const std::set<std::string>& served)
{
    const std::vector<DevEntry> host = collectDev(served);
    // Mount before creating anything, or the files land on the host.
    mounts.tmpfs("/dev", "fpga-sim's own /dev");
    const bool ownPtys = mountPtys(mounts);
    for (const DevEntry& entry : host)
    {
        if (!ownPtys || (entry.name != "pts" && entry.name != "ptmx"))
        {
            restoreDevEntry(entry, mounts);
        }
    }
}

} // namespace fpga_sim
