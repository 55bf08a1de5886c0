#include "lan_body.h"

#include <QTimer>

#include <utility>

namespace vantrel::lan {

FileBody::Result FileBody::feed(QByteArray& buffer, LanFileSink& sink, const std::function<void(qint64)>& progress) {
  if (buffer.isEmpty()) return Result::More;
  qint64 used = 0;
  bool tooLong = false;
  const QByteArray arrived = std::exchange(buffer, QByteArray());
  const auto status = reader_.feed(arrived.constData(), arrived.size(), &used, [&](const char* data, qint64 size) {
    if (reader_.total() + size > size_) return tooLong = true, false;
    if (!sink.write(QByteArrayView(data, size), arrived)) return false;
    if (progress) progress(size);
    return true;
  });
  if (used < arrived.size()) buffer = arrived.sliced(used);
  if (status == ChunkedReader::Status::More) return Result::More;
  if (status == ChunkedReader::Status::Bad) return tooLong ? Result::TooLong : Result::Bad;
  if (!reader_.trailerReason().isEmpty()) return Result::Broken;
  if (reader_.total() != size_) return Result::Short;
  if (reader_.trailerDigest().label.isEmpty()) return Result::NoDigest;
  return Result::Whole;
}

bool FileBody::holdForDisk(const LanFileSink* sink, QObject* context, std::function<void()> retry) {
  if (!sink || sink->pending() <= kMaxPendingBytes) return false;
  if (!retryDue_) {
    retryDue_ = true;
    QTimer::singleShot(kDiskWaitMs, context, [this, retry = std::move(retry)] {
      retryDue_ = false;
      retry();
    });
  }
  return true;
}

}  // namespace vantrel::lan
