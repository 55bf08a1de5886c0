// The client's entry: the start-up sequence, then the one window.
#include "bridge/startup.h"
#include "core/ui/qt_file_chooser.h"
#include "core/service_config.h"
#include "core/util_db.h"
#include "shell/main_view.h"
#include "shell/shell_wiring.h"

#ifdef ZARKELO_HAS_LOCAL_SHARING_UI
#include "local_sharing/ui/install_local_sharing.h"
#endif

#ifdef ZARKELO_HAS_HOST_SIDE
#include "bridge/host/install_host_side.h"
#endif
#ifdef ZARKELO_HAS_CONTACTS
#include "contacts/contacts_views.h"
#endif

#ifdef ZARKELO_HAS_REMOTE_SHARING
#include "remote_sharing/view_sharing_remote.h"
#endif

#include <QApplication>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Zarkelo"));
  serviceconfig::installTrustedAuthority();
  installQtFileChooser();
#ifdef ZARKELO_HAS_HOST_SIDE
  installHostSide();
#endif
  RunStartupSequence([] { UtilDB::open(); });

  // Showing the window stores it as MainViewShared, opens the login sheet and
  // starts the heartbeat.
  MainView window;
  ShellWiring shell(window);
#ifdef ZARKELO_HAS_CONTACTS
  installContactsViews(window);
#endif
#ifdef ZARKELO_HAS_LOCAL_SHARING_UI
  installLocalSharing(window);
#endif
#ifdef ZARKELO_HAS_REMOTE_SHARING
  installRemoteSharingPage(window);
#endif
  window.show();
  return app.exec();
}
