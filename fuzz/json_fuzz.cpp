// Parses arbitrary bytes as UTF-8 text and as wide text. Every value that parses must print, and the
// printed text must parse again to an equal value (through wide text and, when it has a UTF-8 form,
// through UTF-8), and print the same again.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/parser.h"
#include "json/writer.h"
#include "platform/utf8.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "json_fuzz: %s\n", what);
    std::abort();
}

void CheckRoundTrip(const JSON::Value& value) {
    std::wstring text;
    try {
        text = JSON::GenerateText(value);
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    JSON::Value again;
    if (!JSON::ParseText(text, again)) {
        Fail("printed text does not parse");
    }
    if (!JSON::Equal(value, again)) {
        Fail("printed text parses to another value");
    }
    if (JSON::GenerateText(again) != text) {
        Fail("printing is not stable");
    }
    std::string utf8 = WideToUtf8(text);
    if (!utf8.empty()) {
        JSON::Value from_utf8;
        if (!JSON::ParseText(utf8, from_utf8) || !JSON::Equal(value, from_utf8)) {
            Fail("UTF-8 form of the printed text parses differently");
        }
    }
    JSON::Value copy(value);
    if (!JSON::Equal(copy, value)) {
        Fail("copy differs");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // As UTF-8, decoded on the way and converted first: the same outcome.
    JSON::Value value;
    bool ok = JSON::ParseText(bytes, value);
    JSON::Value converted;
    bool ok_converted = JSON::ParseText(Utf8ToWide(bytes), converted);
    if (ok != ok_converted || (ok && !JSON::Equal(value, converted))) {
        Fail("UTF-8 parse disagrees with parsing the converted text");
    }
    if (ok) {
        CheckRoundTrip(value);
    }

    // As UTF-16 code units, little-endian.
    std::wstring wide;
    for (size_t i = 0; i + 1 < size; i += 2) {
        wide.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    JSON::Value from_wide;
    if (JSON::ParseText(wide, from_wide)) {
        CheckRoundTrip(from_wide);
    }

    // As 32-bit characters where wchar_t holds them.
    if constexpr (sizeof(wchar_t) == 4) {
        std::wstring wide32;
        for (size_t i = 0; i + 3 < size; i += 4) {
            uint32_t c = data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) |
                         (static_cast<uint32_t>(data[i + 3]) << 24);
            wide32.push_back(static_cast<wchar_t>(c));
        }
        JSON::Value from_wide32;
        if (JSON::ParseText(wide32, from_wide32)) {
            CheckRoundTrip(from_wide32);
        }
    }
    return 0;
}
