// SPDX-License-Identifier: Apache-2.0
#include "driver_fs.hpp"

#include "sim/board_json.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace fpga_sim
{

namespace
{

constexpr const char* nodesDir = "/nodes";

DriverFs& self()
{
    return *static_cast<DriverFs*>(fuse_get_context()->private_data);
}

std::string hex(std::uint64_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string hexBytes(const char* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i)
    {
        const auto byte = static_cast<unsigned char>(data[i]);
        out += i == 0 ? "" : " ";
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
    }
    return out;
}

/** Whether a transfer of [position, position + size) meets @p fault. */
bool hits(const TransferFault& fault, const DriverFs::NodeState& node,
          bool write, std::uint64_t position, std::size_t size)
{
    if (fault.ops != FaultOps::both && (fault.ops == FaultOps::write) != write)
    {
        return false;
    }
    if (!fault.block)
    {
        return true;
    }
    const unsigned shift = node.mode == Mode::adi ? 24 : 4;
    const std::uint64_t first = static_cast<std::uint64_t>(*fault.block)
                                << shift;
    const std::uint64_t end = first + (std::uint64_t{1} << shift);
    return position < end && position + std::max<std::size_t>(size, 1) > first;
}

// --- FUSE handlers
// ------------------------------------------------------------

void* onInit(fuse_conn_info* /*conn*/, fuse_config* cfg)
{
    // Nothing may be cached: every open, seek and transfer reaches us, as
    // with the driver's character devices and sysfs attributes.
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->auto_cache = 0;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

int onGetattr(const char* path, struct stat* st, fuse_file_info* /*fi*/)
{
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr)
    {
        return -ENOENT;
    }
    *st = {};
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    st->st_atime = st->st_mtime = st->st_ctime = self().startTime();
    switch (entry->kind)
    {
        case DriverFs::Entry::Kind::dir:
            st->st_mode = S_IFDIR | 0755;
            st->st_nlink = 2;
            break;
        case DriverFs::Entry::Kind::attr:
            // sysfs reports a page for every attribute.
            st->st_mode = S_IFREG | (entry->attr->write ? 0644 : 0444);
            st->st_nlink = 1;
            st->st_size = 4096;
            break;
        case DriverFs::Entry::Kind::node:
            st->st_mode = S_IFREG |
                          (entry->node->initial.fault == NodeFault::readOnly
                               ? 0444
                               : 0644);
            st->st_nlink = 1;
            st->st_size = 0;
            break;
    }
    return 0;
}

int onReaddir(const char* path, void* buf, fuse_fill_dir_t fill,
              off_t /*offset*/, fuse_file_info* /*fi*/,
              fuse_readdir_flags /*flags*/)
{
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr || entry->kind != DriverFs::Entry::Kind::dir)
    {
        return -ENOTDIR;
    }
    fill(buf, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buf, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const std::string& name : self().list(path))
    {
        fill(buf, name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    }
    return 0;
}

int onOpen(const char* path, fuse_file_info* fi)
{
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr)
    {
        return -ENOENT;
    }
    const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
    switch (entry->kind)
    {
        case DriverFs::Entry::Kind::dir:
            return -EISDIR;
        case DriverFs::Entry::Kind::attr:
            // As sysfs: a read-only attribute refuses a write open even to
            // root.
            if (writing && !entry->attr->write)
            {
                return -EACCES;
            }
            break;
        case DriverFs::Entry::Kind::node:
            if (writing && entry->node->initial.fault == NodeFault::readOnly)
            {
                return -EROFS;
            }
            break;
    }
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

int onRead(const char* path, char* buf, std::size_t size, off_t offset,
           fuse_file_info* /*fi*/)
{
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr)
    {
        return -ENOENT;
    }
    if (entry->kind == DriverFs::Entry::Kind::node)
    {
        return self().transfer(entry->node->name, false, buf, size,
                               static_cast<std::uint64_t>(offset));
    }
    if (entry->kind != DriverFs::Entry::Kind::attr)
    {
        return -EISDIR;
    }
    const std::string text = entry->attr->read();
    if (static_cast<std::size_t>(offset) >= text.size())
    {
        return 0;
    }
    const std::size_t count =
        std::min(size, text.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, text.data() + offset, count);
    return static_cast<int>(count);
}

int onWrite(const char* path, const char* buf, std::size_t size, off_t offset,
            fuse_file_info* /*fi*/)
{
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr)
    {
        return -ENOENT;
    }
    if (entry->kind == DriverFs::Entry::Kind::node)
    {
        return self().transfer(entry->node->name, true, const_cast<char*>(buf),
                               size, static_cast<std::uint64_t>(offset));
    }
    if (entry->kind != DriverFs::Entry::Kind::attr)
    {
        return -EISDIR;
    }
    return self().writeAttr(path, std::string_view(buf, size));
}

int onTruncate(const char* path, off_t /*size*/, fuse_file_info* /*fi*/)
{
    // Attributes and device nodes have no length to change; "echo 1 >"
    // may ask for it, and sysfs ignores it too.
    return self().find(path) != nullptr ? 0 : -ENOENT;
}

int onCreate(const char* /*path*/, mode_t /*mode*/, fuse_file_info* /*fi*/)
{
    // The driver's directory cannot gain files.
    return -EACCES;
}

} // namespace

DriverFs::DriverFs(const Board& board, int traceFd) :
    traceFd(traceFd), started(std::time(nullptr))
{
    addDir("/");
    const std::string driverDir =
        board.driverDir().empty()
            ? ""
            : "/" + board.driverDir().substr(board.driverDir().rfind('/') + 1);
    const auto constant = [](std::string text) {
        return Attr{[text] { return text; }, {}};
    };
    for (const auto& [dir, named] :
         {std::pair{spi22Dir, board.probe == ProbeDirs::spi22 ||
                                  board.probe == ProbeDirs::both},
          std::pair{spi20Dir, board.probe == ProbeDirs::spi20 ||
                                  board.probe == ProbeDirs::both}})
    {
        if (named)
        {
            const std::string fsDir =
                std::string(dir).substr(std::string(dir).rfind('/'));
            addDir(fsDir);
            addAttr(fsDir + "/" + wakeupAttr, constant(""));
        }
    }
    if (!driverDir.empty())
    {
        const auto addChip = [&](const ChipAttributes& chip, Location location,
                                 std::size_t index) {
            const std::pair<const char*, const std::optional<std::string>*>
                files[] = {{"detected", &chip.detected},
                           {"chip_id", &chip.chipId},
                           {"iface_ver", &chip.ifaceVer},
                           {"fw_version", &chip.fwVersion},
                           {"blocks", &chip.blocks}};
            for (const auto& [base, text] : files)
            {
                if (*text)
                {
                    addAttr(driverDir + "/" +
                                chipAttrName(base, location, index),
                            constant(**text));
                }
            }
        };
        addChip(board.local, Location::local, 0);
        for (const auto& [index, chip] : board.remotes)
        {
            addChip(chip, Location::remote, index);
        }
        if (board.hpmChip)
        {
            addAttr(driverDir + "/" + hpmChipAttr, constant(*board.hpmChip));
        }
        if (board.resetAttribute)
        {
            Attr reset{[this] { return resetAsserted ? "1\n" : "0\n"; }, {}};
            if (!board.readOnlyReset)
            {
                reset.write = [this](std::string_view text) {
                    while (!text.empty() &&
                           (text.back() == '\n' || text.back() == ' '))
                    {
                        text.remove_suffix(1);
                    }
                    if (text == "1")
                    {
                        resetAsserted = true;
                        traceLine(std::string(resetAttr) + " write \"1\"");
                    }
                    else if (text == "0")
                    {
                        const bool restore = resetAsserted;
                        resetAsserted = false;
                        if (restore)
                        {
                            restoreRegisters();
                        }
                        traceLine(std::string(resetAttr) + " write \"0\"" +
                                  (restore ? ": registers restored" : ""));
                    }
                    else
                    {
                        return -EINVAL;
                    }
                    return 0;
                };
            }
            addAttr(driverDir + "/" + resetAttr, std::move(reset));
        }
    }

    addDir(nodesDir);
    for (const auto& [path, node] : board.nodes)
    {
        if (node.fault == NodeFault::missing || node.fault == NodeFault::fifo)
        {
            continue;
        }
        const std::string name = nodeName(path);
        NodeState& state = nodes[name];
        state.name = name;
        state.location = path.starts_with("/dev/fpga-r") ? Location::remote
                                                         : Location::local;
        state.mode = path.ends_with("-adi") ? Mode::adi : Mode::normal;
        state.initial = node;
        state.bytes = node.bytes;
        state.window = node.fault == NodeFault::truncated ? node.truncatedSize
                                                          : windowOf(path);
        entries[std::string(nodesDir) + "/" + name] =
            Entry{Entry::Kind::node, nullptr, &state};
    }
}

const fuse_operations& DriverFs::operations()
{
    static const fuse_operations ops = [] {
        fuse_operations o{};
        o.init = onInit;
        o.getattr = onGetattr;
        o.readdir = onReaddir;
        o.open = onOpen;
        o.read = onRead;
        o.write = onWrite;
        o.truncate = onTruncate;
        o.create = onCreate;
        return o;
    }();
    return ops;
}

const DriverFs::Entry* DriverFs::find(const std::string& path) const
{
    const auto it = entries.find(path);
    return it == entries.end() ? nullptr : &it->second;
}

std::vector<std::string> DriverFs::list(const std::string& path) const
{
    const std::string prefix = path == "/" ? "/" : path + "/";
    std::vector<std::string> names;
    for (auto it = entries.lower_bound(prefix);
         it != entries.end() && it->first.starts_with(prefix); ++it)
    {
        const std::string rest = it->first.substr(prefix.size());
        if (!rest.empty() && rest.find('/') == std::string::npos)
        {
            names.push_back(rest);
        }
    }
    return names;
}

void DriverFs::addDir(const std::string& path)
{
    entries[path] = Entry{Entry::Kind::dir};
}

void DriverFs::addAttr(const std::string& path, Attr attr)
{
    Attr& stored = attrs[path] = std::move(attr);
    entries[path] = Entry{Entry::Kind::attr, &stored};
}

int DriverFs::writeAttr(const std::string& path, std::string_view text)
{
    const auto it = attrs.find(path);
    if (it == attrs.end() || !it->second.write)
    {
        return -EACCES;
    }
    const int result = it->second.write(text);
    return result < 0 ? result : static_cast<int>(text.size());
}

int DriverFs::transfer(const std::string& name, bool write, char* data,
                       std::size_t size, std::uint64_t position)
{
    NodeState& node = nodes.at(name);
    const std::string head =
        name + (write ? " write " : " read ") + describe(node, position) +
        " len=" + std::to_string(size);
    for (const TransferFault& fault : node.initial.failures)
    {
        if (hits(fault, node, write, position, size))
        {
            traceLine(head + ": error " + errnoName(fault.error));
            return -fault.error;
        }
    }
    if (position >= node.window)
    {
        if (write)
        {
            traceLine(head + ": error ENOSPC (past the end of the node)");
            return -ENOSPC;
        }
        traceLine(head + " got=0: end of data");
        return 0;
    }
    std::size_t count = std::min<std::uint64_t>(size, node.window - position);
    if (!write && node.initial.maxRead != 0)
    {
        count = std::min(count, node.initial.maxRead);
    }
    if (write)
    {
        for (std::size_t i = 0; i < count; ++i)
        {
            node.bytes[position + i] = static_cast<std::uint8_t>(data[i]);
        }
    }
    else
    {
        std::memset(data, 0, count);
        for (auto it = node.bytes.lower_bound(position);
             it != node.bytes.end() && it->first < position + count; ++it)
        {
            data[it->first - position] = static_cast<char>(it->second);
        }
    }
    traceLine(head + (count != size ? " got=" + std::to_string(count) : "") +
              ": " + hexBytes(data, count));
    return static_cast<int>(count);
}

std::string DriverFs::describe(const NodeState& node,
                               std::uint64_t position) const
{
    std::string out = "pos=" + hex(position);
    if (node.mode == Mode::normal)
    {
        return out + " block=" + std::to_string(position >> 4) +
               " offset=" + std::to_string(position & 0xF);
    }
    return out + " block=" + std::to_string(position >> 24) +
           " offset=" + std::to_string((position >> 20) & 0xF) +
           " page=" + hex((position >> 4) & 0xFFFF) +
           " pdo=" + std::to_string(position & 0xF);
}

void DriverFs::traceLine(const std::string& line) const
{
    if (traceFd < 0)
    {
        return;
    }
    const std::string text = line + "\n";
    // One write per line keeps lines whole when the command shares the fd.
    [[maybe_unused]] const ssize_t written =
        ::write(traceFd, text.data(), text.size());
}

void DriverFs::restoreRegisters()
{
    for (auto& [name, node] : nodes)
    {
        node.bytes = node.initial.bytes;
    }
}

} // namespace fpga_sim
