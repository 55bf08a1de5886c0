#include "shell/heartbeat.h"

#include "fakes.h"

#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

// A simulated bridge link. restartBridge() kills at once; finishRestart() is
// the deferred step that clears the flag, starts a bridge and zeroes the counter.
class SimLink : public HeartbeatPort {
 public:
  bool connected = false;
  qint64 counter = 0;
  quint64 active = 0;
  bool processRunning = true;
  std::vector<std::string> events;  // in order: "connect", "restart", "ping", "fetch"...
  std::vector<std::function<void()>> pingReplies;
  QString token, hostname = QStringLiteral("*"), nameAcc = QStringLiteral("Anonymous"), windowName;
  int reloads = 0;

  bool bridgeConnected() const override { return connected; }
  qint64 reconnectTickCounter() const override { return counter; }
  void setReconnectTickCounter(qint64 v) override { counter = v; }
  quint64 activeBridgeTime() const override { return active; }
  void setActiveBridgeTime(quint64 s) override { active = s; }
  void connectBridge() override { events.push_back("connect"); }
  void restartBridge() override {
    events.push_back("restart");
    processRunning = false;
  }
  bool bridgeProcessRunning() const override { return processRunning; }
  void pingBridge(std::function<void()> onReply) override {
    events.push_back("ping");
    pingReplies.push_back(std::move(onReply));
  }
  QString accountToken() const override { return token; }
  QString accountHostname() const override { return hostname; }
  void setAccountHostname(const QString& h) override { hostname = h; }
  QString accountNameAcc() const override { return nameAcc; }
  void setAccountNameAcc(const QString& n) override { nameAcc = n; }
  void reloadShares() override { ++reloads; }
  void setWindowNameAcc(const QString& n) override { windowName = n; }

  void finishRestart() {
    connected = false;
    processRunning = true;
    counter = 0;
  }
  void onConnected(quint64 now) {
    connected = true;
    counter = -1;
    active = now;
  }
  int count(const std::string& e) const { return static_cast<int>(std::count(events.begin(), events.end(), e)); }
};

class RecordingFetcher : public FakeFetcher {
 public:
  explicit RecordingFetcher(SimLink& link) : link_(link) {}
  void get(const QUrl& url, std::function<void(const WebReply&)> done) override {
    link_.events.push_back("fetch");
    FakeFetcher::get(url, std::move(done));
  }

 private:
  SimLink& link_;
};

struct Rig {
  SimLink link;
  RecordingFetcher fetcher{link};
  quint64 clock = 1'000'000;
  Heartbeat heartbeat{link, fetcher, [this] { return clock; }};
  // Runs ticks 1..n, recording on which ticks "connect" happened.
  std::vector<int> attemptTicks(int n) {
    std::vector<int> ticks;
    for (int i = 1; i <= n; ++i) {
      const int before = link.count("connect");
      heartbeat.onTimer();
      if (link.count("connect") > before) ticks.push_back(i);
    }
    return ticks;
  }
};

TEST(Heartbeat, AttemptsOnTheThirdTickAndEverySevenAfter) {
  Rig rig;
  EXPECT_EQ(rig.attemptTicks(24), (std::vector<int>{3, 10, 17, 24}));
  EXPECT_EQ(rig.link.count("restart"), 0);  // the bridge process is running
  EXPECT_EQ(rig.link.count("ping"), 0);     // nothing is pinged while not connected
}

TEST(Heartbeat, AConnectionBeforeTheThirdTickSwitchesTheReconnectStepOff) {
  Rig rig;
  rig.heartbeat.onTimer();
  rig.heartbeat.onTimer();
  rig.link.onConnected(rig.clock);
  EXPECT_TRUE(rig.attemptTicks(10).empty());
  EXPECT_EQ(rig.link.counter, -1);
  EXPECT_EQ(rig.link.count("ping"), 10);  // one ping on every connected tick
}

TEST(Heartbeat, RestartsTheBridgeAfterSixSilentSeconds) {
  Rig rig;
  rig.link.onConnected(rig.clock);
  rig.clock += 5;
  rig.heartbeat.onTimer();
  EXPECT_EQ(rig.link.count("restart"), 0);  // 5 s old: still alive

  // A ping reply stamps the time of its arrival.
  rig.link.pingReplies.back()();
  EXPECT_EQ(rig.link.active, rig.clock);

  rig.clock += 6;
  rig.heartbeat.onTimer();
  EXPECT_EQ(rig.link.count("restart"), 1);  // exactly 6 s old
  EXPECT_EQ(rig.link.events.back(), "restart");
  EXPECT_EQ(rig.link.events[rig.link.events.size() - 2], "ping");  // the restarting tick pinged first

  // After the deferred step the reconnect cycle starts again from 0.
  rig.link.finishRestart();
  const auto ticks = rig.attemptTicks(10);
  EXPECT_EQ(ticks, (std::vector<int>{3, 10}));
  EXPECT_EQ(rig.link.count("restart"), 1);
}

TEST(Heartbeat, LivenessIsSkippedBeforeTheFirstConnectionAndWhenTheClockGoesBack) {
  Rig rig;
  rig.link.connected = true;  // even if the flag were set, a zero stamp never restarts
  rig.link.counter = -1;
  rig.clock += 100;
  rig.heartbeat.onTimer();
  EXPECT_EQ(rig.link.count("restart"), 0);
  EXPECT_EQ(rig.link.count("ping"), 1);

  rig.link.active = rig.clock + 50;  // the clock went back
  rig.heartbeat.onTimer();
  EXPECT_EQ(rig.link.count("restart"), 0);
  EXPECT_EQ(rig.link.active, rig.clock);
}

TEST(Heartbeat, RestartsABridgeThatNeverStartedWhenTheCounterWraps) {
  Rig rig;
  rig.link.processRunning = false;  // the launch failed, or it died before the first connection
  for (int i = 0; i < 6; ++i) rig.heartbeat.onTimer();
  EXPECT_EQ(rig.link.count("restart"), 0);
  rig.heartbeat.onTimer();  // 7th tick: the counter wraps
  EXPECT_EQ(rig.link.count("restart"), 1);
  EXPECT_EQ(rig.link.counter, 0);
  rig.link.finishRestart();
  EXPECT_EQ(rig.attemptTicks(7), (std::vector<int>{3}));
  EXPECT_EQ(rig.link.count("restart"), 1);  // a running bridge is left alone
}

TEST(Heartbeat, RefreshesTheHostNameEveryFifthTickWhileATokenIsHeld) {
  Rig rig;
  for (int i = 0; i < 5; ++i) rig.heartbeat.onTimer();
  EXPECT_TRUE(rig.fetcher.requests.empty());  // no token: nothing sent

  rig.link.token = QStringLiteral("t&k=1+2#é");
  rig.link.onConnected(rig.clock);
  rig.link.events.clear();
  for (int i = 0; i < 5; ++i) rig.heartbeat.onTimer();
  ASSERT_EQ(rig.fetcher.requests.size(), 1u);
  // The fifth tick fetches, then pings.
  EXPECT_EQ(rig.link.events, (std::vector<std::string>{"ping", "ping", "ping", "ping", "fetch", "ping"}));
  const QUrl url = rig.fetcher.requests[0].url;
  EXPECT_TRUE(url.path().endsWith(QStringLiteral("/api2/account/hostname/get/index.php")));
  EXPECT_EQ(QUrlQuery(url).queryItemValue(QStringLiteral("Token"), QUrl::FullyDecoded), rig.link.token);

  // Only the name changed: the records take it, the shares are not reloaded.
  rig.fetcher.answer(R"({"Result":"1","Info":{"rooturl":"*","name_acc":"Ann"}})");
  EXPECT_EQ(rig.link.nameAcc, QStringLiteral("Ann"));
  EXPECT_EQ(rig.link.windowName, QStringLiteral("Ann"));
  EXPECT_EQ(rig.link.reloads, 0);

  // A new host name is stored and the share list reloaded.
  for (int i = 0; i < 5; ++i) rig.heartbeat.onTimer();
  rig.fetcher.answer(R"({"Result":"1","Info":{"rooturl":"ann-host","name_acc":"Ann"}})");
  EXPECT_EQ(rig.link.hostname, QStringLiteral("ann-host"));
  EXPECT_EQ(rig.link.reloads, 1);

  // The same values again change nothing.
  for (int i = 0; i < 5; ++i) rig.heartbeat.onTimer();
  rig.fetcher.answer(R"({"Result":"1","Info":{"rooturl":"ann-host","name_acc":"Ann"}})");
  EXPECT_EQ(rig.link.reloads, 1);
}

TEST(Heartbeat, IgnoresHostNameRepliesThatAreNotSuccessTexts) {
  Rig rig;
  rig.link.token = QStringLiteral("tok");
  const char* bodies[] = {
      R"({"Result":1,"Info":{"rooturl":"h","name_acc":"n"}})",   // a number 1 does not count
      R"({"Result":"1","Info":"h"})",                             // Info not an object
      R"({"Result":"1","Info":{"rooturl":5,"name_acc":"n"}})",    // not a text
      R"({"Result":"1","Info":{"name_acc":"n"}})",                // missing rooturl
      R"(["Result","1"])", R"("1")", "not json",
  };
  for (const char* body : bodies) {
    rig.heartbeat.fetchAccountHostname();
    rig.fetcher.answer(body);
  }
  rig.heartbeat.fetchAccountHostname();
  rig.fetcher.fail(QStringLiteral("Connection refused"));
  rig.heartbeat.onAccountHostname(WebReply{});
  EXPECT_EQ(rig.link.hostname, QStringLiteral("*"));
  EXPECT_EQ(rig.link.nameAcc, QStringLiteral("Anonymous"));
  EXPECT_EQ(rig.link.reloads, 0);
}

}  // namespace
