// Test entry shared by every test binary: headless Qt, a temporary HOME so
// that no test reads or writes the real user's documents folder, and every
// bridge a test starts (directly or through the client) serving its
// local-network route on loopback only, never on this machine's network.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <cstdlib>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("VANTREL_LAN_ADDRESS", "127.0.0.1");
#if defined(__SANITIZE_THREAD__)
  // Under ThreadSanitizer Qt runs its own event loop, not GLib's: the wake-ups
  // of GLib's (uninstrumented) loop between threads read as races. The
  // processes the tests start inherit this.
  qputenv("QT_NO_GLIB", "1");
#endif
  QTemporaryDir home(QDir::tempPath() + QStringLiteral("/zarkelo-test-XXXXXX"));
  if (qEnvironmentVariableIsEmpty("ZARKELO_TEST_KEEP_HOME")) {
    qputenv("HOME", home.path().toUtf8());
    qunsetenv("XDG_DOCUMENTS_DIR");
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
  }
  // OpenSSL's one-time set-up on this thread, not on whichever worker hashes
  // first: that worker's error state would outlive the test as a leak.
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
