// SPDX-License-Identifier: Apache-2.0
#include "board_edit.hpp"

#include "attribute_kinds.hpp"
#include "board_fields.hpp"
#include "board_read.hpp"
#include "field_reader.hpp"
#include "node_fields.hpp"

#include <algorithm>
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

/**
 * The parts of the board a change touches, saved on first touch; put back
 * unless commit() is reached.
 */
class Transaction
{
  public:
    explicit Transaction(Board& board) : board(board) {}
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    ~Transaction()
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

/** chips.C or chips.C.A set to @p value, or unset (nullptr). */
void editChip(Transaction& t, const FieldRef& f, const json* value)
{
    const auto index = f.chip;
    Board& board = t.board;
    const bool exists = !index || board.remotes.contains(*index);
    if (f.attribute == nullptr)
    {
        ChipAttributes chip =
            value ? chipFromJson(*value, "chips." + f.parts[1])
                  : ChipAttributes{};
        t.saveChip(index);
        if (index && !value)
        {
            board.remotes.erase(*index);
            return;
        }
        board.chip(index ? Location::remote : Location::local,
                   index.value_or(0)) = std::move(chip);
        return;
    }
    std::optional<std::string> text;
    if (value)
    {
        text = attrText(f.attribute->key, *value, f.path);
    }
    if (value || exists)
    {
        t.saveChip(index);
        board.chip(index ? Location::remote : Location::local,
                   index.value_or(0)).*
            f.attribute->text = std::move(text);
    }
}

/** nodes.N or nodes.N.F set to @p value, or unset (nullptr). */
void editNode(Transaction& t, const FieldRef& f, const json* value,
              Applied& applied)
{
    const NodeInfo info = nodeInfo(f.device);
    if (f.nodeField == nullptr)
    {
        Node node = value ? nodeFromJson(*value, "nodes." + f.parts[1], info)
                          : Node{};
        SavedNode& saved = t.saveNode(f.device, true);
        saved.sizeGiven = node.fault == NodeFault::truncated;
        t.board.nodes.at(f.device) = std::move(node);
        applied.registersSet.push_back(f.device);
        return;
    }
    const bool registers = f.parts[2] == "registers";
    SavedNode& saved = t.saveNode(f.device, registers);
    Node& node = t.board.nodes.at(f.device);
    f.nodeField->clear(node);
    if (value)
    {
        f.nodeField->read(*value, f.path, info, node);
    }
    saved.sizeGiven = f.parts[2] == "size" ? value != nullptr : saved.sizeGiven;
    if (registers)
    {
        applied.registersSet.push_back(f.device);
    }
}

/** A field set to @p value, or unset (nullptr). */
void edit(Transaction& t, const std::string& path, const json* value,
          Applied& applied)
{
    if (path == "scenario" || path.starts_with("scenario."))
    {
        bad("scenario", "a change cannot change the scenario");
    }
    const FieldRef ref = fieldAt(path);
    const BoardField* f = ref.top;
    if (ref.parts.size() > 1 && f->part == BoardField::Part::chips)
    {
        return editChip(t, ref, value);
    }
    if (ref.parts.size() > 1 && f->part == BoardField::Part::nodes)
    {
        return editNode(t, ref, value, applied);
    }
    t.save(f->part);
    f->clear(t.board);
    if (value)
    {
        f->read(*value, path, t.board);
    }
    if (f->part == BoardField::Part::nodes)
    {
        for (auto& [device, node] : t.board.nodes)
        {
            t.saveNode(device, true).sizeGiven =
                node.fault == NodeFault::truncated;
            applied.registersSet.push_back(device);
        }
    }
}

void addFault(Transaction& t, const std::string& name, const json& entry)
{
    const std::string& device =
        servedNode(t.board, name, "there is no transfer to fail");
    t.saveNode(device, false);
    auto& failures = t.board.nodes.at(device).failures;
    failures.push_back(failureFromJson(
        entry, element("nodes." + name + ".fail", failures.size())));
}

} // namespace

Applied applyChange(Board& board, const Change& change)
{
    Transaction t(board);
    Applied applied;
    // Register entries poked, by node name: read together, so that two
    // pokes of one change may not set the same byte.
    std::map<std::string, json> pokes;
    for (const Change::Edit& e : change.edits)
    {
        switch (e.op)
        {
            case Change::Op::set:
                edit(t, e.target, &e.value, applied);
                break;
            case Change::Op::unset:
                edit(t, e.target, nullptr, applied);
                break;
            case Change::Op::poke:
                pokes[e.target].push_back(e.value);
                break;
            case Change::Op::addFault:
                addFault(t, e.target, e.value);
                break;
            case Change::Op::pokeNamed:
            {
                const RegisterAt at =
                    registerAt(board, e.target, e.value.at("register"));
                json entry = at.entry;
                entry["bytes"] = e.value.at("bytes");
                pokes[std::string(at.node->name)].push_back(std::move(entry));
                break;
            }
        }
    }
    for (const auto& [name, entries] : pokes)
    {
        const std::string& device =
            servedNode(board, name, "there are no registers to poke");
        Registers bytes;
        registersFromJson(entries, "nodes." + name + ".registers",
                          nodeInfo(device), bytes);
        applied.pokes.emplace_back(device, std::move(bytes));
    }
    t.check();
    t.commit();
    return applied;
}

} // namespace fpga_sim
