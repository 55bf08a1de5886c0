// One HTTP/1.1 request or response head, as read from the network by the
// bridge's local-network route and relay socket and by the service's front
// door: fields are checked byte by byte and a repeated field is refused.
#pragma once

#include <QByteArray>
#include <QHash>

namespace znet {

inline constexpr qsizetype kMaxHeadBytes = 8 * 1024;

struct Head {
  QByteArray method;  // requests
  QByteArray target;
  int status = 0;     // responses
  QHash<QByteArray, QByteArray> fields;  // names in lower case
  QByteArray field(const char* name) const { return fields.value(QByteArray(name)); }
};

// A complete head at the start of `buffer`: the bytes it takes (head and the
// empty line) and the parsed head; 0 while incomplete; -1 when malformed or
// too long.
qsizetype parseRequestHead(const QByteArray& buffer, Head* head);
qsizetype parseResponseHead(const QByteArray& buffer, Head* head);

// Whether the comma-separated field value holds `token` (case-insensitive).
bool hasToken(const QByteArray& field, const char* token);

}  // namespace znet
