// The blob map engine: slot forms at their boundaries, arena placement and
// the reclaim rule, compaction, the filtered scan, and a random stream
// against a std::map oracle that also models the arena's byte counts.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "tolvane/blob/blob_map.hpp"
#include "tolvane/blob/blob_validate.hpp"

namespace tolvane::blob {
namespace {

std::string payload_of(const TolvaneBlobMap& m, u64 key) {
    const auto v = m.get(key);
    return v ? std::string(v->payload()) : std::string("<absent>");
}

void expect_sound(TolvaneBlobMap& m) {
    const auto broken = validate_blob_map(m);
    ASSERT_FALSE(broken.has_value()) << *broken;
}

// The slot a payload is stored in, read back from the trie.
u64 stored_slot(TolvaneBlobMap& m, std::string_view payload, u32 meta) {
    EXPECT_FALSE(m.insert(7, payload, meta).has_value());
    return *m.trie.get(7);
}

TEST(BlobSlots, EachFormAtItsBoundaries) {
    TolvaneBlobMap m(4096);
    struct Case {
        std::string payload;
        u32 meta;
        int tag;  // expected slot tag
        u32 meta_back;
    };
    const std::string zero_tail("\x01\xff\x80\x02\x03\x04\x05\0", 8);
    const std::vector<Case> cases = {
        {"", 0, 0, 0},
        {"abcdefg", 5, 7, 0},
        {"abcdefg", 1u << 24, 7, 0},
        {"abcdefgh", 0, TAG_ALPHA8, 0},
        {"abc-efg_", 0, TAG_ALPHA8, 0},
        {"abcdefghi", 0, TAG_ALPHA9, 0},
        {"abcdefghij", 0, TAG_ARENA, 0},
        {"00000000", 0, 40, 0},
        {"12345678", 0, 40, 0},
        {"98765432109876", 0, 46, 0},
        {"987654321098765", 0, TAG_ARENA, 0},
        {zero_tail, 0, TAG_ZERO_TAIL, 0},
        {zero_tail, 1, TAG_ARENA, 1},
        {"abcdefgh", (1u << 24) - 1, TAG_ARENA, (1u << 24) - 1},
        {"abcdefg!", 0, TAG_ARENA, 0},
    };
    for (const Case& c : cases) {
        const u64 slot = stored_slot(m, c.payload, c.meta);
        EXPECT_EQ(slot_tag(slot), c.tag) << c.payload;
        const auto back = m.get(7);
        ASSERT_TRUE(back.has_value()) << c.payload;
        EXPECT_EQ(back->payload(), c.payload);
        EXPECT_EQ(back->hot_meta, c.meta_back) << c.payload;
    }
    EXPECT_EQ(stored_slot(m, "00000000", 0), 40u);
    EXPECT_EQ(stored_slot(m, "", 0), 0u);

    // 2^24 with a payload of 8 bytes or more overflows; the key keeps its
    // previous payload.
    EXPECT_EQ(m.insert(7, "abcdefgh", 1u << 24), ArenaError{ArenaErrorKind::MetaOverflow});
    EXPECT_EQ(payload_of(m, 7), "");
    expect_sound(m);
}

TEST(BlobSlots, TagsWithoutAFormReadAbsentButCount) {
    TolvaneBlobMap m(4096);
    u64 key = 0;
    for (unsigned tag = 0; tag < 256; ++tag) {
        const bool defined = tag <= 7 || tag == 16 || tag == 32 || tag == 34 || tag == 35 ||
                             (tag >= 40 && tag <= 46);
        if (defined) continue;
        m.trie.insert(++key, 0x1122334455667700u | tag);
    }
    EXPECT_EQ(m.size(), key);
    for (u64 k = 1; k <= key; ++k) {
        EXPECT_TRUE(m.contains(k));
        EXPECT_FALSE(m.get(k).has_value()) << k;
    }
    // An arena reference into an empty arena does not resolve either.
    m.trie.insert(1000, arena_slot(0, 3));
    EXPECT_FALSE(m.get(1000).has_value());
}

// ---- arena ------------------------------------------------------------------

TEST(BlobArena, PlacementFillsChunksAndRefusesOversizedRecords) {
    TolvaneBlobMap m(4096);
    EXPECT_FALSE(m.insert(1, std::string(8, 'x'), 1).has_value());
    EXPECT_FALSE(m.insert(2, std::string(20, 'y'), 1).has_value());
    EXPECT_EQ(slot_offset(*m.trie.get(1)), 0u);
    EXPECT_EQ(slot_offset(*m.trie.get(2)), 16u);
    EXPECT_EQ(m.arena.live_bytes, 44u);
    EXPECT_EQ(m.arena.chunks[0].used(), 48u);

    TolvaneBlobMap full(4096);
    EXPECT_FALSE(full.insert(1, std::string(4088, 'z'), 0).has_value());
    EXPECT_EQ(full.arena.chunks[0].used(), 4096u);
    EXPECT_EQ(full.insert(2, std::string(4089, 'z'), 0), ArenaError{ArenaErrorKind::AllocFailed});
    TolvaneBlobMap empty(4096);
    EXPECT_EQ(empty.insert(2, std::string(4089, 'z'), 0), ArenaError{ArenaErrorKind::AllocFailed});
    EXPECT_EQ(empty.arena.chunk_count(), 0u);
    expect_sound(full);
}

TEST(BlobArena, ConstructionClamps) {
    EXPECT_EQ(TolvaneBlobMap().arena.chunk_size, 2097152u);
    EXPECT_EQ(TolvaneBlobMap().arena.max_capacity, 1u << 30);
    EXPECT_EQ(TolvaneBlobMap(1).arena.chunk_size, 4096u);
    EXPECT_EQ(TolvaneBlobMap(5000).arena.chunk_size, 5008u);
    EXPECT_EQ(TolvaneBlobMap(u64{1} << 31).arena.chunk_size, u64{1} << 30);
    EXPECT_EQ(TolvaneBlobMap(4096, 1).arena.max_capacity, 4096u);
    EXPECT_EQ(TolvaneBlobMap(4096, u64{1} << 40).arena.max_capacity, u64{1} << 36);
}

// Room for one 4096 chunk only; each payload takes a quarter of it.
struct CappedMap {
    TolvaneBlobMap m{4096, 4096};
    const std::string quarter = std::string(1016, 'q');  // need 1024
    void fill(u64 first_key) {
        for (u64 k = first_key; k < first_key + 4; ++k)
            ASSERT_FALSE(m.insert(k, quarter, 1).has_value());
    }
};

TEST(BlobArena, ReclaimRuleTruthTable) {
    {  // flag off: a cap refusal is final
        CappedMap c;
        c.fill(0);
        c.m.remove(0), c.m.remove(1), c.m.remove(2);
        c.m.reclaim_at_cap = false;
        EXPECT_EQ(c.m.insert(9, c.quarter, 1), ArenaError{ArenaErrorKind::GrowthCeiling});
        EXPECT_EQ(c.m.arena.generation, 1u);
    }
    {  // 2V >= A: too much is live to be worth it
        CappedMap c;
        c.fill(0);
        c.m.remove(0), c.m.remove(1);
        EXPECT_EQ(c.m.insert(9, c.quarter, 1), ArenaError{ArenaErrorKind::GrowthCeiling});
        EXPECT_EQ(c.m.arena.generation, 1u);
    }
    {  // 2V < A with A0 = V0 = 0: compacts and fits
        CappedMap c;
        c.fill(0);
        c.m.remove(0), c.m.remove(1), c.m.remove(2);
        EXPECT_FALSE(c.m.insert(9, c.quarter, 1).has_value());
        EXPECT_EQ(c.m.arena.generation, 2u);
        EXPECT_EQ(c.m.arena.reclaim_allocated, 4096u);
        EXPECT_EQ(c.m.arena.reclaim_live, 1024u);
        EXPECT_EQ(payload_of(c.m, 3), c.quarter);
        EXPECT_EQ(payload_of(c.m, 9), c.quarter);
        expect_sound(c.m);

        // Hysteresis: since that compaction the arena has not grown and
        // lost only 1024 live bytes, less than the 1024 + ... now live.
        c.m.insert(10, c.quarter, 1);
        c.m.insert(11, c.quarter, 1);
        c.m.remove(9), c.m.remove(10), c.m.remove(11);
        // V = 1024, A = 4096, A0 = 4096, V0 = 1024: 1024 <= 0 + 0 fails.
        EXPECT_EQ(c.m.insert(12, c.quarter, 1), ArenaError{ArenaErrorKind::GrowthCeiling});
        EXPECT_EQ(c.m.arena.generation, 2u);
        // Losing the last live record makes V = 0, which qualifies.
        c.m.remove(3);
        EXPECT_FALSE(c.m.insert(12, c.quarter, 1).has_value());
        EXPECT_EQ(c.m.arena.generation, 3u);
        expect_sound(c.m);
    }
    {  // compacted, and the record still does not fit
        CappedMap c;
        c.fill(0);
        c.m.remove(0);
        c.m.insert(1, "short", 0);  // frees a record too, inline now
        EXPECT_EQ(c.m.arena.live_bytes, 2048u);
        c.m.remove(2);
        EXPECT_EQ(c.m.insert(9, std::string(3080, 'b'), 1), ArenaError{ArenaErrorKind::ArenaFull});
        EXPECT_EQ(c.m.arena.generation, 2u);
        EXPECT_FALSE(c.m.contains(9));
        EXPECT_EQ(payload_of(c.m, 3), c.quarter);
        expect_sound(c.m);
    }
}

TEST(BlobArena, FailedCompactionChangesNothingAndIsRemembered) {
    // Inserted as big, small, big, small the records pack two chunks; in
    // key order (big, big, small, small) they need three.
    TolvaneBlobMap m(4096, 8192);
    const std::string big(3064, 'B'), small(1016, 's');
    ASSERT_FALSE(m.insert(1, big, 1).has_value());
    ASSERT_FALSE(m.insert(3, small, 2).has_value());
    ASSERT_FALSE(m.insert(2, big, 3).has_value());
    ASSERT_FALSE(m.insert(4, small, 4).has_value());
    const std::vector<u64> slots = {*m.trie.get(1), *m.trie.get(2), *m.trie.get(3), *m.trie.get(4)};
    auto report = m.compact();
    ASSERT_FALSE(report.ok());
    EXPECT_EQ(report.error(), ArenaError{ArenaErrorKind::GrowthCeiling});
    EXPECT_EQ(m.arena.generation, 1u);
    EXPECT_EQ((std::vector<u64>{*m.trie.get(1), *m.trie.get(2), *m.trie.get(3), *m.trie.get(4)}),
              slots);
    expect_sound(m);

    // The same failure inside an insert records A0 and V0 as they were.
    m.remove(3);  // V = 3072 * 2 + 1024, A = 8192: 2V >= A, no attempt
    EXPECT_EQ(m.insert(5, small, 1), ArenaError{ArenaErrorKind::GrowthCeiling});
    EXPECT_EQ(m.arena.reclaim_allocated, 0u);
    m.remove(4);
    m.insert(4, small, 4);  // the record goes into no chunk: both are full
    EXPECT_EQ(payload_of(m, 1), big);
}

TEST(BlobCompaction, KeyOrderNewGenerationMetaAndInlineSlots) {
    TolvaneBlobMap m(4096);
    const std::string p3(100, '3'), p1 = "first arena payload", p2(40, '2');
    m.insert(3, p3 + "x", 0);
    m.insert(1, p1, 77);
    m.insert(2, p2 + "y", 0);
    m.insert(4, "inline", 9);
    const u64 inline_slot = *m.trie.get(4);
    for (int round = 0; round < 2; ++round) {
        m.insert(3, p3 + "z", 5);  // dead bytes to win back
        const u64 before = m.arena.allocated_bytes;
        const u64 live = m.arena.live_bytes;
        auto report = m.compact();
        ASSERT_TRUE(report.ok());
        EXPECT_EQ(report.value().live_bytes_before, live);
        EXPECT_EQ(report.value().live_bytes_after, live);
        EXPECT_EQ(report.value().total_allocated_before, before);
        EXPECT_EQ(report.value().relocated, 3u);
        EXPECT_EQ(m.arena.chunks[0].used(), round_up16(p1.size() + 8) +
                                                round_up16(p2.size() + 9) +
                                                round_up16(p3.size() + 9));
        EXPECT_EQ(slot_offset(*m.trie.get(1)), 0u);
        EXPECT_EQ(m.arena.generation, 2u + round);
        EXPECT_EQ(m.arena.chunks[0].generation(), 2u + round);
    }
    EXPECT_EQ(m.get(1)->hot_meta, 77u);
    EXPECT_EQ(payload_of(m, 3), p3 + "z");
    EXPECT_EQ(m.get(3)->hot_meta, 5u);
    EXPECT_EQ(*m.trie.get(4), inline_slot);
    expect_sound(m);

    m.arena.generation = ~u32{0};
    ASSERT_TRUE(m.compact().ok());
    EXPECT_EQ(m.arena.generation, 1u);
    EXPECT_EQ(payload_of(m, 2), p2 + "y");

    // Nothing in the arena: no chunks at all afterwards.
    TolvaneBlobMap inline_only(4096);
    inline_only.insert(1, "tiny", 0);
    auto report = inline_only.compact();
    ASSERT_TRUE(report.ok());
    EXPECT_EQ(report.value().total_allocated_after, 0u);
    EXPECT_FALSE(inline_only.arena.current.has_value());
}

TEST(BlobCompaction, SlotsThatDoNotResolveBecomeAbsentAndNeverAlias) {
    TolvaneBlobMap m(4096);
    m.insert(1, std::string(30, 'a'), 1);
    m.insert(2, std::string(30, 'b'), 2);
    // As an image may hold it: key 5 names key 2's offset with a stale
    // generation in a chunk that does not exist yet after compaction.
    m.trie.insert(5, arena_slot(4096, 9));
    ASSERT_TRUE(m.compact().ok());
    EXPECT_EQ(slot_tag(*m.trie.get(5)), TAG_ABSENT);
    EXPECT_EQ(*m.trie.get(5) >> 8, arena_slot(4096, 9) >> 8);
    EXPECT_FALSE(m.get(5).has_value());
    for (int i = 0; i < 300; ++i) m.insert(100 + i, std::string(30, 'c'), 1);
    EXPECT_FALSE(m.get(5).has_value());
    EXPECT_TRUE(m.contains(5));
    expect_sound(m);
}

TEST(BlobMap, ClearKeepsConfigurationAndGeneration) {
    TolvaneBlobMap m(4096, 1 << 20);
    for (u64 k = 0; k < 100; ++k) m.insert(k, std::string(50, 'p'), 1);
    ASSERT_TRUE(m.compact().ok());
    m.reclaim_at_cap = false;
    m.clear();
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(m.arena.allocated_bytes, 0u);
    EXPECT_EQ(m.arena.live_bytes, 0u);
    EXPECT_EQ(m.mem_used(), 0u);
    m.insert(1, std::string(50, 'p'), 1);
    EXPECT_EQ(slot_offset(*m.trie.get(1)), 0u);
    EXPECT_EQ(m.arena.chunks[0].generation(), 2u);
    EXPECT_EQ(m.arena.chunk_size, 4096u);
    EXPECT_EQ(m.arena.max_capacity, 1u << 20);
    EXPECT_FALSE(m.reclaim_at_cap);
}

// ---- filtered scan -----------------------------------------------------------

TEST(BlobScan, PredicateSeesEveryKeyVisitorOnlyDecodable) {
    TolvaneBlobMap m(4096);
    for (u64 k = 1; k <= 40; ++k) m.insert(k * 10, "payload of " + std::to_string(k), u32(k));
    m.insert(15, "short", 9);
    m.trie.insert(25, 255);  // no form
    std::vector<std::pair<u64, u32>> offered;
    std::vector<std::pair<u64, std::string>> visited;
    auto record = [&](u64 limit) {
        offered.clear(), visited.clear();
        return std::pair{[&](u64 k, u32 meta) {
                             offered.emplace_back(k, meta);
                             return k != 30;
                         },
                         [&, limit](u64 k, std::string_view p, u32) {
                             visited.emplace_back(k, std::string(p));
                             return visited.size() < limit;
                         }};
    };
    auto [p1, v1] = record(100);
    m.scan_filtered(11, 40, p1, v1);
    EXPECT_EQ(offered, (std::vector<std::pair<u64, u32>>{{15, 0}, {20, 2}, {25, 0}, {30, 3}, {40, 4}}));
    EXPECT_EQ(visited, (std::vector<std::pair<u64, std::string>>{
                           {15, "short"}, {20, "payload of 2"}, {40, "payload of 4"}}));

    auto [p2, v2] = record(2);  // the visitor stops after its second entry
    m.scan_filtered(0, ~u64{0}, p2, v2);
    EXPECT_EQ(visited.size(), 2u);
    EXPECT_EQ(offered.size(), 2u);

    auto [p3, v3] = record(100);
    m.scan_filtered(41, 40, p3, v3);
    m.scan_filtered(400, ~u64{0}, p3, v3);
    EXPECT_EQ(offered, (std::vector<std::pair<u64, u32>>{{400, 40}}));
    m.scan_filtered(401, ~u64{0}, p3, v3);
    EXPECT_EQ(offered.size(), 1u);
}

// ---- random stream against an oracle ------------------------------------------

struct Expected {
    std::string payload;
    u32 meta;  // as it reads back
};

// Independent of the encoder: which payloads need an arena record.
bool needs_record(const std::string& p, u32 meta) {
    if (p.size() < 8) return false;
    if (meta != 0) return true;
    if (p.size() == 8 && p[7] == 0) return false;
    bool digits = p.size() <= 14, alpha = p.size() <= 9;
    for (char c : p) {
        digits &= c >= '0' && c <= '9';
        alpha &= std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
    }
    return !(digits || alpha);
}

std::string random_payload(std::mt19937_64& rng) {
    static const std::string kinds[] = {"0123456789", "abcXYZ-_", std::string("\0\x01\xfe", 3)};
    const u64 shape = rng() % 10;
    u64 n = shape < 3 ? rng() % 8 : shape < 6 ? 8 + rng() % 8 : shape < 9 ? 16 + rng() % 200 : 200 + rng() % 3000;
    const std::string& alphabet = kinds[rng() % 3];
    std::string p;
    for (u64 i = 0; i < n; ++i) p += alphabet[rng() % alphabet.size()];
    if (n == 8 && rng() % 2) p[7] = 0;
    return p;
}

// Arena model: chunk count and the last chunk's fill, under a cap so large
// it never refuses; compaction repacks the live records in key order.
struct ArenaModel {
    u64 chunk_size;
    u64 chunks = 0, last_used = 0, live = 0;
    void place(u64 need) {
        if (chunks == 0 || chunk_size - last_used < need) ++chunks, last_used = 0;
        last_used = round_up16(last_used + need);
        live += need;
    }
};

TEST(BlobOracle, RandomStreamAgreesWithStdMap) {
    for (u64 seed = 1; seed <= 6; ++seed) {
        std::mt19937_64 rng(seed);
        TolvaneBlobMap m(4096 + 16 * (seed % 3), u64{1} << 34);
        m.reclaim_at_cap = false;
        ArenaModel model{m.arena.chunk_size};
        std::map<u64, Expected> oracle;
        const u64 key_space = seed % 2 ? 64 : 5000;
        for (int step = 0; step < 4000; ++step) {
            const u64 key = rng() % key_space;
            const u64 op = rng() % 100;
            auto old = oracle.find(key);
            auto drop = [&] {
                if (old != oracle.end() && needs_record(old->second.payload, old->second.meta))
                    model.live -= old->second.payload.size() + 8;
            };
            if (op < 60) {
                std::string p = random_payload(rng);
                const u32 meta = rng() % 4 == 0 ? static_cast<u32>(rng() % (1u << 25)) : 0;
                const ArenaStatus r = m.insert(key, p, meta);
                if (p.size() >= 8 && meta >= (1u << 24)) {
                    ASSERT_EQ(r, ArenaError{ArenaErrorKind::MetaOverflow});
                    continue;
                }
                ASSERT_FALSE(r.has_value()) << r->message();
                drop();
                if (needs_record(p, meta)) model.place(p.size() + 8);
                oracle[key] = {p, p.size() < 8 ? 0 : meta};
            } else if (op < 85) {
                ASSERT_EQ(m.remove(key), old != oracle.end());
                drop();
                if (old != oracle.end()) oracle.erase(old);
            } else if (op < 98) {
                auto report = m.compact();
                ASSERT_TRUE(report.ok());
                model = ArenaModel{model.chunk_size};
                for (const auto& [k, e] : oracle)
                    if (needs_record(e.payload, e.meta)) model.place(e.payload.size() + 8);
                ASSERT_EQ(report.value().live_bytes_after, model.live);
            } else {
                m.clear();
                oracle.clear();
                model = ArenaModel{model.chunk_size};
            }
            ASSERT_EQ(m.size(), oracle.size());
            ASSERT_EQ(m.arena.live_bytes, model.live) << "step " << step;
            ASSERT_EQ(m.arena.allocated_bytes, model.chunks * m.arena.chunk_size) << "step " << step;
            const auto got = m.get(key);
            auto now = oracle.find(key);
            ASSERT_EQ(got.has_value(), now != oracle.end());
            if (got) {
                ASSERT_EQ(got->payload(), now->second.payload);
                ASSERT_EQ(got->hot_meta, now->second.meta);
            }
            if (step % 500 == 0) {
                expect_sound(m);
                for (const auto& [k, e] : oracle) ASSERT_EQ(payload_of(m, k), e.payload);
            }
        }
        expect_sound(m);
    }
}

// Under a small cap with reclaim on: every refusal leaves the key as it was,
// and whatever the map accepted reads back.
TEST(BlobOracle, RandomStreamUnderTheCap) {
    for (u64 seed = 1; seed <= 4; ++seed) {
        std::mt19937_64 rng(seed * 7919);
        TolvaneBlobMap m(4096, 4096 * (1 + seed));
        std::map<u64, std::string> oracle;
        int refused = 0, compactions = 0;
        for (int step = 0; step < 3000; ++step) {
            const u64 key = rng() % 40;
            if (rng() % 4 == 0) {
                m.remove(key);
                oracle.erase(key);
            } else {
                const std::string p(16 + rng() % 1500, static_cast<char>('a' + rng() % 26));
                const u32 generation = m.arena.generation;
                const ArenaStatus r = m.insert(key, p, 1);
                compactions += m.arena.generation != generation;
                if (r) {
                    ++refused;
                    ASSERT_TRUE(r->kind == ArenaErrorKind::GrowthCeiling ||
                                r->kind == ArenaErrorKind::ArenaFull);
                } else {
                    oracle[key] = p;
                }
            }
            ASSERT_EQ(m.size(), oracle.size());
            if (step % 100 == 0) {
                expect_sound(m);
                for (const auto& [k, p] : oracle) ASSERT_EQ(payload_of(m, k), p);
            }
        }
        EXPECT_GT(refused, 0);
        EXPECT_GT(compactions, 0);
        expect_sound(m);
    }
}

}  // namespace
}  // namespace tolvane::blob
