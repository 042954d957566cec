// SPDX-License-Identifier: Apache-2.0
#include "board_edit.hpp"

#include "attribute_kinds.hpp"
#include "board_fields.hpp"
#include "field_reader.hpp"
#include "node_fields.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

/** Board's plain members, as a change saves them. */
struct Top
{
    std::string description;
    ProbeDirs probe;
    std::optional<std::string> hpmChip;
    bool resetAttribute;
    bool readOnlyReset;
    bool readOnlyDriverDir;
    std::uint32_t attributeOwner;
    std::uint32_t attributeGroup;

    explicit Top(const Board& b) :
        description(b.description), probe(b.probe), hpmChip(b.hpmChip),
        resetAttribute(b.resetAttribute), readOnlyReset(b.readOnlyReset),
        readOnlyDriverDir(b.readOnlyDriverDir),
        attributeOwner(b.attributeOwner), attributeGroup(b.attributeGroup)
    {}

    void restore(Board& b)
    {
        b.description = std::move(description);
        b.probe = probe;
        b.hpmChip = std::move(hpmChip);
        b.resetAttribute = resetAttribute;
        b.readOnlyReset = readOnlyReset;
        b.readOnlyDriverDir = readOnlyDriverDir;
        b.attributeOwner = attributeOwner;
        b.attributeGroup = attributeGroup;
    }
};

/** A node as it was before the change: all but its registers, which are
 *  moved here (not copied) only when the change replaces them. */
struct SavedNode
{
    Node node;
    bool bytesSaved = false;
    /** Whether the node's "size" is given, as the change goes on. */
    bool sizeGiven = false;
};

std::string nodePathField(const std::string& path)
{
    return "nodes." + std::string(nodeAt(path).name);
}

} // namespace

/**
 * The parts of the board a change touches, saved on first touch; put back
 * unless commit() is reached.
 */
class ChangeTransaction
{
  public:
    explicit ChangeTransaction(Board& board) : board(board) {}
    ChangeTransaction(const ChangeTransaction&) = delete;
    ChangeTransaction& operator=(const ChangeTransaction&) = delete;

    ~ChangeTransaction()
    {
        if (!committed)
        {
            rollback();
        }
    }

    void save(BoardField::Part part)
    {
        switch (part)
        {
            case BoardField::Part::top:
                top = top ? top : Top(board);
                break;
            case BoardField::Part::chips:
                chips = chips ? chips : std::pair{board.local, board.remotes};
                break;
            case BoardField::Part::nodes:
                for (const auto& [path, node] : board.nodes)
                {
                    saveNode(path, true);
                }
                break;
        }
    }

    /** Save one chip (nullopt: the local one) before it changes. */
    void saveChip(std::optional<std::size_t> index)
    {
        if (chips || chipSaves.contains(index))
        {
            return; // saved already: as it was before the change
        }
        const auto found = index ? board.remotes.find(*index)
                                 : board.remotes.end();
        chipSaves[index] = !index ? std::optional(board.local)
                           : found == board.remotes.end()
                               ? std::nullopt
                               : std::optional(found->second);
    }

    SavedNode& saveNode(const std::string& path, bool withBytes)
    {
        Node& live = board.nodes.at(path);
        const auto [it, fresh] = nodes.try_emplace(path);
        SavedNode& saved = it->second;
        if (fresh)
        {
            Registers bytes = std::move(live.bytes);
            saved.node = live;
            saved.node.bytes = {};
            live.bytes = std::move(bytes);
            saved.sizeGiven = live.fault == NodeFault::truncated;
        }
        if (withBytes && !saved.bytesSaved)
        {
            saved.node.bytes = std::move(live.bytes);
            live.bytes = {};
            saved.bytesSaved = true;
        }
        return saved;
    }

    /** The rules between fields of what changed, and what may not. */
    void check() const
    {
        if (top && top->probe != board.probe)
        {
            bad("probe", "cannot change while the command runs (the driver's "
                         "directories are in place)");
        }
        if (top)
        {
            checkReset(board);
        }
        const auto fixed = [](NodeFault f) {
            return f == NodeFault::missing || f == NodeFault::fifo;
        };
        for (const auto& [path, saved] : nodes)
        {
            const Node& now = board.nodes.at(path);
            checkSize(now, saved.sizeGiven, nodePathField(path));
            const NodeFault was = saved.node.fault;
            if (now.fault != was && (fixed(now.fault) || fixed(was)))
            {
                bad(nodePathField(path) + ".fault",
                    "cannot become or stop being \"missing\" or \"fifo\" "
                    "while the command runs");
            }
        }
    }

    void commit()
    {
        committed = true;
    }

    Board& board;

  private:
    void rollback()
    {
        if (top)
        {
            top->restore(board);
        }
        if (chips)
        {
            board.local = std::move(chips->first);
            board.remotes = std::move(chips->second);
        }
        // Saved before all chips were, if they were: as they were then.
        for (auto& [index, chip] : chipSaves)
        {
            if (!index)
            {
                board.local = std::move(*chip);
            }
            else if (chip)
            {
                board.remotes[*index] = std::move(*chip);
            }
            else
            {
                board.remotes.erase(*index);
            }
        }
        for (auto& [path, saved] : nodes)
        {
            Node& live = board.nodes.at(path);
            Registers bytes = saved.bytesSaved ? std::move(saved.node.bytes)
                                               : std::move(live.bytes);
            live = std::move(saved.node);
            live.bytes = std::move(bytes);
        }
    }

    bool committed = false;
    std::optional<Top> top;
    std::optional<
        std::pair<ChipAttributes, std::map<std::size_t, ChipAttributes>>>
        chips;
    std::map<std::optional<std::size_t>, std::optional<ChipAttributes>>
        chipSaves;
    std::map<std::string, SavedNode> nodes;
};

namespace
{

/** The components of a field path ("chips", "r0", "detected"). */
std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    for (std::size_t start = 0;;)
    {
        const auto dot = std::min(path.find('.', start), path.size());
        parts.push_back(path.substr(start, dot - start));
        if (parts.back().empty())
        {
            bad(path, "not a field path such as chips.r0.detected");
        }
        if (dot == path.size())
        {
            return parts;
        }
        start = dot + 1;
    }
}

/** Refuses a path that goes on past the field that holds a value. */
void leafAt(const std::vector<std::string>& parts, std::size_t leaf,
            const std::string& path)
{
    if (parts.size() > leaf + 1)
    {
        std::string holder;
        for (std::size_t i = 0; i <= leaf; ++i)
        {
            holder = field(holder, parts[i]);
        }
        bad(holder, "holds a value, not fields: " + path + " cannot be set");
    }
}

using EditFn = std::function<void(ChangeTransaction&, Applied&)>;

/** chips.C or chips.C.A set to @p value, or unset (nullptr). */
EditFn chipEdit(const std::vector<std::string>& parts, const std::string& path,
                const json* value)
{
    leafAt(parts, 2, path);
    const std::string at = "chips." + parts[1];
    const auto index = chipKey(parts[1], at);
    if (parts.size() == 2)
    {
        ChipAttributes chip =
            value ? chipFromJson(*value, at) : ChipAttributes{};
        const bool erase = index && !value;
        return [index, erase, chip = std::move(chip)](ChangeTransaction& t,
                                                      Applied&) mutable {
            t.saveChip(index);
            if (erase)
            {
                t.board.remotes.erase(*index);
                return;
            }
            t.board.chip(index ? Location::remote : Location::local,
                         index.value_or(0)) = std::move(chip);
        };
    }
    const auto f =
        std::find_if(chipFields.begin(), chipFields.end(),
                     [&](const ChipField& c) { return parts[2] == c.key; });
    if (f == chipFields.end())
    {
        bad(path, unknownField({"detected", "chipId", "ifaceVer", "fwVersion",
                                "blocks"}));
    }
    std::optional<std::string> text;
    if (value)
    {
        text = attrText(f->key, *value, path);
    }
    return [index, member = f->text,
            text = std::move(text)](ChangeTransaction& t, Applied&) mutable {
        // Unsetting an attribute of a chip not described changes nothing.
        if (text || !index || t.board.remotes.contains(*index))
        {
            t.saveChip(index);
            t.board.chip(index ? Location::remote : Location::local,
                         index.value_or(0)).*
                member = std::move(text);
        }
    };
}

/** nodes.N or nodes.N.F set to @p value, or unset (nullptr). */
EditFn nodeEdit(const std::vector<std::string>& parts, const std::string& path,
                const json* value)
{
    leafAt(parts, 2, path);
    const std::string at = "nodes." + parts[1];
    std::string device(nodeNamedOrBad(parts[1], at).path);
    const NodeInfo info = nodeInfo(device);
    if (parts.size() == 2)
    {
        Node node = value ? nodeFromJson(*value, at, info) : Node{};
        Registers live = node.bytes;
        return [device = std::move(device), node = std::move(node),
                live = std::move(live)](ChangeTransaction& t,
                                        Applied& applied) mutable {
            t.saveNode(device, true).sizeGiven =
                node.fault == NodeFault::truncated;
            t.board.nodes.at(device) = std::move(node);
            applied.registersSet.emplace_back(device, std::move(live));
        };
    }
    const NodeField* f = nodeField(parts[2]);
    if (f == nullptr)
    {
        bad(path, unknownNodeField());
    }
    Node read;
    if (value)
    {
        f->read(*value, path, info, read);
    }
    const bool registers = parts[2] == "registers";
    const bool size = parts[2] == "size";
    Registers live = registers ? read.bytes : Registers{};
    return [device = std::move(device), f, registers, size, given = !!value,
            read = std::move(read), live = std::move(live)](
               ChangeTransaction& t, Applied& applied) mutable {
        SavedNode& saved = t.saveNode(device, registers);
        f->take(t.board.nodes.at(device), read);
        saved.sizeGiven = size ? given : saved.sizeGiven;
        if (registers)
        {
            applied.registersSet.emplace_back(device, std::move(live));
        }
    };
}

/** A top-level field set to @p value, or unset (nullptr). */
EditFn edit(const std::string& path, const json* value)
{
    const auto parts = components(path);
    if (parts[0] == "scenario")
    {
        bad("scenario", "a change cannot change the scenario");
    }
    const BoardField* f = boardField(parts[0]);
    if (f == nullptr)
    {
        bad(parts[0], unknownBoardField());
    }
    if (parts.size() > 1 && f->part == BoardField::Part::chips)
    {
        return chipEdit(parts, path, value);
    }
    if (parts.size() > 1 && f->part == BoardField::Part::nodes)
    {
        return nodeEdit(parts, path, value);
    }
    leafAt(parts, 0, path);
    Board read;
    if (value)
    {
        f->read(*value, path, read);
    }
    std::vector<std::pair<std::string, Registers>> live;
    for (const auto& [device, node] : read.nodes)
    {
        if (f->part == BoardField::Part::nodes)
        {
            live.emplace_back(device, node.bytes);
        }
    }
    return [f, read = std::move(read), live = std::move(live)](
               ChangeTransaction& t, Applied& applied) mutable {
        t.save(f->part);
        f->take(t.board, read);
        for (auto& [device, bytes] : live)
        {
            t.saveNode(device, true).sizeGiven =
                t.board.nodes.at(device).fault == NodeFault::truncated;
            applied.registersSet.emplace_back(device, std::move(bytes));
        }
    };
}

/** The node named @p name, which must be served: no poke or failure
 *  reaches a node that is "missing" or "fifo". */
const std::string& liveNode(const Board& board, const std::string& name,
                            const char* what)
{
    const std::string at = "nodes." + name;
    const auto found =
        board.nodes.find(std::string(nodeNamedOrBad(name, at).path));
    const NodeFault fault = found->second.fault;
    if (fault == NodeFault::missing || fault == NodeFault::fifo)
    {
        bad(at, std::string("the node is \"") + faultName(fault) + "\" (" +
                    (fault == NodeFault::missing
                         ? "no file at its path"
                         : "a FIFO at its path, no registers") +
                    "): " + what);
    }
    return found->first;
}

/** The register entries poked into node @p name, read together, so that
 *  two of one change may not set the same byte. */
EditFn pokeEdit(const std::string& name, const json& entries)
{
    const std::string at = "poke." + name;
    Registers bytes;
    registersFromJson(entries, at,
                      nodeInfo(std::string(nodeNamedOrBad(name, at).path)),
                      bytes);
    return [name, bytes = std::move(bytes)](ChangeTransaction& t,
                                            Applied& applied) mutable {
        applied.pokes.emplace_back(
            liveNode(t.board, name, "there are no registers to poke"),
            std::move(bytes));
    };
}

/** A failure added to node @p name; read as it is added, for its path
 *  counts the node's failures (fpga-sim ctl alone adds them). */
EditFn faultEdit(const std::string& name, const json& entry)
{
    return [name, entry](ChangeTransaction& t, Applied&) {
        const std::string& device =
            liveNode(t.board, name, "there is no transfer to fail");
        t.saveNode(device, false);
        auto& failures = t.board.nodes.at(device).failures;
        failures.push_back(failureFromJson(
            entry, element("nodes." + name + ".fail", failures.size())));
    };
}

} // namespace

PreparedChange prepareChange(const Change& change)
{
    PreparedChange prepared;
    std::map<std::string, json> pokes;
    for (const Change::Edit& e : change.edits)
    {
        switch (e.op)
        {
            case Change::Op::set:
                prepared.edits.push_back(edit(e.target, &e.value));
                break;
            case Change::Op::unset:
                prepared.edits.push_back(edit(e.target, nullptr));
                break;
            case Change::Op::poke:
                pokes[e.target].push_back(e.value);
                break;
            case Change::Op::addFault:
                prepared.edits.push_back(faultEdit(e.target, e.value));
                break;
        }
    }
    // Poked into the nodes as the other edits leave them.
    for (const auto& [name, entries] : pokes)
    {
        prepared.edits.push_back(pokeEdit(name, entries));
    }
    return prepared;
}

Applied applyChange(Board& board, PreparedChange&& change)
{
    ChangeTransaction t(board);
    Applied applied;
    for (auto& edit : change.edits)
    {
        edit(t, applied);
    }
    t.check();
    t.commit();
    return applied;
}

Applied applyChange(Board& board, const Change& change)
{
    return applyChange(board, prepareChange(change));
}

} // namespace fpga_sim
