// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/board_json.hpp"
#include "sim/process.hpp"
#include "support/world_test.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

/**
 * @file fpgasim_run.hpp
 * @brief Runs fpga-sim (or any program) as a subprocess for the tests.
 *
 * FPGA_SIM is the path of the built fpga-sim, given by tests/meson.build.
 */
namespace fpga_test
{

/** @brief How a subprocess ended and what it printed. */
struct Run
{
    int status = -1; ///< exit status, or 128 + signal
    std::string out;
    std::string err;
};

/** @brief A scratch directory (mode 0755) removed with its files at the
 *         end. */
class ScratchDir
{
  public:
    ScratchDir()
    {
        char pattern[] = "/tmp/fpgasim-test-XXXXXX";
        path = ::mkdtemp(pattern) != nullptr ? pattern : "";
        std::filesystem::permissions(path, std::filesystem::perms(0755));
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }

    /** @brief Create @p name with @p text; returns its path. */
    std::string write(const std::string& name, const std::string& text) const
    {
        std::ofstream(file(name)) << text;
        return file(name);
    }

    /** @brief The path of @p name, removed at the end. */
    std::string file(const std::string& name) const
    {
        return path + "/" + name;
    }

  private:
    std::string path;
};

inline std::string slurp(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

/** @brief Run @p argv, with standard output and error captured; standard
 *         input is @p stdinFd, or /dev/null when it is -1. */
inline Run runProgram(const std::vector<std::string>& argv, int stdinFd = -1)
{
    ScratchDir dir;
    const pid_t pid =
        fpga_sim::spawnProgram(argv, stdinFd, dir.file("out"), dir.file("err"));
    // A braced list is evaluated in order: the files are read once it ended.
    return {pid > 0 ? fpga_sim::waitForExit(pid) : -1, slurp(dir.file("out")),
            slurp(dir.file("err"))};
}

/** @brief Run @p command under fpga-sim serving @p board. */
inline Run runOnBoard(const fpga_sim::Board& board,
                      const std::vector<std::string>& command,
                      const std::vector<std::string>& simOptions = {})
{
    ScratchDir dir;
    const std::string file =
        dir.write("board.json", fpga_sim::boardToJson(board).dump());
    std::vector<std::string> argv = {FPGA_SIM, "--board", file};
    argv.insert(argv.end(), simOptions.begin(), simOptions.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return runProgram(argv);
}

/** @brief Skips the case when fpga-sim cannot run here. */
class FpgaSimTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (::access("/dev/fuse", R_OK | W_OK) != 0 || !namespacesAvailable())
        {
            GTEST_SKIP() << "the live simulator cases need /dev/fuse open to "
                            "this user, as Debian ships it (mode 0666), and "
                            "private mount namespaces";
        }
    }
};

} // namespace fpga_test
