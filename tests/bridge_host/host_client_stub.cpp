// A headless client for the end-to-end test: the application's own bridge
// link and host side, without windows. It opens the database of its home,
// connects to the bridge named by ZARKELO_BRIDGE_PORT / ZARKELO_BRIDGE_SECRET
// (mode 1: it neither starts nor kills the bridge) and signs in with the
// account given on its command line: host_client_stub EMAIL PASSWORD.
#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "bridge/host/install_host_side.h"
#include "bridge/login.h"
#include "bridge/user_info.h"
#include "core/log.h"
#include "core/service_config.h"
#include "core/util_db.h"

#include <QGuiApplication>
#include <QTimer>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc < 3) return 2;
  const QString email = QString::fromLocal8Bit(argv[1]);
  const QString password = QString::fromLocal8Bit(argv[2]);
  serviceconfig::installTrustedAuthority();
  UtilDB::open();
  installHostSide();

  bool loginSent = false;
  bool announced = false;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (!Env::BridgeConnected) {
      ConnectBridge();
      return;
    }
    if (!loginSent) {
      SendLogin(email, password);
      loginSent = true;
    }
    if (!announced && !UserInfo::shared()->ClientID.isEmpty()) {
      announced = true;
      zlog::parts(QStringLiteral("host client signed in as"), QString::number(UserInfo::shared()->id_acc));
    }
  });
  tick.start(200);
  return app.exec();
}
