// SPDX-License-Identifier: Apache-2.0
#include "world.hpp"

#include "fd.hpp"
#include "published.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace fpga_sim
{

namespace
{

[[noreturn]] void fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

Fd openOrFail(const std::string& path, int flags, mode_t mode = 0)
{
    Fd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
    if (fd.get() < 0)
    {
        fail("open " + path);
    }
    return fd;
}

void makeDir(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    {
        fail("mkdir " + path);
    }
}

/** makeDir() of @p path and of every missing directory above it. */
void makeDirs(const std::string& path)
{
    const std::string parent = path.substr(0, path.rfind('/'));
    if (!parent.empty() && ::access(parent.c_str(), F_OK) != 0)
    {
        makeDirs(parent);
    }
    makeDir(path);
}

/** Bind @p path onto itself and make that mount read-only. */
void makeReadOnly(const std::string& path)
{
    if (::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
    {
        fail("bind " + path);
    }
    if (::mount(nullptr, path.c_str(), nullptr,
                MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
    {
        fail("remount read-only " + path);
    }
}

/**
 * Bind the real device @p fd (opened before /dev was covered) onto a fresh
 * file at @p path; the magic link reaches the device itself.
 */
void bindDevice(int fd, const std::string& path)
{
    writeFile(path, "");
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (::mount(link.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
    {
        fail("bind " + path);
    }
}

void writeProcFile(const std::string& path, const std::string& text)
{
    Fd fd = openOrFail(path, O_WRONLY);
    if (::write(fd.get(), text.data(), text.size()) !=
        static_cast<ssize_t>(text.size()))
    {
        throw NamespaceUnavailable("cannot write " + path);
    }
}

void pwriteAll(int fd, const std::vector<std::uint8_t>& values,
               std::uint64_t position, const std::string& path)
{
    if (values.empty())
    {
        return;
    }
    if (::pwrite(fd, values.data(), values.size(),
                 static_cast<off_t>(position)) !=
        static_cast<ssize_t>(values.size()))
    {
        fail("write " + path);
    }
}

} // namespace

void unshareNamespaces()
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const int flags = uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS;
    if (::unshare(flags) != 0)
    {
        throw NamespaceUnavailable(
            std::string("unshare: ") + std::generic_category().message(errno));
    }
    if (uid != 0)
    {
        // setgroups must be denied before an unprivileged gid_map is written.
        writeProcFile("/proc/self/setgroups", "deny");
        writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
}

void enterPrivateNamespace()
{
    unshareNamespaces();
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    {
        fail("make mounts private");
    }
}

void mountTmpfs(const std::string& dir)
{
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0)
    {
        fail("mount tmpfs on " + dir);
    }
}

void mountMinimalDev()
{
    // The real /dev/null must be reachable after /dev is covered: open it
    // first and bind it back in afterwards.
    Fd devNull = openOrFail("/dev/null", O_RDWR);
    mountTmpfs("/dev");
    bindDevice(devNull.get(), "/dev/null");
    for (const auto& [name, target] :
         {std::pair{"/dev/fd", "/proc/self/fd"},
          std::pair{"/dev/stdin", "/proc/self/fd/0"},
          std::pair{"/dev/stdout", "/proc/self/fd/1"},
          std::pair{"/dev/stderr", "/proc/self/fd/2"}})
    {
        if (::symlink(target, name) != 0)
        {
            fail(std::string("symlink ") + name);
        }
    }
}

void writeFile(const std::string& path, const std::string& text)
{
    Fd fd = openOrFail(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (::write(fd.get(), text.data(), text.size()) !=
        static_cast<ssize_t>(text.size()))
    {
        fail("write " + path);
    }
}

std::string readFile(const std::string& path)
{
    Fd fd = openOrFail(path, O_RDONLY);
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = ::read(fd.get(), chunk, sizeof(chunk))) > 0)
    {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    if (got < 0)
    {
        fail("read " + path);
    }
    return text;
}

World::World(Board board) : desc(std::move(board))
{
    enterPrivateNamespace();

    // Mount before creating anything, or the files land on the host.
    for (const char* dir : {"/sys/bus", "/run"})
    {
        mountTmpfs(dir);
    }
    mountMinimalDev();

    build();
    // Without a driver directory the library looks directly under "/":
    // give it a root of the world's own.
    if (desc.probe == ProbeDirs::none)
    {
        enterPrivateRoot();
    }
}

void World::build()
{
    makeDirs(spiDevicesDir());
    const std::vector<Published> entries = published(desc);
    for (const Published& entry : entries)
    {
        const std::string& path = entry.path;
        switch (entry.kind)
        {
            case Published::Kind::dir:
                makeDir(path);
                break;
            case Published::Kind::attribute:
            case Published::Kind::reset:
                // The reset is a plain file that keeps what was written last.
                writeFile(path, entry.text);
                break;
            case Published::Kind::fifo:
                if (::mkfifo(path.c_str(), 0644) != 0)
                {
                    fail("mkfifo " + path);
                }
                break;
            case Published::Kind::node:
            {
                Fd fd = openOrFail(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
                if (::ftruncate(fd.get(), static_cast<off_t>(entry.size)) != 0)
                {
                    fail("truncate " + path);
                }
                for (const Registers::Run& run : entry.node->bytes.runs())
                {
                    if (run.start < entry.size)
                    {
                        const auto count = std::min<std::uint64_t>(
                            run.bytes.size(), entry.size - run.start);
                        pwriteAll(fd.get(),
                                  {run.bytes.begin(),
                                   run.bytes.begin() +
                                       static_cast<std::ptrdiff_t>(count)},
                                  run.start, path);
                    }
                }
                break;
            }
        }
    }
    // Made read-only once all is written, files before their directory.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    {
        if (it->readOnly)
        {
            makeReadOnly(it->path);
        }
    }
}

std::string World::attrPath(const std::string& name) const
{
    // The directory the driver would use now: probes may have changed
    // since the board was built.
    for (const std::string_view dir : layout::probeDirs)
    {
        const std::string mark =
            std::string(dir) + "/" + std::string(layout::wakeupAttr);
        if (::access(mark.c_str(), F_OK) == 0)
        {
            return std::string(dir) + "/" + name;
        }
    }
    throw std::logic_error("no driver directory for " + name);
}

void World::writeAttr(const std::string& name, const std::string& text)
{
    writeFile(attrPath(name), text);
}

void World::removeAttr(const std::string& name)
{
    const std::string path = attrPath(name);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    {
        fail("unlink " + path);
    }
}

void World::setProbe(const std::string& dir, bool present)
{
    const std::string mark = dir + "/" + std::string(layout::wakeupAttr);
    if (present)
    {
        makeDir(dir);
        writeFile(mark, "");
    }
    else if (::unlink(mark.c_str()) != 0 && errno != ENOENT)
    {
        fail("unlink " + mark);
    }
}

void World::poke(const std::string& path, std::uint64_t position,
                 const std::vector<std::uint8_t>& values)
{
    Fd fd = openOrFail(path, O_WRONLY);
    pwriteAll(fd.get(), values, position, path);
}

std::vector<std::uint8_t> World::peek(
    const std::string& path, std::uint64_t position, std::size_t count) const
{
    Fd fd = openOrFail(path, O_RDONLY);
    std::vector<std::uint8_t> values(count);
    const ssize_t got =
        ::pread(fd.get(), values.data(), count, static_cast<off_t>(position));
    if (got < 0)
    {
        fail("read " + path);
    }
    values.resize(static_cast<std::size_t>(got));
    return values;
}

void World::pokeNormal(Location location, std::size_t index, std::size_t block,
                       std::size_t offset,
                       const std::vector<std::uint8_t>& values)
{
    poke(nodePath(location, index, Mode::normal), normalPosition(block, offset),
         values);
}

std::vector<std::uint8_t>
    World::peekNormal(Location location, std::size_t index, std::size_t block,
                      std::size_t offset, std::size_t count) const
{
    return peek(nodePath(location, index, Mode::normal),
                normalPosition(block, offset), count);
}

void World::pokeAdi(Location location, std::size_t index, std::size_t block,
                    std::size_t offset, std::size_t page,
                    std::size_t pageDataOffset,
                    const std::vector<std::uint8_t>& values)
{
    poke(nodePath(location, index, Mode::adi),
         adiPosition(location, block, offset, page, pageDataOffset), values);
}

std::vector<std::uint8_t> World::peekAdi(
    Location location, std::size_t index, std::size_t block, std::size_t offset,
    std::size_t page, std::size_t pageDataOffset, std::size_t count) const
{
    return peek(nodePath(location, index, Mode::adi),
                adiPosition(location, block, offset, page, pageDataOffset),
                count);
}

void World::enterPrivateRoot()
{
    if (privateRoot)
    {
        return;
    }
    privateRoot = true;
    const std::string root = "/run/private-root";
    makeDir(root);
    mountTmpfs(root);
    DIR* top = ::opendir("/");
    if (top == nullptr)
    {
        fail("opendir /");
    }
    std::vector<std::string> names;
    while (const dirent* ent = ::readdir(top))
    {
        names.emplace_back(ent->d_name);
    }
    ::closedir(top);
    for (const std::string& name : names)
    {
        if (name == "." || name == "..")
        {
            continue;
        }
        const std::string from = "/" + name;
        const std::string to = root + "/" + name;
        struct stat st = {};
        if (::lstat(from.c_str(), &st) != 0)
        {
            continue;
        }
        if (S_ISLNK(st.st_mode))
        {
            std::array<char, 4096> target{};
            const ssize_t len =
                ::readlink(from.c_str(), target.data(), target.size() - 1);
            if (len < 0 || ::symlink(target.data(), to.c_str()) != 0)
            {
                fail("copy link " + from);
            }
        }
        else if (S_ISDIR(st.st_mode))
        {
            makeDir(to);
            // /run holds the new root itself: bind it without submounts.
            const unsigned long flags =
                name == "run" ? MS_BIND : MS_BIND | MS_REC;
            if (::mount(from.c_str(), to.c_str(), nullptr, flags, nullptr) != 0)
            {
                fail("bind " + from);
            }
        }
    }
    if (::chdir(root.c_str()) != 0 || ::chroot(".") != 0 || ::chdir("/") != 0)
    {
        fail("chroot " + root);
    }
}

std::uint64_t World::nodeSize(const std::string& path) const
{
    struct stat st = {};
    if (::stat(path.c_str(), &st) != 0)
    {
        fail("stat " + path);
    }
    return static_cast<std::uint64_t>(st.st_size);
}

} // namespace fpga_sim
