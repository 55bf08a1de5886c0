// A transfer's message whose list grows with its entries (a "push" or
// "manifest" offer, a "pull"'s targets) may not fit in one relay text message.
// It then travels as its head, the message with that list empty and
// "parts": {"count": N, ...the fields held back}, followed by the list in
// offer parts: binary data frames (protocol::kOfferPart) whose payload is a
// JSON array of the next entries, so that they go as the relay's credit allows.
// An older bridge reads the head as an offer of nothing, which the sender
// detects by the count its answer says it took ("took").
#pragma once

#include "wire.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <deque>
#include <optional>

namespace vantrel {

// Payload of one offer part at most, and of all parts of one message.
inline constexpr qint64 kTransferPartBytes = 512 * 1024;
inline constexpr qint64 kTransferMaxOfferBytes = 16 * 1024 * 1024;

// Bytes a relay text message adds around a transfer frame's message at most:
// the envelope's keys, and the session, transfer id and op escaped.
qint64 relayEnvelopeBytes(const QString& session, const QString& xid, const QString& op);

struct SplitMessage {
  Json head;                     // the frame sent under the message's op
  std::deque<QByteArray> parts;  // the list's entries after it; none: `head` is the whole message
  qint64 count = 0;              // entries the parts carry
};

// `msg` as it is sent when its text must fit in `room` bytes: whole, or its
// head and the parts of its list `key`. Fields an older bridge would act on
// before the list is whole ("lan") go inside the head's "parts". Nothing, and
// `why`, when one entry alone is larger than a part or the parts would exceed
// kTransferMaxOfferBytes.
std::optional<SplitMessage> splitForRelay(const Json& msg, const char* key, qint64 room, QString* why);

// Puts a message sent in parts together again on the receiving side. Every
// part is checked as it comes: in order, a non-empty array, within the
// announced count and kTransferMaxOfferBytes in all.
class PartsIn {
 public:
  // From the head of a message that announced parts; nothing, and `why`,
  // when the announcement is malformed or the count is not in 1..maxCount.
  static std::optional<PartsIn> start(const Json& head, const QString& op, const char* key, qint64 maxCount,
                                      QString* why);
  // Whether the message announces parts at all.
  static bool announced(const Json& msg);

  enum class Took { More, Whole, Bad };
  Took take(qint64 index, QByteArrayView payload, QString* why);
  // The message as if it had come in one frame, once whole.
  Json whole() { return std::move(whole_); }
  const QString& op() const { return op_; }

 private:
  QString op_;
  std::string key_;
  Json whole_;
  qint64 count_ = 0;
  qint64 taken_ = 0;
  qint64 parts_ = 0;
  qint64 bytes_ = 0;
};

}  // namespace vantrel
