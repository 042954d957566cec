// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "fpgatool.hpp"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

/**
 * @file options.hpp
 * @brief The options of the verbs, in groups that verbs share, and the
 *        grammar of the register in read, watch and write (options.cpp);
 *        the bash completion (completion.cpp).
 */
namespace fpgatool
{

/** Adds a group of options to a verb. */
using AddOptions = void (*)(CLI::App& verb, Args& args);

void chipOption(CLI::App& verb, Args& args);
void stateOption(CLI::App& verb, Args& args);
void outputOption(CLI::App& verb, Args& args);
void jsonOption(CLI::App& verb, Args& args);
void intervalOption(CLI::App& verb, Args& args);
/** --repeat and --interval. */
void repeatOptions(CLI::App& verb, Args& args);
/** --until and --timeout. */
void watchOptions(CLI::App& verb, Args& args);
/** --mask and --verify. */
void writeOptions(CLI::App& verb, Args& args);
/** --dry-run and --yes. */
void changeOptions(CLI::App& verb, Args& args);

/** What follows the register on the command line: "CHIP REGISTER
 *  [COUNT]" (read, watch) or "CHIP REGISTER BYTE..." (write). */
enum class Tail
{
    count,
    bytes,
};

/** CHIP and the words after it, --adi, --page, --page-offset and
 *  --cross-blocks, and the help that says where register names go. */
void registerOptions(CLI::App& verb, Args& args, Tail tail);

/** Reads the words after CHIP by the grammar of @p tail into the address,
 *  the count or the bytes: a register name stands for BLOCK OFFSET, right
 *  after CHIP, and nowhere else. @throws UsageError */
void readRegisterWords(const std::string& verb, Tail tail, Args& args);

/** The message of a register name where none may stand, or "" when
 *  @p word is no register name. */
std::string registerNameError(const std::string& word);

/**
 * For bash completion: print the words that may stand in the last of
 * @p words (the command line after "fpgatool", the last word the one being
 * completed), one a line; "<files>" for a file name. Taken from the verbs
 * as they are set up, so a new verb or option completes with no more work.
 */
void printCompletions(const CLI::App& app,
                      const std::vector<std::string>& words);

} // namespace fpgatool
