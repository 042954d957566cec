// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/board.hpp"
#include "sim/board_json.hpp"
#include "sim/process.hpp"
#include "support/world_test.hpp"

#include <fcntl.h>

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

/** @brief A scratch directory removed with its files at the end. */
class ScratchDir
{
  public:
    ScratchDir()
    {
        char pattern[] = "/tmp/fpgasim-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path = made != nullptr ? made : "";
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
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/** @brief Run @p argv, with standard output and error captured; standard
 *         input is @p stdinFd, or /dev/null when it is -1. */
inline Run runProgram(const std::vector<std::string>& argv, int stdinFd = -1)
{
    ScratchDir dir;
    const std::string out = dir.file("out");
    const std::string err = dir.file("err");
    Run run;
    const pid_t pid = fpga_sim::spawnProgram(argv, stdinFd, out, err);
    if (pid > 0)
    {
        run.status = fpga_sim::waitForExit(pid);
    }
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
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
        const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fuse < 0)
        {
            GTEST_SKIP() << "/dev/fuse cannot be opened ("
                         << std::strerror(errno)
                         << "); the live simulator cases need it, as Debian "
                            "ships it (mode 0666)";
        }
        ::close(fuse);
        if (!namespacesAvailable())
        {
            GTEST_SKIP() << "private mount namespaces are unavailable";
        }
    }
};

} // namespace fpga_test
