#pragma once
// The problems a JSON text can have, as the reader and the state-file decoder
// both report them.

namespace tessik::problem {

inline constexpr char kEofValue[] = "EOF while parsing a value";
inline constexpr char kEofString[] = "EOF while parsing a string";
inline constexpr char kEofObject[] = "EOF while parsing an object";
inline constexpr char kEofList[] = "EOF while parsing a list";
inline constexpr char kExpectedValue[] = "expected value";
inline constexpr char kExpectedIdent[] = "expected ident";
inline constexpr char kExpectedColon[] = "expected `:`";
inline constexpr char kExpectedCommaOrBrace[] = "expected `,` or `}`";
inline constexpr char kExpectedCommaOrBracket[] = "expected `,` or `]`";
inline constexpr char kKeyMustBeString[] = "key must be a string";
inline constexpr char kTrailingComma[] = "trailing comma";
inline constexpr char kTrailingCharacters[] = "trailing characters";
inline constexpr char kInvalidNumber[] = "invalid number";
inline constexpr char kNumberOutOfRange[] = "number out of range";
inline constexpr char kInvalidEscape[] = "invalid escape";
inline constexpr char kLoneLeadingSurrogate[] = "lone leading surrogate in hex escape";
inline constexpr char kUnexpectedEndOfHexEscape[] = "unexpected end of hex escape";
inline constexpr char kControlInString[] =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr char kRecursionLimit[] = "recursion limit exceeded";

}  // namespace tessik::problem
