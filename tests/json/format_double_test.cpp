// FormatDouble must give, for every finite double, a text that reads back to the identical double through
// a correctly rounding reader (std::from_chars, and strtod where the C library rounds correctly) and
// through our own parser.

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "json/parser.h"
#include "json/writer.h"

namespace {

uint64_t BitsOf(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

double FromBits(uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

// Counts the significant digits of a formatted double ("-0.00120" has 3... here only digit runs matter).
int SignificantDigits(const char* text) {
    int count = 0;
    bool started = false;
    for (const char* p = text; *p != '\0' && *p != 'e'; ++p) {
        if (*p >= '1' && *p <= '9') {
            started = true;
        }
        if (started && *p >= '0' && *p <= '9') {
            ++count;
        }
    }
    // Trailing zeros of the layout ("100000.0") are not digits of the result.
    const char* end = std::strchr(text, 'e');
    if (end == nullptr) {
        end = text + std::strlen(text);
    }
    for (const char* p = end; p-- > text && (*p == '0' || *p == '.');) {
        if (*p == '0') {
            --count;
        }
    }
    return count;
}

// Checks one double; returns an empty string or a description of the fault.
std::string CheckRoundTrip(double d) {
    char text[JSON::kFormatDoubleBufferSize];
    size_t n = JSON::FormatDouble(d, text);
    if (n != std::strlen(text) || n >= sizeof text) {
        return "bad length";
    }
    double back = 0.0;
    auto r = std::from_chars(text, text + n, back);
    if (r.ec != std::errc() || r.ptr != text + n || BitsOf(back) != BitsOf(d)) {
        return std::string("from_chars reads ") + text + " differently";
    }
#ifndef _WIN32
    // The C library's strtod rounds correctly here (the one of the Windows runtime does not always).
    back = std::strtod(text, nullptr);
    if (BitsOf(back) != BitsOf(d)) {
        return std::string("strtod reads ") + text + " differently";
    }
#endif
    // Always a decimal point or an exponent: the text reads back as a Double, never as an Integer.
    if (std::strpbrk(text, ".e") == nullptr) {
        return std::string("no point or exponent in ") + text;
    }
    if (SignificantDigits(text) > 17) {
        return std::string("more than 17 digits in ") + text;
    }
    return {};
}

TEST(JsonFormatDouble, MillionRandomBitPatternsReadBackIdentically) {
    std::mt19937_64 random(20240125);
    int checked = 0;
    int longer_than_shortest = 0;
    for (int i = 0; i < 1000000; ++i) {
        double d = FromBits(random());
        if (!std::isfinite(d)) {
            continue;
        }
        ++checked;
        std::string fault = CheckRoundTrip(d);
        ASSERT_TRUE(fault.empty()) << fault << " (bits " << std::hex << BitsOf(d) << ")";

        // Compare the digit count with the shortest representation std::to_chars finds.
        char text[JSON::kFormatDoubleBufferSize];
        JSON::FormatDouble(d, text);
        char shortest[64];
        auto r = std::to_chars(shortest, shortest + sizeof shortest, d, std::chars_format::scientific);
        *r.ptr = '\0';
        int shortest_digits = SignificantDigits(shortest);
        int ours = SignificantDigits(text);
        ASSERT_GE(ours, shortest_digits) << text << " vs " << shortest;
        if (ours > shortest_digits) {
            ++longer_than_shortest;
        }
    }
    EXPECT_GT(checked, 990000);
    // Grisu2 is shortest in all but a small fraction of cases.
    EXPECT_LT(longer_than_shortest, checked / 100);
}

TEST(JsonFormatDouble, RandomDoublesReadBackThroughOurParser) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 200000; ++i) {
        double d = FromBits(random());
        if (!std::isfinite(d)) {
            continue;
        }
        JSON::Value v;
        v[0].SetDouble(d);
        std::wstring text = JSON::GenerateText(v);
        JSON::Value back;
        ASSERT_TRUE(JSON::ParseText(text, back)) << JSON::FormatDoubleString(d);
        ASSERT_EQ(back[0].type, JSON::kDouble);
        ASSERT_EQ(BitsOf(back[0].number), BitsOf(d)) << JSON::FormatDoubleString(d);
    }
}

TEST(JsonFormatDouble, HardCasesReadBack) {
    const double cases[] = {
        std::numeric_limits<double>::min(),
        std::numeric_limits<double>::max(),
        std::numeric_limits<double>::denorm_min(),
        std::numeric_limits<double>::epsilon(),
        FromBits(0x000FFFFFFFFFFFFFull),  // largest subnormal
        FromBits(0x0010000000000001ull),
        1e23,
        8.41e21,
        5e-324,
        9007199254740993.0,
        0.1,
        1.0 / 3.0,
        2.0 / 3.0,
        123456.789,
        299792458.0,
        6.02214076e23,
        1.602176634e-19,
    };
    for (double d : cases) {
        for (double x : {d, -d}) {
            std::string fault = CheckRoundTrip(x);
            EXPECT_TRUE(fault.empty()) << fault;
        }
    }
    // Every power of two and of ten within the range, and their neighbours.
    for (int e = -1074; e <= 1023; ++e) {
        double p = std::ldexp(1.0, e);
        for (double x : {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY)}) {
            if (std::isfinite(x) && x != 0.0) {
                std::string fault = CheckRoundTrip(x);
                ASSERT_TRUE(fault.empty()) << fault;
            }
        }
    }
    for (int e = -323; e <= 308; ++e) {
        double p = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
        std::string fault = CheckRoundTrip(p);
        ASSERT_TRUE(fault.empty()) << fault;
    }
    // Integers print exactly.
    for (int64_t i = 1; i < 100000; i += 7) {
        char text[JSON::kFormatDoubleBufferSize];
        JSON::FormatDouble(static_cast<double>(i), text);
        EXPECT_EQ(std::string(text), std::to_string(i) + ".0");
    }
}

TEST(JsonFormatDouble, SignificantDigitsHelperCounts) {
    EXPECT_EQ(SignificantDigits("100000.0"), 1);
    EXPECT_EQ(SignificantDigits("0.001234"), 4);
    EXPECT_EQ(SignificantDigits("-1.25e-100"), 3);
    EXPECT_EQ(SignificantDigits("12.0"), 2);
    EXPECT_EQ(SignificantDigits("1.2345678901234568e20"), 17);
}

}  // namespace
