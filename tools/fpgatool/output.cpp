// SPDX-License-Identifier: Apache-2.0
#include "output.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>

namespace fpgatool
{
namespace
{

nlohmann::ordered_json documentHead(const std::string& command)
{
    return {{"schemaVersion", schemaVersion}, {"command", command}};
}

void printDocument(std::ostream& out, const nlohmann::ordered_json& document)
{
    out << formatJson(document);
    out.flush();
}

} // namespace

void printError(const std::string& message)
{
    std::fflush(stdout);
    std::cerr << "fpgatool: " << message << '\n';
}

int present(const std::string& command, const std::function<Outcome()>& verb,
            const OutputOptions& options)
{
    std::ofstream file;
    if (!options.file.empty())
    {
        file.open(options.file, std::ios::out | std::ios::trunc);
        if (!file)
        {
            printError(
                "cannot write " + options.file + ": " + std::strerror(errno));
            return exitFailure;
        }
    }
    std::ostream& out = options.file.empty() ? std::cout : file;

    nlohmann::ordered_json document = documentHead(command);
    auto samples = nlohmann::ordered_json::array();
    auto errors = nlohmann::ordered_json::array();
    for (std::size_t sample = 0; sample < options.repeat; ++sample)
    {
        if (sample > 0)
        {
            std::this_thread::sleep_for(
                std::chrono::duration<double>(options.interval));
        }
        Outcome outcome;
        try
        {
            // What the library lets through and no verb caught on the way
            // is named after the verb.
            outcome = guarded(command, verb);
        }
        catch (const Failure& failure)
        {
            printError(failure.what());
            if (options.json)
            {
                document = documentHead(command);
                document["error"] = failure.toJson();
                printDocument(out, document);
            }
            return exitFailure;
        }

        for (const Failure& problem : outcome.problems)
        {
            printError(problem.what());
            errors.push_back(problem.toJson());
        }
        if (options.json)
        {
            auto members = toJson(outcome.report);
            if (options.repeat == 1)
            {
                document.update(members);
            }
            else
            {
                samples.push_back(std::move(members));
            }
            continue;
        }
        const std::string text = toText(outcome.report);
        // Samples of more than one line are set apart by a blank line.
        if (sample > 0 && text.find('\n') + 1 < text.size())
        {
            out << '\n';
        }
        out << text;
        out.flush();
    }

    const int status = errors.empty() ? exitOk : exitFailure;
    if (options.json)
    {
        if (options.repeat > 1)
        {
            document["samples"] = std::move(samples);
        }
        if (!errors.empty())
        {
            document["errors"] = std::move(errors);
        }
        printDocument(out, document);
    }
    if (!out)
    {
        printError(
            "cannot write the output: " + std::string(std::strerror(errno)));
        return exitFailure;
    }
    return status;
}

} // namespace fpgatool
