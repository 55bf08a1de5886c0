// The host client's answer to "fileDownloadCheck" in tests and benches: one
// path ("path"), or the files of one folder at once ("paths", a list of
// answers in the same order). `one` answers a single path.
#pragma once

#include "wire.h"

#include <functional>

namespace vantrel {

inline Json answerDownloadCheck(const Json& msg, const std::function<Json(const QString& path)>& one) {
  const Json paths = valueOf(msg, "paths");
  if (!paths.is_array()) return {{"data", one(textOf(msg, "path"))}};
  Json list = Json::array();
  for (const Json& path : paths) list.push_back(one(asText(path)));
  return {{"data", list}};
}

}  // namespace vantrel
