// kelvor-service: the account service and relay for Zarkelo and its bridges.
#include "command_line.h"
#include "kelvor_server.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include <malloc.h>

int main(int argc, char* argv[]) {
  // Large buffers (relayed frames) are mapped on their own and returned to the
  // system when freed, instead of the threshold creeping up and the heap keeping them.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
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
  if (!server.start(line->options.value(QStringLiteral("data")), listen->first, listen->second, &error)) {
    err << "kelvor-service: " << error << "\n";
    return 1;
  }
  return app.exec();
}
