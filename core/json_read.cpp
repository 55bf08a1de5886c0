#include "core/json_read.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace jsonread {

namespace {
const vex::Json& nullValue() {
  static const vex::Json value;
  return value;
}

int64_t clampToInt(double number) {
  if (!std::isfinite(number)) return 0;
  if (number >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (number <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return int64_t(number);
}

}  // namespace

const vex::Json& member(const vex::Json& value, std::string_view key) {
  if (!value.is_object()) return nullValue();
  auto it = value.find(key);
  return it == value.end() ? nullValue() : *it;
}

QString text(const vex::Json& value) {
  switch (value.type()) {
    case vex::Json::value_t::string:
      return QString::fromStdString(value.get_ref<const std::string&>());
    case vex::Json::value_t::boolean:
      return value.get<bool>() ? QStringLiteral("true") : QStringLiteral("false");
    case vex::Json::value_t::number_integer:
      return QString::number(value.get<int64_t>());
    case vex::Json::value_t::number_unsigned:
      return QString::number(value.get<uint64_t>());
    case vex::Json::value_t::number_float:
      return QString::number(value.get<double>(), 'g', 17);
    default:
      return {};
  }
}

int64_t integer(const vex::Json& value) {
  switch (value.type()) {
    case vex::Json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case vex::Json::value_t::number_integer:
      return value.get<int64_t>();
    case vex::Json::value_t::number_unsigned: {
      const uint64_t n = value.get<uint64_t>();
      return n > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max() : int64_t(n);
    }
    case vex::Json::value_t::number_float:
      return clampToInt(value.get<double>());
    case vex::Json::value_t::string: {
      const QString s = QString::fromStdString(value.get_ref<const std::string&>()).trimmed();
      bool ok = false;
      const qlonglong n = s.toLongLong(&ok);
      if (ok) return n;
      const double d = s.toDouble(&ok);
      return ok ? clampToInt(d) : 0;
    }
    default:
      return 0;
  }
}

std::optional<vex::Json> parse(std::string_view bytes) {
  // The parser itself does not recurse, but a deeply nested tree would make
  // later recursive walks (writing it out, comparing) overflow the stack.
  if (vex::nestingDepth(bytes) > kMaxDepth) return std::nullopt;
  vex::Json value = vex::Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

}  // namespace jsonread
