#include "http_head.h"

#include <QList>

namespace znet {

namespace {

bool isToken(const QByteArray& text) {
  if (text.isEmpty()) return false;
  for (char c : text)
    if (c <= ' ' || c >= 127 || c == ':') return false;
  return true;
}

// Splits the head at the first empty line; fills the fields. The first line
// is returned in `first`.
qsizetype parseHead(const QByteArray& buffer, QByteArray* first, Head* head) {
  const qsizetype end = buffer.indexOf("\r\n\r\n");
  if (end < 0) return buffer.size() > kMaxHeadBytes ? -1 : 0;
  if (end + 4 > kMaxHeadBytes) return -1;
  const QList<QByteArray> lines = buffer.left(end).split('\n');
  for (qsizetype n = 0; n < lines.size(); ++n) {
    QByteArray line = lines[n];
    if (!line.endsWith('\r') && n + 1 < lines.size()) return -1;
    line.chop(line.endsWith('\r') ? 1 : 0);
    for (char c : line)
      if ((c < ' ' && c != '\t') || c == 127) return -1;
    if (n == 0) {
      *first = line;
      continue;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) return -1;
    const QByteArray name = line.left(colon).toLower();
    if (!isToken(name) || head->fields.contains(name)) return -1;  // a repeated field is refused, not merged
    head->fields.insert(name, line.mid(colon + 1).trimmed());
  }
  return end + 4;
}

}  // namespace

qsizetype parseRequestHead(const QByteArray& buffer, Head* head) {
  QByteArray first;
  const qsizetype used = parseHead(buffer, &first, head);
  if (used <= 0) return used;
  const QList<QByteArray> parts = first.split(' ');
  if (parts.size() != 3 || parts[2] != "HTTP/1.1" || !isToken(parts[0]) || parts[1].isEmpty()) return -1;
  head->method = parts[0];
  head->target = parts[1];
  return used;
}

qsizetype parseResponseHead(const QByteArray& buffer, Head* head) {
  QByteArray first;
  const qsizetype used = parseHead(buffer, &first, head);
  if (used <= 0) return used;
  const QList<QByteArray> parts = first.split(' ');
  bool ok = false;
  if (parts.size() < 2 || parts[0] != "HTTP/1.1") return -1;
  head->status = parts[1].toInt(&ok);
  return ok && head->status >= 100 && head->status <= 599 ? used : -1;
}

bool hasToken(const QByteArray& field, const char* token) {
  for (const QByteArray& part : field.split(','))
    if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0) return true;
  return false;
}

}  // namespace znet
