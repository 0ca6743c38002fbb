#pragma once
// Operation streams aimed at node-form changes, and the tally of which
// changes a run reached; shared by the set and map mutator tests, whose trees
// grow and shrink through the same branch forms.
//
//   Events events;
//   ...observer: ++events["ins L3->L7"];
//   const char* const required[] = {"ins L3->L7", "del L7->L3"};
//   expect_all_reached(events, required);

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "support/oracle.hpp"
#include "support/set_tree.hpp"
#include "tolvane/core/types.hpp"

namespace tolvane::test {

// Keys below one prefix whose byte 1 takes `width` values, two keys each, in
// random order, then all removed in another: a level-2 branch under the
// prefix's skipped bytes grows through every form and back.
std::vector<Op> wide_branch_ops(uint64_t seed, u64 prefix, unsigned width);

// Every key of `blocks` 256-key blocks in random order, then all removed:
// level-1 leaves run through every form up to 256 keys and back.
std::vector<Op> full_block_ops(uint64_t seed, unsigned blocks);

// A bitmap leaf under skipped bytes shrinks into a width-1 leaf that keeps
// them; keys that part from it at every byte then wrap it; then all removed.
std::vector<Op> skipped_leaf_ops(uint64_t seed);

// `count` keys sharing every byte above byte `width`, which takes two values:
// a full leaf splits into a branch at level width + 1 whose children are
// immediates and leaves of `width`-byte keys; then all removed again.
std::vector<Op> narrow_ops(uint64_t seed, unsigned width, unsigned count);

// The streams both flavours' form-change tallies run per seed: a grow-drain
// of `grow_drain_keys` keys in every key pattern, wide branches under a
// skipped prefix (slot 7 down to a level-2 branch) and at the root's own
// level, full blocks, and a skipped bitmap leaf.
std::vector<std::vector<Op>> form_change_streams(uint64_t seed, size_t grow_drain_keys);

// A named operation stream.
struct Workload {
    const char* name;
    std::vector<Op> ops;
};

// The bounds at which the forms both flavours share change, checked when the
// edge in one slot went from `b` to `a` (an insert when `insert`): branch
// growth and shrinkage, a 1-byte leaf turning into a bitmap leaf and back,
// and a branch emptied by the removal of its last key.
void check_shared_bounds(bool insert, const TraceStep& b, const TraceStep& a);

// How often each named form change happened.
using Events = std::map<std::string, u64>;

// Fails once for every name in `required` that `events` never counted, with
// the whole tally attached.
void expect_all_reached(const Events& events, std::span<const char* const> required);

// Replays each run on a fresh tree and model, labelled with its name and
// `seed`, then hands both to `check_rest`; stops at the first fatal failure.
template <class Tree, class Model, class CheckRest>
void replay_runs(const std::vector<Workload>& runs, uint64_t seed, CheckRest check_rest) {
    for (const Workload& run : runs) {
        SCOPED_TRACE(std::string(run.name) + " seed " + std::to_string(seed));
        Tree tree;
        Model model;
        replay(model, tree, run.ops);
        if (::testing::Test::HasFatalFailure()) return;
        check_rest(tree, model);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

// How a flavour names the form changes one operation made along its key.
using RecordChanges = void (*)(Events&, const Op&, const KeyTrace& before, const KeyTrace& after);

// Replays `ops` on a fresh tree and model, counting in `events` every
// operation's form changes as `record` names them.
template <class Tree, class Model>
void replay_counting_changes(Events& events, RecordChanges record, const std::vector<Op>& ops,
                             const ReplayOptions& options = {}) {
    Tree tree;
    tree.observer = [&](const Op& op, bool changed, const KeyTrace& before,
                        const KeyTrace& after) {
        if (changed) record(events, op, before, after);
    };
    Model model;
    replay(model, tree, ops, options);
}

}  // namespace tolvane::test
