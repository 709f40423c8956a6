#include "tessel/core/search.h"

#include "test_io.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace search = tessel::core::search;
using tessel::testing::bytes_of;
using tessel::testing::MemorySource;

namespace {

std::string random_text(std::mt19937& rng, std::size_t n, const std::string& alphabet) {
    std::string s(n, ' ');
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    for (auto& c : s) c = alphabet[pick(rng)];
    return s;
}

std::size_t find(std::string_view hay, std::string_view needle) { return search::find(bytes_of(hay), bytes_of(needle)); }

// The documented algorithm read literally: windows of `buffer_size`, each
// stepping back len(word) - 1 before the position the previous one ended at.
std::int64_t literal_word_position(const std::string& data, const std::string& word, std::int64_t start,
                                   std::int64_t buffer_size) {
    const auto file_size = static_cast<std::int64_t>(data.size());
    const auto overlap = static_cast<std::int64_t>(word.size()) - 1;
    std::int64_t position = start;
    while (true) {
        if (overlap <= position && position < file_size) position -= overlap;
        const std::int64_t from = std::min(position, file_size);
        const std::string buffer = data.substr(static_cast<std::size_t>(from), static_cast<std::size_t>(buffer_size));
        if (buffer.empty()) return -1;
        position = from + static_cast<std::int64_t>(buffer.size());
        const std::size_t at = buffer.find(word);
        if (at != std::string::npos) return position - static_cast<std::int64_t>(buffer.size()) + static_cast<std::int64_t>(at);
    }
}

std::int64_t word_position(MemorySource& source, std::string_view word, std::int64_t start, std::int64_t buffer_size) {
    return search::find_word_position(source, bytes_of(word), start, buffer_size);
}

}  // namespace

TEST(Find, AgreesWithStringFindOnDenseCandidates) {
    std::mt19937 rng(1);
    for (int round = 0; round < 20000; ++round) {
        const std::string alphabet = round % 2 ? "ab" : "ab\":";
        const std::string hay = random_text(rng, rng() % 300, alphabet);
        const std::string needle = random_text(rng, rng() % 12, alphabet);
        ASSERT_EQ(find(hay, needle), hay.find(needle)) << "hay " << hay << " needle " << needle;
    }
}

TEST(Find, FindsAtEveryOffsetAroundTheVectorBlocks) {
    const std::string needle = "\"ResultFile\":";
    for (std::size_t size : {13u, 64u, 77u, 128u, 200u}) {
        for (std::size_t at = 0; at + needle.size() <= size; ++at) {
            std::string hay(size, 'x');
            hay.replace(at, needle.size(), needle);
            ASSERT_EQ(find(hay, needle), at) << size;
            hay[at + needle.size() - 1] = ';';  // last byte differs: no match
            ASSERT_EQ(find(hay, needle), search::npos) << size;
        }
    }
}

TEST(Find, PathologicalCandidatesStayCorrect) {
    const std::string hay(1 << 20, 'a');
    const std::string needle = std::string(30, 'a') + "b";
    EXPECT_EQ(find(hay, needle), search::npos);
    EXPECT_EQ(find(hay + needle, needle), hay.size());
}

TEST(Find, EdgeSizes) {
    EXPECT_EQ(find("", ""), 0u);
    EXPECT_EQ(find("abc", ""), 0u);
    EXPECT_EQ(find("", "a"), search::npos);
    EXPECT_EQ(find("ab", "abc"), search::npos);
    EXPECT_EQ(find("xxa", "a"), 2u);
}

TEST(FindWordPosition, BufferSmallerThanWordIsRefused) {
    MemorySource source("xxxxabcdefxxxx");
    try {
        word_position(source, "abcdef", 0, 4);
        FAIL() << "expected BufferTooSmall";
    } catch (const search::BufferTooSmall& e) {
        EXPECT_STREQ(e.what(), "The buffer size must be equal or larger than the string being searched for.");
    }
    EXPECT_EQ(source.seeks + source.reads, 0);  // refused before touching the source
    EXPECT_EQ(word_position(source, "abcdef", 0, 6), 4);
}

// The first window begins len(word) - 1 before `start` once `start` is at
// least that far into the file.
TEST(FindWordPosition, FirstWindowMayBeginBeforeStart) {
    const std::string data = "0123456789abc";
    MemorySource source(data);
    EXPECT_EQ(word_position(source, "89a", 10, 65536), 8);
    EXPECT_EQ(word_position(source, "9ab", 10, 65536), 9);
    EXPECT_EQ(word_position(source, "789", 10, 65536), -1);
    EXPECT_EQ(word_position(source, "012", 1, 65536), -1);  // start below the overlap: no step back
    EXPECT_EQ(word_position(source, "123", 1, 65536), 1);
}

TEST(FindWordPosition, EdgeStartsAndWords) {
    MemorySource source("abcabc");
    EXPECT_EQ(word_position(source, "abc", 0, 3), 0);
    EXPECT_EQ(word_position(source, "abc", 4, 3), 3);  // step back from 4 to 2
    EXPECT_EQ(word_position(source, "abc", 6, 3), -1);
    EXPECT_EQ(word_position(source, "abc", 100, 3), -1);
    EXPECT_EQ(word_position(source, "", 0, 0), -1);  // empty window reads nothing
    EXPECT_EQ(word_position(source, "", 2, 8), 3);   // an empty word steps forward by one
    EXPECT_EQ(word_position(source, "", 5, 8), -1);
    MemorySource empty("");
    EXPECT_EQ(word_position(empty, "a", 0, 1), -1);
}

// Large windows and short reads give the position the literal algorithm
// gives with the caller's (small) buffer, wherever the word straddles.
TEST(FindWordPosition, AgreesWithTheLiteralWindowsUnderShortReads) {
    std::mt19937 rng(2);
    for (int round = 0; round < 3000; ++round) {
        const std::string data = random_text(rng, rng() % 200, "ab\":");
        const std::string word = random_text(rng, 1 + rng() % 5, "ab\":");
        const std::int64_t start = static_cast<std::int64_t>(rng() % 210);
        const std::int64_t buffer = static_cast<std::int64_t>(word.size() + rng() % 9);
        MemorySource source(data, static_cast<unsigned>(round), 1 + rng() % 7);
        ASSERT_EQ(word_position(source, word, start, buffer), literal_word_position(data, word, start, buffer))
            << "data " << data << " word " << word << " start " << start << " buffer " << buffer;
    }
}

TEST(FindWordPosition, FindsAWordStraddlingTheScanWindows) {
    const std::string word = "\"ResultFile\":";
    for (std::size_t boundary : {search::kScanWindow, 2 * search::kScanWindow - word.size() + 1}) {
        for (std::size_t back : {std::size_t{0}, std::size_t{1}, word.size() / 2, word.size() - 1}) {
            std::string data(3 * search::kScanWindow, 'Q');
            const std::size_t at = boundary - back;
            data.replace(at, word.size(), word);
            MemorySource source(data);
            ASSERT_EQ(word_position(source, word, 0, 65536), static_cast<std::int64_t>(at));
        }
    }
}

TEST(FindWordPosition, MissReadsTheFileOnceInLargeWindows) {
    MemorySource source(std::string(5 * search::kScanWindow + 7, 'x'));
    EXPECT_EQ(word_position(source, "\"key\":", 0, 65536), -1);
    EXPECT_LE(source.reads, 8);
    EXPECT_LT(source.bytes_read, 5 * search::kScanWindow + 100);
}

// A source that reports a size and then never ends.
class EndlessSource final : public tessel::core::ByteSource {
public:
    std::int64_t seek(std::int64_t, tessel::core::Whence) override { return 10; }
    std::size_t read(std::span<std::uint8_t> out) override {
        std::fill(out.begin(), out.end(), std::uint8_t{'z'});
        return out.size();
    }
};

TEST(FindWordPosition, SourceReadingPastItsSizeIsRefused) {
    EndlessSource source;
    EXPECT_THROW(search::find_word_position(source, bytes_of("needle"), 0, 65536), tessel::core::SourceError);
}

TEST(RangeReader, ReadsPiecesBetweenPositions) {
    const std::string data = "0123456789";
    MemorySource source(data, 3, 2);
    search::RangeReader reader(source, 2, 9, 3);
    std::string out;
    std::vector<std::size_t> sizes;
    for (std::size_t n; (n = reader.next_size()) != 0;) {
        std::string piece(n, '\0');
        const std::size_t got = reader.read({reinterpret_cast<std::uint8_t*>(piece.data()), n});
        ASSERT_EQ(got, n);
        sizes.push_back(n);
        out += piece;
    }
    EXPECT_EQ(out, "2345678");
    EXPECT_EQ(sizes, (std::vector<std::size_t>{3, 3, 1}));
}

TEST(RangeReader, EndAtOrBeforeBeginGivesNothing) {
    for (std::int64_t end : {5, 4, 0, -3}) {
        MemorySource source("0123456789");
        search::RangeReader reader(source, 5, end, 4);
        EXPECT_EQ(reader.next_size(), 0u) << end;
        EXPECT_EQ(reader.next_size(), 0u) << end;
    }
}

TEST(RangeReader, EndsWhenTheSourceEndsEarly) {
    MemorySource source("0123");
    search::RangeReader reader(source, 1, 100, 2);
    std::uint8_t buffer[2];
    EXPECT_EQ(reader.read(buffer), 2u);
    EXPECT_EQ(reader.read(buffer), 1u);
    EXPECT_EQ(reader.read(buffer), 0u);
    EXPECT_EQ(reader.next_size(), 0u);
}
