// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <unistd.h>

namespace fpga_sim
{

/** @brief Closes a descriptor when it goes out of scope. */
class Fd
{
  public:
    explicit Fd(int fd = -1) : fd(fd) {}
    Fd(Fd&& other) noexcept : fd(other.fd)
    {
        other.fd = -1;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&&) = delete;
    ~Fd()
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }

    int get() const
    {
        return fd;
    }

  private:
    int fd;
};

} // namespace fpga_sim
