// Text that came from outside (a device, a peer, a file) made safe to show on a terminal or to write
// as one line of a log.
//
// Every character that could steer a terminal or a viewer instead of being shown becomes U+FFFD (the
// replacement character, which every UTF-8 terminal and the log's UTF-8 files show as a visible mark):
//   - C0 controls U+0000..U+001F (among them TAB, LF, CR and ESC) and DEL U+007F;
//   - C1 controls U+0080..U+009F (U+009B alone starts an escape sequence on many terminals);
//   - the marks, embeddings, overrides and isolates that reorder text (U+061C, U+200E, U+200F,
//     U+202A..U+202E, U+2066..U+2069) and the line and paragraph separators U+2028, U+2029;
//   - in wide text: a surrogate without its partner and values above U+10FFFF; a valid pair is kept;
//   - in UTF-8: every byte that does not begin a complete, shortest-form sequence of a scalar value
//     (one U+FFFD per such byte; the bytes after it are read afresh).
// Everything else, valid multi-byte text included, is kept byte for byte.
#pragma once

#include <string>
#include <string_view>

// U+FFFD, the mark an unsafe character becomes.
inline constexpr char32_t kSafeTextReplacement = 0xFFFD;

// True for the characters listed above (a code point; surrogates count as unsafe).
[[nodiscard]] bool IsUnsafeChar(char32_t cp) noexcept;

// The safe form of UTF-8 text (the result is valid UTF-8).
[[nodiscard]] std::string SafeText(std::string_view utf8);
// The safe form of wide text (UTF-16 or UTF-32, surrogate pairs accepted in both).
[[nodiscard]] std::wstring SafeText(std::wstring_view text);
// Appends the safe form of `text` to `out`.
void AppendSafeText(std::wstring& out, std::wstring_view text);
