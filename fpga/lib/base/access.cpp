// SPDX-License-Identifier: Apache-2.0
// Checked register transfers through the driver's device nodes.

#include "base/base.hpp"
#include "base/device_layout.hpp"
#include "logging/lg2.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace tavrin_fpga
{
namespace
{

using layout::Mode;

/** The register that a checked access addresses. */
struct Address
{
    std::size_t block;
    std::size_t offset;
    /** Page and page data offset, for ADI mode only. */
    std::optional<std::pair<std::size_t, std::size_t>> paged;
};

/**
 * The checks before every transfer, in order: the chip is present (and has a
 * node), every field is in range, the chip has the block enabled. The first
 * that fails is logged with the location of the checked access that asked.
 * @return 0 or the failing check's result code
 */
int checkAccess(bool remote, std::size_t index, const Address& address,
                const std::source_location& where)
{
    const Location location = remote ? Location::remote : Location::local;
    // A remote index without a node is reported like an absent chip.
    if (!chipDetected(location, index) ||
        (remote && index >= layout::remoteCount))
    {
        lg2::error(where, "RMT:{R} Chip{ID} not detected\n", "R",
                   remote ? "True" : "False", "ID", index);
        return -ENODEV;
    }
    if (address.block > layout::maxBlock)
    {
        lg2::error(where, "Invalid block:{BLOCK}\n", "BLOCK", address.block);
        return -EINVAL;
    }
    if (address.offset > layout::maxOffset)
    {
        lg2::error(where, "Invalid offset:{OFFSET}\n", "OFFSET",
                   address.offset);
        return -EINVAL;
    }
    if (address.paged)
    {
        const auto [page, pageDataOffset] = *address.paged;
        if (page > layout::maxPage)
        {
            lg2::error(where, "Invalid page:{PAGE}\n", "PAGE", page);
            return -EINVAL;
        }
        if (pageDataOffset > layout::maxPageDataOffset)
        {
            lg2::error(where, "Invalid pageDataOffset:{OFFSET}\n", "OFFSET",
                       pageDataOffset);
            return -EINVAL;
        }
    }
    if (!blockSupported(address.block, location, index))
    {
        lg2::error(where, "Block{BLOCK} is disabled\n", "BLOCK", address.block);
        return -EFAULT;
    }
    return 0;
}

/** File position of the register a checked access addresses. */
std::size_t position(Location location, const Address& address)
{
    if (!address.paged)
    {
        return layout::normalPosition(address.block, address.offset);
    }
    const auto [page, pageDataOffset] = *address.paged;
    return layout::adiPosition(location, address.block, address.offset, page,
                               pageDataOffset);
}

int checkedAccess(bool remote, std::size_t index, Operation op,
                  const Address& address, std::size_t length,
                  std::span<char> buffer, const std::source_location& where)
{
    if (int rc = checkAccess(remote, index, address, where); rc != 0)
    {
        return rc;
    }
    // The index is below remoteCount here.
    const Location location = remote ? Location::remote : Location::local;
    const Mode mode = address.paged ? Mode::adi : Mode::normal;
    return deviceAccess(std::string(layout::node(location, index, mode).path),
                        op, position(location, address), length, buffer);
}

/**
 * Move all of @p data at the node's position, asking again for the rest
 * after a partial transfer.
 * @return false when a call fails or a read meets the end of data first
 */
bool transferAll(int fd, Operation op, std::span<char> data)
{
    while (!data.empty())
    {
        const ssize_t moved = op == Operation::read
                                  ? ::read(fd, data.data(), data.size())
                                  : ::write(fd, data.data(), data.size());
        if (moved < 0 && errno == EINTR)
        {
            continue;
        }
        if (moved <= 0)
        {
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(moved));
    }
    return true;
}

} // namespace

int deviceAccess(std::string dev, Operation op, std::size_t pos,
                 std::size_t length, std::span<char> buffer)
{
    const std::size_t count = std::min(length, buffer.size());
    if (buffer.data() == nullptr || count == 0)
    {
        return 0;
    }
    // The bytes pass directly between the node and the caller's memory.
    const int fd = ::open(dev.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        lg2::error("Failed to open {DEV}\n", "DEV", dev);
        return -EFAULT;
    }

    // Only this transfer's own failure may be reported: a read that ends at
    // end of data fails without a system call failing, so errno stays 0.
    errno = 0;
    const bool done = ::lseek(fd, static_cast<off_t>(pos), SEEK_SET) >= 0 &&
                      transferAll(fd, op, buffer.first(count));
    ::close(fd);
    if (!done)
    {
        return errno != 0 ? -errno : -EIO;
    }
    return 0;
}

int normalAccess(bool remote, std::size_t index, Operation op,
                 std::size_t block, std::size_t offset, std::size_t length,
                 std::span<char> buffer)
{
    return checkedAccess(remote, index, op, Address{block, offset, {}}, length,
                         buffer, std::source_location::current());
}

int adiAccess(bool remote, std::size_t index, Operation op, std::size_t block,
              std::size_t offset, std::size_t page, std::size_t pageDataOffset,
              std::size_t length, std::span<char> buffer)
{
    return checkedAccess(remote, index, op,
                         Address{block, offset, {{page, pageDataOffset}}},
                         length, buffer, std::source_location::current());
}

int rawNormalAccess(Operation op, std::size_t block, std::size_t offset,
                    std::size_t length, std::span<char> buffer)
{
    return normalAccess(false, 0, op, block, offset, length, buffer);
}

int rawRemoteNormalAccess(std::size_t index, Operation op, std::size_t block,
                          std::size_t offset, std::size_t length,
                          std::span<char> buffer)
{
    return normalAccess(true, index, op, block, offset, length, buffer);
}

int rawAdiAccess(Operation op, std::size_t block, std::size_t offset,
                 std::size_t page, std::size_t pageDataOffset,
                 std::size_t length, std::span<char> buffer)
{
    return adiAccess(false, 0, op, block, offset, page, pageDataOffset, length,
                     buffer);
}

int rawRemoteAdiAccess(std::size_t index, Operation op, std::size_t block,
                       std::size_t offset, std::size_t page,
                       std::size_t pageDataOffset, std::size_t length,
                       std::span<char> buffer)
{
    return adiAccess(true, index, op, block, offset, page, pageDataOffset,
                     length, buffer);
}

} // namespace tavrin_fpga
