// SPDX-License-Identifier: Apache-2.0
// The journal layer used where phosphor-logging is not installed. It writes
// the entry phosphor-logging's lg2 writes, field for field.

#define SD_JOURNAL_SUPPRESS_LOCATION

#include "logging/lg2.hpp"

#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace lg2::details
{
namespace
{

/** Whether entries are echoed to stderr, and in which format; decided once
 *  when the library is loaded, as lg2 does. */
struct StderrEcho
{
    bool enabled;
    std::string format;
};

const StderrEcho stderrEcho = [] {
    const char* format = std::getenv("LG2_FORMAT");
    return StderrEcho{::isatty(STDERR_FILENO) != 0 ||
                          std::getenv("LG2_FORCE_STDERR") != nullptr,
                      format != nullptr ? format : "<%l> %m"};
}();

/** One line on stderr in the LG2_FORMAT format: %l the level, %m the
 *  message, %f the function, %F the file, %L the line, %% a '%'. */
void echo(level severity, const std::source_location& where,
          const std::string& message)
{
    std::string line;
    const std::string& format = stderrEcho.format;
    for (std::size_t i = 0; i < format.size(); ++i)
    {
        if (format[i] != '%')
        {
            line += format[i];
            continue;
        }
        if (++i == format.size())
        {
            line += '%';
            break;
        }
        switch (format[i])
        {
            case '%':
                line += '%';
                break;
            case 'l':
                line += std::to_string(static_cast<int>(severity));
                break;
            case 'm':
                line += message;
                break;
            case 'f':
                line += where.function_name();
                break;
            case 'F':
                line += where.file_name();
                break;
            case 'L':
                line += std::to_string(where.line());
                break;
            default:
                line += '%';
                line += format[i];
                break;
        }
    }
    line += '\n';
    // One write per line, so that lines of several threads do not mix.
    static std::mutex mutex;
    const std::scoped_lock lock(mutex);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

} // namespace

std::string formatUnsigned(std::uint64_t flags, std::uint64_t value)
{
    const std::uint64_t width = flags & widthFlags;
    if ((flags & bin.value) != 0)
    {
        const int bits = width == field8.value    ? 8
                         : width == field16.value ? 16
                         : width == field32.value ? 32
                                                  : 64;
        std::string text = "0b";
        for (int bit = bits - 1; bit >= 0; --bit)
        {
            text += ((value >> bit) & 1U) != 0 ? '1' : '0';
        }
        return text;
    }
    if ((flags & hex.value) != 0)
    {
        const int digits = width == field8.value    ? 2
                           : width == field16.value ? 4
                           : width == field32.value ? 8
                           : width == field64.value ? 16
                                                    : 1;
        std::array<char, 19> text{};
        std::snprintf(text.data(), text.size(), "0x%0*" PRIx64, digits, value);
        return text.data();
    }
    return std::to_string(value);
}

std::string formatFloating(double value)
{
    return std::to_string(value);
}

void sendEntry(level severity, const std::source_location& where,
               const char* format, const std::vector<Field>& fields)
{
    std::string message(format);
    std::vector<std::string> entry;
    entry.reserve(6 + fields.size());
    entry.emplace_back(); // MESSAGE, once every field has replaced its {KEY}
    entry.push_back(std::string("LOG2_FMTMSG=") + format);
    entry.push_back("PRIORITY=" + std::to_string(static_cast<int>(severity)));
    entry.push_back(std::string("CODE_FILE=") + where.file_name());
    entry.push_back("CODE_LINE=" + std::to_string(where.line()));
    entry.push_back(std::string("CODE_FUNC=") + where.function_name());
    for (const auto& field : fields)
    {
        entry.push_back(std::string(field.name) + "=" + field.value);
        const std::string placeholder = "{" + std::string(field.name) + "}";
        if (auto pos = message.find(placeholder); pos != std::string::npos)
        {
            message.replace(pos, placeholder.size(), field.value);
        }
    }
    entry.front() = "MESSAGE=" + message;

    std::vector<iovec> iov;
    iov.reserve(entry.size());
    for (auto& field : entry)
    {
        iov.push_back(iovec{field.data(), field.size()});
    }
    // As with lg2, a journal that cannot take the entry is not reported.
    (void)sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));

    if (stderrEcho.enabled)
    {
        echo(severity, where, message);
    }
}

} // namespace lg2::details
