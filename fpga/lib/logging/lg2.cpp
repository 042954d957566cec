// SPDX-License-Identifier: Apache-2.0
// The journal layer used where phosphor-logging is not installed. It writes
// the entry phosphor-logging's lg2 writes, field for field.

#define SD_JOURNAL_SUPPRESS_LOCATION

#include "logging/lg2.hpp"

#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

/** The message with the first "{KEY}" of every field replaced by its value. */
std::string expand(std::string_view format, const Field* fields,
                   std::size_t count)
{
    std::string message(format);
    for (std::size_t i = 0; i < count; ++i)
    {
        std::string placeholder(1, '{');
        placeholder.append(fields[i].key).push_back('}');
        if (auto pos = message.find(placeholder); pos != std::string::npos)
        {
            message.replace(pos, placeholder.size(), fields[i].value);
        }
    }
    return message;
}

void echo(int priority, const std::source_location& where,
          const std::string& message)
{
    std::string line;
    const std::string& format = stderrEcho.format;
    for (std::size_t i = 0; i < format.size(); ++i)
    {
        if (format[i] != '%' || i + 1 == format.size())
        {
            line += format[i];
            continue;
        }
        switch (format[++i])
        {
            case 'l':
                line += std::to_string(priority);
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
    if (line.empty() || line.back() != '\n')
    {
        line += '\n';
    }
    std::fputs(line.c_str(), stderr);
}

} // namespace

void sendEntry(int priority, const std::source_location& where,
               std::string_view format, const Field* fields, std::size_t count)
{
    const std::string message = expand(format, fields, count);

    std::vector<std::string> entry;
    entry.reserve(6 + count);
    entry.push_back("MESSAGE=" + message);
    entry.push_back("LOG2_FMTMSG=" + std::string(format));
    entry.push_back("PRIORITY=" + std::to_string(priority));
    entry.push_back(std::string("CODE_FILE=") + where.file_name());
    entry.push_back("CODE_LINE=" + std::to_string(where.line()));
    entry.push_back(std::string("CODE_FUNC=") + where.function_name());
    for (std::size_t i = 0; i < count; ++i)
    {
        entry.push_back(std::string(fields[i].key) + "=" + fields[i].value);
    }

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
        echo(priority, where, message);
    }
}

} // namespace lg2::details
