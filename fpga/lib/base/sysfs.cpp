// The driver's sysfs directory and the per-chip attributes in it.

#include "base/base.hpp"

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>

namespace tavrin_fpga
{
namespace
{

/** Files whose existence marks the driver's directory, in probe order. */
constexpr std::array<std::string_view, 2> probePaths = {
    "/sys/bus/spi/devices/spi2.2/tavrin_fpga_wakeup",
    "/sys/bus/spi/devices/spi2.0/tavrin_fpga_wakeup",
};

/**
 * Open one attribute of one chip and extract a value from it with
 * @p extract; @p value is returned unchanged when the file does not open.
 * The file is closed before this returns.
 */
template <typename T, typename Extract>
T readAttribute(const std::string& attr, Location location, std::size_t index,
                T value, Extract extract)
{
    std::ifstream file(devAttrFilePath(attr, location, index));
    if (file.is_open())
    {
        extract(file, value);
    }
    return value;
}

std::uint32_t readHexAttribute(const std::string& attr, Location location,
                               std::size_t index)
{
    return readAttribute(
        attr, location, index, 0U,
        [](std::istream& in, unsigned& id) { in >> std::hex >> id; });
}

} // namespace

std::string fpgaSysfsDir()
{
    // Filled once, by the first call whose probe succeeds; never changed
    // afterwards, so readers need no lock once `found` is set.
    static std::atomic<bool> found{false};
    static std::mutex fillMutex;
    static std::string dir;

    if (!found.load(std::memory_order_acquire))
    {
        std::lock_guard lock(fillMutex);
        if (!found.load(std::memory_order_relaxed))
        {
            for (std::string_view probe : probePaths)
            {
                if (std::filesystem::exists(std::filesystem::path(probe)))
                {
                    dir = probe.substr(0, probe.rfind('/'));
                    found.store(true, std::memory_order_release);
                    break;
                }
            }
        }
    }
    return dir;
}

std::string devAttrFilePath(const std::string& attr, Location location,
                            std::size_t index)
{
    std::string path = fpgaSysfsDir();
    if (location == Location::local)
    {
        path += "/fpga_loc_";
    }
    else
    {
        path += "/fpga_rmt";
        path += std::to_string(index);
        path += '_';
    }
    path += attr;
    return path;
}

bool chipDetected(Location location, std::size_t index)
{
    return readAttribute(
        "detected", location, index, false,
        [](std::istream& in, bool& detected) { in >> detected; });
}

std::uint32_t getChipId(Location location, std::size_t index)
{
    return readHexAttribute("chip_id", location, index);
}

std::uint32_t getIfaceVer(Location location, std::size_t index)
{
    return readHexAttribute("iface_ver", location, index);
}

std::string getFirmwareVerStr(Location location, std::size_t index)
{
    return readAttribute(
        "fw_version", location, index, std::string(),
        [](std::istream& in, std::string& line) { std::getline(in, line); });
}

std::uint32_t getFirmwareVer(Location location, std::size_t index)
{
    std::istringstream version(getFirmwareVerStr(location, index));
    unsigned major = 0;
    unsigned minor = 0;
    version >> major >> minor;
    return ((major << 8) & 0xFFFF) + (minor & 0xFF);
}

std::bitset<64> getSupportedBlocks(Location location, std::size_t index)
{
    const auto token =
        readAttribute("blocks", location, index, std::string(),
                      [](std::istream& in, std::string& word) { in >> word; });
    // Highest block first; only the first 64 characters are examined, and
    // any other character than '0' or '1' among them throws.
    return std::bitset<64>(token);
}

bool blockSupported(std::size_t block, Location location, std::size_t index)
{
    constexpr std::size_t blockCount = 64;
    return block < blockCount &&
           getSupportedBlocks(location, index).test(block);
}

void getFirmwareInfo(Location location, std::size_t index, Firmware& firmware)
{
    firmware.detected = chipDetected(location, index);
    firmware.chipId = getChipId(location, index);
    firmware.ifaceVer = getIfaceVer(location, index);
    firmware.firmwareVerStr = getFirmwareVerStr(location, index);
    const std::uint32_t packed = getFirmwareVer(location, index);
    firmware.firmwareMajor = packed >> 8;
    firmware.firmwareMinor = packed & 0xFF;
    firmware.supportedBlocks = getSupportedBlocks(location, index);
}

} // namespace tavrin_fpga
