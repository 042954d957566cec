// SPDX-License-Identifier: Apache-2.0
#include "board_edit.hpp"

#include "attribute_kinds.hpp"
#include "board_fields.hpp"
#include "board_read.hpp"
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

using EditFn = std::function<void(ChangeTransaction&, Applied&)>;

/** chips.C or chips.C.A set to @p value, or unset (nullptr). */
EditFn chipEdit(const FieldRef& f, const json* value)
{
    const auto index = f.chip;
    if (f.attribute == nullptr)
    {
        ChipAttributes chip =
            value ? chipFromJson(*value, "chips." + f.parts[1])
                  : ChipAttributes{};
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
    std::optional<std::string> text;
    if (value)
    {
        text = attrText(f.attribute->key, *value, f.path);
    }
    return [index, member = f.attribute->text,
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
EditFn nodeEdit(const FieldRef& f, const json* value)
{
    const NodeInfo info = nodeInfo(f.device);
    if (f.nodeField == nullptr)
    {
        Node node = value ? nodeFromJson(*value, "nodes." + f.parts[1], info)
                          : Node{};
        Registers live = node.bytes;
        return [device = f.device, node = std::move(node),
                live = std::move(live)](ChangeTransaction& t,
                                        Applied& applied) mutable {
            t.saveNode(device, true).sizeGiven =
                node.fault == NodeFault::truncated;
            t.board.nodes.at(device) = std::move(node);
            applied.registersSet.emplace_back(device, std::move(live));
        };
    }
    Node read;
    if (value)
    {
        f.nodeField->read(*value, f.path, info, read);
    }
    const bool registers = f.parts[2] == "registers";
    const bool size = f.parts[2] == "size";
    Registers live = registers ? read.bytes : Registers{};
    return [device = f.device, take = f.nodeField->take, registers, size,
            given = value != nullptr, read = std::move(read),
            live = std::move(live)](ChangeTransaction& t,
                                    Applied& applied) mutable {
        SavedNode& saved = t.saveNode(device, registers);
        take(t.board.nodes.at(device), read);
        saved.sizeGiven = size ? given : saved.sizeGiven;
        if (registers)
        {
            applied.registersSet.emplace_back(device, std::move(live));
        }
    };
}

/** A field set to @p value, or unset (nullptr). */
EditFn edit(const std::string& path, const json* value)
{
    if (path == "scenario" || path.starts_with("scenario."))
    {
        bad("scenario", "a change cannot change the scenario");
    }
    const FieldRef ref = fieldAt(path);
    const BoardField* f = ref.top;
    if (ref.parts.size() > 1 && f->part == BoardField::Part::chips)
    {
        return chipEdit(ref, value);
    }
    if (ref.parts.size() > 1 && f->part == BoardField::Part::nodes)
    {
        return nodeEdit(ref, value);
    }
    Board read;
    if (value)
    {
        f->read(*value, path, read);
    }
    std::vector<std::pair<std::string, Registers>> live;
    if (f->part == BoardField::Part::nodes)
    {
        for (const auto& [device, node] : read.nodes)
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

/** Register entries poked into node @p name, read as one list (so that
 *  two may not set the same byte), named by the poke: "poke.fpga-r1[0]". */
Registers pokedBytes(const std::string& name, const json& entries)
{
    Registers bytes;
    registersFromJson(
        entries, "poke." + name,
        nodeInfo(std::string(nodeNamedOrBad(name, "nodes." + name).path)),
        bytes);
    return bytes;
}

/** The register entries poked into node @p name, read when prepared. */
EditFn pokeEdit(const std::string& name, const json& entries)
{
    return [name, bytes = pokedBytes(name, entries)](ChangeTransaction& t,
                                                     Applied& applied) mutable {
        applied.pokes.emplace_back(
            servedNode(t.board, name, "there are no registers to poke"),
            std::move(bytes));
    };
}

/** A register poked by its name: where it is depends on the board it meets
 *  (the chip "hpm" names), so it is found as it is applied. */
EditFn namedPokeEdit(const std::string& target, const json& value)
{
    return [target, value](ChangeTransaction& t, Applied& applied) {
        const RegisterAt at = registerAt(t.board, target, value.at("register"));
        const std::string name(at.node->name);
        const std::string& device =
            servedNode(t.board, name, "there are no registers to poke");
        json entry = at.entry;
        entry["bytes"] = value.at("bytes");
        Registers bytes = pokedBytes(name, json::array({entry}));
        std::size_t count = 0;
        for (const Registers::Run& run : bytes.runs())
        {
            count += run.bytes.size();
        }
        if (count > at.length)
        {
            bad("", std::to_string(count) + " bytes would run past " +
                        value.at("register").get<std::string>() +
                        ", which is " + std::to_string(at.length) +
                        (at.length == 1 ? " byte" : " bytes") + " long");
        }
        applied.pokes.emplace_back(device, std::move(bytes));
    };
}

/** A failure added to node @p name; read as it is added, for its path
 *  counts the node's failures (fpga-sim ctl alone adds them). */
EditFn faultEdit(const std::string& name, const json& entry)
{
    return [name, entry](ChangeTransaction& t, Applied&) {
        const std::string& device =
            servedNode(t.board, name, "there is no transfer to fail");
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
            case Change::Op::pokeNamed:
                prepared.edits.push_back(namedPokeEdit(e.target, e.value));
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
