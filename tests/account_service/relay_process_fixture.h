// The service as a real process (with its own data folder on a free loopback
// port) and relay clients that talk to it from this test process.
#pragma once

#include "vantrel_harness.h"

#include <QSslConfiguration>
#include <QWebSocket>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace relaytest {

using namespace std::chrono_literals;
using nlohmann::json;

// One bridge's relay connection, collecting what the service sends it.
struct RelayClient {
  explicit RelayClient(const QSslConfiguration& tls);
  bool open(const QString& url);
  void send(const json& frame);
  // The next text frame / binary message, waiting for it; null / empty when none came.
  json next(std::chrono::milliseconds timeout = 5s);
  QByteArray nextBinary(std::chrono::milliseconds timeout = 5s);
  // Lets the event loop run and tells whether nothing arrived.
  bool quiet(int ms = 200);
  // Time for a ping to come back as pong (other frames are kept), or -1.
  qint64 pingMs(std::chrono::milliseconds timeout = 5s);

  QWebSocket socket;
  std::vector<json> frames;
  std::vector<QByteArray> binaries;
  bool closed = false;
  std::string clientId;
  std::string token;
};

using vantreltest::RawRelayClient;

class RelayProcess : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  QString relayUrl() const;
  json login(const json& body);
  // Signs the account in and brings a relay connection to "ready".
  std::unique_ptr<RelayClient> online(const std::string& id, const std::string& password,
                                      const std::string& credential = {});
  // Logs in and says hello on a hand-written connection.
  std::unique_ptr<RawRelayClient> onlineRaw(const std::string& email, const std::string& password,
                                            std::string* clientId = nullptr);
  // caller -> host name: the session id, after both sides were told.
  std::string connect(RelayClient& caller, RelayClient& host, const std::string& hostname);
  qint64 serviceRssKb();

  vantreltest::Service service;
  QSslConfiguration tls;
};

}  // namespace relaytest
