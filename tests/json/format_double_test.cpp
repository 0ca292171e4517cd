// FormatDouble must give, for every finite double, a text that reads back to the identical double through
// a correctly rounding reader (std::from_chars) and through our own parser, in at most 17 digits.

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include "json/parser.h"
#include "json/writer.h"

namespace {

std::uint64_t BitsOf(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

// Returns an empty string or a description of the fault.
std::string CheckRoundTrip(double d) {
    char text[JSON::kFormatDoubleBufferSize];
    const std::size_t n = JSON::FormatDouble(d, text);
    double back = 0.0;
    const auto r = std::from_chars(text, text + n, back);
    if (n != std::strlen(text) || r.ptr != text + n || BitsOf(back) != BitsOf(d)) {
        return std::string("from_chars reads ") + text + " differently";
    }
    // The digits of the result, without the layout's zeros: at most 17.
    std::string digits(text, std::strcspn(text, "e"));
    digits.erase(std::remove_if(digits.begin(), digits.end(), [](char c) { return c < '0' || c > '9'; }),
                 digits.end());
    digits.erase(0, digits.find_first_not_of('0'));
    if (std::strpbrk(text, ".e") == nullptr || digits.find_last_not_of('0') >= 17) {
        return std::string("no point or exponent, or more than 17 digits, in ") + text;
    }
    JSON::Value v;
    if (!JSON::ParseText(JSON::FormatDoubleWString(d), v) || v.type != JSON::kDouble ||
        BitsOf(v.number) != BitsOf(d)) {
        return std::string("our parser reads ") + text + " differently";
    }
    return {};
}

TEST(JsonFormatDouble, RandomBitPatternsReadBackIdentically) {
    std::mt19937_64 random(20240125);
    for (int i = 0; i < 100000; ++i) {
        std::uint64_t bits = random();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) {
            ASSERT_EQ(CheckRoundTrip(d), "") << std::hex << bits;
        }
    }
}

// Every power of two and of ten within the range and their neighbours: the boundaries of the digit
// generation and of the cached powers.
TEST(JsonFormatDouble, PowersAndTheirNeighboursReadBackIdentically) {
    for (int e = -1074; e <= 1023; ++e) {
        const double p = std::ldexp(1.0, e);
        for (double x : {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY), -p}) {
            if (std::isfinite(x) && x != 0.0) {
                ASSERT_EQ(CheckRoundTrip(x), "");
            }
        }
    }
    for (int e = -323; e <= 308; ++e) {
        ASSERT_EQ(CheckRoundTrip(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr)), "");
    }
    for (double d : {1e23, 8.41e21, 9007199254740993.0, 1.0 / 3.0, 6.02214076e23, 1.602176634e-19}) {
        EXPECT_EQ(CheckRoundTrip(d), "");
    }
}

}  // namespace
