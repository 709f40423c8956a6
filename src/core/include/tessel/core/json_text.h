// Pieces of JSON text as the interpreter's standard encoder writes them with
// its default options: string literals with every character outside printable
// ASCII escaped (`ensure_ascii`), integers, and doubles in the shortest
// round-trip form laid out like the interpreter's float repr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tessel::core::json_text {

// A contiguous output area that grows on demand. The owner of the storage
// implements grow(); writers ask for room, write through the pointer and
// commit the end they reached.
class Buffer {
public:
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Room for at least `n` more bytes; the pointer is valid until the next
    // call of room(), append() or put().
    char* room(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        return data_ + size_;
    }
    // Marks everything up to `end` (a pointer into the last room()) as written.
    void commit(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

    void append(std::string_view s) {
        char* p = room(s.size());
        if (!s.empty()) std::memcpy(p, s.data(), s.size());
        commit(p + s.size());
    }
    void put(char c) {
        char* p = room(1);
        *p = c;
        commit(p + 1);
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    const char* data() const noexcept { return data_; }
    std::string_view view() const noexcept { return {data_, size_}; }
    // Drops everything written after the first `n` bytes.
    void truncate(std::size_t n) noexcept {
        if (n < size_) size_ = n;
    }

protected:
    Buffer() = default;
    ~Buffer() = default;

    // Must make capacity() - size() >= extra, keeping the first size() bytes,
    // and report the new storage through reset(). Throws when it cannot.
    virtual void grow(std::size_t extra) = 0;
    void reset(char* data, std::size_t capacity) noexcept {
        data_ = data;
        capacity_ = capacity;
    }
    // The capacity to grow to so that `extra` more bytes fit: at least half
    // again the current capacity, so appends cost amortised constant time.
    std::size_t next_capacity(std::size_t extra) const noexcept {
        const std::size_t needed = size_ + extra;
        const std::size_t grown = capacity_ + capacity_ / 2 + 64;
        return needed > grown ? needed : grown;
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// A Buffer over a std::string.
class StringBuffer final : public Buffer {
public:
    explicit StringBuffer(std::size_t reserve = 0);
    std::string take();

private:
    void grow(std::size_t extra) override;
    std::string storage_;
};

// Appends the JSON string literal (quotes included) of a text given as code
// points of one width: Latin-1 units, UCS-2 units or UCS-4 units, the three
// layouts the interpreter stores text in. `"`, `\` and the controls \b \f \n
// \r \t get their short escapes; other characters below U+0020 or above U+007E
// become \u with four lowercase hex digits; characters above U+FFFF become a
// surrogate pair of two such escapes; surrogate code points that stand alone
// in the text are written as their own escape.
void append_string(Buffer& out, const std::uint8_t* text, std::size_t length);
void append_string(Buffer& out, const std::uint16_t* text, std::size_t length);
void append_string(Buffer& out, const std::uint32_t* text, std::size_t length);
inline void append_string(Buffer& out, std::string_view latin1) {
    append_string(out, reinterpret_cast<const std::uint8_t*>(latin1.data()), latin1.size());
}

// Decimal text of an integer, as the interpreter prints it.
void append_int(Buffer& out, std::int64_t value);

// A positive finite double's shortest decimal: digits * 10**exponent is the
// decimal with the fewest significant digits that reads back to the double,
// the closest to it when several qualify, halfway cases going to even digits
// (digits holds no trailing zeros).
struct Decimal {
    std::uint64_t digits;
    int exponent;
};
Decimal shortest_decimal(double value) noexcept;

// Room format_double needs at `out`; the text itself is at most 24 long.
inline constexpr std::size_t kDoubleRoom = 40;

// Writes the interpreter's repr of a finite double, or `NaN`, `Infinity`,
// `-Infinity`, into `out` (room for kDoubleRoom characters) and returns the
// number of characters. The digits are the shortest that read back to the same
// double (the closest of them when several qualify); they are laid out in
// positional form with at least one digit after the point ("1.0", "0.0001",
// "1234567890123456.0") when the decimal exponent lies in [-4, 16), and in
// exponent form with a signed exponent of at least two digits otherwise
// ("1e-05", "1e+16", "5e-324", "1.7976931348623157e+308").
std::size_t format_double(double value, char* out) noexcept;
void append_double(Buffer& out, double value);

}  // namespace tessel::core::json_text
