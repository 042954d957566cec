// SPDX-License-Identifier: Apache-2.0
// What the bash completion offers ("fpgatool __complete WORDS..."), taken
// from the verbs as the command line sets them up.

#include "options.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

namespace fpgatool
{
namespace
{

/** What may stand as the value of the option or positional @p name: only
 *  the first word of the register may be a register name, and with --adi
 *  only a name of an ADI register. */
std::vector<std::string> valuesOf(const std::string& name, bool adi)
{
    std::map<std::string, std::vector<std::string>> values = {
        {"--output", {"<files>"}}, {"state", {"on", "off"}}};
    for (const Chip& chip : allChips())
    {
        values["chip"].push_back(chip.name);
    }
    for (const layout::Register& reg : layout::registers)
    {
        if (!adi || reg.mode == layout::Mode::adi)
        {
            values["register"].emplace_back(reg.name);
        }
    }
    return values[name];
}

/** What may stand in the last of @p words, the verb's words. */
std::vector<std::string> verbCandidates(const CLI::App& verb,
                                        std::span<const std::string> words)
{
    // The option whose value the last word is, or the number of positional
    // words before it.
    const CLI::Option* valued = nullptr;
    std::size_t positional = 0;
    for (const std::string& word : words.first(words.size() - 1))
    {
        const bool option = word.starts_with('-') && valued == nullptr;
        positional += valued == nullptr && !option ? 1 : 0;
        valued = option ? verb.get_option_no_throw(word) : nullptr;
        valued = valued != nullptr && valued->get_expected_max() > 0
                     ? valued
                     : nullptr;
    }
    std::vector<std::string> options;
    std::vector<std::string> positionals;
    for (const CLI::Option* o : verb.get_options())
    {
        if (!o->get_lnames().empty())
        {
            options.push_back("--" + o->get_lnames().front());
        }
        if (!o->nonpositional())
        {
            positionals.push_back(o->get_name());
        }
    }
    if (valued == nullptr && words.back().starts_with('-'))
    {
        return options;
    }
    const bool adi = std::ranges::any_of(words, [](const std::string& word) {
        return word == "-a" || word == "--adi";
    });
    return valuesOf(valued != nullptr                 ? valued->get_name()
                    : positional < positionals.size() ? positionals[positional]
                                                      : "",
                    adi);
}

} // namespace

void printCompletions(const CLI::App& app,
                      const std::vector<std::string>& words)
{
    const auto verbAt = std::ranges::find_if(
        words.begin(), words.end() - 1,
        [](const std::string& word) { return !word.starts_with('-'); });
    const auto subs = app.get_subcommands({});
    const auto verb = std::ranges::find_if(subs, [&](const CLI::App* sub) {
        return verbAt != words.end() - 1 && sub->get_name() == *verbAt;
    });
    std::vector<std::string> candidates = {"--help", "--version"};
    if (verb != subs.end())
    {
        candidates = verbCandidates(
            **verb, std::span(words).subspan(verbAt - words.begin() + 1));
    }
    for (const CLI::App* sub : verb == subs.end() ? subs : decltype(subs){})
    {
        candidates.push_back(sub->get_name());
    }
    for (const std::string& candidate : candidates)
    {
        std::printf("%s\n", candidate.c_str());
    }
}

} // namespace fpgatool
