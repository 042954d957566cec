// SPDX-License-Identifier: Apache-2.0
#include "journal.hpp"

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace fpga_test
{

namespace
{

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
        if (page == MAP_FAILED)
        {
            throw std::system_error(errno, std::generic_category(), "mmap");
        }
        shared = new (page) Shared{};
    }

    /** Append @p entry as one line, in one write so that the lines of test
     *  programs running in parallel do not interleave. */
    void append(const JournalEntry& entry) const
    {
        if (path.empty())
        {
            return;
        }
        const ::testing::TestInfo* info =
            ::testing::UnitTest::GetInstance()->current_test_info();
        if (shared->test.exchange(info) != info)
        {
            shared->next = 0;
        }
        const nlohmann::json line = {
            {"test", info == nullptr ? std::string()
                                     : std::string(info->test_suite_name()) +
                                           "." + info->name()},
            {"program", program_invocation_short_name},
            {"index", shared->next++},
            {"fields", entry}};
        // One line (dump() escapes the newlines inside values), in one
        // write so that the lines of test programs running in parallel do
        // not interleave: the stream writes a line of any size at once.
        std::ofstream out(path, std::ios::app);
        out << line.dump(-1, ' ', false,
                         nlohmann::json::error_handler_t::replace) +
                   "\n";
        out.close();
        if (!out)
        {
            throw std::runtime_error("cannot append to " + path);
        }
    }
};

const Record record;

/** MESSAGE as lg2 builds it: the first "{KEY}" of each field replaced by
 *  its value. */
std::string expandMessage(const std::string& format,
                          const std::map<std::string, std::string>& fields)
{
    std::string message = format;
    for (const auto& [key, value] : fields)
    {
        const std::string placeholder = "{" + key + "}";
        if (const auto at = message.find(placeholder); at != std::string::npos)
        {
            message.replace(at, placeholder.size(), value);
        }
    }
    return message;
}

} // namespace

JournalCapture::JournalCapture() :
    fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    std::filesystem::create_directories("/run/systemd/journal");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, journalSocket, sizeof(addr.sun_path) - 1);
    if (fd < 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        throw std::system_error(errno, std::generic_category(), journalSocket);
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
        if (got >= 0)
        {
            entries.push_back(parseJournalDatagram(
                buffer.substr(0, static_cast<std::size_t>(got))));
            record.append(entries.back());
        }
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
        {
            return entries;
        }
        else if (errno != EINTR)
        {
            throw std::system_error(errno, std::generic_category(), "recv");
        }
    }
}

::testing::Matcher<const JournalEntry&>
    Logged(const std::string& format,
           const std::map<std::string, std::string>& fields,
           const std::string& function)
{
    using namespace ::testing;
    std::map<std::string, std::string> expected = fields;
    expected.emplace("MESSAGE", expandMessage(format, fields));
    expected.emplace("LOG2_FMTMSG", format);
    expected.emplace("PRIORITY", "3");
    const std::string name = "tavrin_fpga::" + function;
    return AllOf(
        ResultOf(
            "fields besides the source location",
            [](const JournalEntry& entry) {
                std::multimap<std::string, std::string> named;
                for (const auto& [key, value] : entry)
                {
                    if (!key.starts_with("CODE_") && key != "SYSLOG_IDENTIFIER")
                    {
                        named.emplace(key, value);
                    }
                }
                return named;
            },
            ElementsAreArray(expected)),
        Contains(Pair("CODE_FUNC",
                      AnyOf(HasSubstr(name + "("), HasSubstr(name + "<")))),
        Contains(Pair("CODE_FILE", Not(IsEmpty()))),
        Contains(Pair("CODE_LINE", MatchesRegex("[0-9]+"))));
}

::testing::Matcher<const JournalEntry&>
    notAvailable(std::size_t block, const char* location, const char* function)
{
    return Logged("FPGA block{BLOCK} on {LOCATION} not availble!\n",
                  {{"BLOCK", std::to_string(block)}, {"LOCATION", location}},
                  function);
}

} // namespace fpga_test
