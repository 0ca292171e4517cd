// Shortest round-trip text of a double by Grisu2 (F. Loitsch, "Printing Floating-Point Numbers Quickly
// and Accurately with Integers", 2010), and its layout.

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "json/writer.h"

namespace JSON {

namespace {

// A floating-point number f * 2^e with a 64-bit significand and no hidden bit.
struct DiyFp {
    uint64_t f;
    int e;
};

DiyFp Multiply(DiyFp x, DiyFp y) {
    // The upper 64 bits of the 128-bit product, rounded.
    const uint64_t m32 = 0xFFFFFFFFull;
    uint64_t a = x.f >> 32;
    uint64_t b = x.f & m32;
    uint64_t c = y.f >> 32;
    uint64_t d = y.f & m32;
    uint64_t ac = a * c;
    uint64_t bc = b * c;
    uint64_t ad = a * d;
    uint64_t bd = b * d;
    uint64_t mid = (bd >> 32) + (ad & m32) + (bc & m32) + (1ull << 31);
    return {ac + (ad >> 32) + (bc >> 32) + (mid >> 32), x.e + y.e + 64};
}

DiyFp Normalize(DiyFp x) {
    int shift = std::countl_zero(x.f);
    return {x.f << shift, x.e - shift};
}

// ---- the cached powers of ten ----
// 87 normalised powers 10^k, k = -348, -340, ..., 340, each rounded to 64 significant bits. They are
// computed exactly, with a small big-number routine, the first time they are needed.

constexpr int kCachedPowerCount = 87;
constexpr int kCachedPowerMinExponent = -348;
constexpr int kCachedPowerStep = 8;

class BigUnsigned {
public:
    explicit BigUnsigned(uint32_t v) : words_{v} {}

    void MultiplyBy(uint32_t m) {
        uint64_t carry = 0;
        for (uint32_t& w : words_) {
            uint64_t p = static_cast<uint64_t>(w) * m + carry;
            w = static_cast<uint32_t>(p);
            carry = p >> 32;
        }
        if (carry != 0) {
            words_.push_back(static_cast<uint32_t>(carry));
        }
    }
    void ShiftLeftOne() {
        uint32_t carry = 0;
        for (uint32_t& w : words_) {
            uint32_t next = w >> 31;
            w = (w << 1) | carry;
            carry = next;
        }
        if (carry != 0) {
            words_.push_back(carry);
        }
    }
    // -1, 0, 1
    int Compare(const BigUnsigned& o) const {
        size_t n = Size();
        size_t m = o.Size();
        if (n != m) {
            return n < m ? -1 : 1;
        }
        for (size_t i = n; i-- > 0;) {
            if (words_[i] != o.words_[i]) {
                return words_[i] < o.words_[i] ? -1 : 1;
            }
        }
        return 0;
    }
    // *this -= o, with *this >= o.
    void Subtract(const BigUnsigned& o) {
        int64_t borrow = 0;
        for (size_t i = 0; i < words_.size(); ++i) {
            int64_t d = static_cast<int64_t>(words_[i]) - borrow - (i < o.words_.size() ? o.words_[i] : 0);
            borrow = d < 0 ? 1 : 0;
            words_[i] = static_cast<uint32_t>(d + (borrow << 32));
        }
    }
    bool IsZero() const { return Size() == 0; }
    size_t BitLength() const {
        size_t n = Size();
        return n == 0 ? 0 : (n - 1) * 32 + (32 - static_cast<size_t>(std::countl_zero(words_[n - 1])));
    }
    bool Bit(size_t i) const { return (words_[i / 32] >> (i % 32)) & 1u; }

private:
    size_t Size() const {
        size_t n = words_.size();
        while (n > 0 && words_[n - 1] == 0) {
            --n;
        }
        return n;
    }
    std::vector<uint32_t> words_;
};

// Rounds a 64-bit significand taken from a longer bit string: `round` is the next bit, `sticky` tells
// whether any bit after it is set.
DiyFp RoundSignificand(uint64_t f, int e, bool round, bool sticky) {
    (void)sticky;  // 10^k is never exactly halfway between two 64-bit significands
    if (round) {
        if (++f == 0) {
            return {1ull << 63, e + 1};
        }
    }
    return {f, e};
}

DiyFp ComputePowerOfTen(int k) {
    if (k >= 0) {
        BigUnsigned p(1);
        for (int i = 0; i < k; ++i) {
            p.MultiplyBy(10);
        }
        size_t bits = p.BitLength();
        if (bits <= 64) {
            uint64_t f = 0;
            for (size_t i = bits; i-- > 0;) {
                f = (f << 1) | (p.Bit(i) ? 1u : 0u);
            }
            return Normalize({f, 0});
        }
        uint64_t f = 0;
        for (size_t i = 0; i < 64; ++i) {
            f = (f << 1) | (p.Bit(bits - 1 - i) ? 1u : 0u);
        }
        bool round = p.Bit(bits - 65);
        bool sticky = false;
        for (size_t i = 0; i + 65 < bits && !sticky; ++i) {
            sticky = p.Bit(i);
        }
        return RoundSignificand(f, static_cast<int>(bits) - 64, round, sticky);
    }
    // 10^k = 1 / 10^-k: the binary digits of the quotient by long division.
    BigUnsigned divisor(1);
    for (int i = 0; i < -k; ++i) {
        divisor.MultiplyBy(10);
    }
    BigUnsigned rest(1);
    int position = 0;  // the bit being produced has the weight 2^-position
    uint64_t f = 0;
    int produced = 0;
    int firstOne = 0;
    bool round = false;
    while (produced < 65) {
        ++position;
        rest.ShiftLeftOne();
        bool bit = rest.Compare(divisor) >= 0;
        if (bit) {
            rest.Subtract(divisor);
        }
        if (produced == 0 && !bit) {
            continue;
        }
        if (produced == 0) {
            firstOne = position;
        }
        if (produced < 64) {
            f = (f << 1) | (bit ? 1u : 0u);
        } else {
            round = bit;
        }
        ++produced;
    }
    return RoundSignificand(f, -firstOne - 63, round, !rest.IsZero());
}

struct CachedPowers {
    std::array<DiyFp, kCachedPowerCount> powers;
    CachedPowers() {
        for (int i = 0; i < kCachedPowerCount; ++i) {
            powers[static_cast<size_t>(i)] =
                ComputePowerOfTen(kCachedPowerMinExponent + kCachedPowerStep * i);
        }
    }
};

const CachedPowers& Powers() {
    static const CachedPowers powers;
    return powers;
}

// The cached power c = 10^-k for the binary exponent e of the normalised upper boundary, such that
// the exponent of the product lies in the range digit generation works in.
DiyFp CachedPowerFor(int e, int& k) {
    double dk = (-61 - e) * 0.30102999566398114 + 347;
    int k0 = static_cast<int>(dk);
    if (dk - k0 > 0.0) {
        ++k0;
    }
    unsigned index = static_cast<unsigned>((k0 >> 3) + 1);
    k = -(kCachedPowerMinExponent + static_cast<int>(index) * kCachedPowerStep);
    return Powers().powers[index];
}

constexpr uint32_t kPow10[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};

// 10^0 ... 10^19, for scaling the distance to the exact value in the fractional digits.
constexpr std::array<uint64_t, 20> MakePow10x64() {
    std::array<uint64_t, 20> t{};
    uint64_t p = 1;
    for (uint64_t& v : t) {
        v = p;
        p *= 10;
    }
    return t;
}
constexpr std::array<uint64_t, 20> kPow10x64 = MakePow10x64();

int DecimalDigits32(uint32_t n) {
    int d = 1;
    while (d < 10 && n >= kPow10[d]) {
        ++d;
    }
    return d;
}

// Moves the last digit towards the exact value while the candidate stays inside the boundaries and gets
// closer. `rest` is the distance of the candidate below the upper boundary, `wpw` the distance of the
// exact value below it, `delta` the width of the interval, `tenKappa` the weight of the last digit.
void RoundTowardsValue(char* digits, int length, uint64_t delta, uint64_t rest, uint64_t tenKappa,
                       uint64_t wpw) {
    while (rest < wpw && delta - rest >= tenKappa &&
           (rest + tenKappa < wpw || wpw - rest > rest + tenKappa - wpw)) {
        --digits[length - 1];
        rest += tenKappa;
    }
}

// Produces the digits of the upper boundary `wp` until they lie within `delta` of it.
void GenerateDigits(DiyFp w, DiyFp wp, uint64_t delta, char* digits, int& length, int& k) {
    const int shift = -wp.e;
    const uint64_t one = 1ull << shift;
    const uint64_t wpw = wp.f - w.f;
    uint32_t p1 = static_cast<uint32_t>(wp.f >> shift);
    uint64_t p2 = wp.f & (one - 1);
    int kappa = DecimalDigits32(p1);
    length = 0;
    while (kappa > 0) {
        uint32_t divisor = kPow10[kappa - 1];
        uint32_t d = p1 / divisor;
        p1 %= divisor;
        if (d != 0 || length != 0) {
            digits[length++] = static_cast<char>('0' + d);
        }
        --kappa;
        uint64_t rest = (static_cast<uint64_t>(p1) << shift) + p2;
        if (rest <= delta) {
            k += kappa;
            RoundTowardsValue(digits, length, delta, rest, static_cast<uint64_t>(kPow10[kappa]) << shift,
                              wpw);
            return;
        }
    }
    for (;;) {
        p2 *= 10;
        delta *= 10;
        char d = static_cast<char>(p2 >> shift);
        if (d != 0 || length != 0) {
            digits[length++] = static_cast<char>('0' + d);
        }
        p2 &= one - 1;
        --kappa;
        if (p2 < delta) {
            k += kappa;
            size_t index = static_cast<size_t>(-kappa);
            RoundTowardsValue(digits, length, delta, p2, one,
                              index < kPow10x64.size() ? wpw * kPow10x64[index] : 0);
            return;
        }
    }
}

// Digits and decimal exponent of a positive finite double: value = digits * 10^k.
void Grisu2(double value, char* digits, int& length, int& k) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint64_t hiddenBit = 1ull << 52;
    const uint64_t significandMask = hiddenBit - 1;
    int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t significand = bits & significandMask;
    DiyFp v = biased != 0 ? DiyFp{significand + hiddenBit, biased - 1075} : DiyFp{significand, -1074};

    // Boundaries: halfway to the neighbours. Below a power of two (except at the smallest normal
    // exponent) the lower neighbour is twice as close.
    DiyFp upper = Normalize({(v.f << 1) + 1, v.e - 1});
    DiyFp lower =
        (v.f == hiddenBit && biased > 1) ? DiyFp{(v.f << 2) - 1, v.e - 2} : DiyFp{(v.f << 1) - 1, v.e - 1};
    lower.f <<= lower.e - upper.e;
    lower.e = upper.e;

    DiyFp c = CachedPowerFor(upper.e, k);
    DiyFp w = Multiply(Normalize(v), c);
    DiyFp wp = Multiply(upper, c);
    DiyFp wm = Multiply(lower, c);
    // The products are imprecise by up to one unit: narrow the interval to stay safe.
    ++wm.f;
    --wp.f;
    GenerateDigits(w, wp, wp.f - wm.f, digits, length, k);
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* WriteExponent(char* p, int e) {
    if (e < 0) {
        *p++ = '-';
        e = -e;
    }
    if (e >= 100) {
        *p++ = static_cast<char>('0' + e / 100);
        e %= 100;
        *p++ = kDigitPairs[e * 2];
        *p++ = kDigitPairs[e * 2 + 1];
    } else if (e >= 10) {
        *p++ = kDigitPairs[e * 2];
        *p++ = kDigitPairs[e * 2 + 1];
    } else {
        *p++ = static_cast<char>('0' + e);
    }
    return p;
}

// Lays out digits * 10^k; returns the end of the text.
char* Layout(char* p, const char* digits, int length, int k) {
    const int kk = length + k;  // position of the decimal point
    if (kk == 0) {
        *p++ = '0';
        *p++ = '.';
        std::memcpy(p, digits, static_cast<size_t>(length));
        return p + length;
    }
    if (kk >= -5 && kk < 0) {
        *p++ = '0';
        *p++ = '.';
        for (int i = 0; i < -kk; ++i) {
            *p++ = '0';
        }
        std::memcpy(p, digits, static_cast<size_t>(length));
        return p + length;
    }
    if (kk > 0 && k < 0) {
        std::memcpy(p, digits, static_cast<size_t>(kk));
        p += kk;
        *p++ = '.';
        std::memcpy(p, digits + kk, static_cast<size_t>(length - kk));
        return p + (length - kk);
    }
    if (kk > 0 && k == 0) {
        std::memcpy(p, digits, static_cast<size_t>(length));
        p += length;
        *p++ = '.';
        *p++ = '0';
        return p;
    }
    if (k > 0 && kk <= 16) {
        std::memcpy(p, digits, static_cast<size_t>(length));
        p += length;
        for (int i = 0; i < k; ++i) {
            *p++ = '0';
        }
        *p++ = '.';
        *p++ = '0';
        return p;
    }
    *p++ = digits[0];
    if (length > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, static_cast<size_t>(length - 1));
        p += length - 1;
    }
    *p++ = 'e';
    return WriteExponent(p, kk - 1);
}

}  // namespace

size_t FormatDouble(double value, char* buffer) {
    char* p = buffer;
    if (!std::isfinite(value)) {
        std::memcpy(p, "null", 4);
        p += 4;
    } else {
        if (std::signbit(value)) {
            *p++ = '-';
            value = -value;
        }
        if (value == 0.0) {
            std::memcpy(p, "0.0", 3);
            p += 3;
        } else {
            char digits[24];
            int length = 0;
            int k = 0;
            Grisu2(value, digits, length, k);
            p = Layout(p, digits, length, k);
        }
    }
    *p = '\0';
    return static_cast<size_t>(p - buffer);
}

size_t FormatDouble(double value, wchar_t* buffer) {
    char text[256];
    size_t n = FormatDouble(value, text);
    for (size_t i = 0; i <= n; ++i) {
        buffer[i] = static_cast<wchar_t>(text[i]);
    }
    return n;
}

std::string FormatDoubleString(double value) {
    char text[kFormatDoubleBufferSize];
    size_t n = FormatDouble(value, text);
    return std::string(text, n);
}

std::wstring FormatDoubleWString(double value) {
    wchar_t text[kFormatDoubleBufferSize];
    size_t n = FormatDouble(value, text);
    return std::wstring(text, n);
}

}  // namespace JSON
