// SPDX-License-Identifier: Apache-2.0
// The driver's sysfs directory and the per-chip attributes in it.
//
// Attributes are read with plain system calls and parsed here by the rules of
// the standard streams' formatted extraction in the classic locale, so the
// values are the ones a stream would give, at a fraction of a stream's cost.
// A reader makes the system calls a stream would: one open, the reads the
// value needs (one for an attribute that ends in a newline) and one close.

#include "base/base.hpp"
#include "base/device_layout.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <concepts>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>

namespace tavrin_fpga
{
namespace
{

/** The driver's directory, from the first probe found; "" while none is. */
std::string_view sysfsDir()
{
    // The index of that probe. Set once, by the first call whose probe
    // succeeds, and never changed afterwards, so readers need no lock once
    // it is set.
    constexpr std::size_t none = layout::probeDirs.size();
    static std::atomic<std::size_t> found{none};
    static std::mutex fillMutex;

    if (found.load(std::memory_order_acquire) == none)
    {
        std::lock_guard lock(fillMutex);
        for (std::size_t i = 0;
             i < none && found.load(std::memory_order_relaxed) == none; ++i)
        {
            // The driver marks its directory with the wakeup file.
            std::string mark(layout::probeDirs[i]);
            mark += '/';
            mark += layout::wakeupAttr;
            if (std::filesystem::exists(std::filesystem::path(mark)))
            {
                found.store(i, std::memory_order_release);
            }
        }
    }
    const std::size_t probe = found.load(std::memory_order_acquire);
    return probe == none ? std::string_view() : layout::probeDirs[probe];
}

/** Path of one attribute of one chip in the driver's directory. */
std::string attrPath(std::string_view attr, Location location,
                     std::size_t index)
{
    std::string path(sysfsDir());
    path += '/';
    layout::appendChipAttrName(path, attr, location, index);
    return path;
}

/** What one read asks for: as much as a standard file stream asks for. */
constexpr std::size_t readChunk = BUFSIZ - 1;

/**
 * Text to extract values from: an attribute file, read only as far as the
 * extraction needs (so a value costs the reads a stream would make), or a
 * string at hand. A read that fails ends the text. A file is closed when
 * its Text goes.
 */
class Text
{
  public:
    /** The file at @p path opened for reading; see isOpen(). */
    static Text fromFile(const std::string& path)
    {
        return Text(::open(path.c_str(), O_RDONLY | O_CLOEXEC), {});
    }

    static Text fromString(std::string_view text)
    {
        return Text(-1, text);
    }

    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    ~Text()
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }

    bool isOpen() const
    {
        return fd >= 0;
    }

    /** The unread characters at hand, reading more when there are none;
     *  empty at the end of the text. */
    std::string_view rest()
    {
        if (next == chunk.size())
        {
            readMore();
        }
        return chunk.substr(next);
    }

    /** The next character, or nothing at the end of the text. */
    std::optional<char> peek()
    {
        const std::string_view unread = rest();
        return unread.empty() ? std::nullopt : std::optional(unread.front());
    }

    /** Move past @p count characters of rest(). */
    void skip(std::size_t count = 1)
    {
        next += count;
    }

  private:
    Text(int fd, std::string_view text) : fd(fd), chunk(text) {}

    void readMore()
    {
        if (fd < 0 || ended)
        {
            return;
        }
        ssize_t got = 0;
        do
        {
            got = ::read(fd, buffer.data(), buffer.size());
        } while (got < 0 && errno == EINTR);
        ended = got <= 0;
        chunk = std::string_view(buffer.data(),
                                 ended ? 0 : static_cast<std::size_t>(got));
        next = 0;
    }

    int fd;
    bool ended = false;
    std::string_view chunk;
    std::size_t next = 0;
    std::array<char, readChunk> buffer;
};

/** White space of the classic locale. */
bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/**
 * Move past the characters before the first one that is @p stop, appending
 * them to @p out when given.
 * @return whether such a character (which stays unread) comes before the end
 */
template <typename Stop>
bool takeUntil(Text& text, Stop stop, std::string* out)
{
    for (auto unread = text.rest(); !unread.empty(); unread = text.rest())
    {
        const auto end = std::find_if(unread.begin(), unread.end(), stop);
        const auto count = static_cast<std::size_t>(end - unread.begin());
        if (out != nullptr)
        {
            out->append(unread.substr(0, count));
        }
        text.skip(count);
        if (end != unread.end())
        {
            return true;
        }
    }
    return false;
}

/** Skip white space; false when the text ends first. */
bool skipSpace(Text& text)
{
    return takeUntil(
        text, [](char c) { return !isSpace(c); }, nullptr);
}

/** The value of digit @p c in @p base (up to 16), or nothing. */
std::optional<unsigned> digitValue(char c, unsigned base)
{
    unsigned value = base;
    if (c >= '0' && c <= '9')
    {
        value = static_cast<unsigned>(c - '0');
    }
    else if (c >= 'a' && c <= 'f')
    {
        value = static_cast<unsigned>(c - 'a') + 10;
    }
    else if (c >= 'A' && c <= 'F')
    {
        value = static_cast<unsigned>(c - 'A') + 10;
    }
    return value < base ? std::optional(value) : std::nullopt;
}

/**
 * Extract an integer in @p base (10 or 16) as a stream's operator>> does:
 * white space, an optional sign, in base 16 an optional "0x" or "0X", then
 * digits up to the first character that is none. A negative number wraps as
 * unsigned arithmetic does; one too large gives the largest value (the
 * smallest for a negative signed type); no digits give 0.
 * @return false where the stream would fail, after which a stream extracts
 *         nothing more. @p value is left alone only when the text ends
 *         before anything but white space.
 */
template <std::integral T>
bool extractInteger(Text& text, unsigned base, T& value)
{
    using Unsigned = std::make_unsigned_t<T>;
    if (!skipSpace(text))
    {
        return false;
    }
    const bool negative = text.peek() == '-';
    if (negative || text.peek() == '+')
    {
        text.skip();
    }
    // A lone leading zero counts as a digit; "0x" is only a prefix.
    bool digits = false;
    if (base == 16 && text.peek() == '0')
    {
        text.skip();
        digits = true;
        if (const auto c = text.peek(); c == 'x' || c == 'X')
        {
            text.skip();
            digits = false;
        }
    }

    const bool signedNegative = std::is_signed_v<T> && negative;
    const Unsigned limit =
        static_cast<Unsigned>(std::numeric_limits<T>::max()) +
        (signedNegative ? 1 : 0);
    Unsigned magnitude = 0;
    bool overflow = false;
    while (const auto c = text.peek())
    {
        const auto digit = digitValue(*c, base);
        if (!digit)
        {
            break;
        }
        digits = true;
        if (magnitude > (limit - *digit) / base)
        {
            overflow = true;
        }
        else
        {
            magnitude = magnitude * base + *digit;
        }
        text.skip();
    }

    if (!digits)
    {
        value = 0;
        return false;
    }
    if (overflow)
    {
        value = signedNegative ? std::numeric_limits<T>::min()
                               : std::numeric_limits<T>::max();
        return false;
    }
    value = static_cast<T>(negative ? Unsigned{0} - magnitude : magnitude);
    return true;
}

/** Append the characters up to the first newline, which is read but not
 *  kept, as getline does. */
void extractLine(Text& text, std::string& line)
{
    if (takeUntil(
            text, [](char c) { return c == '\n'; }, &line))
    {
        text.skip();
    }
}

/** Skip white space, then take the characters up to the next white space,
 *  as a stream's operator>> into a string does. */
void extractWord(Text& text, std::string& word)
{
    if (skipSpace(text))
    {
        takeUntil(text, isSpace, &word);
    }
}

/**
 * Open one attribute of one chip and extract a value from it with
 * @p extract; @p value is returned unchanged when the file does not open.
 * The file is closed before this returns.
 */
template <typename T, typename Extract>
T readAttribute(std::string_view attr, Location location, std::size_t index,
                T value, Extract extract)
{
    Text text = Text::fromFile(attrPath(attr, location, index));
    if (text.isOpen())
    {
        extract(text, value);
    }
    return value;
}

std::uint32_t readHexAttribute(std::string_view attr, Location location,
                               std::size_t index)
{
    return readAttribute(
        attr, location, index, 0U,
        [](Text& text, unsigned& value) { extractInteger(text, 16, value); });
}

} // namespace

std::string fpgaSysfsDir()
{
    return std::string(sysfsDir());
}

std::string devAttrFilePath(const std::string& attr, Location location,
                            std::size_t index)
{
    return attrPath(attr, location, index);
}

bool chipDetected(Location location, std::size_t index)
{
    return readAttribute(layout::detectedAttr, location, index, false,
                         [](Text& text, bool& detected) {
                             // Read as a long: 0 is false, any other number
                             // (also one too large) true.
                             long number = 0;
                             extractInteger(text, 10, number);
                             detected = number != 0;
                         });
}

std::uint32_t getChipId(Location location, std::size_t index)
{
    return readHexAttribute(layout::chipIdAttr, location, index);
}

std::uint32_t getIfaceVer(Location location, std::size_t index)
{
    return readHexAttribute(layout::ifaceVerAttr, location, index);
}

std::string getFirmwareVerStr(Location location, std::size_t index)
{
    return readAttribute(layout::fwVersionAttr, location, index, std::string(),
                         extractLine);
}

std::uint32_t getFirmwareVer(Location location, std::size_t index)
{
    const std::string line = getFirmwareVerStr(location, index);
    Text version = Text::fromString(line);
    unsigned major = 0;
    unsigned minor = 0;
    // Once the major fails, the minor is not read.
    if (extractInteger(version, 10, major))
    {
        extractInteger(version, 10, minor);
    }
    return ((major << 8) & 0xFFFF) + (minor & 0xFF);
}

std::bitset<64> getSupportedBlocks(Location location, std::size_t index)
{
    const auto token = readAttribute(layout::blocksAttr, location, index,
                                     std::string(), extractWord);
    // Highest block first; only the first 64 characters are examined, and
    // any other character than '0' or '1' among them throws.
    return std::bitset<64>(token);
}

bool blockSupported(std::size_t block, Location location, std::size_t index)
{
    return block < layout::blockCount &&
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
