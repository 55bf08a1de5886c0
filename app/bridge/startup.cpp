#include "bridge/startup.h"

#include "bridge/bridge_link.h"
#include "bridge/bridge_supervisor.h"
#include "core/log.h"

#include <QCoreApplication>

void RunStartupSequence(const std::function<void()>& openDatabase) {
  zlog::line(QStringLiteral("Welcome, Kelvor"));
  LocateAppRunPath();
  if (openDatabase) openDatabase();
  RestartBridge();
  QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, [] {
    bridgelink::dropSocket();
    bridgesupervisor::StopOwnBridge();
  });
}
