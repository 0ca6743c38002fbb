#pragma once
// A set-flavour tree driven straight through the exclusive mutators, as an
// oracle-harness subject (see oracle.hpp), plus a tracer that lists the
// edges on one key's path. Both read nodes on their own, independently of
// the lookup code, so they can check it too.
//
//   SetTree tree;                 // root edge at level 8, local allocator
//   SetModel model;
//   replay(model, tree, ops);     // answers compared, tree verified
//
// verify() flushes the insert path, runs the structural validator, compares
// its population with the model and the allocator's live bytes with the
// bytes the validator counted. With `check_path` set, every insert also
// checks what the insert path names afterwards. With `fast_path` set, keys
// whose prefix matches the hot leaf are added through the insert path the
// way the integer engines do, so the record's promises are exercised too.

#include <functional>
#include <string>
#include <vector>

#include "support/oracle.hpp"
#include "tolvane/mem/alloc.hpp"
#include "tolvane/write/mutate_path.hpp"
#include "tolvane/core/types.hpp"
#include "tolvane/check/validate.hpp"

namespace tolvane::test {

// One edge on a key's path.
struct TraceStep {
    const Edge* slot;
    unsigned slot_level;
    u8 tag;
    unsigned node_level;  // 0 for empty edges and immediates
    unsigned size;        // children of a branch, keys of a leaf or immediate
};

struct KeyTrace {
    std::vector<TraceStep> steps;  // root first; the last one decides
    bool present = false;
    const TraceStep* at(unsigned slot_level) const;
};

// The edges a lookup of `key` passes below `root` (a slot of `level`).
KeyTrace trace_key(const Edge& root, u64 key, unsigned level = 8);

// The slot of `slot_level` on `key`'s path below the level-8 `root`, or null.
const Edge* slot_at(const Edge& root, u64 key, unsigned slot_level);

// The version word of branch i on `key`'s path (0 = the root node); a test
// failure, and 0, when there is no branch there.
u32 branch_word(const Edge& root, u64 key, std::size_t i);

// The population the validator (flavour Map) finds below `edge`, a slot of
// `level`; a test failure when it rejects the tree.
template <bool Map>
u64 validated_population(const Edge& edge, unsigned level = 8);

// Short name of an edge kind: empty, imm, leaf1..leaf7, bitmap, L3, L7, B, U,
// full.
std::string kind_name(u8 tag);

// Validator result (flavour Map) of the tree below the level-8 `root`,
// after flushing `path`; the statistics go to `stats` when given.
template <bool Map>
validate::Validation validate_flushed(const Edge& root, InsertPath& path, ValidateStats* stats);

// What every exclusive test tree must satisfy after a verified operation:
// the validator accepts it, its population and the owner's count equal the
// model's size, the allocator holds exactly the bytes the validator counted,
// and an empty model leaves an empty root and nothing allocated.
void expect_sound_tree(const validate::Validation& v, const ValidateStats& stats,
                       const NodeAlloc& alloc, const Edge& root, u64 population,
                       std::size_t model_size);

// What every exclusive test tree keeps: its allocator (local mode), the
// level-8 root slot, the insert path, its own count of keys and an observer.
// Map selects the flavour the validator reads and the destructor frees.
template <bool Map>
class ExclusiveTree {
  public:
    ExclusiveTree() = default;
    ~ExclusiveTree();
    ExclusiveTree(const ExclusiveTree&) = delete;
    ExclusiveTree& operator=(const ExclusiveTree&) = delete;

    // Validator result after flushing the insert path.
    validate::Validation validate(ValidateStats* stats = nullptr) {
        return validate_flushed<Map>(root, path, stats);
    }

    // Called after every operation with the key's path before and after it.
    std::function<void(const Op&, bool changed, const KeyTrace& before, const KeyTrace& after)>
        observer;

    NodeAlloc alloc;
    Edge root;
    InsertPath path;
    u64 population = 0;
    bool check_path = true;
};

extern template class ExclusiveTree<false>;
extern template class ExclusiveTree<true>;

class SetTree : public ExclusiveTree<false> {
  public:
    bool insert(u64 key);
    bool remove(u64 key);
    bool contains(u64 key) const { return trace_key(root, key).present; }

    // Oracle-harness subject interface.
    bool apply(const Op& op) {
        return op.kind == Op::Kind::Insert ? insert(op.key) : remove(op.key);
    }
    void verify(const SetModel& model);

    bool fast_path = false;
    u64 fast_path_hits = 0;

  private:
    bool try_fast_path(u64 key, bool& stored);
    void check_path_after_insert(u64 key);
};

}  // namespace tolvane::test
