// kelvor-service: the account service and relay for Zarkelo and its bridges.
#include "command_line.h"
#include "kelvor_server.h"

#include "core/open_files.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include <malloc.h>

int main(int argc, char* argv[]) {
  // Relayed data frames (up to 512 KiB) are reused from the heap: mapping and
  // faulting in every frame anew cost most of a relay loop's time. Anything
  // larger is mapped on its own and returned when freed, and the heap gives
  // back what it holds above 16 MiB at its top; the relay trims the rest of
  // the heaps once a flood has gone (RelayHub), so it leaves no lasting growth.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
  // Every relayed session holds sockets.
  openfiles::raiseSoftLimit();
  // Qt's own event dispatcher wakes a thread once for any number of events
  // posted to it; the GLib one wakes it for every event, and the TLS workers
  // and relay threads post many.
  qputenv("QT_NO_GLIB", "1");
  QCoreApplication app(argc, argv);
  QTextStream out(stdout);
  QTextStream err(stderr);
  QString error;
  const auto line = kelvor::parseCommandLine(app.arguments().mid(1), &error);
  if (!line) {
    err << "kelvor-service: " << error << "\n" << kelvor::usage();
    return 2;
  }
  if (line->command != QLatin1String("serve")) return kelvor::runAdminCommand(*line, out, err);

  const auto listen = kelvor::parseListen(line->options.value(QStringLiteral("listen")));
  kelvor::KelvorServer server;
  server.setRelayBudget(kelvor::relayBudgetBytes(*line));
  server.setRelayPing(kelvor::relayPingMs(*line));
  if (!server.start(line->options.value(QStringLiteral("data")), listen->first, listen->second, &error)) {
    err << "kelvor-service: " << error << "\n";
    return 1;
  }
  return app.exec();
}
