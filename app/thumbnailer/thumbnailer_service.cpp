#include "thumbnailer_service.h"

#include "confinement.h"
#include "media/content_thumbnails.h"
#include "media/file_thumbnails.h"
#include "media/thumbnail_wire.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

extern "C" {
#include <libavutil/log.h>
}

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace thumbnailer {

namespace {

// A one-page PDF with a line of text in a standard font: rendering it makes
// Poppler read its configuration and find its fonts now.
QByteArray warmUpPdf() {
  const char* objects[] = {
      "<</Type/Catalog/Pages 2 0 R>>",
      "<</Type/Pages/Kids[3 0 R]/Count 1>>",
      "<</Type/Page/Parent 2 0 R/MediaBox[0 0 60 20]/Contents 4 0 R/Resources<</Font<</F1 5 0 R>>>>>>",
      "<</Length 32>>stream\nBT /F1 12 Tf 2 6 Td (Warm) Tj ET\nendstream",
      "<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>",
  };
  QByteArray pdf("%PDF-1.4\n");
  QByteArray xref("xref\n0 6\n0000000000 65535 f \n");
  int number = 1;
  for (const char* object : objects) {
    xref += QByteArray::number(pdf.size()).rightJustified(10, '0') + " 00000 n \n";
    pdf += QByteArray::number(number++) + " 0 obj\n" + object + "\nendobj\n";
  }
  const QByteArray start = QByteArray::number(pdf.size());
  return pdf + xref + "trailer<</Size 6/Root 1 0 R>>\nstartxref\n" + start + "\n%%EOF\n";
}

double processorSeconds() {
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QByteArray refusalText(int result, int error) {
  if (result >= 0) return QByteArrayLiteral("allowed");
  return QByteArrayLiteral("refused: ") + QByteArray(std::strerror(error));
}

thumbwire::Reply answer(const thumbwire::Request& request, int fd) {
  thumbwire::Reply reply;
  switch (request.kind) {
    case thumbwire::Kind::thumbnail: {
      if (fd < 0) break;
      const auto image = thumbnailOfFile(fd, request.name, request.box);
      if (!image) break;
      QBuffer buffer(&reply.bytes);
      buffer.open(QIODevice::WriteOnly);
      if (image->save(&buffer, "PNG")) reply.status = thumbwire::Status::picture;
      else reply.bytes.clear();
      break;
    }
    case thumbwire::Kind::probeSocket: {
      const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int error = errno;
      if (s >= 0) ::close(s);
      reply.status = thumbwire::Status::text;
      reply.bytes = refusalText(s, error);
      break;
    }
    case thumbwire::Kind::probeOpen: {
      const int opened = ::open(QFile::encodeName(request.name).constData(), O_RDONLY | O_CLOEXEC);
      const int error = errno;
      if (opened >= 0) ::close(opened);
      reply.status = thumbwire::Status::text;
      reply.bytes = refusalText(opened, error);
      break;
    }
  }
  return reply;
}

}  // namespace

void warmUp() {
  av_log_set_level(AV_LOG_QUIET);
  // Each image plugin is loaded by asking it about an empty device.
  for (const QByteArray& format : QImageReader::supportedImageFormats()) {
    QBuffer empty;
    empty.open(QIODevice::ReadOnly);
    QImageReader reader(&empty, format);
    (void)reader.canRead();
  }
  (void)contentKindOf(QStringLiteral("warm-up.mp4"), nullptr);
  QBuffer pdf;
  pdf.setData(warmUpPdf());
  pdf.open(QIODevice::ReadOnly);
  (void)pdfThumbnail(&pdf, QSize(16, 16));
}

int serve(int channel) {
  for (;;) {
    QByteArray payload;
    int fd = -1;
    if (thumbwire::readFrame(channel, thumbwire::kMaxRequest, payload, &fd, -1) != thumbwire::ReadStatus::ok)
      return 0;  // the client has gone, or spoke out of turn
    const auto request = thumbwire::decodeRequest(payload);
    thumbwire::Reply reply;
    if (request) reply = answer(*request, fd);
    if (fd >= 0) ::close(fd);
    reply.retiring = processorSeconds() > double(confinement::kRetireAfterCpuSeconds);
    if (!thumbwire::writeFrame(channel, thumbwire::encodeReply(reply))) return 0;
    if (reply.retiring) return 0;
  }
}

}  // namespace thumbnailer
