#include "tessel/core/json_text.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace jt = tessel::core::json_text;

namespace {

// The text as the units of one width that the encoder is handed.
template <typename Unit, typename Char>
std::vector<Unit> units_of(std::basic_string_view<Char> text) {
    return std::vector<Unit>(text.begin(), text.end());
}

std::string literal_of(std::u32string_view text) {
    const auto units = units_of<std::uint32_t>(text);
    jt::StringBuffer out;
    jt::append_string(out, units.data(), units.size());
    return out.take();
}

std::string literal_of(std::u16string_view text) {
    const auto units = units_of<std::uint16_t>(text);
    jt::StringBuffer out;
    jt::append_string(out, units.data(), units.size());
    return out.take();
}

std::string literal_of(std::string_view latin1) {
    jt::StringBuffer out;
    jt::append_string(out, latin1);
    return out.take();
}

std::string repr_of(double v) {
    char text[jt::kDoubleRoom];
    return std::string(text, jt::format_double(v, text));
}

}  // namespace

// Expected texts are what the interpreter's encoder writes for the same values.
TEST(JsonTextString, EscapesLikeEnsureAscii) {
    EXPECT_EQ(literal_of(U""), R"("")");
    EXPECT_EQ(literal_of(U"plain text ~"), R"("plain text ~")");
    EXPECT_EQ(literal_of(U"a\"b\\c\b\f\n\r\t\x01\x1f\x7f"), R"("a\"b\\c\b\f\n\r\t\u0001\u001f\u007f")");
    EXPECT_EQ(literal_of(U"\x80\xff\u0100\uffff"), R"("\u0080\u00ff\u0100\uffff")");
    EXPECT_EQ(literal_of(std::u32string_view(U"\0x", 2)), R"("\u0000x")");
}

TEST(JsonTextString, AstralCharactersBecomeSurrogatePairs) {
    EXPECT_EQ(literal_of(U"\U00010000\U0010ffff\U0001f600"), R"("\ud800\udc00\udbff\udfff\ud83d\ude00")");
}

TEST(JsonTextString, LoneSurrogatesAreWrittenAsTheirOwnEscape) {
    const char16_t units[] = {0xd800, u'a', 0xdfff, 0xdbff};
    EXPECT_EQ(literal_of(std::u16string_view(units, 4)), R"("\ud800a\udfff\udbff")");
    const char32_t points[] = {0xdc00, 0xd83d};
    EXPECT_EQ(literal_of(std::u32string_view(points, 2)), R"("\udc00\ud83d")");
}

// The same text in each of the three unit widths gives the same literal.
TEST(JsonTextString, AllUnitWidthsAgree) {
    std::string latin1;
    std::u16string ucs2;
    std::u32string ucs4;
    for (char32_t c = 0; c < 0x100; ++c) {
        latin1.push_back(static_cast<char>(c));
        ucs2.push_back(static_cast<char16_t>(c));
        ucs4.push_back(c);
    }
    const std::string expected = literal_of(latin1);
    EXPECT_EQ(literal_of(ucs2), expected);
    EXPECT_EQ(literal_of(ucs4), expected);
    EXPECT_EQ(expected.substr(0, 13), R"("\u0000\u0001)");
    EXPECT_EQ(expected.substr(expected.size() - 7), R"(\u00ff")");
}

TEST(JsonTextString, LongTextGrowsTheBuffer) {
    std::u16string text;
    std::string expected = "\"";
    for (int i = 0; i < 100000; ++i) {
        text.push_back(i % 3 ? u'x' : u'\u00e9');
        expected += i % 3 ? "x" : "\\u00e9";
    }
    expected += '"';
    const auto units = units_of<std::uint16_t>(std::u16string_view(text));
    jt::StringBuffer out(4);
    out.append("[");
    jt::append_string(out, units.data(), units.size());
    EXPECT_EQ(out.take(), "[" + expected);
}

TEST(JsonTextNumber, IntegersAsPrinted) {
    jt::StringBuffer out;
    for (std::int64_t v : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{42}, std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max()}) {
        jt::append_int(out, v);
        out.put(' ');
    }
    EXPECT_EQ(out.take(), "0 -1 42 -9223372036854775808 9223372036854775807 ");
}

TEST(JsonTextNumber, DoublesAsTheirRepr) {
    const std::pair<double, std::string_view> cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.5, "1.5"},
        {100.0, "100.0"},
        {0.1, "0.1"},
        {1.0 / 3, "0.3333333333333333"},
        {123.456, "123.456"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1234567890123456.7, "1234567890123456.8"},
        {9007199254740992.0, "9007199254740992.0"},
        {1e16, "1e+16"},
        {1e22, "1e+22"},
        {1e100, "1e+100"},
        {0.0001, "0.0001"},
        {0.00012345, "0.00012345"},
        {1e-05, "1e-05"},
        {-2.5e-07, "-2.5e-07"},
        {1.5e-300, "1.5e-300"},
        {5e-324, "5e-324"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {-1.7976931348623157e308, "-1.7976931348623157e+308"},
    };
    for (const auto& [v, expected] : cases) EXPECT_EQ(repr_of(v), expected);
}

TEST(JsonTextNumber, NonFiniteDoublesAsTheEncoderWritesThem) {
    EXPECT_EQ(repr_of(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(repr_of(-std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(repr_of(std::numeric_limits<double>::infinity()), "Infinity");
    EXPECT_EQ(repr_of(-std::numeric_limits<double>::infinity()), "-Infinity");
}

// Halfway between two shortest texts the even digit wins, as in the repr.
TEST(JsonTextNumber, HalfwayTextsRoundToEven) {
    EXPECT_EQ(repr_of(1125899906842624.25), "1125899906842624.2");
    EXPECT_EQ(repr_of(1125899906842624.75), "1125899906842624.8");
    EXPECT_EQ(repr_of(2251799813685247.75), "2251799813685247.8");
    EXPECT_EQ(repr_of(2251799813685247.25), "2251799813685247.2");
}

// The exact-expansion shortcut for binary fractions ends where the exact
// expansion stops being the shortest text.
TEST(JsonTextNumber, BinaryFractionsAtTheShortcutLimit) {
    EXPECT_EQ(repr_of(4503599627370495.5), "4503599627370495.5");
    EXPECT_EQ(repr_of(4503599627370497.0 / 2), "2251799813685248.5");
    EXPECT_EQ(repr_of(9007199254740991.0), "9007199254740991.0");
    EXPECT_EQ(repr_of(9007199254740994.0), "9007199254740994.0");
    EXPECT_EQ(repr_of(0.0001220703125), "0.0001220703125");  // 2**-13
    EXPECT_EQ(repr_of(6.103515625e-05), "6.103515625e-05");    // 2**-14
    EXPECT_EQ(repr_of(549755813887.99987792968750), "549755813887.9999");
}

namespace {

// The shortest decimal as the standard library's round-trip formatting gives it.
jt::Decimal reference_decimal(double v) {
    char text[64];
    char* end = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific).ptr;
    *end = 0;
    const char* e = std::strchr(text, 'e');
    std::uint64_t digits = 0;
    int count = 0;
    for (const char* c = text; c != e; ++c) {
        if (*c == '.') continue;
        digits = digits * 10 + static_cast<std::uint64_t>(*c - '0');
        ++count;
    }
    return {digits, std::atoi(e + 1) - (count - 1)};
}

std::uint64_t next_bits(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace

// Two implementations of the shortest round-trip digits, one suite: every
// exponent with its edge significands, powers of ten and their neighbours,
// and random bit patterns, subnormals included.
TEST(JsonTextNumber, ShortestDecimalAgreesWithTheStandardLibrary) {
    std::vector<double> values;
    for (std::uint64_t e = 0; e < 2047; ++e)
        for (std::uint64_t m : {0ull, 1ull, 2ull, 3ull, 0xfffffffffffffull, 0xffffffffffffeull, 0x8000000000000ull}) {
            const std::uint64_t bits = e << 52 | m;
            double v;
            std::memcpy(&v, &bits, sizeof v);
            values.push_back(v);
        }
    for (int p = -325; p <= 308; ++p) {
        const double v = std::pow(10.0, p);
        values.insert(values.end(), {v, std::nextafter(v, 0.0), std::nextafter(v, 1e308)});
    }
    std::uint64_t state = 0x9e3779b97f4a7c15;
    for (int i = 0; i < 300000; ++i) {
        const std::uint64_t bits = next_bits(state);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(std::fabs(v));
        const std::uint64_t subnormal = bits & 0xfffffffffffffull;
        std::memcpy(&v, &subnormal, sizeof v);
        values.push_back(v);
        values.push_back(static_cast<double>(bits >> (bits % 64)));
    }
    for (double v : values) {
        if (!(v > 0) || !std::isfinite(v)) continue;
        const jt::Decimal got = jt::shortest_decimal(v);
        const jt::Decimal want = reference_decimal(v);
        ASSERT_EQ(got.digits, want.digits) << std::hexfloat << v;
        ASSERT_EQ(got.exponent, want.exponent) << std::hexfloat << v;
    }
}

// Every double's text reads back to the same double and fits the room.
TEST(JsonTextNumber, DoubleTextRoundTrips) {
    std::uint64_t state = 0x2545f4914f6cdd1d;
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = next_bits(state);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        const std::string text = repr_of(v);
        ASSERT_LE(text.size(), 24u);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    }
}

TEST(JsonTextBuffer, TruncateDropsTheTail) {
    jt::StringBuffer out;
    out.append("{\"a\": 1");
    const std::size_t mark = out.size();
    out.append(", \"b\": 2");
    out.truncate(mark);
    out.put('}');
    EXPECT_EQ(out.take(), "{\"a\": 1}");
}
