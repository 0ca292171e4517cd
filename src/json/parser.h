#pragma once

// The character-driven JSON parser and the builder that assembles a JSON::Value from its reports.
//
// The parser takes one character at a time (so text may arrive in pieces) and reports what it finds to
// an IParserCallback; it keeps no tree of its own, only a stack of the open containers. Its first error
// ends the parse; GetErrorCode tells which (ParserErrorText gives the fixed text of each code).
//
// Our decisions where the format leaves room:
// - Duplicate keys in one object: the last value wins; the earlier item is dropped when the later key
//   has been read.
// - Nesting is limited to kMaxNesting (512) open arrays and objects; one more fails with error 21
//   ("nesting deeper than 512 levels"). Without the bound a text of brackets alone would cost a value,
//   a builder entry and a parser entry per character. JSON::Value itself copies, prints and destroys
//   without recursion, so values built by code may nest deeper.
// - Doubles are converted with correct rounding (the decimal text is read back exactly, as strtod
//   would). A number whose magnitude is beyond the range of a double fails with error 14 ("exponent
//   digits overflow"); one below the smallest subnormal becomes 0.0 of its sign.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace Parse {

// A parser fed one character at a time.
class IGenericCharParser {
public:
    virtual ~IGenericCharParser() = default;
    // Back to the initial state with the error cleared; also resets the callback.
    virtual void Reset() = 0;
    // Consumes one character; true while no error has occurred.
    virtual bool PutChar(uint32_t c) = 0;
    // PutChar of the end character 0.
    virtual bool Finish() = 0;
    virtual bool HasError() const = 0;
    // True when a complete top-level value has been read.
    virtual bool IsComplete() const = 0;
};

// Feeds `text` up to its end or its first 0 character. True at once when a complete top-level value has
// been read (the rest is not looked at); false on the first error. At the end of the text: with `final`,
// Finish decides (true only for a complete value); without it the result is true. An exception of the
// callback ends the parse with false.
bool RunParser(IGenericCharParser& parser, std::wstring_view text, bool final);

}  // namespace Parse

namespace JSON {

// Error codes of the parser.
enum ParserError : uint32_t {
    kNoError = 0,
    kValueExpected = 1,
    kInvalidEndChars = 2,
    kSquareBracketMismatch = 3,
    kCommaOrBracketExpected = 4,
    kCurlyBraceMismatch = 5,
    kKeyStringExpected = 6,
    kColonExpected = 7,
    kCommaOrBraceExpected = 8,
    kInvalidStringChar = 9,
    kInvalidEscape = 10,
    kDigitExpected = 11,
    kIntegerOverflow = 12,
    kFractionOverflow = 13,
    kExponentOverflow = 14,
    kWrongNumberSyntax = 15,
    kInvalidComma = 16,
    kWrongLiteralChar = 17,
    kExtraBrace = 18,
    kUnclosedString = 19,
    kUnclosedContainer = 20,
    kNestingTooDeep = 21,
};

// The most arrays and objects open at one time in a parsed text.
inline constexpr uint32_t kMaxNesting = 512;

// The text of an error code; "unidentified parser error" for codes of 22 and above.
const char* ParserErrorText(uint32_t code);

class IParserCallback {
public:
    virtual ~IParserCallback() = default;
    virtual void Reset() = 0;
    virtual void OnError(uint32_t code) = 0;
    virtual void OnObjectBegin() = 0;
    virtual void OnObjectNextItem() = 0;
    virtual void OnObjectEnd() = 0;
    virtual void OnArrayBegin() = 0;
    virtual void OnArrayNextItem() = 0;
    virtual void OnArrayEnd() = 0;
    virtual void OnKeyBegin() = 0;
    virtual void OnKeyChar(uint32_t c) = 0;
    virtual void OnKeyEnd() = 0;
    virtual void OnStringBegin() = 0;
    virtual void OnStringChar(uint32_t c) = 0;
    virtual void OnStringEnd() = 0;
    virtual void OnLiteral(uint32_t kind) = 0;
    virtual void OnInteger(int64_t i) = 0;
    virtual void OnDouble(double d) = 0;
};

class ParsingBuilder;

class IParser : public Parse::IGenericCharParser {
public:
    virtual void SetCallback(IParserCallback* callback) = 0;
    virtual IParserCallback* GetCallback() const = 0;
    // The code of the first error; 0 while none.
    virtual uint32_t GetErrorCode() const = 0;
};

class Parser final : public IParser {
public:
    explicit Parser(IParserCallback* callback = nullptr);

    void Reset() override;
    bool PutChar(uint32_t c) override;
    bool Finish() override { return PutChar(0); }
    bool HasError() const override { return error_; }
    bool IsComplete() const override { return state_ == State::End && !error_; }
    void SetCallback(IParserCallback* callback) override;
    IParserCallback* GetCallback() const override { return callback_; }
    uint32_t GetErrorCode() const override { return errorCode_; }

    // Same contract as Parse::RunParser, without a virtual call per character.
    bool Run(std::wstring_view text, bool final);
    // The same for UTF-8 text, decoded on the way with the outcome of converting it to wide text first:
    // invalid UTF-8 anywhere in the text (also behind the end of the value) gives false.
    bool RunUtf8(std::string_view text, bool final);

    enum class State : uint8_t {
        Start,
        Value,
        End,
        ArrayStart,
        ObjectStart,
        Colon,
        AfterArrayItem,
        AfterObjectItem,
        String,
        Escape,
        UnicodeHex,
        NumberSign,
        IntegerDigits,
        AfterIntegerPart,
        Fraction,
        Exponent,
        AfterNumber,
        LiteralTrue,
        LiteralFalse,
        LiteralNull,
    };

private:
    enum : uint8_t { kInObject = 1, kInArray = 2 };
    struct Nesting {
        uint32_t kind;
        uint32_t items;
    };

    bool Step(uint32_t c);
    void StepValue(uint32_t c, unsigned cls);
    void StepAfterNumber(uint32_t c, unsigned cls);
    void StepLiteral(uint32_t c, const char* word, size_t length, uint32_t kind);
    void Fail(uint32_t code);
    bool OpenContainer(uint32_t kind);  // false (and the error) beyond kMaxNesting
    void ValueCompleted();
    void CloseContainer(uint32_t kind);
    void ClearNumber();
    bool EmitNumber();
    void Emit(uint32_t c);

    template <typename Char>
    const Char* PlainRun(const Char* p, const Char* end);

    IParserCallback* callback_;
    // The callback when it is our own builder: runs of plain string characters then go to it at once.
    ParsingBuilder* builder_ = nullptr;
    State state_ = State::Start;
    uint32_t literalPos_ = 0;  // characters of a literal matched, or hex digits of a \u escape
    std::vector<Nesting> stack_;
    uint64_t integerPart_ = 0;
    uint64_t fraction_ = 0;
    uint64_t exponent_ = 0;
    bool negative_ = false;
    bool exponentNegative_ = false;
    uint64_t fractionDigits_ = 0;
    uint64_t exponentDigits_ = 0;
    uint32_t escape_ = 0;
    bool inKey_ = false;
    bool error_ = false;
    uint32_t errorCode_ = kNoError;
};

// Builds a JSON::Value from the parser's reports. Structural faults throw JSON::Exception.
class ParsingBuilder final : public IParserCallback {
public:
    // The root value is reset; with null nothing can be built (every report throws).
    explicit ParsingBuilder(Value* root);

    void Reset() override;
    void OnError(uint32_t code) override;
    void OnObjectBegin() override;
    void OnObjectNextItem() override;
    void OnObjectEnd() override;
    void OnArrayBegin() override;
    void OnArrayNextItem() override;
    void OnArrayEnd() override;
    void OnKeyBegin() override;
    void OnKeyChar(uint32_t c) override;
    void OnKeyEnd() override;
    void OnStringBegin() override;
    void OnStringChar(uint32_t c) override;
    void OnStringEnd() override;
    void OnLiteral(uint32_t kind) override;
    void OnInteger(int64_t i) override;
    void OnDouble(double d) override;

    // The same as OnKeyChar or OnStringChar for each of `count` characters, all below U+10000.
    void OnPlainChars(bool inKey, const char* chars, size_t count);
    void OnPlainChars(bool inKey, const wchar_t* chars, size_t count);

private:
    Value& Unassigned();
    void CloseContainer();

    Value* current_;
    std::vector<Value*> stack_;
    // The placeholder item made last, and the object it was made in.
    Value* placeholderOwner_ = nullptr;
    ObjectMap::iterator placeholder_;
    std::wstring key_;
    std::wstring text_;  // the characters of the string being read, stored when it ends
};

}  // namespace JSON
