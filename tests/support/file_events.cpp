// SPDX-License-Identifier: Apache-2.0
#include "file_events.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace fpga_test
{

FileEvents::FileEvents(const std::string& path) :
    fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (fd < 0 || ::inotify_add_watch(fd, path.c_str(),
                                      IN_OPEN | IN_MODIFY | IN_CLOSE) < 0)
    {
        const int err = errno;
        if (fd >= 0)
        {
            ::close(fd);
        }
        throw std::system_error(err, std::generic_category(), path);
    }
}

FileEvents::~FileEvents()
{
    ::close(fd);
}

std::string FileEvents::letters()
{
    constexpr std::pair<std::uint32_t, char> kinds[] = {
        {IN_OPEN, 'O'},
        {IN_MODIFY, 'M'},
        {IN_CLOSE_WRITE, 'C'},
        {IN_CLOSE_NOWRITE, 'c'}};
    std::string letters;
    alignas(inotify_event) char events[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, events, sizeof(events))) > 0)
    {
        for (char* p = events; p < events + got;)
        {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            for (const auto& [mask, letter] : kinds)
            {
                if ((event->mask & mask) != 0)
                {
                    letters += letter;
                }
            }
            p += sizeof(inotify_event) + event->len;
        }
    }
    return letters;
}

} // namespace fpga_test
