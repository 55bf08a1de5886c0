#include "transfer_parts.h"

namespace vantrel {

namespace {
constexpr const char* kParts = "parts";
constexpr const char* kCount = "count";
// An older bridge would act on these with an offer it takes as empty (a
// local-network grant would end its download at once with no file).
constexpr const char* kHeldBack[] = {"lan"};

// The JSON text of one list element, as it stands inside an array.
std::optional<std::string> elementText(const Json& element) {
  auto text = vex::dump(Json::array({element}));
  if (!text || text->size() < 2) return std::nullopt;
  return text->substr(1, text->size() - 2);
}
}  // namespace

qint64 relayEnvelopeBytes(const QString& session, const QString& xid, const QString& op) {
  // {"frame":{"Code":…,"Msg":…,"Token":…,"kind":"xfer"},"op":"relay","Session":…}; a
  // character escaped takes at most 6 bytes.
  return 256 + 6 * (session.size() + xid.size() + op.size());
}

std::optional<SplitMessage> splitForRelay(const Json& msg, const char* key, qint64 room, QString* why) {
  SplitMessage out;
  const auto whole = vex::dump(msg);
  if (!whole) {
    *why = QStringLiteral("the list of entries cannot be written");
    return std::nullopt;
  }
  const Json empty = Json::array();
  const Json& list = msg.is_object() && msg.contains(key) && msg[key].is_array() ? msg[key] : empty;
  if (qint64(whole->size()) <= room || list.empty()) {
    out.head = msg;
    return out;
  }
  out.head = msg;
  out.head[key] = Json::array();
  Json parts = Json{{kCount, qint64(list.size())}};
  for (const char* held : kHeldBack)
    if (out.head.contains(held)) parts[held] = std::move(out.head[held]), out.head.erase(held);
  out.head[kParts] = std::move(parts);
  const auto head = vex::dump(out.head);
  if (!head || qint64(head->size()) > room) {
    *why = QStringLiteral("the offer is too large to send");
    return std::nullopt;
  }
  QByteArray part;
  qint64 total = 0;
  auto close = [&] {
    part.append(']');
    total += part.size();
    out.parts.push_back(std::exchange(part, QByteArray()));
  };
  for (const Json& element : list) {
    const auto text = elementText(element);
    if (!text || qint64(text->size()) + 2 > kTransferPartBytes) {
      *why = QStringLiteral("an entry's name is too long to send");
      return std::nullopt;
    }
    if (!part.isEmpty() && part.size() + 1 + qint64(text->size()) + 1 > kTransferPartBytes) close();
    part.append(part.isEmpty() ? '[' : ',');
    part.append(text->data(), qsizetype(text->size()));
    if (total + part.size() > kTransferMaxOfferBytes) {
      *why = QStringLiteral("the list of entries is too large to send");
      return std::nullopt;
    }
  }
  close();
  out.count = qint64(list.size());
  return out;
}

bool PartsIn::announced(const Json& msg) { return msg.is_object() && msg.contains(kParts); }

std::optional<PartsIn> PartsIn::start(const Json& head, const QString& op, const char* key, qint64 maxCount,
                                      QString* why) {
  const Json parts = valueOf(head, kParts);
  const Json list = valueOf(head, key);
  const qint64 count = intOf(parts, kCount);
  if (!parts.is_object() || !(list.is_null() || (list.is_array() && list.empty()))) {
    *why = QStringLiteral("a malformed offer");
    return std::nullopt;
  }
  if (count < 1 || count > maxCount) {
    *why = QStringLiteral("too many entries");
    return std::nullopt;
  }
  PartsIn in;
  in.op_ = op;
  in.key_ = key;
  in.count_ = count;
  in.whole_ = head;
  in.whole_.erase(kParts);
  // What the sender held back until the list is whole.
  for (const char* held : kHeldBack)
    if (parts.contains(held)) in.whole_[held] = parts[held];
  in.whole_[key] = Json::array();
  return in;
}

PartsIn::Took PartsIn::take(qint64 index, QByteArrayView payload, QString* why) {
  bytes_ += payload.size();
  if (index != parts_ || bytes_ > kTransferMaxOfferBytes) {
    *why = QStringLiteral("a malformed offer");
    return Took::Bad;
  }
  auto list = jsonread::parse(std::string_view(payload.data(), size_t(payload.size())));
  if (!list || !list->is_array() || list->empty() || taken_ + qint64(list->size()) > count_) {
    *why = QStringLiteral("a malformed offer");
    return Took::Bad;
  }
  ++parts_;
  taken_ += qint64(list->size());
  Json& into = whole_[key_];
  for (Json& element : *list) into.push_back(std::move(element));
  return taken_ == count_ ? Took::Whole : Took::More;
}

}  // namespace vantrel
