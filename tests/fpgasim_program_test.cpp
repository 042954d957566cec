// SPDX-License-Identifier: Apache-2.0
// fpga-sim as a program, in shell lines as its users run it: options, exit
// statuses, signals, the control socket's clients, the trace's records and
// the journal on one timeline, teardown, permissions; and libfpga-sim's
// waits. Part of fpgasim_test, whose main() runs them.

#include "fpgasim_run.hpp"

#include <libfpga-sim.hpp>

#include <csignal>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using ::testing::HasSubstr;
using namespace std::chrono_literals;
using OnFpgaSim = fpga_test::FpgaSimTest;

using Line = std::tuple<std::string, int, std::string>;

/** Each shell command line of @p lines, run with S set to fpga-sim's path
 *  and T to directory @p dir, ends with its status and prints its
 *  message. */
void runLines(const fpga_test::ScratchDir& dir, const std::vector<Line>& lines)
{
    ::setenv("S", FPGA_SIM, 1);
    ::setenv("T", dir.file("").substr(0, dir.file("").size() - 1).c_str(), 1);
    // Fields of journal entries that change from run to run are left out.
    const std::regex varying(R"re("(_PID|SYSLOG_TIMESTAMP)":"[^"]*",)re");
    for (const auto& [line, status, message] : lines)
    {
        SCOPED_TRACE(line);
        const auto run = fpga_test::runProgram({"sh", "-c", line});
        EXPECT_EQ(run.status, status);
        EXPECT_THAT(std::regex_replace(run.out + run.err, varying, ""),
                    HasSubstr(message));
        // Every line of a usage error names the program.
        EXPECT_THAT(status == 2 ? run.err : "",
                    ::testing::MatchesRegex("(fpga-sim: [^\n]*\n)*"));
    }
}

TEST_F(OnFpgaSim, RunsTheCommandAndLeavesNothingBehind)
{
    const fpga_test::ScratchDir scratch;
    const std::string dir = scratch.file("");
    scratch.write("bad.json", R"({"nodes": {
        "fpga-r1": {"registers": [{"block": 4, "offset": 16, "bytes": "01"}]}}})");
    // 20,000 steps due at the first open run there, each at the cost of
    // what it changes.
    std::string steps = R"({"chips": {"r0": {"detected": 1}}, "scenario": [)";
    for (int i = 1; i <= 20000; ++i)
    {
        steps += R"({"after": {"accesses": 0}, "set": {"chips.r0.detected": )" +
                 std::to_string(i % 2) + (i < 20000 ? "}}," : "}}]}");
    }
    scratch.write("steps.json", steps);
    const std::string mountsBefore = fpga_test::slurp("/proc/self/mountinfo");
    const std::vector<Line> lines = {
        {"$S", 2, "fpga-sim: COMMAND: a command to run is required"},
        {"$S --bogus x", 2,
         "fpga-sim: unexpected arguments (the command "
         "follows \"--\"): --bogus x\n"},
        {"$S --version", 0, "fpga-sim " FPGA_SIM_VERSION "\n"},
        {"$S --help | grep -c 'or:  fpga-sim ctl .--timeout\\|refused, 2 for a'",
         0, "2\n"},
        // --check reads its file alone, --print-board prints the board
        // alone: they refuse what they would ignore.
        {"$S --check x.json -- true", 2, "fpga-sim: COMMAND: "},
        {"$S --check x --board $T/bad.json", 2, "--check: takes no --board"},
        {"$S --print-board --journal", 2, "--print-board: takes no --journal"},
        {"$S --check $T/bad.json", 1,
         "bad.json: nodes.fpga-r1.registers[0].offset: 16 is out of range "
         "0-15"},
        {"$S --check " BOARDS_DIR "/default.json", 0, "default.json: valid"},
        // The built-in board is default.json, and leaves nothing behind.
        {"$S --print-board --board " BOARDS_DIR "/default.json | cmp - "
         "$($S --print-board > $T/p; echo $T/p) && [ ! -e /dev/fpga-cdev ]",
         0, ""},
        {"$S --board $T/steps.json -- cat "
         "/sys/bus/spi/devices/spi2.2/fpga_rmt0_detected",
         0, "0\n"},
        // Pseudo-terminals open inside (expect, tmux and ssh -t need them).
        {"$S -- script -qec true /dev/null", 0, ""},
        {"$S -- sh -c 'kill -TERM $$'", 128 + SIGTERM, ""},
        // SIGTERM sent to fpga-sim reaches the command.
        {"$S -- sh -c 'trap \"exit 9\" TERM; kill -TERM $PPID; for i in "
         "$(seq 200); do sleep 0.05; done; exit 1'",
         9, ""},
        {"$S -- /nonexistent/command", 127, "fpga-sim: cannot run /nonexist"},
        {"$S -- /", 126, ""},
        // The control socket. One left by a killed fpga-sim is taken, no
        // other file; at the end fpga-sim removes its own, not a file the
        // command put in its place. A change needs an fpga-sim to answer in
        // time (a stopped one does not), and what answers otherwise is none.
        {"$S --control $T/s -- sh -c 'kill -KILL $PPID'; $S ctl $T/s set x 1; "
         "$S --control $T/s -- true",
         0, "fpga-sim: ctl: nothing listens at"},
        {"$S --control $T/bad.json -- true", 125,
         "bad.json: exists and is not a socket"},
        {"$S --control $T/s -- sh -c 'rm $0; echo notes > $0' $T/s; cat $T/s",
         0, "notes\n"},
        {"$S ctl $T/bad.json set x 1", 125, "ctl: " + dir + "bad.json is not"},
        {"$S --control $T/m -- sh -c 'kill -STOP $PPID; while grep -q "
         "\"State:.[RSD]\" /proc/$PPID/task/[0-9]*/status; do :; done; $S ctl "
         "--timeout 0.2 $0 set x 1; s=$?; kill -CONT $PPID; exit $s' $T/m",
         125, "ctl: no answer from " + dir + "m within 200 ms"},
        // What answers otherwise is none; its words reach the terminal with
        // control bytes escaped; a reset is no answer.
        {"python3 -c 'import socket as s, sys; l = s.socket(s.AF_UNIX); "
         "l.bind(sys.argv[1]); l.listen()\nfor a, n in (b\"hello\\n\", 99), "
         "(b\"refused \\x1b!\\n\", 99), (b\"ok\\n\", 1): c = l.accept()[0]; "
         "c.recv(n); c.send(a); c.close()' $T/o & until [ -S $T/o ]; do sleep "
         "0.1; done; for i in 1 2 3; do $S ctl -- $T/o set x 1; done",
         125,
         "answer from " + dir + "o: \"hello\\x0a\"\nfpga-sim: \\x1b!\n" +
             "fpga-sim: ctl: the connection to " + dir +
             "o was reset before the answer\n"},
        // Clients that stay connected and silent take no place from those
        // with changes, one partway through a line included. Garbage, a line
        // too long (refused, its client let go: what follows goes unheard), a
        // line cut short, changes for a later open one past their bound and a
        // flood of changes get their answers; the board, the flood's changes
        // alone.
        {R"($S --control $T/c -- python3 -c 'import re, signal, socket, sys; signal.alarm(20)
def client(sent=b"", s=None):
    if not s: s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])
    if not sent: return s
    s.sendall(sent); s.shutdown(1); return b"".join(iter(lambda: s.recv(9999), b""))
part = client(); part.sendall(b"set chips.r1.detected 1\nset chips.r1.fwVer"); part.recv(3)
idle = [client() for i in range(300)]
flood = b"".join(b"set chips.r0.fwVersion \x22%d\x22\n" % i for i in range(1000))
out = client(b"sion \x227\x22\n", part) + b"".join(client(sent) for sent in [b"\x01\xfe\0 garbage\n", b"set chips.r0.detected 0",
    b"x" * 5000 + b"\nset chips.r0.detected 0\n", b"after 9 of fpga-r3 unset x\n" * 1025, flood])
out = re.sub(rb"(ok\n)+", lambda m: b"%d oks\n" % (len(m[0]) // 3), out)
d = "/sys/bus/spi/devices/spi2.2/fpga_rmt0_"
print(out.decode() + open(d + "detected").read() + open(d + "fw_version").read())' $T/c)",
         0,
         "1 oks\nrefused a change is one line of text, without control characters "
         "such as 0x01\nrefused a line is at most 4096 bytes long\n1024 "
         "oks\nrefused 1024 changes wait for an open already\n1000 oks\n1\n"
         "999\n"},
        // A read of any size reaches its client whole, or fails ctl.
        {R"(python3 -c 'import json; print(json.dumps({"nodes": {"fpga-adi": {"registers": [{"position": 0, "bytes": "ab" * 400000}]}}}))' > $T/big.json
$S --board $T/big.json --print-board > $T/pb && $S --board $T/big.json --control $T/b -- sh -c '$S ctl $0 board | cmp - $T/pb && ! $S ctl $0 board > /dev/full && echo whole' $T/b)",
         0, "whole\nfpga-sim: ctl: standard output: No space left on device\n"},
        {"$S ctl $T/s", 2,
         "usage: fpga-sim ctl [--timeout SECONDS] [--] SOCKET"},
        {"$S --control '' -- true", 2, "fpga-sim: --control: SOCKET is empty"},
        // A socket path is 107 bytes at most.
        {"L=$T/" + std::string(82, 's') +
             "; $S --control $L -- true && { $S ctl ${L}s get x; [ $? = 2 ]; "
             "} && $S ctl --help | grep -q '^usage: fpga-sim ctl' && $S "
             "--control ${L}s -- true",
         2, "at most 107 bytes long, this one has 108"},
        // Every journal entry sent inside: streams, syslog.
        {R"(printf '<3>one\n<9>two\nthree' | $S --journal -- systemd-cat -t x --level-prefix=1)",
         0,
         R"({"PRIORITY":"3","SYSLOG_IDENTIFIER":"x","MESSAGE":"one","_TRANSPORT":"stdout","_UID":"0","_GID":"0","__SEQNUM":"1"}
{"PRIORITY":"6","SYSLOG_IDENTIFIER":"x","MESSAGE":"<9>two","_TRANSPORT":"stdout","_UID":"0","_GID":"0","__SEQNUM":"2"}
{"PRIORITY":"6","SYSLOG_IDENTIFIER":"x","_LINE_BREAK":"eof","MESSAGE":"three","_TRANSPORT":"stdout","_UID":"0","_GID":"0","__SEQNUM":"3"}
)"},
        // The trace's records and the journal's entries on one timeline.
        {"$S --trace=$T/t --trace-format=json --journal=$T/j -- sh -c 'dd "
         "if=/dev/fpga-r1-adi bs=2 count=1; echo 1 > /sys/bus/spi/devices/"
         "spi2.2/tavrin_fpga_reset; logger -p local3.warning -t y hello' "
         ">/dev/null 2>&1; cat $T/t $T/j",
         0,
         R"({"seq":1,"type":"transfer","node":"fpga-r1-adi","op":"read","position":0,"block":0,"offset":0,"page":0,"pageDataOffset":0,"length":2,"got":2,"bytes":"00 00"}
{"seq":2,"type":"reset","written":"1","restored":false}
{"PRIORITY":"4","SYSLOG_FACILITY":"19","SYSLOG_IDENTIFIER":"y","MESSAGE":"hello","_TRANSPORT":"syslog","_UID":"0","_GID":"0","__SEQNUM":"3"})"},
        // Fields and datagrams journald drops are dropped.
        {R"($S --journal -- python3 -c 'import array, os, socket as s
c = s.socket(s.AF_UNIX, s.SOCK_DGRAM); c.connect("/run/systemd/journal/socket")
for fd in os.memfd_create("j"), os.pipe()[0]: c.sendmsg([], [(s.SOL_SOCKET, s.SCM_RIGHTS, array.array("i", [fd]))])
c.send(b"MESSAGE"); c.send(b"lower=a\n1ABC=b\n=c\n" + b"A" * 65 + b"=d\nMESSAGE=ok\n")')",
         0,
         R"({"MESSAGE":"ok","_TRANSPORT":"journal","_UID":"0","_GID":"0","__SEQNUM":"1"})"},
        // Nodes and attributes refuse what the driver's and sysfs refuse.
        {"$S -- sh -c 'D=/sys/bus/spi/devices/spi2.2; truncate -s 0 "
         "/dev/fpga-r0 || mkdir $D/x || printf \"1 \" > $D/tavrin_fpga_reset "
         "|| printf \"1\\n\\n\" > $D/tavrin_fpga_reset || echo 1 > "
         "$D/tavrin_fpga_reset && echo taken' 2>&1 | sed 's/.*: //'",
         0,
         "Invalid argument\nPermission denied\nI/O error\nI/O error\ntaken\n"},
        // An O_APPEND write would land at the node's end, not at the file
        // position: refused. kstrtoint takes a sign and leading zeros.
        {"$S -- sh -c 'printf w | dd of=/dev/fpga-r1 bs=1 seek=80 "
         "oflag=append conv=notrunc 2>&1 | head -1 | sed \"s/.*: //\"; printf %s -00 > "
         "/sys/bus/spi/devices/spi2.2/tavrin_fpga_reset && echo taken'",
         0, "Operation not supported\ntaken\n"},
        // Waiting for a reader of a FIFO, fpga-sim still ends on SIGTERM.
        {"mkfifo $T/nf; timeout -k 5 1 $S --trace=$T/nf -- true; echo $? >&2",
         0, "Terminated while waiting for a reader of the FIFO\n124\n"},
        // A board file that never ends is refused, not read on.
        {"$S --check /dev/zero", 1,
         "board file /dev/zero is larger than 64 MiB"},
        // Streams not yet taken when the command ends are read to the end.
        {R"($S --journal=$T/lw -- python3 -c 'import array, fcntl, os, socket as s
m = os.memfd_create("j", os.MFD_ALLOW_SEALING); os.write(m, b"MESSAGE=" + b"x" * 999999 + b"\n"); fcntl.fcntl(m, fcntl.F_ADD_SEALS, 15)
s.socket(s.AF_UNIX, s.SOCK_DGRAM).sendmsg([], [(s.SOL_SOCKET, s.SCM_RIGHTS, array.array("i", [m]))], 0, "/run/systemd/journal/socket")
c = s.socket(s.AF_UNIX); c.connect("/run/systemd/journal/stdout"); c.sendall(b"svc\n\n6\n0\n0\n0\n0\nlast words\n")'; grep -c "last words" $T/lw)",
         0, "1\n"},
        // An output never destroys a file: not the board, not the control
        // socket's path, not a node of the host's /dev; nor the file after
        // "--trace " (the = is required).
        {"$S --board $T/p --trace=$T/p -- true; $S --trace=$T/q --control $T/q "
         "-- true; $S --trace $T/bad.json -- true; $S --trace=/dev/fpga-r0 -- "
         "true; s=$?; [ -s $T/p ] && [ -s $T/bad.json ] && [ ! -e "
         "/dev/fpga-r0 ] && [ ! -e $T/q ] && exit $s",
         125, "fpga-sim: --trace=/dev/fpga-r0: fpga-sim serves /dev/fpga-r0"},
        // A reader gone is lines lost, not fpga-sim killed; the command keeps
        // the SIGPIPE it would have.
        {"{ ($S --journal -- sh -c 'logger x; sleep .5; sed -n \"s/SigIgn:.*\\"
         "(.\\)...$/SIGPIPE ignored: \\1/p\" /proc/self/status >&3'; echo $? "
         ">&3) 2>&1 | true; } 3>&1",
         0, "SIGPIPE ignored: 0\n125\n"},
        // A stream the caller closed stays closed for the command.
        {"$S -- sh -c '[ -e /proc/self/fd/0 ] || echo closed' <&-", 0,
         "closed\n"},
        // Lines that cannot be written are lost, which fails the run.
        {"$S --journal=/dev/full -- logger x", 125,
         "fpga-sim: --journal=/dev/full: 1 line lost: No space left on device"},
        // A command killed while the reader of its trace reads nothing ends
        // at once, none of its processes left waiting.
        {R"(mkfifo $T/f; exec 3<>$T/f
$S --trace=$T/f -- sh -c 'echo $$ > $0; while :; do read x < /dev/fpga-cdev; done' $T/p 3>&- & sim=$!
until [ -s $T/p ]; do sleep 0.1; done; sleep 1; p=$(cat $T/p); kill -KILL $p; i=0
while [ -d /proc/$p ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
[ -d /proc/$p ] && { echo wedged; cat <&3 >/dev/null & }; exec 3>&-; wait $sim)",
         128 + SIGKILL, "lines lost: Broken pipe"},
    };
    runLines(scratch, lines);
    EXPECT_EQ(fpga_test::slurp("/proc/self/mountinfo"), mountsBefore);
}

/** libfpga-sim's waits: for an event after a point of the timeline, and
 *  what was seen when it does not come. */
TEST_F(OnFpgaSim, LibraryWaitsOnTheTimeline)
{
    fpga_sim::Simulation::Options options;
    options.fpgaSim = FPGA_SIM;
    fpga_sim::Simulation sim(R"({"hpmChip": "remote1"})", options);
    // Once remote 0 is there, the command writes the front buttons, then
    // says so.
    sim.start({"sh", "-c",
               "until grep -qs 1 /sys/bus/spi/devices/spi2.2/"
               "fpga_rmt0_detected; do sleep 0.01; done; printf '\\005' "
               "| dd of=/dev/fpga-r1 bs=1 seek=74 conv=notrunc; logger "
               "done; exec sleep 9"});
    const auto early = sim.waitForWrite("hpm", "power.front-buttons", 100ms);
    EXPECT_FALSE(early);
    EXPECT_EQ(early.message, "no write to power.front-buttons on hpm (fpga-r1 "
                             "position 0x4a) within 100 ms; writes seen: 0");
    sim.change({"set", "chips.r0.detected", "1"});
    const auto written = sim.waitForWrite("fpga-r1", 4, 10);
    ASSERT_TRUE(written) << written.message;
    const auto said =
        sim.waitForJournal({{"MESSAGE", "done"}}, 10s, written.seq);
    ASSERT_TRUE(said) << said.message;
    EXPECT_EQ(sim.peek("hpm", "power.front-buttons"), std::vector<uint8_t>{5});
    const std::string seq = std::to_string(said.seq);
    EXPECT_THAT(
        sim.waitForJournal({{"MESSAGE", "done"}}, 100ms, said.seq).message,
        HasSubstr(" after seq " + seq + " within 100 ms; entries seen: 1\n  #" +
                  seq + " MESSAGE=\"done\""));
}

/** What only root can stage: a command of another user or without
 *  capabilities, fpga-sim run by an ordinary user, a chroot. */
TEST_F(OnFpgaSim, ChecksPermissionsAsTheKernelAndRunsInAChroot)
{
    const fpga_test::ScratchDir scratch;
    scratch.write("b.json", R"({"nodes": {
      "fpga-cdev": {"mode": "0000"}, "fpga-r2": {"mode": "0060"},
      "fpga-r3": {"owner": 120},
      "fpga-r0": {"mode": "0640", "owner": 120, "group": 121},
      "fpga-r1": {"mode": "0606", "owner": 120, "group": 121}}})");
    // An ordinary user, who must be able to run fpga-sim.
    const std::string user =
        "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (::geteuid() != 0 ||
        std::system((user + "test -x " FPGA_SIM).c_str()) != 0)
    {
        GTEST_SKIP() << "needs root, and a uid 65534 that can run " FPGA_SIM;
    }
    // Which nodes a command run HOW opens for reading and writing, or for
    // reading alone.
    const auto opens = [&](const std::string& how, const std::string& nodes) {
        return Line{how + " sh -c 'for n in cdev r0 r1 r2 r3; do f=/dev/fpga-"
                          "$n; if (exec 3<>$f); then echo $n:rw; elif (exec "
                          "3<$f); then echo $n:r; fi 2>/dev/null; done | "
                          "xargs echo opens:'",
                    0, "opens: " + nodes + "\n"};
    };
    const std::string sim = "$S --board $T/b.json -- ";
    const std::string without = sim + "setpriv --inh-caps=-all --bounding-set=";
    const std::vector<Line> lines = {
        opens(sim, "cdev:rw r0:rw r1:rw r2:rw r3:rw"),
        // Without the capabilities, the owner's bits decide for the owner
        // (though the group's would allow), the others' for others.
        opens(without + "-dac_override,-dac_read_search", "r1:rw"),
        opens(without + "-dac_override", "cdev:r r0:r r1:rw r2:r r3:r"),
        // The group's bits for a member, though the others' would allow.
        opens(sim + "setpriv --reuid=122 --regid=5 --groups=121", "r0:r"),
        // Run by an ordinary user, the command is root of a namespace with
        // no other id: the others' bits for a file of another id.
        opens("unshare -m sh -c 'mknod -m 666 $T/fuse c 10 229 && mount "
              "--bind $T/fuse /dev/fuse && exec \"$0\" \"$@\"' " +
                  user + sim,
              "cdev:rw r1:rw r2:rw"),
        // A socket that --journal's directory covers: refused, removed.
        {"R=/run/systemd/journal; [ -d $R ] || R=/run/systemd; [ -d $R ] || "
         "R=/run; $S --journal --control $R/fpgasim-test.sock -- true; s=$?; "
         "[ -e $R/fpgasim-test.sock ] || exit $s",
         125, "(the directory of --journal's sockets) covers it"},
        // A chroot into a plain directory, as sbuild and pbuilder make.
        {R"(unshare -m sh -c 'R=$T/root; mkdir -p $R/usr $R/proc $R/dev $R/sys $R/run; cp $S $R
for d in bin lib lib64 sbin; do ln -s usr/$d $R/$d; done
mount --bind /usr $R/usr; mount -t proc proc $R/proc; mount --rbind /dev $R/dev; mount --rbind /sys $R/sys
chroot $R /fpga-sim -- cat /sys/bus/spi/devices/spi2.2/fpga_loc_detected; chroot $R /fpga-sim --journal -- true')",
         125, "1\nfpga-sim: cannot mount on /run: in this chroot / is no"},
    };
    runLines(scratch, lines);
}

} // namespace
