#include "tessel/core/search.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TESSEL_SEARCH_AVX2 1
#endif

namespace tessel::core::search {
namespace {

std::size_t find_memmem(const std::uint8_t* s, std::size_t n, const std::uint8_t* p, std::size_t m) noexcept {
    const void* hit = ::memmem(s, n, p, m);
    return hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - s) : npos;
}

#ifdef TESSEL_SEARCH_AVX2
// First/last-byte filter: compares 64 candidate starts at a time against the
// needle's first and last byte and verifies only where both match. Gives up
// to memmem (linear in the worst case) when candidates turn out to be
// frequent, so that hostile input cannot make it quadratic.
__attribute__((target("avx2,bmi"))) std::size_t find_avx2(const std::uint8_t* s, std::size_t n,
                                                         const std::uint8_t* p, std::size_t m) noexcept {
    const __m256i first = _mm256_set1_epi8(static_cast<char>(p[0]));
    const __m256i last = _mm256_set1_epi8(static_cast<char>(p[m - 1]));
    const std::size_t tail = m - 1;
    std::size_t i = 0;
    std::size_t misses = 0;
    for (; i + tail + 64 <= n; i += 64) {
        const auto* a = reinterpret_cast<const __m256i*>(s + i);
        const auto* b = reinterpret_cast<const __m256i*>(s + i + tail);
        const __m256i e0 = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(a), first),
                                            _mm256_cmpeq_epi8(_mm256_loadu_si256(b), last));
        const __m256i e1 = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(a + 1), first),
                                            _mm256_cmpeq_epi8(_mm256_loadu_si256(b + 1), last));
        const __m256i any = _mm256_or_si256(e0, e1);
        if (_mm256_testz_si256(any, any)) continue;
        std::uint64_t mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(e0)) |
                             (std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(e1))} << 32);
        while (mask != 0) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctzll(mask));
            if (std::memcmp(s + at + 1, p + 1, m - 2) == 0) return at;
            mask &= mask - 1;
            if (++misses > 64 + i / 32) {
                const std::size_t r = find_memmem(s + at + 1, n - at - 1, p, m);
                return r == npos ? npos : at + 1 + r;
            }
        }
    }
    const std::size_t r = find_memmem(s + i, n - i, p, m);
    return r == npos ? npos : i + r;
}

bool has_avx2() noexcept {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

}  // namespace

std::size_t find(std::span<const std::uint8_t> haystack, std::span<const std::uint8_t> needle) noexcept {
    const std::size_t n = haystack.size(), m = needle.size();
    if (m == 0) return 0;
    if (m > n) return npos;
    if (m == 1) {
        const void* hit = std::memchr(haystack.data(), needle[0], n);
        return hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - haystack.data()) : npos;
    }
#ifdef TESSEL_SEARCH_AVX2
    if (has_avx2()) return find_avx2(haystack.data(), n, needle.data(), m);
#endif
    return find_memmem(haystack.data(), n, needle.data(), m);
}

std::int64_t find_word_position(ByteSource& source, std::span<const std::uint8_t> word, std::int64_t start,
                                std::int64_t buffer_size) {
    const auto length = static_cast<std::int64_t>(word.size());
    if (buffer_size < length) throw BufferTooSmall();
    const std::int64_t file_size = source.seek(0, Whence::end);
    std::int64_t position = source.seek(start, Whence::set);
    const std::int64_t overlap = length - 1;
    if (buffer_size == 0) return -1;  // (only an empty word gets here) an empty window reads nothing
    // No larger than what is left to read: small files get small windows.
    const std::int64_t first = std::max<std::int64_t>(0, std::min(position, file_size) - std::max<std::int64_t>(overlap, 0));
    const auto readable = static_cast<std::size_t>(std::max<std::int64_t>(0, file_size - first));
    const std::size_t size = std::max(2 * word.size(), std::min(kScanWindow, readable));
    while (true) {
        if (overlap <= position && position < file_size && overlap != 0)
            position = source.seek(position - overlap, Whence::set);
        const std::span<const std::uint8_t> window = source.read_window(size);
        const std::size_t n = window.size();
        if (n == 0) return -1;
        position += static_cast<std::int64_t>(n);
        if (position > file_size)
            throw SourceError("the file read past its end: it reported a size of " + std::to_string(file_size) +
                              " bytes and returned more");
        const std::size_t at = find(window, word);
        if (at != npos) return position - static_cast<std::int64_t>(n) + static_cast<std::int64_t>(at);
    }
}

std::size_t RangeReader::next_size() {
    if (ended_) return 0;
    if (!started_) {
        started_ = true;
        position_ = source_.seek(begin_, Whence::set);
    }
    const std::int64_t n = std::min(end_ - position_, piece_size_);
    if (n <= 0) {
        ended_ = true;
        return 0;
    }
    return static_cast<std::size_t>(n);
}

std::size_t RangeReader::read(std::span<std::uint8_t> out) {
    const std::size_t want = std::min(out.size(), next_size());
    const std::size_t n = want == 0 ? 0 : read_full(source_, out.first(want));
    if (n == 0) ended_ = true;
    position_ += static_cast<std::int64_t>(n);
    return n;
}

}  // namespace tessel::core::search
