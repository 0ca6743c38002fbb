// The escape codec and the ordered byte map: round trips and order over
// random keys of low bytes, the decode errors with their texts, and the
// ordered byte map against std::map, cursor included.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "tolvane/str/escape.hpp"
#include "tolvane/str/ordered_bytes_map.hpp"
#include "tolvane/str/str_validate.hpp"

namespace tolvane {
namespace {

using domain::EscapeDecodeError;

std::string random_low_bytes(std::mt19937_64& rng, std::size_t max_len) {
    static constexpr char ALPHABET[] = {'\x00', '\x01', '\x02', '\xFF'};
    std::string s(rng() % (max_len + 1), '\0');
    for (char& ch : s) ch = ALPHABET[rng() % 4];
    return s;
}

TEST(EscapeCodec, RoundTripAndOrder) {
    using namespace std::string_literals;
    EXPECT_EQ(domain::escape_encode("\x00\x01\x02"s), "\x01\x01\x01\x02\x02"s);
    EXPECT_EQ(domain::escape_encode(std::string(1000, '\0')), std::string(2000, '\x01'));
    std::mt19937_64 rng(7);
    for (int i = 0; i < 3000; ++i) {
        const std::string a = random_low_bytes(rng, 12);
        const std::string b = random_low_bytes(rng, 12);
        const std::string ea = domain::escape_encode(a);
        const std::string eb = domain::escape_encode(b);
        ASSERT_EQ(ea.find('\0'), std::string::npos);
        ASSERT_EQ(a < b, ea < eb);
        ASSERT_EQ(a == b, ea == eb);
        char stack[64];
        ASSERT_EQ(std::string(stack, domain::escape_into(a, stack)), ea);
        std::string decoded;
        ASSERT_FALSE(domain::escape_decode(ea, decoded));
        ASSERT_EQ(decoded, a);
        std::string in_place = ea;
        ASSERT_FALSE(domain::escape_decode_in_place(in_place));
        ASSERT_EQ(in_place, a);
    }
}

TEST(EscapeCodec, DecodeErrorsAndTheirTexts) {
    using namespace std::string_literals;
    struct Case {
        std::string input;
        const char* text;
    };
    const Case cases[] = {
        {"\x01"s, "TrailingEscape"},
        {"a\x01"s, "TrailingEscape"},
        {"\x01\x03"s, "InvalidEscapeByte { byte: 3, offset: 1 }"},
        {"a\x00"s, "NulInEncoded { offset: 1 }"},
    };
    for (const Case& c : cases) {
        std::string out;
        const auto error = domain::escape_decode(c.input, out);
        ASSERT_TRUE(error) << c.text;
        EXPECT_EQ(error->debug_text(), c.text);
        std::string in_place = c.input;
        EXPECT_EQ(domain::escape_decode_in_place(in_place), error);
    }
    EXPECT_EQ((EscapeDecodeError{EscapeDecodeError::InvalidEscapeByte, 3, 1}.debug_text(true)),
              "InvalidEscapeByte {\n    byte: 3,\n    offset: 1,\n}");
    EXPECT_EQ((EscapeDecodeError{EscapeDecodeError::BufferTooSmall, 0, 0, 9, 4}.debug_text()),
              "BufferTooSmall { required: 9, provided: 4 }");
}

using Oracle = std::map<std::string, u64>;

void expect_entry(const std::optional<StrEntry>& got, Oracle::const_iterator want,
                  const Oracle& oracle) {
    ASSERT_EQ(got.has_value(), want != oracle.end());
    if (got) {
        EXPECT_EQ(got->key, want->first);
        EXPECT_EQ(*got->value, want->second);
    }
}

TEST(OrderedBytesMap, RandomStreamsMatchStdMap) {
    std::mt19937_64 rng(11);
    TolvaneOrderedBytesMap map;
    Oracle oracle;
    for (int batch = 0; batch < 30; ++batch) {
        for (int i = 0; i < 100; ++i) {
            // Lengths reach past 32 bytes so both escaping paths are taken.
            std::string k = random_low_bytes(rng, 40);
            if (rng() % 2) k.insert(0, "prefix::");
            const u64 v = rng();
            if (rng() % 3 != 0) {
                const auto old = map.insert(k, v);
                ASSERT_EQ(old.has_value(), oracle.count(k) == 1);
                oracle[k] = v;
            } else {
                const auto removed = map.remove(k);
                ASSERT_EQ(removed.has_value(), oracle.erase(k) == 1);
            }
            ASSERT_EQ(map.get(k), oracle.count(k) ? std::optional<u64>(oracle[k]) : std::nullopt);
        }
        ASSERT_EQ(strmap::validate(map.map), "");
        OrderedBytesCursor cursor(map);
        EXPECT_EQ(cursor.hint, oracle.size());
        for (const auto& [k, v] : oracle) {
            const auto e = cursor.next_owned();
            ASSERT_TRUE(e);
            ASSERT_EQ(e->first, k);
            ASSERT_EQ(e->second, v);
        }
        EXPECT_FALSE(cursor.next_owned());
        EXPECT_EQ(cursor.hint, 0u);

        expect_entry(map.first(), oracle.begin(), oracle);
        expect_entry(map.last(), oracle.empty() ? oracle.end() : std::prev(oracle.end()), oracle);
        for (int q = 0; q < 30; ++q) {
            std::string probe = random_low_bytes(rng, 10);
            if (rng() % 2) probe.insert(0, "prefix::");
            expect_entry(map.next_at_or_after(probe), oracle.lower_bound(probe), oracle);
            expect_entry(map.next_after(probe), oracle.upper_bound(probe), oracle);
            const auto le = oracle.upper_bound(probe);
            expect_entry(map.prev_at_or_before(probe),
                         le == oracle.begin() ? oracle.end() : std::prev(le), oracle);
            const auto lt = oracle.lower_bound(probe);
            expect_entry(map.prev_before(probe),
                         lt == oracle.begin() ? oracle.end() : std::prev(lt), oracle);
        }
    }
}

TEST(OrderedBytesMap, EmptyKeyAndLowBytesOrder) {
    using namespace std::string_literals;
    TolvaneOrderedBytesMap map;
    EXPECT_FALSE(map.first());
    EXPECT_FALSE(map.last());
    EXPECT_FALSE(map.prev_before("a"));
    EXPECT_FALSE(map.remove("a"));
    for (const std::string& k : {"\x02"s, "\x01"s, "\x00\x00"s, "\x00"s, ""s})
        map.insert(k, k.size());
    std::vector<std::string> order;
    for (auto e = map.first(); e; e = map.next_after(e->key)) order.push_back(e->key);
    EXPECT_EQ(order, (std::vector<std::string>{""s, "\x00"s, "\x00\x00"s, "\x01"s, "\x02"s}));
    EXPECT_FALSE(map.prev_before(""));

    map.insert("a", 1);
    map.insert("a\x00"s, 2);
    EXPECT_EQ(map.next_after("a")->key, "a\x00"s);
    EXPECT_EQ(map.prev_before("a\x00"s)->key, "a");
    EXPECT_EQ(map.prev_at_or_before("a\x00"s)->key, "a\x00"s);
    // A key without low bytes is stored unchanged.
    EXPECT_EQ(map.map.get("a"), 1u);

    for (const std::size_t n : {32, 33}) {
        const std::string zeros(n, '\0');
        map.insert(zeros, n);
        EXPECT_EQ(map.get(zeros), n);
        EXPECT_EQ(map.map.get(std::string(2 * n, '\x01')), n);
        EXPECT_EQ(map.prev_at_or_before(zeros)->key, zeros);
    }
}

TEST(OrderedBytesMapDeath, StoredKeyThatDoesNotDecodeIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using namespace std::string_literals;
    EXPECT_DEATH(
        {
            TolvaneOrderedBytesMap map;
            map.map.insert("\x01\x03"s, 1);  // bypasses the escaping
            map.first();
        },
        "valid escaped key in trie: InvalidEscapeByte \\{ byte: 3, offset: 1 \\}");
    EXPECT_DEATH(
        {
            TolvaneOrderedBytesMap map;
            map.insert("abcdefgh", 1);
            *map.map.root->words.leaf_values() = 1;  // a suffix tag without a block
            OrderedBytesCursor(map).next_owned();
        },
        "non-null value slot");
}

}  // namespace
}  // namespace tolvane
