// SPDX-License-Identifier: Apache-2.0
// Platform type, and routing of accesses to the FPGA that carries the HPM
// blocks.

#include "base/base.hpp"
#include "base/device_layout.hpp"
#include "logging/lg2.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <mutex>
#include <optional>

namespace tavrin_fpga
{
namespace
{

using layout::Platform;

std::optional<Platform> findPlatform(std::uint32_t chipId)
{
    const auto row = std::find_if(
        layout::platforms.begin(), layout::platforms.end(),
        [chipId](const Platform& r) { return r.chipId == chipId; });
    if (row == layout::platforms.end())
    {
        return std::nullopt;
    }
    return *row;
}

/** The HPM attribute's word for a remote FPGA: "remote" and one digit. */
constexpr std::string_view remoteWord = "remote";

/** The FPGA an HPM access goes to. */
struct HpmTarget
{
    Location location;
    std::size_t index;
    std::size_t block;
};

/**
 * Find the HPM FPGA, translate @p block for it and confirm the block is
 * available there. Failures are logged with the location @p where of the
 * routing function that asked.
 * @return the target, or nothing when the block is not available
 */
std::optional<HpmTarget> routeHpm(Block block,
                                  const std::source_location& where)
{
    HpmTarget target{Location::local, 0, 0};
    if (getHPMLocation(target.location, target.index) != 0)
    {
        lg2::error(where,
                   "getHPMLocation failed. Use default local location.\n");
        target = HpmTarget{Location::local, 0, 0};
    }
    target.block = blockId(target.location, target.index, block);
    if (!blockSupported(target.block, target.location, target.index))
    {
        lg2::error(where, "FPGA block{BLOCK} on {LOCATION} not availble!\n",
                   "BLOCK", target.block, "LOCATION",
                   target.location == Location::remote ? "remote" : "local");
        return std::nullopt;
    }
    return target;
}

} // namespace

int getPlatformType()
{
    auto row = findPlatform(getChipId(Location::local, 0));
    if (row && row->chipId == layout::chainedChipId)
    {
        row = findPlatform(getChipId(Location::remote, 0));
    }
    return row ? row->type : layout::unknownPlatformType;
}

int readHpmLocation(Location& location, std::size_t& index)
{
    std::ifstream file(fpgaSysfsDir() + "/" + std::string(layout::hpmChipAttr));
    if (!file.is_open())
    {
        return errno != 0 ? errno : EIO;
    }
    std::string word;
    file >> word;
    file.close();

    if (!word.starts_with(remoteWord))
    {
        location = Location::local;
        index = 0;
        return 0;
    }
    index = static_cast<std::size_t>(std::stoi(word.substr(word.size() - 1)));
    location = Location::remote;
    return 0;
}

int getHPMLocation(Location& location, std::size_t& index)
{
    // Filled once, by the first call that reads and parses the attribute;
    // never changed afterwards, so readers need no lock once it is set.
    static std::atomic<bool> filled{false};
    static std::mutex fillMutex;
    static Location cachedLocation = Location::local;
    static std::size_t cachedIndex = 0;

    if (!filled.load(std::memory_order_acquire))
    {
        std::lock_guard lock(fillMutex);
        if (!filled.load(std::memory_order_relaxed))
        {
            Location hpmLocation = Location::local;
            std::size_t hpmIndex = 0;
            if (const int rc = readHpmLocation(hpmLocation, hpmIndex); rc != 0)
            {
                return rc;
            }
            cachedLocation = hpmLocation;
            cachedIndex = hpmIndex;
            filled.store(true, std::memory_order_release);
        }
    }
    location = cachedLocation;
    index = cachedIndex;
    return 0;
}

std::size_t blockId(Location location, std::size_t index, Block block)
{
    const std::uint32_t version = getIfaceVer(location, index);
    const auto translation = std::find_if(
        layout::blockTranslations.begin(), layout::blockTranslations.end(),
        [version](const layout::BlockTranslation& t) {
            return t.ifaceVer == version;
        });
    if (translation == layout::blockTranslations.end())
    {
        lg2::error("Unsupported interface version:{VER}.\n", "VER", version);
        return 0;
    }
    const auto number = static_cast<std::size_t>(block);
    // Numbers past the table are no block of this FPGA; the availability
    // check refuses them.
    return number < layout::blockCount ? (*translation->table)[number] : number;
}

int rawHpmNormalAccess(Operation op, Block block, std::size_t offset,
                       std::size_t length, std::span<char> buffer)
{
    const auto target = routeHpm(block, std::source_location::current());
    if (!target)
    {
        return -EINVAL;
    }
    return normalAccess(target->location == Location::remote, target->index, op,
                        target->block, offset, length, buffer);
}

int rawHpmAdiAccess(Operation op, Block block, std::size_t offset,
                    std::size_t page, std::size_t pageDataOffset,
                    std::size_t length, std::span<char> buffer)
{
    const auto target = routeHpm(block, std::source_location::current());
    if (!target)
    {
        return -EINVAL;
    }
    return adiAccess(target->location == Location::remote, target->index, op,
                     target->block, offset, page, pageDataOffset, length,
                     buffer);
}

} // namespace tavrin_fpga
