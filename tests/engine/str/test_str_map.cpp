// String map engine against std::map: random streams of inserts, removals
// and ordered queries with the validator and a full walk after each batch;
// then the structure and accounting cases a random stream does not reach.

#include <gtest/gtest.h>
#include <pthread.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "tolvane/core/node.hpp"
#include "tolvane/str/str_map.hpp"
#include "tolvane/str/str_validate.hpp"
#include "tolvane/str/str_walk.hpp"

namespace tolvane {
namespace {

using Oracle = std::map<std::string, u64>;

// Keys with bytes biased to 0x01, 0x02 and 0xFF, lengths near multiples of
// 8, and either a shared 8-byte prefix or a widely spread first word (so
// word maps pass 32 words and become tries).
class KeyGen {
public:
    explicit KeyGen(u64 seed) : rng_(seed) {
        for (int i = 0; i < 3; ++i) prefixes_.push_back(bytes(8));
    }

    std::string key() {
        const u64 groups = rng_() % 6;
        const int drift = static_cast<int>(rng_() % 3) - 1;
        const u64 len = static_cast<u64>(std::max<int>(0, static_cast<int>(groups * 8) + drift));
        std::string k;
        if (rng_() % 2 && len >= 8) k = prefixes_[rng_() % prefixes_.size()];
        k += bytes(len - k.size());
        return k;
    }

    std::mt19937_64& rng() { return rng_; }

private:
    std::string bytes(std::size_t n) {
        static constexpr unsigned char ALPHABET[] = {0x01, 0x02, 0xFF, 'a', 'b', 'c', 'd', 'e'};
        std::string s(n, '\0');
        for (char& ch : s) ch = static_cast<char>(ALPHABET[rng_() % sizeof ALPHABET]);
        return s;
    }

    std::mt19937_64 rng_;
    std::vector<std::string> prefixes_;
};

void expect_matches(TolvaneStrMap& map, const Oracle& oracle) {
    ASSERT_EQ(strmap::validate(map), "");
    ASSERT_EQ(map.len, oracle.size());
    Walk walk(map);
    auto it = oracle.begin();
    while (const auto e = walk.next()) {
        ASSERT_NE(it, oracle.end()) << "walk yields more entries than stored";
        ASSERT_EQ(std::string(e->key), it->first);
        ASSERT_EQ(*e->value, it->second);
        ++it;
    }
    ASSERT_EQ(it, oracle.end()) << "walk ends early";
    EXPECT_FALSE(walk.next());
}

// Largest stored key <= probe (strict: < probe) in the oracle.
const Oracle::value_type* oracle_prev(const Oracle& oracle, const std::string& probe, bool strict) {
    auto it = strict ? oracle.lower_bound(probe) : oracle.upper_bound(probe);
    if (it == oracle.begin()) return nullptr;
    return &*std::prev(it);
}

void expect_queries(TolvaneStrMap& map, const Oracle& oracle, const std::string& probe) {
    const auto at_or_after = map.next_at_or_after(probe);
    const auto lo = oracle.lower_bound(probe);
    ASSERT_EQ(at_or_after.has_value(), lo != oracle.end());
    if (at_or_after) {
        EXPECT_EQ(at_or_after->key, lo->first);
        EXPECT_EQ(*at_or_after->value, lo->second);
    }
    const auto after = map.next_after(probe);
    const auto hi = oracle.upper_bound(probe);
    ASSERT_EQ(after.has_value(), hi != oracle.end());
    if (after) {
        EXPECT_EQ(after->key, hi->first);
    }
    if (!map.root) return;
    for (const bool strict : {false, true}) {
        KeyBuffer key;
        const u64* slot = StrNode::prev_at_or_before(map.root, probe, strict, key);
        const auto* want = oracle_prev(oracle, probe, strict);
        ASSERT_EQ(slot != nullptr, want != nullptr) << "strict " << strict;
        if (slot) {
            EXPECT_EQ(key, want->first);
            EXPECT_EQ(*slot, want->second);
        } else {
            EXPECT_TRUE(key.empty());
        }
    }
    KeyBuffer largest;
    const u64* slot = StrNode::extreme_entry(map.root, largest);
    ASSERT_TRUE(slot);
    EXPECT_EQ(largest, oracle.rbegin()->first);
}

TEST(StrMapOracle, RandomStreamsMatchStdMap) {
    for (u64 seed = 1; seed <= 6; ++seed) {
        KeyGen gen(seed);
        TolvaneStrMap map;
        Oracle oracle;
        std::vector<std::string> seen;
        for (int batch = 0; batch < 24; ++batch) {
            // Fill phases (more inserts) alternate with drain phases.
            const u64 insert_share = batch % 6 < 4 ? 75 : 25;
            for (int i = 0; i < 120; ++i) {
                const bool reuse = !seen.empty() && gen.rng()() % 3 == 0;
                const std::string k = reuse ? seen[gen.rng()() % seen.size()] : gen.key();
                if (!reuse) seen.push_back(k);
                const u64 v = gen.rng()();
                if (gen.rng()() % 100 < insert_share) {
                    const auto old = map.insert(k, v);
                    const auto found = oracle.find(k);
                    ASSERT_EQ(old.has_value(), found != oracle.end());
                    if (old) {
                        ASSERT_EQ(*old, found->second);
                    }
                    oracle[k] = v;
                } else {
                    const auto removed = map.remove(k);
                    const auto found = oracle.find(k);
                    ASSERT_EQ(removed.has_value(), found != oracle.end());
                    if (removed) {
                        ASSERT_EQ(*removed, found->second);
                        oracle.erase(found);
                    }
                }
                const auto got = map.get(k);
                ASSERT_EQ(got.has_value(), oracle.count(k) == 1);
            }
            expect_matches(map, oracle);
            for (int q = 0; q < 20; ++q) {
                std::string probe = seen[gen.rng()() % seen.size()];
                switch (gen.rng()() % 4) {
                    case 0: break;
                    case 1: probe.push_back(static_cast<char>(0x01 + gen.rng()() % 0xFF)); break;
                    case 2: if (!probe.empty()) probe.pop_back(); break;
                    case 3: probe.append(8, '\xFF'); break;
                }
                expect_queries(map, oracle, probe);
            }
        }
        for (const auto& [k, v] : oracle) ASSERT_EQ(map.remove(k), v);
        EXPECT_EQ(map.root, nullptr);
        EXPECT_EQ(map.alloc.live_bytes(), 0u);
        EXPECT_EQ(map.alloc.live_nodes(), 0u);
    }
}

// n distinct 5-byte keys: n terminal words in the root.
std::vector<std::string> root_words(u64 n) {
    std::vector<std::string> keys;
    for (u64 i = 0; i < n; ++i) keys.push_back("k" + std::to_string(1000 + i));
    return keys;
}

TEST(StrMapStructure, WordListsThroughEveryClassAndBack) {
    for (const u64 n : {1, 2, 3, 4, 5, 8, 9, 12, 13, 16, 17, 24, 25, 31, 32}) {
        TolvaneStrMap map;
        const auto keys = root_words(n);
        for (u64 i = 0; i < n; ++i) map.insert(keys[i], i);
        ASSERT_EQ(strmap::validate(map), "") << n;
        if (n <= 31)
            EXPECT_EQ(map.alloc.live_bytes(), capacity_class(n) * 16) << n;
        else
            EXPECT_EQ(map.root->words.root_state, ROOT_TREE);
        for (u64 i = 0; i < n; ++i) ASSERT_EQ(map.get(keys[i]), i);
        for (u64 i = 0; i < n; ++i) {
            const u64 j = (i * 7) % n;  // a permutation: no n here is a multiple of 7
            ASSERT_EQ(map.remove(keys[j]), j);
            ASSERT_EQ(strmap::validate(map), "") << n << " after " << i;
        }
        EXPECT_EQ(map.root, nullptr);
        EXPECT_EQ(map.len, 0u);
        EXPECT_EQ(map.alloc.live_bytes(), 0u);
    }
}

TEST(StrMapStructure, TrieWordMapCondensesAtThirtyAndPromotesAtThirtyTwo) {
    TolvaneStrMap map;
    const auto keys = root_words(32);
    for (u64 i = 0; i < 32; ++i) map.insert(keys[i], i);
    map.remove(keys[0]);
    EXPECT_EQ(map.root->words.root_state, ROOT_TREE);
    map.remove(keys[1]);
    ASSERT_EQ(map.root->words.root_state, ROOT_LEAF);
    EXPECT_EQ(map.root->words.leaf_count(), 30u);
    EXPECT_EQ(map.alloc.live_bytes(), 512u);
    ASSERT_EQ(strmap::validate(map), "");
    map.insert(keys[0], 0);
    EXPECT_EQ(map.root->words.root_state, ROOT_LEAF);
    map.insert(keys[1], 1);
    EXPECT_EQ(map.root->words.root_state, ROOT_TREE);
    for (u64 i = 0; i < 32; ++i) EXPECT_EQ(map.get(keys[i]), i);
}

TEST(StrMapStructure, ShellBytesAndClearCounts) {
    TolvaneStrMap map;
    EXPECT_EQ(map.clear(), 0u);
    map.insert("abcde", 1);
    EXPECT_EQ(StrNode::shell_bytes(map.root), 40u);
    EXPECT_EQ(map.clear(), 56u);  // 16-byte word list + the root
    EXPECT_EQ(map.len, 0u);
    EXPECT_FALSE(map.get("abcde"));
    map.insert("abcdefghijklmnopqrst", 2);
    EXPECT_EQ(map.clear(), 84u);  // + a suffix block of 16 + 12
    EXPECT_EQ(map.alloc.bytes_held(), 0u);
    map.insert("abcdefgh", 3);
    EXPECT_EQ(StrNode::shell_bytes(map.root), 56u);
    map.clear_entries();
    map.insert("abcdefghXYZ", 4);
    EXPECT_EQ(StrNode::shell_bytes(map.root), 59u);
    map.insert("abcdefgh1", 5);
    EXPECT_EQ(StrNode::shell_bytes(map.root), 80u);
    EXPECT_EQ(map.live_bytes(), map.alloc.live_bytes() + 80u);
}

TEST(StrMapStructure, SuffixBlocksSplitIntoOneChainAndPruneBack) {
    TolvaneStrMap map;
    const std::string a = "0123456789abcdefAAAAAAAA";
    const std::string b = "0123456789abcdefBBBBBBBB";
    map.insert(a, 1);
    const u64 allocs_before = map.alloc.total_allocs();
    map.insert(b, 2);
    // Two new nodes (bytes 8..15 and 16..23), each with a one-word list; the
    // deepest holds both third words with empty suffix blocks.
    EXPECT_EQ(map.alloc.total_allocs() - allocs_before, 3u);
    EXPECT_EQ(StrNode::shell_bytes(map.root), 3 * 40u + 2 * 16u);
    ASSERT_EQ(strmap::validate(map), "");
    EXPECT_FALSE(map.remove("0123456789abcdef"));
    EXPECT_FALSE(map.remove(a + "x"));
    EXPECT_EQ(map.remove(a), 1u);
    EXPECT_EQ(map.get(b), 2u);
    EXPECT_EQ(StrNode::shell_bytes(map.root), 3 * 40u + 16u);
    EXPECT_EQ(map.remove(b), 2u);
    EXPECT_EQ(map.root, nullptr);
    EXPECT_EQ(map.alloc.live_bytes(), 0u);

    // An 8-byte key, then its 16-byte extension: the new node holds the
    // terminal word 0 and a full word with an empty suffix block.
    map.insert("abcdefgh", 1);
    EXPECT_FALSE(map.get("abcdefghabcdefgh"));
    map.insert("abcdefghabcdefgh", 2);
    EXPECT_EQ(map.get("abcdefgh"), 1u);
    EXPECT_EQ(map.get("abcdefghabcdefgh"), 2u);
    EXPECT_EQ(StrNode::shell_bytes(map.root), 2 * 40u + 16u);
}

void* clear_deep_map(void* arg) {
    static_cast<TolvaneStrMap*>(arg)->clear();
    return nullptr;
}

TEST(StrMapStructure, DeepChainsClearOnASmallStack) {
    TolvaneStrMap map;
    const std::string shared(160000, 'q');
    map.insert(shared + "a", 1);
    map.insert(shared + "b", 2);  // a chain of 20000 nodes
    EXPECT_EQ(map.get(shared + "b"), 2u);
    KeyBuffer key;
    ASSERT_TRUE(StrNode::extreme_entry(map.root, key));
    EXPECT_EQ(key, shared + "b");
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, clear_deep_map, &map), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(map.root, nullptr);
    EXPECT_EQ(map.alloc.live_bytes(), 0u);
}

std::vector<std::string> walk_keys(TolvaneStrMap& map) {
    std::vector<std::string> keys;
    Walk walk(map);
    while (const auto e = walk.next()) keys.emplace_back(e->key);
    return keys;
}

TEST(StrMapWalk, OrderAndSmallMaps) {
    TolvaneStrMap map;
    EXPECT_TRUE(walk_keys(map).empty());
    map.insert("", 7);
    EXPECT_EQ(walk_keys(map), std::vector<std::string>{""});
    map.clear();
    for (const char* k : {"b", "abd", "ab", "abc"}) map.insert(k, 0);
    EXPECT_EQ(walk_keys(map), (std::vector<std::string>{"ab", "abc", "abd", "b"}));
    map.clear();
    map.insert("abcdefgh", 0);
    EXPECT_EQ(walk_keys(map), std::vector<std::string>{"abcdefgh"});
    map.insert("abcdefghi", 0);
    EXPECT_EQ(walk_keys(map), (std::vector<std::string>{"abcdefgh", "abcdefghi"}));
}

TEST(StrMapNavigation, PredecessorExamples) {
    TolvaneStrMap map;
    map.insert("abcdefgh", 1);
    KeyBuffer key;
    EXPECT_FALSE(StrNode::prev_at_or_before(map.root, "abcdefgh", true, key));
    EXPECT_TRUE(key.empty());
    ASSERT_TRUE(StrNode::prev_at_or_before(map.root, "abcdefghz", false, key));
    EXPECT_EQ(key, "abcdefgh");
    map.clear();
    map.insert("abcdefghXYZ", 1);
    key.clear();
    EXPECT_FALSE(StrNode::prev_at_or_before(map.root, "abcdefghXY", false, key));
    ASSERT_TRUE(StrNode::prev_at_or_before(map.root, "abcdefghXZ", false, key));
    EXPECT_EQ(key, "abcdefghXYZ");
    map.clear();
    for (const char* k : {"a", "abcdefgh1", "abcdefgh2"}) map.insert(k, 0);
    key.clear();
    ASSERT_TRUE(StrNode::prev_at_or_before(map.root, "abcdefgh0", false, key));
    EXPECT_EQ(key, "a");
    // Eight 0xFF bytes are the largest word: nothing lies beyond them.
    map.insert(std::string(8, '\xFF') + "x", 3);
    EXPECT_FALSE(map.next_after(std::string(8, '\xFF') + "x"));
    EXPECT_EQ(map.next_after("abcdefgh2")->key, std::string(8, '\xFF') + "x");
}

TEST(StrMapNavigation, BacksUpPastLastWordsAndEmptyKey) {
    TolvaneStrMap map;
    const std::string deep = std::string(8, 'a') + std::string(8, '\xFF') + "x";
    map.insert(deep, 1);
    map.insert(std::string(8, 'a') + "m", 2);
    map.insert("b", 3);
    // The 0xFF word has no next word: the search backs up to the root.
    EXPECT_EQ(map.next_after(deep)->key, "b");
    EXPECT_EQ(map.next_at_or_after(deep + "y")->key, "b");
    KeyBuffer key;
    EXPECT_FALSE(StrNode::prev_at_or_before(map.root, "", false, key));
    map.insert("", 4);
    ASSERT_TRUE(StrNode::prev_at_or_before(map.root, "", false, key));
    EXPECT_EQ(key, "");
    EXPECT_FALSE(StrNode::prev_at_or_before(map.root, "", true, key));
    EXPECT_EQ(map.next_at_or_after("")->key, "");
}

// Removal never leaves an empty node behind; the readers still step over
// one, with the key buffer back where it was.
TEST(StrMapNavigation, EmptyNodesContributeNothing) {
    TolvaneStrMap map;
    const std::string a(8, 'a'), b(8, 'b');
    for (const std::string& k : {a + "1", a + "2", b + "1", b + "2", std::string("c")})
        map.insert(k, 0);
    const u64* b_slot = strmap::exact_slot(map.root->words, strmap::load_word(b.data(), 8));
    StrNode* b_child = strmap::as_child(*b_slot);
    for (const char* t : {"1", "2"})
        b_child->words.remove_exclusive(map.alloc, strmap::load_word(t, 1));
    EXPECT_EQ(walk_keys(map), (std::vector<std::string>{a + "1", a + "2", "c"}));
    EXPECT_EQ(map.next_at_or_after(b)->key, "c");
    KeyBuffer key;
    ASSERT_TRUE(StrNode::prev_at_or_before(map.root, b + "5", false, key));
    EXPECT_EQ(key, a + "2");
    // With c gone the largest word leads into the empty node.
    map.root->words.remove_exclusive(map.alloc, strmap::load_word("c", 1));
    key.clear();
    ASSERT_TRUE(StrNode::extreme_entry(map.root, key));
    EXPECT_EQ(key, a + "2");
    EXPECT_EQ(walk_keys(map), (std::vector<std::string>{a + "1", a + "2"}));
    EXPECT_FALSE(map.next_after(a + "2"));
    key.clear();
    EXPECT_FALSE(StrNode::extreme_entry(b_child, key));
    EXPECT_TRUE(key.empty());
}

TEST(StrMapDeath, TerminalWordMissingFromItsNodeIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            TolvaneStrMap map;
            const auto keys = root_words(9);
            for (const auto& k : keys) map.insert(k, 0);
            Walk walk(map);
            walk.next();
            // Break the list order so that the next word, still listed, is
            // no longer found by the halving search.
            u64* words = map.root->words.leaf_keys();
            words[4] = words[0] + 1;
            walk.next();
        },
        "present chunk");
}

}  // namespace
}  // namespace tolvane
