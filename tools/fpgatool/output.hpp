// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "verbs.hpp"

#include <cstddef>
#include <functional>
#include <string>

/**
 * @file output.hpp
 * @brief Runs a verb (once or repeatedly) and prints what it found as text
 *        or as one JSON document, on stdout or into a file.
 */
namespace fpgatool
{

struct OutputOptions
{
    bool json = false;
    /** Number of samples; more than one makes the JSON document carry a
     *  "samples" array. */
    std::size_t repeat = 1;
    /** Seconds between two samples. */
    double interval = 1.0;
    /** Write here instead of stdout; "" for stdout. */
    std::string file;
};

/**
 * Run @p verb as the options say and print its reports. A Failure is
 * printed to stderr (and, with JSON, as the document's "error"); the
 * failures a verb went on past are printed to stderr and listed in the
 * document's "errors".
 * @return the exit status
 */
int present(const std::string& command, const std::function<Outcome()>& verb,
            const OutputOptions& options);

/** Print a failure message on stderr, prefixed with the program name. */
void printError(const std::string& message);

} // namespace fpgatool
