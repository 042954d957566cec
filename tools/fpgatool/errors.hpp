// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "target.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

/**
 * @file errors.hpp
 * @brief How failures leave the tool: exit status 1 with a message that
 *        names the library call, its result code and what to do about it;
 *        exit status 2 for a usage error.
 */
namespace fpgatool
{

/** Exit statuses; the manual has the table. */
enum ExitStatus : int
{
    exitOk = 0,
    exitFailure = 1,
    exitUsage = 2,
};

/** Something failed: exit status 1. */
class Failure : public std::runtime_error
{
  public:
    /**
     * @param call  the library call (or step) that failed
     * @param code  its result code; 0 when it threw instead
     * @param message  the whole message, starting with the call
     */
    Failure(std::string call, int code, const std::string& message);

    const std::string& call() const
    {
        return callName;
    }

    int code() const
    {
        return result;
    }

    /** {"call": ..., "code": ..., "errno": ..., "message": ...}; code and
     *  errno are null when the call threw. */
    nlohmann::ordered_json toJson() const;

  private:
    std::string callName;
    int result;
};

/** The command line asks for something the tool refuses: exit status 2. */
class UsageError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/** The symbolic name of an errno value, e.g. "ENODEV". */
std::string errnoName(int value);

/** What the tool knows about the access that failed, so that a message can
 *  say what to do. */
struct Context
{
    std::optional<Chip> chip;
    std::optional<Address> address;
};

/** The Failure of a library call that returned @p result (a negative errno,
 *  or the positive errno of getHPMLocation). */
Failure resultFailure(const std::string& call, int result,
                      const Context& context = {});

/** Throws resultFailure() unless @p result is 0. */
void check(const std::string& call, int result, const Context& context = {});

/** The Failure for an exception that the library let through. */
Failure exceptionFailure(const std::string& call, const std::exception& error,
                         const Context& context = {});

/**
 * Run one library call. The exceptions the library lets through (a
 * malformed "blocks" or HPM attribute, a failed directory probe) become a
 * Failure that names the call and the attribute.
 */
template <typename Function>
auto guarded(const std::string& call, Function&& function,
             const Context& context = {}) -> decltype(function())
{
    try
    {
        return function();
    }
    catch (const std::invalid_argument& error)
    {
        throw exceptionFailure(call, error, context);
    }
    catch (const std::filesystem::filesystem_error& error)
    {
        throw exceptionFailure(call, error, context);
    }
}

/** Why @p path does not open with @p flags (O_RDWR or O_WRONLY) and what
 *  to do about it, or "" when it opens. Nothing is read or written.
 *  @param missing  what it means when the file does not exist */
std::string openProblem(const std::string& path, int flags,
                        const std::string& missing);

/** The driver's sysfs directory as the library finds it, or "" when it
 *  finds none. @throws std::filesystem::filesystem_error */
std::string driverDirectory();

} // namespace fpgatool
