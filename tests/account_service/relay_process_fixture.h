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

// A binary data frame of `session` carrying `payload` as file `file`.
QByteArray dataFrame(const std::string& session, quint32 file, const QByteArray& payload);

class RelayProcess : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  QString relayUrl() const;
  json login(const json& body);
  // Signs the account in and brings a relay connection to "ready".
  std::unique_ptr<RelayClient> online(const std::string& id, const std::string& password,
                                      const std::string& credential = {});
  // Logs in and says hello on a hand-written connection, which reads only
  // when pumped (64 KiB at most otherwise).
  std::unique_ptr<RawRelayClient> onlineRaw(const std::string& id, const std::string& password,
                                            std::string* clientId = nullptr, const std::string& credential = {});
  // caller -> host name: the session id, after both sides were told.
  std::string connect(RelayClient& caller, RelayClient& host, const std::string& hostname);
  // The service's resident memory now, or the most it has had.
  qint64 serviceRssKb(bool peak = false);
  // A small data frame from `from` to `to` in `session` and a relay text
  // back: the milliseconds it took, or -1 when either did not arrive.
  qint64 roundTripMs(RelayClient& from, RelayClient& to, const std::string& session);
  // `host` serves `caller` a file of `bytes` through a session of its own as
  // a bridge does (frames of 512 KiB within credit, the caller reading as
  // they come), then closes it: whether it all arrived, byte-exact and in order.
  bool relayDownload(RelayClient& caller, RelayClient& host, const std::string& hostname, qint64 bytes);
  // Bob's caller and his host in a session of their own, whose round trips a
  // test times while others load the relay: each must arrive, and the
  // slowest is kept.
  struct TimedSession {
    std::unique_ptr<RelayClient> host, caller;
    std::string id;
    qint64 worstMs = 0;
  };
  TimedSession bobsTimedSession();
  void timeRoundTrip(TimedSession& session);

  vantreltest::Service service;
  QSslConfiguration tls;
};

}  // namespace relaytest
