// Direct GET requests of the client to the account service (the host-name
// refresh and the QR token check). Requests run on QNetworkAccessManager on the
// main thread; completions are delivered there too. TLS trusts the system's
// authorities plus the one installed at start-up; certificate errors fail the
// request, they are never ignored.
#pragma once

#include "core/vex_json.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

// Outcome of one GET: a transport error (its description), or the body that
// the server sent (absent when it sent none).
struct WebReply {
  std::optional<QString> error;
  std::optional<QByteArray> body;
};

// The "Info" of a service reply whose "Result" is "1", or nothing. A transport
// error or a missing body is logged; a body that is no JSON object is ignored.
std::optional<vex::Json> successInfo(const WebReply& reply);

class WebFetcher {
 public:
  virtual ~WebFetcher() = default;
  virtual void get(const QUrl& url, std::function<void(const WebReply&)> done) = 0;
};

class NetworkWebFetcher final : public QObject, public WebFetcher {
  Q_OBJECT
 public:
  explicit NetworkWebFetcher(QObject* parent = nullptr);
  void get(const QUrl& url, std::function<void(const WebReply&)> done) override;

 private:
  QNetworkAccessManager* manager_;
};
