#include "tessel/core/gzip.h"

#include "test_io.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

namespace gz = tessel::core::gzip;
using tessel::testing::bytes_of;
using tessel::testing::random_pieces;
using tessel::testing::StringSink;

namespace {

std::string gzip(const std::string& data, int level = 6) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string text_data(std::mt19937& rng, std::size_t n) {
    std::string s;
    while (s.size() < n) s += std::to_string(rng() % 100000) + (rng() % 8 ? ";" : "\n");
    s.resize(n);
    return s;
}

struct Inflated {
    std::string bytes;
    std::string error;
    int code = 0;
    std::size_t largest_write = 0;
};

Inflated inflate_pieces(const std::string& compressed, std::mt19937& rng, std::size_t max_piece) {
    StringSink sink;
    Inflated r;
    try {
        gz::GzipInflater inflater(sink);
        for (const auto piece : random_pieces(compressed, rng, max_piece)) inflater.write(bytes_of(piece));
        inflater.finish();
    } catch (const gz::GzipError& e) {
        r.error = e.what();
        r.code = e.code();
    }
    r.bytes = sink.text;
    r.largest_write = sink.largest;
    return r;
}

}  // namespace

TEST(GzipInflater, InflatesWhateverThePieces) {
    std::mt19937 rng(21);
    for (const std::size_t n : {0u, 1u, 1000u, 300000u}) {
        const std::string data = text_data(rng, n);
        const std::string compressed = gzip(data);
        for (const std::size_t max_piece : {std::size_t{1}, std::size_t{13}, std::size_t{100000}}) {
            if (max_piece == 1 && n > 1000) continue;
            const Inflated r = inflate_pieces(compressed, rng, max_piece);
            ASSERT_EQ(r.error, "") << n;
            ASSERT_EQ(r.bytes, data) << n << " pieces " << max_piece;
        }
    }
}

TEST(GzipInflater, OutputComesInBoundedPiecesWhateverTheRatio) {
    std::mt19937 rng(22);
    const std::string data(20 << 20, '\0');
    const Inflated r = inflate_pieces(gzip(data, 9), rng, 1 << 20);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.bytes.size(), data.size());
    EXPECT_LE(r.largest_write, gz::GzipInflater::kOutput);
}

TEST(GzipInflater, EveryTruncationFailsAsIncomplete) {
    std::mt19937 rng(23);
    const std::string compressed = gzip(text_data(rng, 2000));
    for (std::size_t cut = 1; cut < compressed.size(); ++cut) {
        const Inflated r = inflate_pieces(compressed.substr(0, cut), rng, 17);
        ASSERT_EQ(r.error, "Error -5 while decompressing data: incomplete or truncated stream") << cut;
        ASSERT_EQ(r.code, Z_BUF_ERROR);
    }
}

TEST(GzipInflater, CorruptDataFailsWithZlibsReason) {
    std::mt19937 rng(24);
    const std::string data = text_data(rng, 5000);
    const std::string good = gzip(data);
    std::string bad_magic = good;
    bad_magic[0] = 'x';
    std::string bad_crc = good;
    bad_crc[good.size() - 6] ^= 0x55;
    std::string bad_length = good;
    bad_length[good.size() - 2] ^= 0x01;
    const std::pair<std::string, std::string> cases[] = {
        {bad_magic, "Error -3 while decompressing data: incorrect header check"},
        {bad_crc, "Error -3 while decompressing data: incorrect data check"},
        {bad_length, "Error -3 while decompressing data: incorrect length check"},
        {"plain text, not gzip", "Error -3 while decompressing data: incorrect header check"},
    };
    for (const auto& [input, message] : cases) {
        const Inflated r = inflate_pieces(input, rng, 9);
        EXPECT_EQ(r.error, message);
        EXPECT_EQ(r.code, Z_DATA_ERROR);
    }
}

// One member is read, like the interpreter's decompressor object: a second
// member or trailing bytes are left unread.
TEST(GzipInflater, StopsAtTheEndOfTheFirstMember) {
    std::mt19937 rng(25);
    const std::string first = text_data(rng, 3000);
    for (const std::string& after : {gzip("second member"), std::string("trailing garbage")}) {
        const Inflated r = inflate_pieces(gzip(first) + after, rng, 11);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.bytes, first);
    }
}

TEST(GzipInflater, NoInputIsAnEmptyStream) {
    StringSink sink;
    gz::GzipInflater inflater(sink);
    inflater.write({});
    EXPECT_NO_THROW(inflater.finish());
    EXPECT_EQ(sink.text, "");
}
