// Byte-string helpers shared by every layer. Texts are std::string holding bytes in the
// system's 8-bit code page; positions in the API count from 1, 0 meaning "not found".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tessaly {

using Text = std::string;

// Raised by StrToInt; what() is "'<input>' is not a valid integer value".
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Position (1-based) of the first occurrence of needle in text; 0 when absent or either is empty.
int Find(const Text& needle, const Text& text);

// Only a-z / A-Z change; every other byte stays.
Text UpperAscii(const Text& text);
Text LowerAscii(const Text& text);

// Removes bytes 0..32 from both ends.
Text TrimBlanks(const Text& text);
// Remove spaces (code 32 only) from the left, the right, or both ends.
Text TrimSpacesLeft(const Text& text);
Text TrimSpacesRight(const Text& text);
Text TrimSpaces(const Text& text);

// Leading spaces, then [+-]digits within int32 or "$" and at most FFFFFFFF in hex (taken as
// signed); nothing may follow. Sets value and answers true on success, leaves value 0 otherwise.
bool TryParseInt(const Text& text, int32_t& value);
// As TryParseInt, but answers fallback for anything it does not accept.
int32_t ParseIntDefault(const Text& text, int32_t fallback);
// As TryParseInt, but throws EConvertError for anything it does not accept.
int32_t StrToInt(const Text& text);
// Decimal, "-" before negative values, no leading zeros, no "+".
Text IntToText(int64_t value);

// Text before the first delimiter; the whole value when the delimiter is absent.
Text TextBefore(const Text& value, const Text& delimiter);
// Text after the first delimiter; the whole value when the delimiter is absent.
Text TextAfter(const Text& value, const Text& delimiter);
// Returns TextBefore; value becomes TextAfter, or "" when the delimiter was absent.
Text CutToken(Text& value, const Text& delimiter);
// CutToken, then TrimSpaces of both the result and the remaining value.
Text CutTrimmedToken(Text& value, const Text& delimiter);

// Scans for the first CR or LF. Answers its 1-based position and sets terminator to CR, LF,
// CR LF or LF CR; answers -1 and sets terminator to "" when there is none.
int FindLineEnd(const Text& text, Text& terminator);

// text as one line of a terminal or the journal may show it: every control character (C0, DEL
// and C1, also as UTF-8), every byte that is not part of UTF-8 and the backslash become "\xHH";
// everything else, other UTF-8 included, stays. Names and texts from files or servers pass
// through it before they are printed.
Text PrintableText(const Text& text);

// The length of the UTF-8 sequence that starts at text[at], 0 when none starts there (overlong
// forms, surrogates and code points beyond U+10FFFF included).
size_t Utf8Length(const Text& text, size_t at);

// text as a JSON string, quotes included: '"', '\\' and control characters escaped, every byte
// that is not part of UTF-8 given as U+FFFD, so that the JSON is valid UTF-8 whatever the text.
Text JsonString(const Text& text);

}  // namespace tessaly
