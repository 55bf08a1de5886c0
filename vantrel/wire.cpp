#include "wire.h"

namespace vantrel {

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
