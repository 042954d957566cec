// SPDX-License-Identifier: Apache-2.0
// fuse-floor: the least a FUSE file system does to serve the driver's files,
// the floor that fpga-sim's cost per access is measured against.
//
//     fuse-floor [--board FILE] -- COMMAND [ARGS...]
//
// Serves a board (fpga-sim's built-in one without --board) the way fpga-sim
// does: the same libfuse API, configuration and mount options, a private
// mount namespace with a tmpfs over "/dev" and over "/sys/bus", the FUSE
// mount staged under "/dev" and its probe directories and nodes bound to
// the driver's paths, the loop on a thread of its own and the command in a
// forked child. The handlers do nothing but serve: an attribute is a fixed
// text, a node a flat array of its whole window (anonymous memory, filled
// from the board's registers once), found at open and kept in the file
// handle. No trace, no failures, no reset, no directory listing, no live
// changes. Exits with the command's status, 128 + N when signal N ended it,
// 125 when it cannot set up.

#include "default_board.hpp"
#include "sim/board_json.hpp"
#include "sim/fd.hpp"
#include "sim/published.hpp"
#include "sim/world.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace
{

constexpr int exitSetupFailed = 125;
constexpr const char* stageDir = "/dev/.fuse-floor-stage";

struct SetupError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

[[noreturn]] void setupFailed(const std::string& what)
{
    throw SetupError(what + ": " + std::strerror(errno));
}

/** One file of the floor: a directory, a fixed text or a node's bytes. */
struct File
{
    enum class Kind
    {
        dir,
        text,
        node,
    } kind;
    std::string text{};
    char* bytes = nullptr;
    std::uint64_t size = 0;
};

/** Every file by its path in the file system (the driver's path). */
std::map<std::string, File, std::less<>> files;
std::time_t started;

const File* find(std::string_view path)
{
    const auto it = files.find(path);
    return it == files.end() ? nullptr : &it->second;
}

const File& fileOf(const fuse_file_info* fi)
{
    return *reinterpret_cast<const File*>(fi->fh);
}

void* onInit(fuse_conn_info* /*conn*/, fuse_config* cfg)
{
    // As fpga-sim: nothing cached, every open and transfer comes here.
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->auto_cache = 0;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    return nullptr;
}

int onGetattr(const char* path, struct stat* st, fuse_file_info* /*fi*/)
{
    const File* file = find(path);
    if (file == nullptr)
    {
        return -ENOENT;
    }
    *st = {};
    st->st_atime = st->st_mtime = st->st_ctime = started;
    st->st_nlink = file->kind == File::Kind::dir ? 2 : 1;
    st->st_mode =
        file->kind == File::Kind::dir ? S_IFDIR | 0755 : S_IFREG | 0644;
    st->st_size = file->kind == File::Kind::text ? 4096 : 0;
    return 0;
}

int onOpen(const char* path, fuse_file_info* fi)
{
    const File* file = find(path);
    if (file == nullptr)
    {
        return -ENOENT;
    }
    fi->fh = reinterpret_cast<std::uint64_t>(file);
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

/** The part of [offset, offset + size) inside [0, end). */
std::size_t within(std::uint64_t end, std::size_t size, off_t offset)
{
    const auto pos = static_cast<std::uint64_t>(offset);
    return pos >= end ? 0 : std::min<std::uint64_t>(size, end - pos);
}

int onRead(const char* /*path*/, char* buf, std::size_t size, off_t offset,
           fuse_file_info* fi)
{
    const File& file = fileOf(fi);
    const char* data =
        file.kind == File::Kind::node ? file.bytes : file.text.data();
    const std::size_t count =
        within(file.kind == File::Kind::node ? file.size : file.text.size(),
               size, offset);
    if (count != 0)
    {
        std::memcpy(buf, data + offset, count);
    }
    return static_cast<int>(count);
}

int onWrite(const char* /*path*/, const char* buf, std::size_t size,
            off_t offset, fuse_file_info* fi)
{
    const File& file = fileOf(fi);
    if (file.kind != File::Kind::node)
    {
        return -EACCES;
    }
    if (static_cast<std::uint64_t>(offset) >= file.size)
    {
        return -ENOSPC;
    }
    const std::size_t count = within(file.size, size, offset);
    std::memcpy(file.bytes + offset, buf, count);
    return static_cast<int>(count);
}

const fuse_operations operations = [] {
    fuse_operations ops{};
    ops.init = onInit;
    ops.getattr = onGetattr;
    ops.open = onOpen;
    ops.read = onRead;
    ops.write = onWrite;
    return ops;
}();

void addFile(const std::string& path, File file)
{
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
    {
        files.try_emplace(path.substr(0, slash), File{File::Kind::dir});
    }
    files.insert_or_assign(path, std::move(file));
}

/** A node's whole window as zeroed memory, then the board's bytes. */
char* nodeBytes(const fpga_sim::Node& node, std::uint64_t size)
{
    void* mem = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mem == MAP_FAILED)
    {
        setupFailed("map a node's window");
    }
    auto* bytes = static_cast<char*>(mem);
    for (const auto& run : node.bytes.runs())
    {
        const std::size_t count =
            within(size, run.bytes.size(), static_cast<off_t>(run.start));
        std::memcpy(bytes + run.start, run.bytes.data(), count);
    }
    return bytes;
}

/** The files to serve, and the paths to bind from the mount. */
std::vector<std::string> addBoard(const fpga_sim::Board& board)
{
    using Kind = fpga_sim::Published::Kind;
    addFile("/", File{File::Kind::dir});
    std::vector<std::string> binds;
    for (const fpga_sim::Published& entry : fpga_sim::published(board))
    {
        switch (entry.kind)
        {
            case Kind::dir:
                addFile(entry.path, File{File::Kind::dir});
                binds.push_back(entry.path);
                break;
            case Kind::attribute:
                addFile(entry.path, File{File::Kind::text, entry.text});
                break;
            case Kind::reset:
                addFile(entry.path, File{File::Kind::text, "0\n"});
                break;
            case Kind::node:
                addFile(entry.path, File{File::Kind::node,
                                         {},
                                         nodeBytes(*entry.node, entry.size),
                                         entry.size});
                binds.push_back(entry.path);
                break;
            case Kind::fifo:
                break;
        }
    }
    return binds;
}

void makeDirs(const std::string& path)
{
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
    {
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    {
        setupFailed("mkdir " + path);
    }
}

void bindMount(const std::string& from, const std::string& to)
{
    if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
    {
        setupFailed("bind " + from + " on " + to);
    }
}

/** As fpga-sim: a tmpfs over the deepest existing directory on the way to
 *  the SPI devices, "/sys/bus" at the least. */
std::string sysfsCover()
{
    std::string dir = fpga_sim::spiDevicesDir();
    struct stat st
    {};
    while (dir != "/sys/bus" && ::stat(dir.c_str(), &st) != 0)
    {
        dir.resize(dir.rfind('/'));
    }
    return dir;
}

/** A descriptor of /dev/fuse, never closed: libfuse serves on it. */
int openFuse()
{
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        setupFailed("open /dev/fuse");
    }
    return fd;
}

/** A fresh /dev with /dev/null and the descriptor links; the FUSE mount
 *  staged in it, served by a thread that runs until the process ends. */
void serve(const fpga_sim::Board& board)
{
    ::close(openFuse());
    fpga_sim::enterPrivateNamespace();
    // The kernel takes a FUSE mount only with a descriptor opened in the
    // user namespace that mounts.
    const int fuseFd = openFuse();
    fpga_sim::mountMinimalDev();

    const std::vector<std::string> binds = addBoard(board);
    makeDirs(stageDir);
    const std::string options =
        "fd=" + std::to_string(fuseFd) +
        ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
        ",group_id=" + std::to_string(::getgid()) + ",allow_other";
    if (::mount("fuse-floor", stageDir, "fuse.fuse-floor", MS_NOSUID | MS_NODEV,
                options.c_str()) != 0)
    {
        setupFailed("mount the FUSE file system");
    }
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "fuse-floor");
    fuse* handle = ::fuse_new(&args, &operations, sizeof(operations), nullptr);
    fuse_opt_free_args(&args);
    const std::string device = "/dev/fd/" + std::to_string(fuseFd);
    if (handle == nullptr || ::fuse_mount(handle, device.c_str()) != 0)
    {
        throw SetupError("libfuse cannot start");
    }
    std::thread([handle] { ::fuse_loop(handle); }).detach();

    fpga_sim::mountTmpfs(sysfsCover());
    for (const std::string& path : binds)
    {
        const auto& file = files.at(path);
        if (file.kind == File::Kind::dir)
        {
            makeDirs(path);
        }
        else
        {
            fpga_sim::writeFile(path, "");
        }
        bindMount(stageDir + path, path);
    }
    ::umount2(stageDir, MNT_DETACH);
    ::rmdir(stageDir);
}

int runCommand(char** argv)
{
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
    {
        setupFailed("fork");
    }
    if (child == 0)
    {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::execvp(argv[0], argv);
        std::fprintf(stderr, "fuse-floor: cannot run %s: %s\n", argv[0],
                     std::strerror(errno));
        ::_exit(errno == ENOENT ? 127 : 126);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
    {}
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

} // namespace

int main(int argc, char** argv)
{
    std::string boardFile;
    int arg = 1;
    if (arg + 1 < argc && std::string_view(argv[arg]) == "--board")
    {
        boardFile = argv[arg + 1];
        arg += 2;
    }
    if (arg + 1 >= argc || std::string_view(argv[arg]) != "--")
    {
        std::fprintf(stderr,
                     "usage: fuse-floor [--board FILE] -- COMMAND [ARGS...]\n");
        return 2;
    }
    try
    {
        const fpga_sim::Board board =
            boardFile.empty()
                ? fpga_sim::boardFromText(fpga_sim::defaultBoardJson)
                : fpga_sim::loadBoardFile(boardFile);
        started = std::time(nullptr);
        serve(board);
        const int status = runCommand(argv + arg + 1);
        std::fflush(nullptr);
        // The loop thread is still serving; end without destructors.
        ::_exit(status);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "fuse-floor: %s\n", e.what());
        return exitSetupFailed;
    }
}
