#include "json/parser.h"

#include <array>
#include <charconv>
#include <exception>
#include <type_traits>

namespace JSON {

namespace {

// Character classes of the characters below 128; every character of 128 and above is class 23.
enum : uint8_t {
    kEnd = 0,
    kControl = 1,
    kTab = 2,
    kLineFeed = 3,
    kReturn = 4,
    kSpace = 5,
    kQuote = 6,
    kColon = 7,
    kSolidus = 8,
    kBackslash = 9,
    kComma = 10,
    kDot = 11,
    kPlus = 12,
    kMinus = 13,
    kOpenBracket = 14,
    kCloseBracket = 15,
    kOpenBrace = 16,
    kCloseBrace = 17,
    kZero = 18,
    kDigit = 19,
    kHexLetter = 20,
    kLetter = 21,
    kOtherPrintable = 22,
    kNonAscii = 23,
};

constexpr std::array<uint8_t, 128> MakeClassTable() {
    std::array<uint8_t, 128> t{};
    for (unsigned c = 0; c < 128; ++c) {
        uint8_t k = kOtherPrintable;
        if (c == 0) {
            k = kEnd;
        } else if (c == 9) {
            k = kTab;
        } else if (c == 10) {
            k = kLineFeed;
        } else if (c == 13) {
            k = kReturn;
        } else if (c < 32) {
            k = kControl;
        } else if (c == ' ') {
            k = kSpace;
        } else if (c == '"') {
            k = kQuote;
        } else if (c == ':') {
            k = kColon;
        } else if (c == '/') {
            k = kSolidus;
        } else if (c == '\\') {
            k = kBackslash;
        } else if (c == ',') {
            k = kComma;
        } else if (c == '.') {
            k = kDot;
        } else if (c == '+') {
            k = kPlus;
        } else if (c == '-') {
            k = kMinus;
        } else if (c == '[') {
            k = kOpenBracket;
        } else if (c == ']') {
            k = kCloseBracket;
        } else if (c == '{') {
            k = kOpenBrace;
        } else if (c == '}') {
            k = kCloseBrace;
        } else if (c == '0') {
            k = kZero;
        } else if (c >= '1' && c <= '9') {
            k = kDigit;
        } else if (c >= 'A' && c <= 'F') {
            k = kHexLetter;
        } else if ((c >= 'G' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            k = kLetter;
        }
        t[c] = k;
    }
    return t;
}

constexpr std::array<uint8_t, 128> kClassTable = MakeClassTable();

inline unsigned ClassOf(uint32_t c) {
    return c < 128 ? kClassTable[c] : static_cast<unsigned>(kNonAscii);
}
inline bool IsWhitespace(unsigned cls) {
    return cls >= kTab && cls <= kSpace;
}
inline bool IsDigitClass(unsigned cls) {
    return cls == kZero || cls == kDigit;
}

constexpr uint64_t kLimit = 9223372036854775807ull;  // 2^63 - 1
constexpr uint64_t kLimitTenth = kLimit / 10;        // 922337203685477580

// Appends one decimal digit to `value` unless the result would pass the limit. With `allowance` (the
// integer part of a negative number) the value may reach one more than the limit, 2^63.
inline bool AccumulateDigit(uint64_t& value, unsigned digit, bool allowance) {
    if (value > kLimitTenth) {
        return false;
    }
    value *= 10;
    if (kLimit - value < digit && !(allowance && kLimit - value + 1 >= digit)) {
        return false;
    }
    value += digit;
    return true;
}

constexpr const char* kErrorTexts[] = {
    "no error",
    "value expected",
    "invalid end stream chars",
    "mismatch or unclosed square brackets",
    "comma or right square bracket expected",
    "mismatch or unclosed curly braces",
    "key string expected",
    "colon separator expected",
    "comma or right curly brace expected",
    "invalid character in string",
    "invalid escape sequence in string",
    "number digit expected",
    "integer digits overflow",
    "fractional digits overflow",
    "exponent digits overflow",
    "wrong number syntax",
    "invalid comma character",
    "wrong literal character",
    "misplaced extra brace or bracket",
    "unclosed string",
    "unclosed/missing brace or bracket",
    "nesting deeper than 512 levels",
};
static_assert(JSON::kMaxNesting == 512, "the text of kNestingTooDeep names the limit");

char* WriteDecimal(char* p, uint64_t v) {
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) {
        *p++ = tmp[--n];
    }
    return p;
}

int DecimalLength(uint64_t v) {
    int n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

// The double nearest to (integer.fraction)e(exponent), where the fraction has `fractionDigits` digits
// (leading zeros included) and the value `fraction`. False when its magnitude is beyond a double.
bool ComposeDouble(uint64_t integer, uint64_t fraction, uint64_t fractionDigits, int64_t exponent,
                   double& result) {
    if (integer == 0 && fraction == 0) {
        result = 0.0;
        return true;
    }
    // More zeros than this between the integer digits and the fraction digits cannot change the
    // rounding any more: the fraction then only tells that the value lies above the integer part.
    constexpr uint64_t kMaxZeros = 400;
    char text[512];
    char* p = text;
    int64_t shift = 0;      // added to the exponent
    int leadingDigits = 0;  // digits before the decimal point as written
    if (integer != 0) {
        p = WriteDecimal(p, integer);
        leadingDigits = DecimalLength(integer);
        if (fraction != 0) {
            int fractionLength = DecimalLength(fraction);
            uint64_t zeros = fractionDigits - static_cast<uint64_t>(fractionLength);
            if (zeros > kMaxZeros) {
                zeros = kMaxZeros;
            }
            *p++ = '.';
            for (uint64_t i = 0; i < zeros; ++i) {
                *p++ = '0';
            }
            p = WriteDecimal(p, fraction);
        }
    } else {
        // 0.000ddd: the fraction digits alone, scaled by their count.
        p = WriteDecimal(p, fraction);
        leadingDigits = DecimalLength(fraction);
        constexpr uint64_t kMaxShift = 1000000000000000ull;
        shift = -static_cast<int64_t>(fractionDigits < kMaxShift ? fractionDigits : kMaxShift);
    }
    // |exponent| < 2^63 and |shift| <= 10^15: keep the sum inside 64 bits.
    constexpr int64_t kMaxExponent = 4000000000000000000ll;
    if (exponent > kMaxExponent) {
        exponent = kMaxExponent;
    } else if (exponent < -kMaxExponent) {
        exponent = -kMaxExponent;
    }
    int64_t e = exponent + shift;
    *p++ = 'e';
    if (e < 0) {
        *p++ = '-';
        p = WriteDecimal(p, static_cast<uint64_t>(-e));
    } else {
        p = WriteDecimal(p, static_cast<uint64_t>(e));
    }
    double d = 0.0;
    auto r = std::from_chars(text, p, d);
    if (r.ec == std::errc::result_out_of_range) {
        // Beyond a double on one side or the other: the position of the leading digit tells which.
        if (e + leadingDigits - 1 > 0) {
            return false;
        }
        d = 0.0;
    } else if (r.ec != std::errc()) {
        return false;
    }
    result = d;
    return true;
}

}  // namespace

const char* ParserErrorText(uint32_t code) {
    if (code < sizeof kErrorTexts / sizeof kErrorTexts[0]) {
        return kErrorTexts[code];
    }
    return "unidentified parser error";
}

void Parser::SetCallback(IParserCallback* callback) {
    callback_ = callback;
    builder_ = dynamic_cast<ParsingBuilder*>(callback);
}

// Inside a string, takes the characters up to the next one that needs a look (a quote, a backslash, a
// control character or, for the byte form, anything that is not ASCII) and hands them to the builder in
// one call. Returns where the run ends.
template <typename Char>
const Char* Parser::PlainRun(const Char* p, const Char* end) {
    const Char* start = p;
    while (p < end) {
        uint32_t c = static_cast<std::make_unsigned_t<Char>>(*p);
        bool plain = sizeof(Char) == 1 ? (c >= 0x20 && c < 0x80) : (c >= 0x20 && c < 0x10000);
        if (!plain || c == '"' || c == '\\') {
            break;
        }
        ++p;
    }
    if (p != start) {
        builder_->OnPlainChars(inKey_, start, static_cast<size_t>(p - start));
    }
    return p;
}

Parser::Parser(IParserCallback* callback) : callback_(nullptr) {
    SetCallback(callback);
    stack_.reserve(32);
}

void Parser::Reset() {
    state_ = State::Start;
    literalPos_ = 0;
    stack_.clear();
    ClearNumber();
    escape_ = 0;
    inKey_ = false;
    error_ = false;
    errorCode_ = kNoError;
    if (callback_ != nullptr) {
        callback_->Reset();
    }
}

bool Parser::PutChar(uint32_t c) {
    return Step(c);
}

bool Parser::OpenContainer(uint32_t kind) {
    if (stack_.size() >= kMaxNesting) {
        Fail(kNestingTooDeep);
        return false;
    }
    stack_.push_back({kind, 0});
    return true;
}

void Parser::Fail(uint32_t code) {
    error_ = true;
    errorCode_ = code;
    if (callback_ != nullptr) {
        callback_->OnError(code);
    }
}

void Parser::ClearNumber() {
    integerPart_ = 0;
    fraction_ = 0;
    exponent_ = 0;
    negative_ = false;
    exponentNegative_ = false;
    fractionDigits_ = 0;
    exponentDigits_ = 0;
}

void Parser::ValueCompleted() {
    if (stack_.empty()) {
        state_ = State::End;
        return;
    }
    Nesting& top = stack_.back();
    ++top.items;
    state_ = top.kind == kInObject ? State::AfterObjectItem : State::AfterArrayItem;
}

void Parser::CloseContainer(uint32_t kind) {
    if (stack_.empty()) {
        Fail(kExtraBrace);
        return;
    }
    if (stack_.back().kind != kind) {
        Fail(stack_.back().kind == kInObject ? kCurlyBraceMismatch : kSquareBracketMismatch);
        return;
    }
    stack_.pop_back();
    ValueCompleted();
    if (callback_ != nullptr) {
        if (kind == kInObject) {
            callback_->OnObjectEnd();
        } else {
            callback_->OnArrayEnd();
        }
    }
}

void Parser::Emit(uint32_t c) {
    if (callback_ != nullptr) {
        if (inKey_) {
            callback_->OnKeyChar(c);
        } else {
            callback_->OnStringChar(c);
        }
    }
}

bool Parser::EmitNumber() {
    if (fractionDigits_ == 0 && exponentDigits_ == 0) {
        // Through unsigned arithmetic: the integer part of a negative number may be 2^63.
        uint64_t magnitude = integerPart_;
        int64_t value = static_cast<int64_t>(negative_ ? 0 - magnitude : magnitude);
        if (callback_ != nullptr) {
            callback_->OnInteger(value);
        }
        return true;
    }
    int64_t exponent = static_cast<int64_t>(exponent_);  // at most 2^63 - 1
    if (exponentNegative_) {
        exponent = -exponent;
    }
    double d = 0.0;
    if (!ComposeDouble(integerPart_, fraction_, fractionDigits_, exponent, d)) {
        Fail(kExponentOverflow);
        return false;
    }
    if (negative_) {
        d = -d;
    }
    if (callback_ != nullptr) {
        callback_->OnDouble(d);
    }
    return true;
}

void Parser::StepValue(uint32_t c, unsigned cls) {
    switch (cls) {
        case kTab:
        case kLineFeed:
        case kReturn:
        case kSpace:
            return;
        case kQuote:
            inKey_ = false;
            state_ = State::String;
            if (callback_ != nullptr) {
                callback_->OnStringBegin();
            }
            return;
        case kMinus:
            ClearNumber();
            negative_ = true;
            state_ = State::NumberSign;
            return;
        case kOpenBracket:
            if (!OpenContainer(kInArray)) {
                return;
            }
            state_ = State::ArrayStart;
            if (callback_ != nullptr) {
                callback_->OnArrayBegin();
            }
            return;
        case kOpenBrace:
            if (!OpenContainer(kInObject)) {
                return;
            }
            state_ = State::ObjectStart;
            if (callback_ != nullptr) {
                callback_->OnObjectBegin();
            }
            return;
        case kZero:
            ClearNumber();
            state_ = State::AfterIntegerPart;
            return;
        case kDigit:
            ClearNumber();
            integerPart_ = c - '0';
            state_ = State::IntegerDigits;
            return;
        default:
            break;
    }
    if (c == 'f') {
        literalPos_ = 1;
        state_ = State::LiteralFalse;
    } else if (c == 'n') {
        literalPos_ = 1;
        state_ = State::LiteralNull;
    } else if (c == 't') {
        literalPos_ = 1;
        state_ = State::LiteralTrue;
    } else {
        Fail(kValueExpected);
    }
}

void Parser::StepAfterNumber(uint32_t c, unsigned cls) {
    switch (cls) {
        case kEnd:
            ValueCompleted();
            if (EmitNumber() && !stack_.empty()) {
                Fail(kUnclosedContainer);
            }
            return;
        case kTab:
        case kLineFeed:
        case kReturn:
        case kSpace:
            ValueCompleted();
            EmitNumber();
            return;
        case kComma:
            if (stack_.empty()) {
                if (EmitNumber()) {
                    Fail(kInvalidComma);
                }
                return;
            }
            ++stack_.back().items;
            if (!EmitNumber()) {
                return;
            }
            if (stack_.back().kind == kInObject) {
                state_ = State::ObjectStart;
                if (callback_ != nullptr) {
                    callback_->OnObjectNextItem();
                }
            } else {
                state_ = State::ArrayStart;
                if (callback_ != nullptr) {
                    callback_->OnArrayNextItem();
                }
            }
            return;
        case kCloseBracket:
        case kCloseBrace:
            if (!stack_.empty()) {
                ++stack_.back().items;
            }
            if (EmitNumber()) {
                CloseContainer(cls == kCloseBracket ? kInArray : kInObject);
            }
            return;
        default:
            (void)c;
            Fail(kWrongNumberSyntax);
            return;
    }
}

void Parser::StepLiteral(uint32_t c, const char* word, size_t length, uint32_t kind) {
    if (IsWhitespace(ClassOf(c))) {
        return;
    }
    if (c != static_cast<unsigned char>(word[literalPos_])) {
        Fail(kWrongLiteralChar);
        return;
    }
    if (++literalPos_ == length) {
        ValueCompleted();
        if (callback_ != nullptr) {
            callback_->OnLiteral(kind);
        }
    }
}

bool Parser::Step(uint32_t c) {
    if (error_) {
        return false;
    }
    const unsigned cls = ClassOf(c);
    switch (state_) {
        case State::Start:
            state_ = State::Value;
            if (c != 0xFEFF) {
                StepValue(c, cls);
            }
            break;
        case State::Value:
            StepValue(c, cls);
            break;
        case State::End:
            if (cls != kEnd && !IsWhitespace(cls)) {
                Fail(kInvalidEndChars);
            }
            break;
        case State::ArrayStart:
            if (cls == kCloseBracket && stack_.back().items == 0) {
                CloseContainer(kInArray);
            } else {
                StepValue(c, cls);
            }
            break;
        case State::ObjectStart:
            if (IsWhitespace(cls)) {
                break;
            }
            if (cls == kQuote) {
                inKey_ = true;
                state_ = State::String;
                if (callback_ != nullptr) {
                    callback_->OnKeyBegin();
                }
            } else if (cls == kCloseBrace && stack_.back().items == 0) {
                CloseContainer(kInObject);
            } else {
                Fail(kKeyStringExpected);
            }
            break;
        case State::Colon:
            if (cls == kColon) {
                state_ = State::Value;
            } else if (!IsWhitespace(cls)) {
                Fail(kColonExpected);
            }
            break;
        case State::AfterArrayItem:
            if (cls == kComma) {
                state_ = State::ArrayStart;
                if (callback_ != nullptr) {
                    callback_->OnArrayNextItem();
                }
            } else if (cls == kCloseBracket) {
                CloseContainer(kInArray);
            } else if (!IsWhitespace(cls)) {
                Fail(kCommaOrBracketExpected);
            }
            break;
        case State::AfterObjectItem:
            if (cls == kComma) {
                state_ = State::ObjectStart;
                if (callback_ != nullptr) {
                    callback_->OnObjectNextItem();
                }
            } else if (cls == kCloseBrace) {
                CloseContainer(kInObject);
            } else if (!IsWhitespace(cls)) {
                Fail(kCommaOrBraceExpected);
            }
            break;
        case State::String:
            if (cls > kReturn) {
                if (cls == kQuote) {
                    if (inKey_) {
                        inKey_ = false;
                        state_ = State::Colon;
                        if (callback_ != nullptr) {
                            callback_->OnKeyEnd();
                        }
                    } else {
                        ValueCompleted();
                        if (callback_ != nullptr) {
                            callback_->OnStringEnd();
                        }
                    }
                } else if (cls == kBackslash) {
                    escape_ = 0;
                    state_ = State::Escape;
                } else {
                    Emit(c);
                }
            } else if (cls == kEnd) {
                Fail(kUnclosedString);
            } else {
                Fail(kInvalidStringChar);
            }
            break;
        case State::Escape: {
            uint32_t out;
            switch (c) {
                case '"':
                case '/':
                case '\\':
                    out = c;
                    break;
                case 'b':
                    out = 8;
                    break;
                case 'f':
                    out = 12;
                    break;
                case 'n':
                    out = 10;
                    break;
                case 'r':
                    out = 13;
                    break;
                case 't':
                    out = 9;
                    break;
                case 'u':
                    escape_ = 0;
                    literalPos_ = 0;
                    state_ = State::UnicodeHex;
                    return true;
                default:
                    Fail(kInvalidEscape);
                    return false;
            }
            state_ = State::String;
            Emit(out);
            break;
        }
        case State::UnicodeHex: {
            uint32_t digit;
            if (IsDigitClass(cls)) {
                digit = c - '0';
            } else if (cls == kHexLetter) {
                digit = c - 'A' + 10;
            } else {
                Fail(kInvalidEscape);
                return false;
            }
            escape_ = escape_ * 16 + digit;
            if (++literalPos_ == 4) {
                state_ = State::String;
                Emit(escape_);
            }
            break;
        }
        case State::NumberSign:
            if (cls == kZero) {
                state_ = State::AfterIntegerPart;
            } else if (cls == kDigit) {
                integerPart_ = c - '0';
                state_ = State::IntegerDigits;
            } else {
                Fail(kDigitExpected);
            }
            break;
        case State::IntegerDigits:
            if (IsDigitClass(cls)) {
                if (!AccumulateDigit(integerPart_, c - '0', negative_)) {
                    Fail(kIntegerOverflow);
                }
                break;
            }
            [[fallthrough]];
        case State::AfterIntegerPart:
            if (cls == kDot) {
                state_ = State::Fraction;
            } else if (c == 'e' || c == 'E') {
                state_ = State::Exponent;
            } else {
                StepAfterNumber(c, cls);
            }
            break;
        case State::Fraction:
            if (IsDigitClass(cls)) {
                if (!AccumulateDigit(fraction_, c - '0', false)) {
                    Fail(kFractionOverflow);
                    break;
                }
                ++fractionDigits_;
            } else if (fractionDigits_ == 0) {
                Fail(kDigitExpected);
            } else if (c == 'e' || c == 'E') {
                state_ = State::Exponent;
            } else {
                StepAfterNumber(c, cls);
            }
            break;
        case State::Exponent:
            if (IsDigitClass(cls)) {
                if (!AccumulateDigit(exponent_, c - '0', false)) {
                    Fail(kExponentOverflow);
                    break;
                }
                ++exponentDigits_;
            } else if (cls == kPlus) {
                // skipped
            } else if (cls == kMinus) {
                exponentNegative_ = true;
            } else if (exponentDigits_ == 0) {
                Fail(kDigitExpected);
            } else {
                StepAfterNumber(c, cls);
            }
            break;
        case State::AfterNumber:
            StepAfterNumber(c, cls);
            break;
        case State::LiteralTrue:
            StepLiteral(c, "true", 4, kTrue);
            break;
        case State::LiteralFalse:
            StepLiteral(c, "false", 5, kFalse);
            break;
        case State::LiteralNull:
            StepLiteral(c, "null", 4, kNull);
            break;
    }
    return !error_;
}

bool Parser::Run(std::wstring_view text, bool final) {
    try {
        const wchar_t* p = text.data();
        const wchar_t* end = p + text.size();
        while (p < end) {
            if (state_ == State::String && builder_ != nullptr) {
                p = PlainRun(p, end);
                if (p == end) {
                    break;
                }
            }
            // Through the unsigned type: wchar_t is signed on some targets.
            uint32_t c = static_cast<std::make_unsigned_t<wchar_t>>(*p++);
            if (c == 0) {
                break;
            }
            if (!Step(c)) {
                return false;
            }
            if (state_ == State::End) {
                return true;
            }
        }
        if (!final) {
            return true;
        }
        if (!Step(0)) {
            return false;
        }
        return IsComplete();
    } catch (const std::exception&) {
        return false;
    }
}

namespace {

// Decodes one UTF-8 sequence that starts with a byte of 0x80 or above; false for anything the UTF-8
// conversion refuses (stray continuation bytes, truncated or overlong sequences, surrogates, code points
// above U+10FFFF).
inline bool DecodeUtf8(const unsigned char*& p, const unsigned char* end, uint32_t& cp) {
    unsigned char b = *p++;
    int more;
    uint32_t min;
    if ((b & 0xE0) == 0xC0) {
        cp = b & 0x1Fu;
        more = 1;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        cp = b & 0x0Fu;
        more = 2;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        cp = b & 0x07u;
        more = 3;
        min = 0x10000;
    } else {
        return false;
    }
    if (end - p < more) {
        return false;
    }
    for (int i = 0; i < more; ++i) {
        unsigned char c = *p++;
        if ((c & 0xC0) != 0x80) {
            return false;
        }
        cp = (cp << 6) | (c & 0x3Fu);
    }
    return cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

bool IsValidUtf8(const unsigned char* p, const unsigned char* end) {
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        uint32_t cp;
        if (!DecodeUtf8(p, end, cp)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool Parser::RunUtf8(std::string_view text, bool final) {
    try {
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        const auto* end = p + text.size();
        while (p < end) {
            if (state_ == State::String && builder_ != nullptr) {
                p = reinterpret_cast<const unsigned char*>(
                    PlainRun(reinterpret_cast<const char*>(p), reinterpret_cast<const char*>(end)));
                if (p == end) {
                    break;
                }
            }
            uint32_t c = *p;
            if (c < 0x80) {
                ++p;
                if (c == 0) {
                    break;
                }
            } else if (!DecodeUtf8(p, end, c)) {
                return false;
            }
            if (!Step(c)) {
                return false;
            }
            if (state_ == State::End) {
                // The rest is not parsed, but the whole text must be UTF-8.
                return IsValidUtf8(p, end);
            }
        }
        if (!IsValidUtf8(p, end)) {
            return false;
        }
        if (!final) {
            return true;
        }
        if (!Step(0)) {
            return false;
        }
        return IsComplete();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace JSON

namespace Parse {

bool RunParser(IGenericCharParser& parser, std::wstring_view text, bool final) {
    if (auto* json = dynamic_cast<JSON::Parser*>(&parser)) {
        return json->Run(text, final);
    }
    try {
        for (wchar_t wc : text) {
            uint32_t c = static_cast<std::make_unsigned_t<wchar_t>>(wc);
            if (c == 0) {
                break;
            }
            if (!parser.PutChar(c)) {
                return false;
            }
            if (parser.IsComplete()) {
                return true;
            }
        }
        if (!final) {
            return true;
        }
        if (!parser.Finish()) {
            return false;
        }
        return parser.IsComplete();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace Parse
