#include "http_head.h"

#include <QList>

#include <cctype>

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

namespace {

// "Content-Length": one or more decimal digits and nothing else (no sign, no
// list, no spaces inside), at most 15 of them.
bool lengthOf(const QByteArray& value, qint64* length) {
  if (value.isEmpty() || value.size() > 15) return false;
  for (const char c : value)
    if (c < '0' || c > '9') return false;
  *length = value.toLongLong();
  return true;
}

Framing framingOf(const Head& head, bool request) {
  const auto te = head.fields.constFind("transfer-encoding");
  const auto cl = head.fields.constFind("content-length");
  const bool hasTe = te != head.fields.constEnd();
  const bool hasCl = cl != head.fields.constEnd();
  if (hasTe && hasCl) return {Framing::Kind::Invalid};
  if (hasTe)
    return te->compare("chunked", Qt::CaseInsensitive) == 0 ? Framing{Framing::Kind::Chunked}
                                                             : Framing{Framing::Kind::Invalid};
  if (hasCl) {
    Framing framing{Framing::Kind::Length};
    if (!lengthOf(*cl, &framing.length)) return {Framing::Kind::Invalid};
    return framing;
  }
  return {request ? Framing::Kind::None : Framing::Kind::UntilClose};
}

}  // namespace

Framing requestFraming(const Head& head) { return framingOf(head, true); }

Framing responseFraming(const Head& head) {
  if (head.status < 200 || head.status == 204 || head.status == 304) return {Framing::Kind::None};
  return framingOf(head, false);
}

bool ChunkedReader::lineDone(const char* data, qint64 size, qint64* i) {
  while (*i < size) {
    const char c = data[(*i)++];
    if (c == '\n') {
      if (!line_.endsWith('\r')) return line_.append('\x01'), true;  // a bare LF: refused in onLine
      line_.chop(1);
      return true;
    }
    line_.append(c);
    if (line_.size() > 1024) return false;
  }
  return false;
}

ChunkedReader::Status ChunkedReader::onLine() {
  const QByteArray line = std::exchange(line_, QByteArray());
  if (line.contains('\x01')) return Status::Bad;
  switch (state_) {
    case State::Size: {
      if (line.isEmpty() || line.size() > 8) return Status::Bad;
      for (const char c : line)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return Status::Bad;
      const qint64 size = line.toLongLong(nullptr, 16);
      if (size > maxChunk_) return Status::Bad;
      remaining_ = size;
      state_ = size == 0 ? State::Trailer : State::Data;
      return Status::More;
    }
    case State::DataEnd:
      if (!line.isEmpty()) return Status::Bad;
      state_ = State::Size;
      return Status::More;
    case State::Trailer: {
      if (line.isEmpty()) {
        state_ = State::Done;
        return Status::Done;
      }
      const qsizetype colon = line.indexOf(':');
      if (colon <= 0 || trailer_.size() >= kMaxTrailerFields) return Status::Bad;
      const QByteArray name = line.left(colon).toLower();
      if (!isToken(name)) return Status::Bad;
      for (const char c : line)
        if ((c < ' ' && c != '\t') || c == 127) return Status::Bad;
      trailer_.append({name, line.mid(colon + 1).trimmed()});
      return Status::More;
    }
    default:
      return Status::Bad;
  }
}

bool MessageStream::feed(QByteArrayView data, QByteArray* pass) {
  const auto passOn = [pass](QByteArrayView bytes) {
    if (pass) pass->append(bytes);
  };
  QByteArray afterHead;  // what came behind a head, read on from `data`
  while (!data.isEmpty() && state_ != State::Broken) {
    switch (state_) {
      case State::Head: {
        head_.append(data);
        data = {};
        Head head;
        const qsizetype used =
            side_ == Side::Requests ? parseRequestHead(head_, &head) : parseResponseHead(head_, &head);
        if (used == 0) break;
        const Framing framing = used < 0 ? Framing{Framing::Kind::Invalid}
                                         : (side_ == Side::Requests ? requestFraming(head) : responseFraming(head));
        if (framing.kind == Framing::Kind::Invalid) {
          state_ = State::Broken;
          break;
        }
        passOn(QByteArrayView(head_).first(used));
        afterHead = head_.sliced(used);
        head_.clear();
        data = afterHead;
        if (framing.kind == Framing::Kind::Length && framing.length > 0) {
          state_ = State::Length;
          left_ = framing.length;
        } else if (framing.kind == Framing::Kind::Chunked) {
          state_ = State::Chunked;
          chunks_ = ChunkedReader();
        } else if (framing.kind == Framing::Kind::UntilClose) {
          state_ = State::UntilClose;
        } else if (head.status < 100 || head.status >= 200) {
          ++completed_;
        }
        break;
      }
      case State::Length: {
        const qint64 take = std::min<qint64>(left_, data.size());
        passOn(data.first(take));
        data = data.sliced(take);
        if ((left_ -= take) == 0) bodyDone();
        break;
      }
      case State::Chunked: {
        qint64 used = 0;
        const auto status = chunks_.feed(data.data(), data.size(), &used, [](const char*, qint64) { return true; });
        if (status == ChunkedReader::Status::Bad) {
          state_ = State::Broken;
          break;
        }
        passOn(data.first(used));
        data = data.sliced(used);
        if (status == ChunkedReader::Status::Done) bodyDone();
        break;
      }
      case State::UntilClose:
        passOn(data);
        data = {};
        break;
      case State::Broken:
        break;
    }
  }
  return state_ != State::Broken;
}

void MessageStream::bodyDone() {
  state_ = State::Head;
  ++completed_;
}

}  // namespace znet
