// VexJSON: one generic conversion from model objects to JSON.
//
// A model type lists its stored fields once, in declaration order, with
// VEX_FIELDS(...) inside its body; the field names are the JSON keys letter for
// letter. Values convert by the kind they hold:
//   text -> string; every integer width -> number (full value, unsigned stays
//   unsigned); floats -> number; bool -> true/false; QDateTime -> text
//   "yyyy-MM-dd'T'HH:mm:ssZ" in local time; nested models -> objects;
//   std::optional -> null when empty; sequences -> arrays (elements that give
//   nothing are skipped); maps with text keys -> objects; vex::Json ("any
//   value") -> itself; QVariant -> by the kind it holds.
// Any other kind (QUuid, an enumeration, ...) gives nothing: its key is left out.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace vex {

using Json = nlohmann::json;

// ---- field lists -----------------------------------------------------------

#define VEX_PARENS ()
#define VEX_EXPAND(...) VEX_EXPAND4(VEX_EXPAND4(VEX_EXPAND4(VEX_EXPAND4(__VA_ARGS__))))
#define VEX_EXPAND4(...) VEX_EXPAND3(VEX_EXPAND3(VEX_EXPAND3(VEX_EXPAND3(__VA_ARGS__))))
#define VEX_EXPAND3(...) VEX_EXPAND2(VEX_EXPAND2(VEX_EXPAND2(VEX_EXPAND2(__VA_ARGS__))))
#define VEX_EXPAND2(...) VEX_EXPAND1(VEX_EXPAND1(VEX_EXPAND1(VEX_EXPAND1(__VA_ARGS__))))
#define VEX_EXPAND1(...) __VA_ARGS__
#define VEX_FOR_EACH(macro, ...) __VA_OPT__(VEX_EXPAND(VEX_FOR_EACH_HELPER(macro, __VA_ARGS__)))
#define VEX_FOR_EACH_HELPER(macro, a1, ...) \
  macro(a1) __VA_OPT__(VEX_FOR_EACH_AGAIN VEX_PARENS(macro, __VA_ARGS__))
#define VEX_FOR_EACH_AGAIN() VEX_FOR_EACH_HELPER
#define VEX_VISIT_FIELD(name) vexVisitor_(#name, name);

// Declares the stored fields of a model, in declaration order.
#define VEX_FIELDS(...)                                                        \
  template <class VexVisitor>                                                  \
  void vexVisit(VexVisitor&& vexVisitor_) const {                              \
    VEX_FOR_EACH(VEX_VISIT_FIELD, __VA_ARGS__)                                 \
  }                                                                            \
  ::vex::Json toJSONModel() const { return *::vex::toJSONModel(*this); }       \
  std::optional<std::string> toJSONString() const {                            \
    return ::vex::toJSONString(*this);                                         \
  }

// ---- kinds -----------------------------------------------------------------

template <class T>
concept Model = requires(const T& t) {
  t.vexVisit([](const char*, const auto&) {});
};

template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};

template <class T> struct IsSequence : std::false_type {};
template <class T, class A> struct IsSequence<std::vector<T, A>> : std::true_type {};
template <class T> struct IsSequence<QList<T>> : std::true_type {};
template <> struct IsSequence<QString> : std::false_type {};

template <class T> struct IsMap : std::false_type {};
template <class K, class V, class C, class A> struct IsMap<std::map<K, V, C, A>> : std::true_type {};
template <class K, class V, class H, class E, class A>
struct IsMap<std::unordered_map<K, V, H, E, A>> : std::true_type {};
template <class K, class V> struct IsMap<QMap<K, V>> : std::true_type {};

template <class T>
constexpr bool isTextKind = std::is_same_v<T, QString> || std::is_same_v<T, std::string>;

// True for every kind that adopts the conversion; others give nothing.
template <class T>
constexpr bool adopts = std::is_arithmetic_v<T> || isTextKind<T> || std::is_same_v<T, QDateTime> ||
                        std::is_same_v<T, Json> || std::is_same_v<T, QVariant> || Model<T> ||
                        IsOptional<T>::value || IsSequence<T>::value || IsMap<T>::value;

std::string formatDate(const QDateTime& date);
bool variantToJson(const QVariant& value, Json& out);

template <class T> bool toJsonValue(const T& value, Json& out);

template <class K>
bool mapKey(const K& key, std::string& out) {
  if constexpr (std::is_same_v<K, QString>) {
    out = key.toStdString();
    return true;
  } else if constexpr (std::is_same_v<K, std::string>) {
    out = key;
    return true;
  } else {
    (void)key;
    (void)out;
    return false;
  }
}

// Converts one value by the kind it holds; false means "nothing".
template <class T>
bool toJsonValue(const T& value, Json& out) {
  if constexpr (std::is_same_v<T, bool>) {
    out = value;
    return true;
  } else if constexpr (std::is_integral_v<T> || std::is_floating_point_v<T>) {
    out = value;
    return true;
  } else if constexpr (std::is_same_v<T, QString>) {
    out = value.toStdString();
    return true;
  } else if constexpr (std::is_same_v<T, std::string>) {
    out = value;
    return true;
  } else if constexpr (std::is_same_v<T, QDateTime>) {
    out = formatDate(value);
    return true;
  } else if constexpr (std::is_same_v<T, Json>) {
    if (value.is_discarded()) return false;
    out = value;
    return true;
  } else if constexpr (std::is_same_v<T, QVariant>) {
    return variantToJson(value, out);
  } else if constexpr (Model<T>) {
    out = Json::object();
    value.vexVisit([&out](const char* name, const auto& field) {
      Json converted;
      if (toJsonValue(field, converted))
        out[name] = std::move(converted);
      else
        out.erase(name);
    });
    return true;
  } else if constexpr (IsOptional<T>::value) {
    using Inner = typename T::value_type;
    if (!value.has_value()) {
      out = nullptr;
      return true;
    }
    if constexpr (adopts<Inner>) {
      return toJsonValue(*value, out);
    } else {
      out = nullptr;
      return true;
    }
  } else if constexpr (IsSequence<T>::value) {
    using Element = typename T::value_type;
    out = Json::array();
    if constexpr (adopts<Element>) {
      for (const auto& element : value) {
        Json converted;
        if (toJsonValue(element, converted)) out.push_back(std::move(converted));
      }
    }
    return true;
  } else if constexpr (IsMap<T>::value) {
    out = Json::object();
    auto add = [&out](const auto& key, const auto& mapped) {
      std::string name;
      if (!mapKey(key, name)) return;
      using V = std::decay_t<decltype(mapped)>;
      Json converted;
      if constexpr (adopts<V>) {
        if (!toJsonValue(mapped, converted)) converted = nullptr;
      } else {
        converted = nullptr;
      }
      out[name] = std::move(converted);
    };
    if constexpr (requires { value.cbegin().key(); }) {
      for (auto it = value.cbegin(); it != value.cend(); ++it) add(it.key(), it.value());
    } else {
      for (const auto& [key, mapped] : value) add(key, mapped);
    }
    return true;
  } else {
    (void)value;
    (void)out;
    return false;
  }
}

// ---- the two operations ----------------------------------------------------

// The JSON value tree of a value, or nothing.
template <class T>
std::optional<Json> toJSONModel(const T& value) {
  Json out;
  if (!toJsonValue(value, out)) return std::nullopt;
  return out;
}

// Compact UTF-8 text of a tree; the solidus is written as "\/". Nothing when
// the top level is not an object or an array, or the text is not valid UTF-8.
std::optional<std::string> dump(const Json& tree);

// Deepest nesting of arrays and objects in JSON text, brackets inside strings
// not counted. Checked before parsing untrusted text: a deeply nested tree
// would overflow the stack of the recursive walks that write or compare it.
std::size_t nestingDepth(std::string_view text);

template <class T>
std::optional<std::string> toJSONString(const T& value) {
  auto tree = toJSONModel(value);
  if (!tree) return std::nullopt;
  return dump(*tree);
}

}  // namespace vex
