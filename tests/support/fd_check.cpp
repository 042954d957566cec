// SPDX-License-Identifier: Apache-2.0
#include "fd_check.hpp"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <stdexcept>

namespace fpga_test
{

namespace
{

bool isJournalClientSocket(int fd)
{
    int domain = 0;
    int type = 0;
    socklen_t len = sizeof(domain);
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0)
    {
        return false;
    }
    len = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0)
    {
        return false;
    }
    return domain == AF_UNIX && type == SOCK_DGRAM;
}

} // namespace

std::set<std::string> openFds()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
    {
        throw std::runtime_error("cannot list /proc/self/fd");
    }
    const int own = ::dirfd(dir);
    std::set<std::string> fds;
    while (const dirent* ent = ::readdir(dir))
    {
        const std::string name = ent->d_name;
        if (name == "." || name == "..")
        {
            continue;
        }
        const int fd = std::atoi(name.c_str());
        if (fd == own)
        {
            continue;
        }
        std::array<char, 512> target{};
        const std::string link = "/proc/self/fd/" + name;
        const ssize_t len =
            ::readlink(link.c_str(), target.data(), target.size() - 1);
        const std::string text =
            len > 0 ? std::string(target.data(), static_cast<std::size_t>(len))
                    : std::string("?");
        if (text.starts_with("socket:") && isJournalClientSocket(fd))
        {
            continue;
        }
        fds.insert(name + " -> " + text);
    }
    ::closedir(dir);
    return fds;
}

} // namespace fpga_test
