// Vantrel: the bridge process the client starts beside itself.
//   Vantrel_amd -scode=<start-up code>
// Environment: VANTREL_PORT (default 19961), VANTREL_SECRET (a per-launch
// secret the client must present), ZARKELO_SERVICE_HOST, ZARKELO_CA_FILE,
// VANTREL_LAN_ADDRESS (the one address to serve transfers on and announce;
// unset: the local-network addresses of the interfaces, at most 4; "off": no
// local-network route, transfers go through the service's relay only) and
// VANTREL_LAN_PORT (default: any free port), VANTREL_CLIENT_PID (the client
// that started the bridge: the bridge ends when it does).
#include "bridge.h"
#include "client_watch.h"
#include "heap_release.h"
#include "transfer/partial_journal.h"

#include "protocol/startup_code.h"
#include "core/log.h"
#include "core/open_files.h"
#include "core/service_config.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <csignal>
#include <cstdio>

#include <malloc.h>

namespace {
constexpr quint16 kDefaultPort = 19961;
}

int main(int argc, char** argv) {
  // File chunks and the socket buffers that carry them are reused from the
  // heap instead of being mapped and faulted in anew for every chunk; the
  // heap gives back what it holds above 16 MiB once a transfer is over.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
  // Each arena may keep that much above its top, which malloc_trim does not
  // give back outside the main arena: two arenas for all the worker threads
  // bound it (HeapRelease returns the rest).
  mallopt(M_ARENA_MAX, 2);
  // A file that reaches the size limit fails its write (a transfer ends with
  // "disk") rather than stopping the bridge.
  std::signal(SIGXFSZ, SIG_IGN);
  openfiles::raiseSoftLimit();
  // Qt's own event dispatcher wakes a thread once for any number of events
  // posted to it; the GLib one wakes it for every event, and the TLS workers
  // and relay threads post many.
  qputenv("QT_NO_GLIB", "1");
  QCoreApplication app(argc, argv);
  const QString expected = QStringLiteral("-scode=") + QString::fromLatin1(bridgelink::kBridgeStartupCode);
  if (!app.arguments().mid(1).contains(expected)) {
    std::fprintf(stderr, "Vantrel: not started: the -scode= argument is missing or wrong\n");
    return 2;
  }
  quint16 port = kDefaultPort;
  if (qEnvironmentVariableIsSet("VANTREL_PORT")) {
    bool ok = false;
    const uint value = qEnvironmentVariable("VANTREL_PORT").toUInt(&ok);
    // 0 picks a free port; the line below tells which.
    if (!ok || value > 65535) {
      std::fprintf(stderr, "Vantrel: VANTREL_PORT is not a port number\n");
      return 2;
    }
    port = quint16(value);
  }
  // An unreadable authority file is logged; the system's authorities still
  // apply and no certificate error is ever ignored, so the local requests
  // (ping, web calls to other hosts) keep working.
  serviceconfig::installTrustedAuthority();

  // Partial files are written down in the bridge's data folder, so that only
  // this machine's bridges' own are ever removed as left behind.
  vantrel::setPartialJournalFolder(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
                                   QStringLiteral("/Kelvor/bridge/partials"));
  vantrel::Bridge bridge;
  vantrel::HeapRelease heap;
  // VANTREL_RELAY_PING: seconds of silence after which the relay is pinged;
  // three of them and it is given up (tests shorten it).
  if (qEnvironmentVariableIsSet("VANTREL_RELAY_PING")) {
    bool ok = false;
    const int seconds = qEnvironmentVariable("VANTREL_RELAY_PING").toInt(&ok);
    if (ok && seconds >= 1 && seconds <= 3600)
      bridge.serviceLink()->setPing(seconds * 1000, seconds * 3000);
    else
      zlog::line(QStringLiteral("Vantrel - VANTREL_RELAY_PING is not 1 to 3600 seconds; the default applies"));
  }
  QString error;
  if (!bridge.start(port, qgetenv("VANTREL_SECRET"), &error)) {
    std::fprintf(stderr, "Vantrel: cannot listen on 127.0.0.1:%u: %s\n", unsigned(port), qPrintable(error));
    // The client tells its user which port is taken.
    const bool taken = bridge.clientPort()->listenError() == QAbstractSocket::AddressInUseError;
    return taken ? bridgelink::kBridgeExitPortTaken : 1;
  }
  // Without its client the bridge is no host: it ends its sessions, signs
  // out and exits.
  vantrel::ClientWatch watch(bridge.clientPort());
  QObject::connect(&watch, &vantrel::ClientWatch::gone, &bridge, &vantrel::Bridge::retire);
  QObject::connect(&bridge, &vantrel::Bridge::retired, &app, &QCoreApplication::quit);
  if (qEnvironmentVariableIsSet("VANTREL_CLIENT_PID")) {
    bool ok = false;
    const qint64 client = qEnvironmentVariable("VANTREL_CLIENT_PID").toLongLong(&ok);
    if (ok && client > 1)
      watch.watchParent(client);
    else
      zlog::line(QStringLiteral("Vantrel - VANTREL_CLIENT_PID is not a process id; the client process is not watched"));
  }
  zlog::parts(QStringLiteral("Vantrel - listening on"),
              QStringLiteral("ws://127.0.0.1:%1/ws").arg(bridge.clientPort()->port()));
  const vantrel::LanSetting lan = vantrel::lanSettingFrom(qEnvironmentVariableIsSet("VANTREL_LAN_ADDRESS"),
                                                          qEnvironmentVariable("VANTREL_LAN_ADDRESS"));
  bool portOk = true;
  const QString portText = qEnvironmentVariable("VANTREL_LAN_PORT");
  const uint lanPort = portText.isEmpty() ? 0 : portText.toUInt(&portOk);
  const QString folder =
      QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/Kelvor/bridge");
  if (!portOk || lanPort > 65535) {
    zlog::line(QStringLiteral("Vantrel - VANTREL_LAN_PORT is not a port number; no local-network route"));
    bridge.startLan(vantrel::lanSettingFrom(true, QStringLiteral("off")), 0, folder, &error);
  } else if (!bridge.startLan(lan, quint16(lanPort), folder, &error)) {
    zlog::parts(QStringLiteral("Vantrel - no local-network route:"), error);
  } else {
    const QStringList urls = bridge.lanUrls();
    zlog::parts(QStringLiteral("Vantrel - local-network route on"),
                urls.isEmpty() ? QStringLiteral("(no local-network address yet)") : urls.join(QLatin1Char(' ')));
  }
  return app.exec();
}
