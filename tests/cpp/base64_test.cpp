#include "tessel/core/base64.h"

#include "test_io.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace b64 = tessel::core::base64;

using tessel::testing::bytes_of;

TEST(Base64Encode, Rfc4648Vectors) {
    const std::pair<std::string_view, std::string_view> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(b64::encode(bytes_of(plain)), encoded) << "input: " << plain;
    }
}

TEST(Base64Encode, AllByteValuesUseTheStandardAlphabet) {
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    const std::string text = b64::encode(all);
    EXPECT_EQ(text.size(), b64::encoded_size(256));
    EXPECT_EQ(text.substr(0, 8), "AAECAwQF");
    EXPECT_EQ(text.substr(text.size() - 8), "/P3+/w==");
}

// Chunks whose length is a multiple of 3 encode to pieces that concatenate to
// the encoding of the whole input: the property the chunked file copy relies on.
TEST(Base64Encode, ChunksOfMultiplesOfThreeConcatenate) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(59049 * 2 + 5);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::string whole = b64::encode(data);
    for (std::size_t chunk : {3u, 57u, 59049u}) {
        std::string pieces;
        for (std::size_t at = 0; at < data.size(); at += chunk) {
            const std::size_t n = std::min(chunk, data.size() - at);
            pieces += b64::encode(std::span(data).subspan(at, n));
        }
        EXPECT_EQ(pieces, whole) << "chunk " << chunk;
    }
}

TEST(Base64Encode, EncodedSizeCoversPadding) {
    EXPECT_EQ(b64::encoded_size(0), 0u);
    EXPECT_EQ(b64::encoded_size(1), 4u);
    EXPECT_EQ(b64::encoded_size(59049), 78732u);
    EXPECT_EQ(b64::encoded_size(59050), 78736u);
}

// ------------------------------------------------------------------ decode

namespace {

using tessel::testing::random_pieces;
using tessel::testing::StringSink;

// The interpreter's lenient decoder (binascii.a2b_base64) transcribed one
// character at a time: the reference for the decoder's fast path.
struct Decoded {
    std::string bytes;
    std::string error;
    bool operator==(const Decoded&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Decoded& d) { return os << "{" << d.bytes.size() << " bytes, '" << d.error << "'}"; }

Decoded reference_decode(std::string_view text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Decoded d;
    int quad = 0, pads = 0;
    unsigned left = 0;
    for (const char ch : text) {
        if (ch == '=') {
            if (quad >= 2 && quad + ++pads >= 4) return d;
            continue;
        }
        const std::size_t v = alphabet.find(ch);
        if (v == std::string::npos) continue;
        pads = 0;
        switch (quad) {
            case 0: left = static_cast<unsigned>(v); break;
            case 1: d.bytes += static_cast<char>((left << 2) | (v >> 4)); left = v & 15; break;
            case 2: d.bytes += static_cast<char>((left << 4) | (v >> 2)); left = v & 3; break;
            default: d.bytes += static_cast<char>((left << 6) | v); break;
        }
        quad = (quad + 1) % 4;
    }
    if (quad == 1)
        d.error = "Invalid base64-encoded string: number of data characters (" +
                  std::to_string(d.bytes.size() / 3 * 4 + 1) + ") cannot be 1 more than a multiple of 4";
    else if (quad != 0)
        d.error = "Incorrect padding";
    if (!d.error.empty()) d.bytes.clear();
    return d;
}

Decoded decode(std::string_view text) {
    Decoded d;
    std::vector<std::uint8_t> out(b64::decoded_capacity(text.size()));
    try {
        const std::size_t n = b64::decode(text, out.data());
        d.bytes.assign(reinterpret_cast<const char*>(out.data()), n);
    } catch (const b64::DecodeError& e) {
        d.error = e.what();
    }
    return d;
}

std::string random_base64_text(std::mt19937& rng, std::size_t n, int noise_percent) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    static const std::string noise = "= \n-_!\\\"\x7f\x01";
    std::string s(n, 'A');
    for (auto& c : s)
        c = static_cast<int>(rng() % 100) < noise_percent ? noise[rng() % noise.size()] : alphabet[rng() % 64];
    return s;
}

}  // namespace

TEST(Base64Decode, LenientRulesOfTheInterpreter) {
    const std::pair<std::string_view, Decoded> cases[] = {
        {"", {"", ""}},
        {"QUJD", {"ABC", ""}},
        {"QQ==", {"A", ""}},
        {"QUI=", {"AB", ""}},
        {"QQ==QUJD", {"A", ""}},            // padding ends the text
        {"QU=JD", {"ABC", ""}},             // a pad inside a group is skipped
        {" Q\nU-J_D! ", {"ABC", ""}},       // characters outside the alphabet are skipped
        {"QUJD\x80\xff", {"ABC", ""}},
        {"QQ", {"", "Incorrect padding"}},
        {"QUJ", {"", "Incorrect padding"}},
        {"QQ=", {"", "Incorrect padding"}},
        {"Q", {"", "Invalid base64-encoded string: number of data characters (1) cannot be 1 more than a multiple of 4"}},
        {"Q===", {"", "Invalid base64-encoded string: number of data characters (1) cannot be 1 more than a multiple of 4"}},
        {"QUJDQ", {"", "Invalid base64-encoded string: number of data characters (5) cannot be 1 more than a multiple of 4"}},
        {"====", {"", ""}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(decode(text), expected) << "text: " << text;
        EXPECT_EQ(reference_decode(text), expected) << "reference, text: " << text;
    }
}

TEST(Base64Decode, FastPathAgreesWithTheCharacterLoop) {
    std::mt19937 rng(11);
    for (int round = 0; round < 20000; ++round) {
        // Long enough for the vector blocks, with noise now and then breaking them.
        const std::string text = random_base64_text(rng, rng() % 200, round % 3 == 0 ? 0 : 1 + round % 7);
        ASSERT_EQ(decode(text), reference_decode(text)) << "text: " << text;
    }
}

TEST(Base64Decode, RoundTripsEncodedData) {
    std::mt19937 rng(12);
    for (std::size_t n : {0u, 1u, 2u, 3u, 100u, 49152u, 49153u}) {
        std::string data(n, '\0');
        for (auto& c : data) c = static_cast<char>(rng());
        EXPECT_EQ(decode(b64::encode(bytes_of(data))), (Decoded{data, ""})) << n;
    }
}

namespace {

// The chunks of the documented value decoding: 65536 characters while that
// many are left, then 16384, 4096, ..., 4.
std::vector<std::size_t> chunk_plan(std::size_t length) {
    std::vector<std::size_t> plan;
    for (std::size_t size = 65536; size >= 4; size /= 4)
        for (; length >= size; length -= size) plan.push_back(size);
    return plan;
}

struct ChunkedResult {
    std::string bytes;
    std::string error;
    int writes = 0;
};

ChunkedResult chunked(std::string_view text, std::mt19937& rng, std::size_t max_piece) {
    StringSink sink;
    b64::ChunkedDecoder decoder(sink);
    ChunkedResult r;
    try {
        for (const auto piece : random_pieces(text, rng, max_piece)) decoder.write(piece);
        decoder.finish();
    } catch (const b64::DecodeError& e) {
        r.error = e.what();
    }
    r.bytes = sink.text;
    r.writes = sink.writes;
    return r;
}

}  // namespace

TEST(ChunkedDecoder, DecodesEachChunkOnItsOwnWhateverThePieces) {
    std::mt19937 rng(13);
    const std::size_t lengths[] = {0, 4, 8, 65536, 65540, 65536 * 2 + 16384 * 3 + 4096 + 1024 * 2 + 256 + 64 * 3 + 16 + 4 * 3};
    for (const std::size_t length : lengths) {
        for (const int noise : {0, 2}) {
            const std::string text = random_base64_text(rng, length, noise);
            std::string expected;
            std::string error;
            std::size_t at = 0;
            for (const std::size_t size : chunk_plan(length)) {
                const Decoded d = reference_decode(std::string_view(text).substr(at, size));
                at += size;
                if (!d.error.empty()) {
                    error = d.error;
                    break;
                }
                expected += d.bytes;
            }
            for (const std::size_t max_piece : {std::size_t{7}, std::size_t{70000}}) {
                const ChunkedResult r = chunked(text, rng, max_piece);
                ASSERT_EQ(r.error, error) << length << " noise " << noise;
                ASSERT_EQ(r.bytes, expected) << length << " noise " << noise;
            }
        }
    }
}

TEST(ChunkedDecoder, ChunkBoundariesDelimitPadding) {
    std::mt19937 rng(14);
    // 8 characters are decoded as two chunks of 4, so the padding of the first
    // does not end the text.
    EXPECT_EQ(chunked("QQ==QUJD", rng, 3).bytes, "AABC");
}

TEST(ChunkedDecoder, ChunkSizesFollowTheValueLength) {
    std::mt19937 rng(15);
    std::string data(49155, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    const std::string text = b64::encode(bytes_of(data));  // 65540 characters
    ASSERT_EQ(text.size(), 65540u);
    const ChunkedResult r = chunked(text, rng, 5000);
    EXPECT_EQ(r.bytes, data);
    EXPECT_EQ(r.writes, 2);  // a 65536 chunk and a 4 chunk
    const ChunkedResult exact = chunked(text.substr(0, 65536), rng, 5000);
    EXPECT_EQ(exact.writes, 1);
}

TEST(ChunkedDecoder, RemainderOfAPartialGroupFailsAfterTheWholeChunks) {
    std::mt19937 rng(16);
    const std::string text = std::string(65536, 'A') + "QQ";  // 65538 characters
    const ChunkedResult r = chunked(text, rng, 999);
    EXPECT_EQ(r.error, "Value could not be decoded with base64 properly");
    EXPECT_EQ(r.bytes.size(), 49152u);
}

TEST(ChunkedDecoder, CharactersOutsideAsciiFailTheirChunk) {
    std::mt19937 rng(17);
    // One chunk of 16: the padding before the byte does not save it.
    const ChunkedResult r = chunked("QUJDQQ==\x80" "AAAAAAA", rng, 3);
    EXPECT_EQ(r.error, "string argument should contain only ASCII characters");
}
