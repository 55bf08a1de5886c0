// Lenient reading of untrusted JSON, by the client and its bridge alike: a
// missing key or a value of another kind never throws; it reads as the empty
// text, 0 or the null value.
#pragma once

#include "core/vex_json.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace jsonread {

// The member `key` of an object; the null value when `value` is not an object
// or has no such member.
const vex::Json& member(const vex::Json& value, std::string_view key);

// Text of a value: a string as it is, a number or Boolean as its own text,
// anything else the empty text.
QString text(const vex::Json& value);
inline QString text(const vex::Json& value, std::string_view key) { return text(member(value, key)); }

// Integer of a value: a number (fraction dropped), a string holding a number,
// a Boolean as 1 or 0; anything else 0.
int64_t integer(const vex::Json& value);
inline int64_t integer(const vex::Json& value, std::string_view key) { return integer(member(value, key)); }

// Deepest nesting of arrays and objects that parse() takes: writing or
// comparing a tree recurses once per level.
inline constexpr std::size_t kMaxDepth = 256;

// Parses UTF-8 text as JSON without throwing; nothing when it is not JSON or
// nests deeper than kMaxDepth.
std::optional<vex::Json> parse(std::string_view bytes);

}  // namespace jsonread
