// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "base/device_layout.hpp"

#include <nlohmann/json.hpp>

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/**
 * @file fpgatool.hpp
 * @brief What the files of fpgatool share, as libgpiod's tools share their
 *        common file: how failures leave the tool (errors.cpp), what a verb
 *        reports and how it is printed (report.cpp, output.cpp for -o), the
 *        chips and their transfers (chip.cpp) and the verbs, a file per
 *        family: list.cpp (list, info), access.cpp (read, write, dump),
 *        watch.cpp, change.cpp (buttons, reset), views.cpp (the decoded
 *        views, registers) and snapshot.cpp. main.cpp builds the command
 *        line from the table of the verbs, options.cpp their options and
 *        the grammar of a register, completion.cpp what bash completes.
 */
namespace fpgatool
{

using Json = nlohmann::ordered_json;
namespace layout = tavrin_fpga::layout;

/** Version of the JSON document; raised when a key changes meaning or goes
 *  away (adding keys keeps it). */
inline constexpr int schemaVersion = 2;

/** Exit statuses; the manual has the table. */
enum ExitStatus : int
{
    exitOk = 0,
    exitFailure = 1,
    exitUsage = 2,
};

/** Something failed: exit status 1. The message is built from what is
 *  known when it fails; the tool never goes back to the hardware to
 *  explain a failure. */
class Failure : public std::runtime_error
{
  public:
    /** @param call  the library call (or the tool's step) that failed
     *  @param message  the whole message, starting with the call
     *  @param code  the call's result code; none when it threw or when the
     *               step is the tool's own */
    Failure(std::string_view call, const std::string& message,
            std::optional<int> code = std::nullopt);

    /** {"call", "code", "errno", "message"}; code and errno null when
     *  there is no result code. */
    Json toJson() const;

  private:
    std::string call;
    std::optional<int> code;
};

/** The command line asks for something the tool refuses: exit status 2. */
class UsageError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/** The Failure of @p call returning @p result (a negative errno, or the
 *  positive errno of getHPMLocation): "CALL: CODE (ERRNO): hint". */
Failure resultFailure(std::string_view call, int result);

/** Inside a catch block: rethrows the exception the library let through
 *  as the Failure of @p call, named by the exception's type. */
[[noreturn]] void rethrowAsFailure(std::string_view call);

/** Runs one library call; what it throws becomes a Failure naming it. */
template <typename Function>
auto guarded(std::string_view call, Function&& function) -> decltype(function())
{
    try
    {
        return std::forward<Function>(function)();
    }
    catch (...)
    {
        rethrowAsFailure(call);
    }
}

/** Runs a library call that returns 0 or an error code. */
template <typename Function>
void checked(std::string_view call, Function&& function)
{
    if (const int result = guarded(call, std::forward<Function>(function));
        result != 0)
    {
        throw resultFailure(call, result);
    }
}

/** One value in both forms; the manual's table of values gives the text. */
struct Value
{
    Json json;
    std::string text;
};

/** What @p show makes of each of @p items, with @p separator between. */
template <typename Items, typename Show>
std::string joined(const Items& items, const std::string& separator,
                   Show&& show)
{
    std::string text;
    for (auto it = std::begin(items); it != std::end(items); ++it)
    {
        text += (it == std::begin(items) ? "" : separator) + show(*it);
    }
    return text;
}

/** "0x" and @p digits hex digits. */
std::string hex(std::uint64_t value, int digits);

/** Hex digits that show every value up to @p max. */
constexpr int hexDigits(std::uint64_t max)
{
    return max > 0xF ? 1 + hexDigits(max >> 4) : 1;
}

/** "1 byte", "2 bytes". */
inline std::string byteCount(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

/** An ADI page as text: "0x" and 4 digits. */
inline std::string pageText(std::size_t page)
{
    return hex(page, hexDigits(layout::maxPage));
}

template <typename Number>
Value number(Number value)
{
    const auto n = static_cast<std::int64_t>(value);
    return {n, std::to_string(n)};
}

Value none();                                     // null, "-"
Value flag(bool value);                           // true, "yes"
Value plain(std::string_view text);               // "r1", r1
Value driverText(const std::string& text);        // "3 12", "\"3 12\""
Value hexNumber(std::uint64_t value, int digits); // 122, "0x7a"
Value bitMask(std::uint64_t value, int digits);   // {mask, bits}, "0x14 [2 4]"
Value bytes(std::span<const char> buffer);        // [3, 167], "0x03 0xa7"
Value blockSet(const std::bitset<64>& blocks);    // [0, 1, 2, 12], "0-2,12"

/** What a verb found, as the members of its JSON document and as text, and
 *  the failures it went on past (dump, info, snapshot). */
struct Report
{
    /** How a field shows in text: "label: value", the value alone, or not
     *  at all (JSON only). */
    enum class Shown
    {
        labelled,
        bare,
        hidden,
    };

    struct Column
    {
        std::string key;
        std::string heading;
    };

    /** A block's bytes; none when its read failed. */
    using DumpRow = std::pair<std::size_t, std::optional<std::vector<char>>>;

    /** The label is the key in words: "chipId" -> "chip id". */
    Report& field(const std::string& key, const Value& value,
                  Shown shown = Shown::labelled);
    /** JSON: an array of objects; text: a header line, then a row a line,
     *  columns padded and separated by two spaces. */
    Report& table(const std::string& key, const std::vector<Column>& columns,
                  const std::vector<std::vector<Value>>& rows);
    /** Whole blocks, a row each in the habit of i2cdump. */
    Report& dump(const std::string& key, const std::vector<DumpRow>& rows);

    Json members = Json::object();
    std::string text;
    std::vector<Failure> problems;
};

/** A register: block and offset, plus page and page data offset in ADI
 *  mode. */
struct Address
{
    std::size_t block = 0;
    std::size_t offset = 0;
    layout::Mode mode = layout::Mode::normal;
    std::size_t page = 0;
    std::size_t pageDataOffset = 0;
};

/** Everything the command line can set; each verb reads what it offers. */
struct Args
{
    /** "local", "r0" to "r3", or "hpm": the FPGA that carries the HPM
     *  blocks, wherever the driver says it is. */
    std::string chip;
    /** The words after CHIP in read, watch and write: the register (BLOCK
     *  OFFSET, or a name), then COUNT or the bytes. */
    std::vector<std::string> words;
    /** --adi; the register's mode once the words are read. */
    bool adi = false;
    Address address;
    std::size_t count = 1;
    std::vector<unsigned> bytes;
    /** Let a read or write run on past its block into the next ones. */
    bool crossBlocks = false;
    /** Read-modify-write: only the mask's bits of each byte change. */
    std::optional<unsigned> mask;
    bool verify = false;
    /** "on", "off", or "" to show the state. */
    std::string state;
    /** Say which library call would change the hardware; change nothing. */
    bool dryRun = false;
    /** Change the hardware without asking. */
    bool yes = false;
    bool json = false;
    /** Number of samples, each printed as it is taken. */
    std::size_t repeat = 1;
    /** Seconds between two samples. */
    double interval = 1.0;
    /** --repeat or --interval given. */
    bool sampled = false;
    /** Write the output here instead of stdout (-o). */
    std::optional<std::string> file;
    /** watch: stop when the bytes read are these. */
    std::vector<unsigned> until;
    /** watch: stop after this many seconds. */
    std::optional<double> timeout;
};

/** Run @p verb as often as @p args say and print its reports as text or
 *  JSON, to the file of -o (output.cpp) or stdout; failures go to stderr
 *  and into the document's "error" or "errors".
 *  @return the exit status */
int present(const std::string& command, const std::function<Report()>& verb,
            const Args& args);

/** What printSamples() gave: the exit status, and whether the verb ran to
 *  its end (possibly past failures) rather than failing. */
struct Samples
{
    int status;
    bool ran;
};

/** Runs the verb's samples and prints them on @p out. */
Samples printSamples(const std::string& command,
                     const std::function<Report()>& verb, const Args& how,
                     std::ostream& out);

/** Print a failure message on stderr, prefixed with the program name. */
void printError(const std::string& message);

/** Print a JSON document, indented or on one line (@p compact), and flush;
 *  a null document prints nothing. @throws Failure when @p out has failed
 *  (standard output full or closed) */
void printDocument(std::ostream& out, const Json& document, bool compact);

/** Now in UTC: "2026-12-06T18:20:01Z", or with @p millis
 *  "2026-12-06T18:20:01.123Z". */
std::string utcTime(bool millis);

/** A physical FPGA: "local", "r0" to "r3". */
using Fpga = layout::Fpga;

/** A chip as the command line names it, and the FPGA it stands for. */
struct Chip
{
    enum class Kind
    {
        local,
        remote,
        hpm,
    };
    std::string name;
    Kind kind;
    Fpga fpga;
};

/** local, r0 to r3, and hpm (its FPGA not looked up). */
std::vector<Chip> allChips();

/** The chip names, "local", "r0" to "r3", "hpm", joined by @p separator. */
std::string chipNames(std::string_view separator);

/** Why @p name names no chip, or "" when it does. */
std::string chipNameError(std::string_view name);

/** getHPMLocation(): its result, and when it is 0 the FPGA in @p hpm.
 *  @throws Failure when the library names an FPGA the driver does not have
 *  (it reads "remote7" as remote 7) */
int hpmLocation(Fpga& hpm);

/** The chip of a name that chipNameError() accepts. For "hpm" the library
 *  is asked; when it cannot tell, the local FPGA, as it does itself.
 *  @throws Failure for "hpm" on an FPGA the driver does not have, or whose
 *  interface version has no block table: every HPM access of the library
 *  would go to block 0 there */
Chip chipOf(const std::string& name);

/** chipDetected, guarded. */
bool detected(const Fpga& fpga);

/** The library call that moves bytes on @p chip in @p mode. */
std::string_view transferName(const Chip& chip, layout::Mode mode);

/** Moves bytes; a failure throws the Failure that names the call. */
void transfer(const Chip& chip, tavrin_fpga::Operation op, const Address& a,
              std::span<char> buffer);

/** The device node and the file position of a register. */
const layout::Node& nodeOf(const Fpga& fpga, layout::Mode mode);
std::uint64_t positionOf(const Fpga& fpga, const Address& a);

/** Refuses a transfer of @p count bytes that leaves the pages of a remote
 *  ADI node or, without --cross-blocks, its block; with --cross-blocks
 *  each block it touches must be enabled. */
void checkTransfer(const Chip& chip, const Address& a, std::size_t count,
                   const Args& args, std::string_view verb);

/** The 16 registers of every block the chip reports enabled, read in
 *  normal mode by the chip's transfer call; a block whose read failed has
 *  no bytes, and its failure goes to @p failed. */
std::vector<Report::DumpRow> readEnabledBlocks(
    const Chip& chip,
    const std::function<void(std::size_t, const Failure&)>& failed);

/** The driver's sysfs directory as the library finds it, or "". */
std::string driverDirectory();

/** Throws the Failure that says no driver directory was found, when the
 *  library finds none: every verb then fails the same clear way instead of
 *  reporting absent chips or a path under "/". */
void requireDriver();

/** 0 when @p path opens with @p flags (it is closed again), else the
 *  errno of the open. */
int openError(const std::string& path, int flags);

/** The whole text of the file at @p path, byte for byte, or none with
 *  @p error set to the errno of its open or read. The library parses its
 *  attributes and has no call that gives their text. */
std::optional<std::string> fileText(const std::string& path, int& error);

/** Goes on only when -y was given or the user answers yes on the terminal;
 *  without a terminal, -y is required. */
void confirm(const Args& args, const std::string& question,
             std::string_view verb, std::string_view refused);

/** flock(LOCK_EX) on a device node, held until the lock goes, while
 *  fpgatool changes registers behind it (see "Concurrent writers" in the
 *  manual). A node that does not open is left to the transfer to report. */
std::shared_ptr<void> lockNode(std::string_view path);

// The verbs: each makes the library calls of its verb and reports what
// they gave; a failing call throws a Failure.
Report listChips(const Args& args);
Report showInfo(const Args& args);
Report readRegisters(const Args& args);
Report writeRegisters(const Args& args);
Report dumpChip(const Args& args);
Report buttons(const Args& args);
Report resetFpga(const Args& args);
Report listRegisters(const Args& args);
/** The board file (fpga-sim's format) of what the library sees. */
Report takeSnapshot(const Args& args);
/** watch prints each change itself, as it comes.
 *  @return the exit status */
int watchRegisters(const Args& args);

/** @brief A decoded view: one library reader, shown as fields and tables.
 *         Each is a verb of its own that takes --json, --repeat and
 *         --interval; a new view is one row of views() and its function. */
struct View
{
    std::string_view name;
    std::string_view help;
    std::string_view example;
    Report (*show)(const Args& args);
};

/** @brief The decoded views, in the order --help lists them. */
std::span<const View> views();

} // namespace fpgatool
