// The FPGA reset: two one-character writes, each in an open of its own.

#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::World;
using fpga_test::JournalCapture;
using fpga_test::Logged;
using fpga_test::WorldTest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

/** inotify events of @p watch, each as one letter: O(pen), M(odify),
 *  C(lose after writing). */
std::string eventLetters(int watch)
{
    std::string letters;
    alignas(inotify_event) char events[4096];
    ssize_t got = 0;
    while ((got = read(watch, events, sizeof(events))) > 0)
    {
        for (char* p = events; p < events + got;)
        {
            const auto* event = reinterpret_cast<inotify_event*>(p);
            for (const auto& [mask, letter] :
                 {std::pair{IN_OPEN, 'O'}, std::pair{IN_MODIFY, 'M'},
                  std::pair{IN_CLOSE_WRITE, 'C'}})
            {
                if ((event->mask & mask) != 0)
                {
                    letters += letter;
                }
            }
            p += sizeof(inotify_event) + event->len;
        }
    }
    return letters;
}

TEST_F(WorldTest, ResetWritesOneThenZero)
{
    inWorld(Board{}, [](World& world) {
        // A FIFO stands for the attribute, so every byte written is kept in
        // order; holding it open for reading and writing keeps the
        // library's open from blocking.
        const std::string path = world.attrPath(fpga_sim::resetAttr);
        world.removeAttr(fpga_sim::resetAttr);
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        const int fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fifo, 0);
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(watch, path.c_str(),
                                    IN_OPEN | IN_MODIFY | IN_CLOSE_WRITE),
                  0);
        JournalCapture journal;

        tavrin_fpga::resetFpga();

        char written[8] = {};
        EXPECT_EQ(read(fifo, written, sizeof(written)), 2);
        EXPECT_EQ(std::string(written, 2), "10");
        // Two opens, each with one write and a close.
        EXPECT_EQ(eventLetters(watch), "OMCOMC");
        EXPECT_THAT(journal.drain(), IsEmpty());
        close(watch);
        close(fifo);
    });
}

TEST_F(WorldTest, MissingResetAttributeIsLoggedTwice)
{
    const struct
    {
        fpga_sim::ProbeDirs probe;
        std::string path;
    } rows[] = {
        {fpga_sim::ProbeDirs::spi20,
         "/sys/bus/spi/devices/spi2.0/tavrin_fpga_reset"},
        {fpga_sim::ProbeDirs::none, "/tavrin_fpga_reset"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.path);
        Board board;
        board.probe = row.probe;
        board.resetAttribute = false;
        board.readOnlyDriverDir = row.probe != fpga_sim::ProbeDirs::none;
        inWorld(board, [&](World& world) {
            // Files made under "/" land in a private tmpfs, not the host.
            world.enterPrivateRoot();
            JournalCapture journal;
            tavrin_fpga::resetFpga();
            const auto entry = Logged("{PATH} not found!\n",
                                      {{"PATH", row.path}}, "setResetGpio");
            EXPECT_THAT(journal.drain(), ElementsAre(entry, entry));
            EXPECT_NE(access(row.path.c_str(), F_OK), 0);
        });
    }
}

} // namespace
