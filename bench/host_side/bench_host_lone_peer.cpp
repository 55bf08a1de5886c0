// One peer alone on an idle host: 10 listings (page 1 of 1,000, by name) of a
// 50,000-entry folder one after another, through the relay, from a real host
// client with its own bridge, against the same with the host's client,
// bridge and helper of another build (ZARKELO_BENCH_BEFORE_DIR, e.g. an older
// build's bin folder), both set up once and measured round by round
// (ZARKELO_BENCH_ROUNDS, default 5), interleaved.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "e2e_client.h"
#include "support/interleaved.h"

using namespace vantreltest;

namespace {

constexpr int kEntries = 50000;
constexpr int kListings = 10;

// A host client sharing `folder`, with its programs from `bin` (empty: this
// build), and Bob's session to it from this process.
struct Host {
  Service service;
  qint64 annId = 0;
  Child client;
  BridgeProcess bridgeB;
  ClientLink peer;
  QString session;

  bool start(const QString& folder, const QString& bin) {
    if (!service.start() || !service.addAnnAndBob(&annId)) return false;
    SharingObj share;
    share.tag = QStringLiteral("BIG1");
    share.path = folder;
    if (!e2eclient::seedShare(client.home(), annId, QStringLiteral("ann-host"), share)) return false;
    const QString program = e2eclient::configureClientWithOwnBridge(client, service, bin);
    if (program.isEmpty() || !client.start(program, {}) ||
        !e2eclient::confirmQrPage(client, service, QStringLiteral("ann@example.com"), QStringLiteral("ann-pass")) ||
        !spinUntil([&] { return client.output().contains("Host Login Succeeded"); }, 30s))
      return false;
    if (!bridgeB.start(&service) || !peer.open(bridgeB.port())) return false;
    const auto login = peer.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
    if (!login || vantrel::intOf(*login, "Result") != 1) return false;
    session = e2eclient::openShareSession(peer, vantrel::textOf(*login, "Token"), QStringLiteral("BIG1"));
    return !session.isEmpty();
  }

  // The listings one after another; false when one is not the whole page.
  bool listAll(const QString& folder) {
    const Json page = {{"dir", folder.toStdString()}, {"search", ""}, {"orderBy", "0,1"}, {"iPageIndex", 1},
                       {"iPageSize", 1000}, {"iProbeCount", 0}};
    for (int i = 0; i < kListings; ++i) {
      const auto reply = peer.ask(session, QStringLiteral("getFileList"), page, 60s);
      if (!reply || reply->value("data", Json::array()).size() != 1000) return false;
    }
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("VANTREL_LAN_ADDRESS")) qputenv("VANTREL_LAN_ADDRESS", "127.0.0.1");
  QGuiApplication app(argc, argv);
  const QString before = qEnvironmentVariable("ZARKELO_BENCH_BEFORE_DIR");
  QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/zarkelo-bench-XXXXXX"));
  const QByteArray base = dir.path().toUtf8();
  char path[4096];
  for (int i = 0; i < kEntries; ++i) {
    std::snprintf(path, sizeof path, "%s/entry_%05d.txt", base.constData(), i);
    const int fd = ::open(path, O_CREAT | O_WRONLY, 0644);
    if (fd >= 0) ::close(fd);
  }
  std::vector<std::unique_ptr<Host>> hosts;
  std::vector<benchsupport::Contender> contenders;
  for (const QString& bin : {QString(), before}) {
    if (bin.isEmpty() && !hosts.empty()) break;  // no other build named
    auto host = std::make_unique<Host>();
    if (!host->start(dir.path(), bin)) {
      std::fprintf(stderr, "host setup failed (%s)\n%s\n", bin.isEmpty() ? "this build" : qPrintable(bin),
                   host->client.output().right(3000).constData());
      return 1;
    }
    Host* h = host.get();
    contenders.push_back({bin.isEmpty() ? "this build" : "before", [h, &dir] { return h->listAll(dir.path()); }});
    hosts.push_back(std::move(host));
  }
  benchsupport::runInterleaved("10 listings of a 50,000-entry folder by one peer", benchsupport::roundsFromEnvironment(),
                               kListings, "listings", contenders, {{"this build", "before", "this build vs before"}});
  for (auto& host : hosts) host->client.stop();
  return 0;
}
