#include "core/vex_json.h"

#include <QUuid>

#include <algorithm>
#include <cmath>

namespace vex {

std::string formatDate(const QDateTime& date) {
  const QDateTime local = date.toLocalTime();
  const int offset = local.offsetFromUtc();
  const int minutes = std::abs(offset) / 60;
  QString text = local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
  text += offset < 0 ? QLatin1Char('-') : QLatin1Char('+');
  text += QStringLiteral("%1%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
  return text.toStdString();
}

bool variantToJson(const QVariant& value, Json& out) {
  switch (value.typeId()) {
    case QMetaType::UnknownType:
      out = nullptr;
      return true;
    case QMetaType::Bool:
      out = value.toBool();
      return true;
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::SChar:
    case QMetaType::Long:
    case QMetaType::LongLong:
      out = value.toLongLong();
      return true;
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
      out = value.toULongLong();
      return true;
    case QMetaType::Float:
    case QMetaType::Double:
      out = value.toDouble();
      return true;
    case QMetaType::QString:
      out = value.toString().toStdString();
      return true;
    case QMetaType::QDateTime:
      out = formatDate(value.toDateTime());
      return true;
    case QMetaType::QVariantList:
      return toJsonValue(value.toList(), out);
    case QMetaType::QVariantMap:
      return toJsonValue(value.toMap(), out);
    default:
      return false;  // a UUID, an enumeration or anything else gives nothing
  }
}

std::optional<std::string> dump(const Json& tree) {
  if (!tree.is_object() && !tree.is_array()) return std::nullopt;
  std::string text;
  try {
    text = tree.dump(-1, ' ', false, Json::error_handler_t::strict);
  } catch (const Json::exception&) {
    return std::nullopt;  // text that is not valid UTF-8
  }
  // A solidus can only stand inside a string in JSON text, so it is safe to
  // escape every one of them in the written text.
  const auto slashes = static_cast<size_t>(std::count(text.begin(), text.end(), '/'));
  if (slashes == 0) return text;
  std::string escaped;
  escaped.reserve(text.size() + slashes);
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::size_t nestingDepth(std::string_view text) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

}  // namespace vex
