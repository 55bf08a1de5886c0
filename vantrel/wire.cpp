#include "wire.h"

#include <cmath>

namespace vantrel {

bool withinNesting(const char* begin, const char* end, int maxDepth) {
  int depth = 0;
  bool inString = false;
  for (const char* p = begin; p != end; ++p) {
    const char c = *p;
    if (inString) {
      if (c == '\\' && p + 1 != end)
        ++p;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

std::optional<Json> parseJson(const QByteArray& text) {
  // Copying and writing a tree recurse once per level: refuse deep nesting.
  if (!withinNesting(text.constBegin(), text.constEnd(), kMaxJsonDepth)) return std::nullopt;
  Json tree = Json::parse(text.constBegin(), text.constEnd(), nullptr, false);
  if (tree.is_discarded()) return std::nullopt;
  return tree;
}

std::optional<Json> parseJson(const QString& text) { return parseJson(text.toUtf8()); }

QString asText(const Json& value) {
  if (value.is_string()) return QString::fromStdString(value.get<std::string>());
  if (value.is_boolean()) return value.get<bool>() ? QStringLiteral("true") : QStringLiteral("false");
  if (value.is_number_integer()) {
    if (value.is_number_unsigned()) return QString::number(value.get<quint64>());
    return QString::number(value.get<qint64>());
  }
  if (value.is_number_float()) return QString::number(value.get<double>(), 'g', 17);
  return QString();
}

Json valueOf(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? Json(nullptr) : *it;
}

QString textOf(const Json& object, const char* key) { return asText(valueOf(object, key)); }

qint64 intOf(const Json& object, const char* key) {
  const Json value = valueOf(object, key);
  if (value.is_number_integer()) return value.is_number_unsigned() ? qint64(value.get<quint64>()) : value.get<qint64>();
  if (value.is_number_float()) {
    const double d = value.get<double>();
    return std::isfinite(d) && std::fabs(d) < 9e18 ? qint64(d) : 0;
  }
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_string()) return QString::fromStdString(value.get<std::string>()).trimmed().toLongLong();
  return 0;
}

namespace {

// "Data" as JSON text or as a nested object; text that is not JSON gives null.
Json payloadOf(const Json& holder) {
  const Json data = valueOf(holder, "Data");
  if (data.is_string()) {
    const std::string& text = data.get_ref<const std::string&>();
    auto parsed = parseJson(QByteArray::fromRawData(text.data(), qsizetype(text.size())));
    return parsed ? *parsed : Json(nullptr);
  }
  return data;
}

}  // namespace

std::optional<ClientFrame> readClientFrame(const QString& text) {
  const auto tree = parseJson(text);
  if (!tree || !tree->is_object()) return std::nullopt;
  const Json msg = valueOf(*tree, "Msg");
  const Json& holder = msg.is_object() ? msg : *tree;
  return ClientFrame{textOf(holder, "Code"), payloadOf(holder)};
}

QString jsonText(const Json& tree) {
  const auto text = vex::dump(tree);
  return text ? QString::fromStdString(*text) : QString();
}

QString clientFrameText(const QString& code, const Json& payload) {
  return modelText(OutFrame{code, jsonText(payload)});
}

}  // namespace vantrel
