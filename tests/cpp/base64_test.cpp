#include "tessel/core/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace b64 = tessel::core::base64;

namespace {
std::span<const std::uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
}  // namespace

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
