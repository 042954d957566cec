// SPDX-License-Identifier: Apache-2.0
// The options of the verbs, checked before any library call, and the
// grammar of the register in read, watch and write.

#include "options.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace fpgatool
{
namespace
{

/** A range of numbers, as messages show it: "0-63", "0-0xFF". */
struct Range
{
    std::uint64_t min;
    std::uint64_t max;
    const char* maxFormat = "%llu";

    std::string text() const
    {
        char last[24];
        std::snprintf(last, sizeof(last), maxFormat,
                      static_cast<unsigned long long>(max));
        return std::to_string(min) + "-" + last;
    }
};

constexpr Range blocks{0, layout::maxBlock};
constexpr Range offsets{0, layout::maxOffset};
constexpr Range counts{1, 1024};
constexpr Range byteValues{0, 0xFF, "0x%llX"};
constexpr double maxSeconds = 3600;

/** Why @p input is no number of @p range (decimal, 0x hex or 0 octal, as
 *  i2c-tools take them), or "" with @p value set. */
std::string numberError(const std::string& input, const Range& range,
                        std::uint64_t& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(input.c_str(), &end, 0);
    if (!registerNameError(input).empty())
    {
        return registerNameError(input);
    }
    // strtoull would also take leading white space and a sign.
    if (input.empty() ||
        std::isdigit(static_cast<unsigned char>(input[0])) == 0 ||
        *end != '\0' || errno != 0)
    {
        return "\"" + input + "\" is not a number";
    }
    const bool in = value >= range.min && value <= range.max;
    return in ? "" : input + " is out of range " + range.text();
}

CLI::Validator inRange(const Range& range)
{
    return {[range](std::string& input) {
                std::uint64_t value = 0;
                return numberError(input, range, value);
            },
            range.text(), ""};
}

CLI::Validator secondsRange()
{
    return {[](std::string& input) {
                // Decimal digits, with a fraction after one point.
                const bool number =
                    !input.empty() &&
                    std::isdigit(static_cast<unsigned char>(input[0])) != 0 &&
                    input.find_first_not_of("0123456789.") == input.npos &&
                    std::ranges::count(input, '.') <= 1;
                const bool valid =
                    number && std::strtod(input.c_str(), nullptr) <= maxSeconds;
                return !registerNameError(input).empty()
                           ? registerNameError(input)
                       : !number ? "\"" + input + "\" is not a number"
                       : valid   ? ""
                                 : input + " is out of range 0-3600 seconds";
            },
            "0-3600", "seconds"};
}

/** Refuses a register name where no register goes. */
CLI::Validator notAName()
{
    return {[](std::string& input) { return registerNameError(input); }, ""};
}

/** The usage lines of read, watch and write: where the names go. */
class RegisterHelp : public CLI::Formatter
{
  public:
    explicit RegisterHelp(Tail tail) : tail(tail) {}

    std::string make_positionals(const CLI::App*) const override
    {
        return ""; // the usage lines say them
    }

    std::string make_usage(const CLI::App* app, std::string) const override
    {
        const bool count = tail == Tail::count;
        const std::string verb = "fpgatool " + app->get_name() + " [OPTIONS] ";
        const std::string rest = count ? " [COUNT]" : " BYTE...";
        return "Usage: " + verb + "CHIP BLOCK OFFSET" + rest + "\n       " +
               verb + "CHIP NAME" + rest + "\n\n  CHIP          " +
               chipNames(", ") + "\n  BLOCK OFFSET  the register: block " +
               blocks.text() + ", offset " + offsets.text() +
               "\n  NAME          a register name (fpgatool registers): it "
               "stands for BLOCK OFFSET\n                (and --adi for an ADI "
               "register), there and nowhere else\n" +
               (count ? "  COUNT         bytes to read, " + counts.text() +
                            " (default 1, or the named register's length)\n"
                      : "  BYTE          the bytes to write from the register "
                        "on, each " +
                            byteValues.text() +
                            "\n                (after a NAME, at most its "
                            "length)\n");
    }

  private:
    Tail tail;
};

/** The number of @p word in @p range, or the usage error that names the
 *  argument @p what. */
std::uint64_t argument(const std::string& verb, const std::string& what,
                       const std::string& word, const Range& range)
{
    std::uint64_t value = 0;
    const std::string error = numberError(word, range, value);
    if (!error.empty())
    {
        throw UsageError(verb + ": " + what + ": " + error + "; see fpgatool " +
                         verb + " --help");
    }
    return value;
}

/** The register at the start of @p words: BLOCK OFFSET, or a name.
 *  @return the number of words it took */
std::size_t readRegister(const std::string& verb,
                         const std::vector<std::string>& words, Args& args)
{
    Address& a = args.address;
    const auto named = layout::registerNamed(words.front());
    if (named && args.adi && named->mode != layout::Mode::adi)
    {
        throw UsageError(
            verb + ": --adi: " + words.front() +
            " is a register of normal mode; see fpgatool " + verb + " --help");
    }
    a.mode = named || !args.adi ? layout::Mode::normal : layout::Mode::adi;
    if (named)
    {
        std::tie(a.block, a.offset, a.mode, args.count) =
            std::tuple(named->block, named->offset, named->mode, named->length);
        return 1;
    }
    a.block = argument(verb, "block", words.front(), blocks);
    a.offset =
        argument(verb, "offset", words.size() > 1 ? words[1] : "", offsets);
    return 2;
}

} // namespace

std::string registerNameError(const std::string& word)
{
    return layout::registerNamed(word)
               ? "\"" + word +
                     "\" is a register name: names stand for BLOCK OFFSET, "
                     "right after CHIP in read, watch and write"
               : "";
}

void readRegisterWords(const std::string& verb, Tail tail, Args& args)
{
    const std::vector<std::string>& words = args.words;
    const std::string see = "; see fpgatool " + verb + " --help";
    if (words.empty())
    {
        throw UsageError(verb +
                         ": CHIP must be followed by BLOCK OFFSET or a "
                         "register name" +
                         see);
    }
    const std::size_t taken = readRegister(verb, words, args);
    const std::vector<std::string> rest(words.begin() + taken, words.end());
    if (tail == Tail::count && rest.size() > 1)
    {
        throw UsageError(verb + ": \"" + rest[1] +
                         "\" is one word too many: COUNT is the last" + see);
    }
    if (tail == Tail::count && !rest.empty())
    {
        args.count = argument(verb, "count", rest[0], counts);
    }
    if (tail == Tail::bytes && rest.empty())
    {
        throw UsageError(verb + ": bytes is required" + see);
    }
    for (std::size_t i = 0; tail == Tail::bytes && i < rest.size(); ++i)
    {
        args.bytes.push_back(argument(verb, "bytes", rest[i], byteValues));
    }
    if (taken == 1 && tail == Tail::bytes && rest.size() > args.count)
    {
        throw UsageError(verb + ": " + byteCount(rest.size()) +
                         " would run past " + words.front() + ", which is " +
                         byteCount(args.count) + " long" + see);
    }
}

void registerOptions(CLI::App& verb, Args& args, Tail tail)
{
    chipOption(verb, args);
    verb.add_option("register", args.words, "BLOCK OFFSET, or a NAME");
    verb.formatter(std::make_shared<RegisterHelp>(tail));
    auto* adi = verb.add_flag("-a,--adi", args.adi, "ADI (paged) mode");
    verb.add_option("--page", args.address.page,
                    "ADI page (default 0; 0-0xFFF on a remote FPGA)")
        ->check(inRange({0, layout::maxPage, "0x%llX"}))
        ->needs(adi);
    verb.add_option("--page-offset", args.address.pageDataOffset,
                    "ADI page data offset (default 0)")
        ->check(inRange({0, layout::maxPageDataOffset}))
        ->needs(adi);
    verb.add_flag("--cross-blocks", args.crossBlocks,
                  "let the bytes run on past the block into the next ones "
                  "(each must be enabled)");
}

void chipOption(CLI::App& verb, Args& args)
{
    verb.add_option("chip", args.chip, chipNames(", "))
        ->required()
        ->check(notAName())
        ->check(CLI::Validator(
            [](std::string& input) { return chipNameError(input); },
            chipNames("|"), "chip"));
}

void stateOption(CLI::App& verb, Args& args)
{
    verb.add_option("state", args.state, "on or off; none: show the state")
        ->check(notAName())
        ->check(CLI::IsMember({"on", "off"}));
}

void outputOption(CLI::App& verb, Args& args)
{
    verb.add_option("-o,--output", args.file,
                    "write the output to FILE instead of stdout")
        ->check(CLI::Validator(
            [](std::string& input) {
                return input.empty() ? "an empty file name; leave -o out "
                                       "for stdout"
                                     : "";
            },
            "FILE", ""));
}

void jsonOption(CLI::App& verb, Args& args)
{
    verb.add_flag("-j,--json", args.json,
                  "print JSON instead of text: one document, or one a line "
                  "for each sample or change");
}

void intervalOption(CLI::App& verb, Args& args)
{
    verb.add_option("-i,--interval", args.interval,
                    "seconds between two reads (default 1)")
        ->check(secondsRange());
}

void repeatOptions(CLI::App& verb, Args& args)
{
    verb.add_option("-r,--repeat", args.repeat, "read N times (default 1)")
        ->check(inRange({1, 1000000}));
    intervalOption(verb, args);
    for (const char* name : {"--repeat", "--interval"})
    {
        verb.get_option(name)->each([&args](const std::string&) {
            args.sampled = true;
        });
    }
}

void watchOptions(CLI::App& verb, Args& args)
{
    verb.add_option_function<std::string>(
            "--until",
            [&args](const std::string& text) {
                for (std::size_t start = 0; start <= text.size();)
                {
                    const std::size_t end =
                        std::min(text.find(',', start), text.size());
                    std::uint64_t value = 0;
                    const std::string error = numberError(
                        text.substr(start, end - start), byteValues, value);
                    if (!error.empty())
                    {
                        throw CLI::ValidationError("--until", error);
                    }
                    args.until.push_back(value);
                    start = end + 1;
                }
            },
            "stop when the bytes read are these, comma-separated (one per byte "
            "read)")
        ->type_name("BYTES:" + byteValues.text());
    verb.add_option("--timeout", args.timeout,
                    "stop after this many seconds; with --until a failure")
        ->check(secondsRange());
}

void writeOptions(CLI::App& verb, Args& args)
{
    verb.add_option("-m,--mask", args.mask,
                    "change only these bits of each byte (read-modify-write)")
        ->check(inRange({1, byteValues.max, byteValues.maxFormat}));
    verb.add_flag("--verify", args.verify, "read the bytes back and compare");
}

void changeOptions(CLI::App& verb, Args& args)
{
    verb.add_flag("-n,--dry-run", args.dryRun,
                  "print the library call that would change the hardware; "
                  "change nothing");
    verb.add_flag("-y,--yes", args.yes, "do not ask for confirmation");
}

} // namespace fpgatool
