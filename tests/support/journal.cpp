// SPDX-License-Identifier: Apache-2.0
#include "journal.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <set>
#include <stdexcept>
#include <system_error>

namespace fpga_test
{

namespace
{

/** Fields every entry of the library carries besides its named ones. */
const std::set<std::string> fixedFields = {
    "MESSAGE",   "LOG2_FMTMSG", "PRIORITY",         "CODE_FILE",
    "CODE_LINE", "CODE_FUNC",   "SYSLOG_IDENTIFIER"};

void makeDir(const char* path)
{
    if (::mkdir(path, 0755) != 0 && errno != EEXIST)
    {
        throw std::system_error(errno, std::generic_category(), path);
    }
}

/**
 * Where drain() appends the entries it captures, one JSON line each, when
 * FPGA_TEST_JOURNAL_RECORD names a file (scripts/run-all-tests.sh compares
 * those of two builds). Set up before any case forks: the count of the
 * running case's entries lives in shared memory, so that the entries of a
 * case's successive forked children are numbered on from one another.
 */
struct Record
{
    struct Shared
    {
        std::atomic<const void*> test;
        std::atomic<unsigned> next;
    };

    std::string path;
    Shared* shared = nullptr;

    Record()
    {
        const char* name = std::getenv("FPGA_TEST_JOURNAL_RECORD");
        if (name == nullptr || *name == '\0')
        {
            return;
        }
        // Absolute: a case may change its working directory.
        path = std::filesystem::absolute(name).string();
        void* page = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (page != MAP_FAILED)
        {
            shared = new (page) Shared{};
        }
    }

    /** Append @p entry as one line, in one write so that the lines of test
     *  programs running in parallel do not interleave. */
    void append(const JournalEntry& entry) const
    {
        if (path.empty())
        {
            return;
        }
        if (shared == nullptr)
        {
            throw std::runtime_error(
                "no shared memory to number entries of " + path);
        }
        const ::testing::TestInfo* info =
            ::testing::UnitTest::GetInstance()->current_test_info();
        if (shared->test.exchange(info) != info)
        {
            shared->next = 0;
        }
        nlohmann::json fields = nlohmann::json::array();
        for (const auto& [key, value] : entry.fields)
        {
            fields.push_back(nlohmann::json::array({key, value}));
        }
        const nlohmann::json line = {
            {"test", info == nullptr ? std::string()
                                     : std::string(info->test_suite_name()) +
                                           "." + info->name()},
            {"program", program_invocation_short_name},
            {"index", shared->next++},
            {"fields", fields}};
        // One line: dump() escapes the newlines inside values.
        const std::string text =
            line.dump(-1, ' ', false,
                      nlohmann::json::error_handler_t::replace) +
            "\n";

        const int out = ::open(path.c_str(),
                               O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (out < 0)
        {
            throw std::system_error(errno, std::generic_category(), path);
        }
        const ssize_t put = ::write(out, text.data(), text.size());
        const int err = put < 0 ? errno : EIO;
        ::close(out);
        if (put != static_cast<ssize_t>(text.size()))
        {
            throw std::system_error(err, std::generic_category(), path);
        }
    }
};

const Record record;

} // namespace

std::string JournalEntry::get(const std::string& key) const
{
    for (const auto& [name, value] : fields)
    {
        if (name == key)
        {
            return value;
        }
    }
    return {};
}

bool JournalEntry::has(const std::string& key) const
{
    for (const auto& field : fields)
    {
        if (field.first == key)
        {
            return true;
        }
    }
    return false;
}

void PrintTo(const JournalEntry& entry, std::ostream* os)
{
    *os << "{";
    const char* sep = "";
    for (const auto& [name, value] : entry.fields)
    {
        *os << sep << name << "=" << ::testing::PrintToString(value);
        sep = ", ";
    }
    *os << "}";
}

JournalEntry parseJournalDatagram(const std::string& datagram)
{
    JournalEntry entry;
    std::size_t pos = 0;
    while (pos < datagram.size())
    {
        const std::size_t eol = datagram.find('\n', pos);
        if (eol == std::string::npos)
        {
            throw std::runtime_error("journal field without newline");
        }
        const std::string line = datagram.substr(pos, eol - pos);
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos)
        {
            entry.fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
            pos = eol + 1;
            continue;
        }
        // Binary-safe form: KEY\n, 64-bit little-endian length, value, \n.
        pos = eol + 1;
        if (datagram.size() - pos < 8)
        {
            throw std::runtime_error(
                "journal field " + line + " without length");
        }
        std::uint64_t length = 0;
        for (int i = 7; i >= 0; --i)
        {
            length = (length << 8) |
                     static_cast<std::uint8_t>(datagram[pos + i]);
        }
        pos += 8;
        if (datagram.size() - pos < length + 1 ||
            datagram[pos + length] != '\n')
        {
            throw std::runtime_error(
                "journal field " + line + " with a bad length");
        }
        entry.fields.emplace_back(line, datagram.substr(pos, length));
        pos += length + 1;
    }
    return entry;
}

JournalCapture::JournalCapture() :
    fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    if (fd < 0)
    {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    makeDir("/run/systemd");
    makeDir("/run/systemd/journal");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, journalSocket, sizeof(addr.sun_path) - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        const int err = errno;
        ::close(fd);
        throw std::system_error(err, std::generic_category(), journalSocket);
    }
}

JournalCapture::~JournalCapture()
{
    ::close(fd);
    ::unlink(journalSocket);
}

std::vector<JournalEntry> JournalCapture::drain()
{
    std::vector<JournalEntry> entries;
    std::string buffer(1 << 16, '\0');
    while (true)
    {
        const ssize_t got =
            ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK)
            {
                break;
            }
            throw std::system_error(errno, std::generic_category(), "recv");
        }
        entries.push_back(parseJournalDatagram(
            buffer.substr(0, static_cast<std::size_t>(got))));
        record.append(entries.back());
    }
    return entries;
}

std::string expandMessage(const std::string& format,
                          const std::map<std::string, std::string>& fields)
{
    std::string message = format;
    for (const auto& [key, value] : fields)
    {
        const std::string placeholder = "{" + key + "}";
        const std::size_t at = message.find(placeholder);
        if (at != std::string::npos)
        {
            message.replace(at, placeholder.size(), value);
        }
    }
    return message;
}

namespace
{

class LoggedMatcher : public ::testing::MatcherInterface<const JournalEntry&>
{
  public:
    LoggedMatcher(std::string format, std::map<std::string, std::string> named,
                  std::string function) :
        format(std::move(format)),
        named(std::move(named)), function(std::move(function))
    {}

    bool
        MatchAndExplain(const JournalEntry& entry,
                        ::testing::MatchResultListener* listener) const override
    {
        std::map<std::string, std::string> expected = {
            {"MESSAGE", expandMessage(format, named)},
            {"LOG2_FMTMSG", format},
            {"PRIORITY", "3"}};
        expected.insert(named.begin(), named.end());

        std::multiset<std::string> seen;
        std::map<std::string, std::string> extra;
        for (const auto& [key, value] : entry.fields)
        {
            seen.insert(key);
            if (!fixedFields.contains(key) && !named.contains(key))
            {
                extra.emplace(key, value);
            }
        }
        bool ok = true;
        for (const auto& [key, value] : expected)
        {
            if (!entry.has(key))
            {
                *listener << "\n  missing " << key;
                ok = false;
            }
            else if (entry.get(key) != value)
            {
                *listener << "\n  " << key << " is "
                          << ::testing::PrintToString(entry.get(key))
                          << ", expected " << ::testing::PrintToString(value);
                ok = false;
            }
        }
        for (const auto& key : seen)
        {
            if (seen.count(key) > 1)
            {
                *listener << "\n  " << key << " sent more than once";
                ok = false;
                break;
            }
        }
        for (const auto& [key, value] : extra)
        {
            *listener << "\n  unexpected field " << key << "="
                      << ::testing::PrintToString(value);
            ok = false;
        }
        for (const char* key : {"CODE_FILE", "CODE_LINE"})
        {
            if (entry.get(key).empty())
            {
                *listener << "\n  " << key << " is empty";
                ok = false;
            }
        }
        const std::string func = entry.get("CODE_FUNC");
        const std::string name = "tavrin_fpga::" + function;
        if (func.find(name + "(") == std::string::npos &&
            func.find(name + "<") == std::string::npos)
        {
            *listener << "\n  CODE_FUNC " << ::testing::PrintToString(func)
                      << " does not name tavrin_fpga::" << function;
            ok = false;
        }
        return ok;
    }

    void DescribeTo(std::ostream* os) const override
    {
        *os << "an error entry " << ::testing::PrintToString(format) << " from "
            << function << " with fields " << ::testing::PrintToString(named);
    }

  private:
    std::string format;
    std::map<std::string, std::string> named;
    std::string function;
};

} // namespace

::testing::Matcher<const JournalEntry&>
    Logged(const std::string& format,
           const std::map<std::string, std::string>& fields,
           const std::string& function)
{
    return ::testing::MakeMatcher(new LoggedMatcher(format, fields, function));
}

} // namespace fpga_test
