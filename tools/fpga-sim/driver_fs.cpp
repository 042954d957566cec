// SPDX-License-Identifier: Apache-2.0
#include "driver_fs.hpp"

#include "permission.hpp"
#include "sim/board_json.hpp"
#include "sim/published.hpp"
#include "sim/trace_record.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace fpga_sim
{

namespace
{

/** The file handle of a node opened for writing with O_APPEND. */
constexpr std::uint64_t appendingOpen = 1;

DriverFs& self()
{
    return *static_cast<DriverFs*>(fuse_get_context()->private_data);
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
    const auto blockAt = [&](std::uint64_t pos) {
        return layout::coordinates(node.mode, pos).block;
    };
    const std::uint64_t last = position + std::max<std::size_t>(size, 1) - 1;
    return blockAt(position) <= *fault.block && *fault.block <= blockAt(last);
}

/** A transfer's record, but for how it went. */
TraceRecord transferRecord(const DriverFs::NodeState& node, bool write,
                           std::uint64_t position, std::size_t size)
{
    const auto at = layout::coordinates(node.mode, position);
    TraceRecord r;
    r.type = "transfer";
    r.node = node.name;
    r.op = write ? "write" : "read";
    r.position = position;
    r.block = at.block;
    r.offset = at.offset;
    r.page = at.page;
    r.pageDataOffset = at.pageDataOffset;
    r.length = size;
    return r;
}

// --- FUSE handlers
// ------------------------------------------------------------

void* onInit(fuse_conn_info* conn, fuse_config* cfg)
{
    // An open with O_TRUNC ("echo 1 > attr") comes as one open, so that a
    // truncate on its own is refused where the kernel refuses it.
    conn->want |= conn->capable & FUSE_CAP_ATOMIC_O_TRUNC;
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
    const auto held = self().lock();
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr)
    {
        return -ENOENT;
    }
    *st = {};
    st->st_uid = shownId(entry->owner, false);
    st->st_gid = shownId(entry->group, true);
    st->st_atime = st->st_mtime = st->st_ctime = self().startTime();
    switch (entry->kind)
    {
        case DriverFs::Entry::Kind::dir:
            st->st_mode = S_IFDIR | entry->mode;
            st->st_nlink = 2;
            break;
        case DriverFs::Entry::Kind::attr:
            // sysfs reports a page for every attribute.
            st->st_mode = S_IFREG | entry->mode;
            st->st_nlink = 1;
            st->st_size = 4096;
            break;
        case DriverFs::Entry::Kind::node:
            st->st_mode = S_IFREG | entry->mode;
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
    const auto held = self().lock();
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

/** Whether the caller may have @p mask (R_OK, W_OK, X_OK) on @p entry, as
 *  the kernel decides for a file of that mode and owner. */
bool permitted(const DriverFs::Entry& entry, AccessMask mask)
{
    return mayAccess({entry.mode, entry.owner, entry.group,
                      entry.kind == DriverFs::Entry::Kind::dir},
                     mask);
}

int onAccess(const char* path, int mask)
{
    const auto held = self().lock();
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr)
    {
        return -ENOENT;
    }
    return permitted(*entry, mask) ? 0 : -EACCES;
}

int onOpen(const char* path, fuse_file_info* fi)
{
    const auto held = self().lock();
    const std::string_view name(std::strrchr(path, '/') + 1);
    self().opening(name);
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr)
    {
        return -ENOENT;
    }
    const bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
    // O_TRUNC asks to write, whatever the access mode.
    if (!permitted(*entry, ((fi->flags & O_ACCMODE) != O_WRONLY ? R_OK : 0) |
                               (writing || (fi->flags & O_TRUNC) ? W_OK : 0)))
    {
        return -EACCES;
    }
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
            if (writing && entry->node->readOnly)
            {
                return -EROFS;
            }
            break;
    }
    fi->direct_io = 1;
    fi->keep_cache = 0;
    // FUSE gives an O_APPEND write the file's end, not its position.
    fi->fh = entry->kind == DriverFs::Entry::Kind::node && writing &&
                     (fi->flags & O_APPEND) != 0
                 ? appendingOpen
                 : 0;
    return 0;
}

int onRead(const char* path, char* buf, std::size_t size, off_t offset,
           fuse_file_info* /*fi*/)
{
    const auto held = self().lock();
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
            fuse_file_info* fi)
{
    const auto held = self().lock();
    const DriverFs::Entry* entry = self().find(path);
    if (entry == nullptr)
    {
        return -ENOENT;
    }
    if (entry->kind == DriverFs::Entry::Kind::node)
    {
        // The driver would write at the file position, which FUSE does not
        // pass on with O_APPEND: nothing is written rather than the wrong
        // register.
        if (fi != nullptr && fi->fh == appendingOpen)
        {
            return -EOPNOTSUPP;
        }
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
    // A character device has no length to change (EINVAL); sysfs ignores
    // an attribute's.
    const auto held = self().lock();
    const DriverFs::Entry* entry = self().find(path);
    return entry == nullptr ? -ENOENT
           : entry->kind == DriverFs::Entry::Kind::node
               ? -EINVAL
               : 0;
}

int onMkdir(const char* /*path*/, mode_t /*mode*/)
{
    return -EACCES;
}

int onCreate(const char* /*path*/, mode_t /*mode*/, fuse_file_info* /*fi*/)
{
    // The driver's directory cannot gain files, nor directories.
    return -EACCES;
}

} // namespace

DriverFs::DriverFs(const Board& board, int traceFd, TraceFormat format) :
    board(board), traceFd(traceFd), format(format), started(std::time(nullptr)),
    stepStart(std::chrono::steady_clock::now())
{
    publish();
}

void DriverFs::publish()
{
    // The file system holds each published file at its own path; fpga-sim
    // binds the probe directories and the nodes to the same paths outside.
    attrs.clear();
    entries.clear();
    addEntry("/", Entry{Entry::Kind::dir});
    for (const Published& entry : published(board))
    {
        switch (entry.kind)
        {
            case Published::Kind::dir:
                addEntry(entry.path,
                         Entry{Entry::Kind::dir, nullptr, nullptr, entry.mode,
                               entry.owner, entry.group});
                break;
            case Published::Kind::attribute:
                addAttr(entry.path,
                        Attr{[text = entry.text] { return text; }, {}}, entry);
                break;
            case Published::Kind::reset:
                addAttr(entry.path, resetControl(entry.readOnly), entry);
                break;
            case Published::Kind::node:
            {
                const auto [it, fresh] =
                    nodes.try_emplace(std::string(entry.device->name));
                NodeState& state = it->second;
                state = NodeState{
                    std::string(entry.device->name),
                    entry.device->mode,
                    entry.node,
                    fresh ? entry.node->bytes : std::move(state.bytes),
                    entry.size,
                    entry.readOnly};
                addEntry(entry.path,
                         Entry{Entry::Kind::node, nullptr, &state, entry.mode,
                               entry.owner, entry.group});
                break;
            }
            case Published::Kind::fifo:
                // A FIFO cannot seek (ESPIPE), which FUSE cannot imitate:
                // fpga-sim makes a real one.
                break;
        }
    }
}

DriverFs::Attr DriverFs::resetControl(bool readOnly)
{
    Attr reset{[this] { return resetAsserted ? "1\n" : "0\n"; }, {}};
    if (readOnly)
    {
        return reset;
    }
    reset.write = [this](std::string_view text) {
        // As the kernel's kstrtoint in base 10: a sign, decimal digits
        // ("01" is 1, "-0" is 0), one trailing newline, nothing else.
        if (text.ends_with('\n'))
        {
            text.remove_suffix(1);
        }
        const bool minus = text.starts_with('-');
        const std::string_view digits =
            text.substr(minus || text.starts_with('+') ? 1 : 0);
        const std::size_t lead = digits.find_first_not_of('0');
        const bool number =
            !digits.empty() &&
            digits.find_first_not_of("0123456789") == std::string_view::npos;
        const bool zero = number && lead == std::string_view::npos;
        const bool one = number && !minus && lead + 1 == digits.size() &&
                         digits.back() == '1';
        TraceRecord traced;
        traced.type = "reset";
        traced.written = text;
        if (one)
        {
            resetAsserted = true;
            trace(std::move(traced));
        }
        else if (zero)
        {
            traced.restored = resetAsserted;
            resetAsserted = false;
            if (traced.restored)
            {
                restoreRegisters();
            }
            trace(std::move(traced));
        }
        else
        {
            return -EINVAL;
        }
        return 0;
    };
    return reset;
}

const fuse_operations& DriverFs::operations()
{
    static const fuse_operations ops = [] {
        fuse_operations o{};
        o.init = onInit;
        o.getattr = onGetattr;
        o.readdir = onReaddir;
        o.access = onAccess;
        o.open = onOpen;
        o.read = onRead;
        o.write = onWrite;
        o.truncate = onTruncate;
        o.create = onCreate;
        o.mkdir = onMkdir;
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

void DriverFs::addEntry(const std::string& path, Entry entry)
{
    // Every directory on the way is a directory of the file system too.
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
    {
        entries.try_emplace(path.substr(0, slash), Entry{Entry::Kind::dir});
    }
    entries[path] = entry;
}

void DriverFs::addAttr(const std::string& path, Attr attr,
                       const Published& published)
{
    Attr& stored = attrs[path] = std::move(attr);
    addEntry(path, Entry{Entry::Kind::attr, &stored, nullptr, published.mode,
                         published.owner, published.group});
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
    // One record per transfer: how it went (an errno and why, or the bytes
    // moved); not built when nothing is traced.
    const auto traced = [&](int error, const char* why, std::size_t got) {
        if (traceFd < 0)
        {
            return;
        }
        TraceRecord r = transferRecord(node, write, position, size);
        r.got = got;
        r.bytes.assign(data, data + got);
        r.error = error != 0 ? errnoName(error) : "";
        r.message = why;
        trace(std::move(r));
    };
    for (const TransferFault& fault : node.board->failures)
    {
        if (hits(fault, node, write, position, size))
        {
            traced(fault.error, "", 0);
            return -fault.error;
        }
    }
    if (position >= node.window)
    {
        traced(write ? ENOSPC : 0, write ? "past the end of the node" : "", 0);
        return write ? -ENOSPC : 0;
    }
    std::size_t count = std::min<std::uint64_t>(size, node.window - position);
    if (!write && node.board->maxRead != 0)
    {
        count = std::min(count, node.board->maxRead);
    }
    if (write)
    {
        node.bytes.set(position, reinterpret_cast<const std::uint8_t*>(data),
                       count);
    }
    else
    {
        node.bytes.read(position, reinterpret_cast<std::uint8_t*>(data), count);
    }
    traced(0, "", count);
    return static_cast<int>(count);
}

void DriverFs::trace(TraceRecord record) const
{
    if (traceFd < 0)
    {
        return;
    }
    record.seq = nextSeq();
    const std::string line =
        (format == TraceFormat::json
             ? recordToJson(record).dump(
                   -1, ' ', false, nlohmann::json::error_handler_t::replace)
             : recordText(record)) +
        "\n";
    // One write per line keeps lines whole when the command shares the fd.
    [[maybe_unused]] const ssize_t written =
        ::write(traceFd, line.data(), line.size());
}

void DriverFs::restoreRegisters()
{
    for (auto& [name, node] : nodes)
    {
        node.bytes = node.board->bytes;
    }
}

} // namespace fpga_sim
