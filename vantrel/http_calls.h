// Web calls the bridge makes for its client: fetching a text body, and saving
// a file under a temporary name that is renamed to its final name only once the
// whole body has arrived.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QNetworkAccessManager;

namespace vantrel {

class HttpCalls : public QObject {
  Q_OBJECT
 public:
  static constexpr qint64 kMaxBodyBytes = 16 * 1024 * 1024;
  static constexpr int kDownloadStallMs = 60 * 1000;

  explicit HttpCalls(QObject* parent = nullptr);

  // GET of an http(s) address, given up after `timeoutSeconds` (1 to 120; 5
  // when out of range). The callback gets the body on success (a 2xx status),
  // otherwise the reason.
  using TextDone = std::function<void(bool ok, const QString& bodyOrReason)>;
  void fetchText(const QString& url, qint64 timeoutSeconds, TextDone done);

  // GET of an http(s) address into `saveAt`: written beside it under a
  // temporary name and renamed to `saveAt` once complete; nothing is left
  // behind on failure. Given up when no data comes for a minute.
  using FileDone = std::function<void(bool ok, const QString& reason)>;
  void download(const QString& url, const QString& saveAt, FileDone done);

  QNetworkAccessManager* network() const { return network_; }

 private:
  QNetworkAccessManager* network_;
};

}  // namespace vantrel
