// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

/**
 * @file file_events.hpp
 * @brief Watches one file with inotify, to count how a call opened and
 *        wrote it (nothing else in the test world can observe an open).
 *
 *     fpga_test::FileEvents events(path);
 *     resetFpga();
 *     EXPECT_EQ(events.letters(), "OMCOMC");
 */
namespace fpga_test
{

class FileEvents
{
  public:
    /** @brief Start watching @p path for opens, writes and closes.
     *  @throws std::system_error */
    explicit FileEvents(const std::string& path);
    ~FileEvents();
    FileEvents(const FileEvents&) = delete;
    FileEvents& operator=(const FileEvents&) = delete;

    /**
     * @brief The events since the last call, oldest first, one letter each:
     *        'O' opened, 'M' written, 'C' closed after writing, 'c' closed
     *        without writing.
     */
    std::string letters();

  private:
    int fd;
};

} // namespace fpga_test
