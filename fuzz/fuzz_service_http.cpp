// Feeds arbitrary requests to the account service's web handling, in process:
// the first byte picks the address, the rest is the body or the query as the
// HTTPS front end would hand it on, or the bytes of a connection as the front
// end reads them, message by message. "@T" in the input stands for a valid login
// token and "@Q" for a confirmed QR token, so that the paths behind them are reached.
#include "account_store.h"
#include "common/net/http_head.h"
#include "service_core.h"
#include "web_pages.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

struct World {
  QTemporaryDir dir;
  kelvor::AccountStore store;
  std::unique_ptr<kelvor::ServiceCore> core;
  QString token;
};

World* world = nullptr;

// Runs the event loop until `done` was called (answers of the worker pool).
template <class Start>
void settle(Start start) {
  auto finished = std::make_shared<bool>(false);
  start([finished] { *finished = true; });
  const QDeadlineTimer deadline(5000);
  while (!*finished && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}

QString field(const QUrlQuery& query, const char* key) {
  return query.queryItemValue(QString::fromLatin1(key), QUrl::FullyDecoded);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  std::fflush(stdout);
  if (std::FILE* null = std::fopen("/dev/null", "w")) ::dup2(::fileno(null), 1);
  world = new World;
  // The world outlives the run on purpose; its folder does not.
  std::atexit([] { world->dir.remove(); });
  QString error;
  if (!world->store.open(world->dir.path(), &error)) return 1;
  world->store.addAccount({QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"), QStringLiteral("Ann"),
                           QStringLiteral("ann-host"), QStringLiteral("ANN1234")},
                          &error);
  world->core = std::make_unique<kelvor::ServiceCore>(world->store);
  settle([](auto done) {
    world->core->login(R"({"Id_acc":"ann@example.com","Password":"ann-pass"})", QStringLiteral("seed"),
                       [done](const kelvor::Reply& reply) {
                         world->token = QString::fromStdString(reply.body.value("Token", std::string()));
                         done();
                       });
  });
  settle([](auto done) {
    world->core->confirmQr(QStringLiteral("424242"), QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"),
                           QStringLiteral("seed"), [done](const QString&) { done(); });
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  QByteArray bytes(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
  bytes.replace("@T", world->token.toUtf8());
  bytes.replace("@Q", "424242");
  kelvor::ServiceCore& core = *world->core;
  const QUrlQuery query(QString::fromUtf8(bytes));
  const QUrlQuery form = kelvor::pages::parseForm(bytes);
  const QString source = QStringLiteral("fuzz");
  switch (data[0] % 9) {
    case 0:
      settle([&](auto done) { core.login(bytes, source, [done](const kelvor::Reply&) { done(); }); });
      break;
    case 1:
      (void)core.qrCheck(field(query, "t"));
      break;
    case 2:
      (void)core.hostnameGet(field(query, "Token"));
      (void)core.acodeGet(field(query, "Token"));
      break;
    case 3:
      (void)core.acodeCheck(field(query, "Token"), field(query, "email"), field(query, "acode"), source);
      break;
    case 4:
      settle([&](auto done) {
        core.confirmQr(kelvor::pages::formValue(form, QStringLiteral("token")),
                       kelvor::pages::formValue(form, QStringLiteral("email")),
                       kelvor::pages::formValue(form, QStringLiteral("password")), source,
                       [done](const QString&) { done(); });
      });
      break;
    case 5:
      (void)kelvor::pages::loginForm(kelvor::pages::formValue(form, QStringLiteral("mid")),
                                     kelvor::pages::formValue(form, QStringLiteral("token")),
                                     kelvor::pages::formValue(form, QStringLiteral("password")));
      (void)kelvor::pages::settingsForm(field(query, "mid"), field(query, "token"), field(query, "name"));
      break;
    case 6:
      (void)core.sessionByToken(QString::fromUtf8(bytes));
      (void)kelvor::ServiceCore::isPlausibleQrToken(QString::fromUtf8(bytes));
      break;
    case 7:
      (void)core.versionInfo(QString::fromUtf8(bytes));
      break;
    default: {
      // Whole and in two pieces, as a connection may bring them: what passes
      // on is where the bytes began, and the same however they were cut (a
      // body that breaks off may have passed in part).
      const QByteArray raw(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
      znet::MessageStream whole(znet::MessageStream::Side::Requests);
      znet::MessageStream cut(znet::MessageStream::Side::Requests);
      QByteArray passedWhole, passedCut;
      const bool wholeOk = whole.feed(raw, &passedWhole);
      const qsizetype half = raw.size() / 2;
      const bool cutOk = cut.feed(QByteArrayView(raw).first(half), &passedCut) &&
                         cut.feed(QByteArrayView(raw).sliced(half), &passedCut);
      if (!raw.startsWith(passedCut) || !passedCut.startsWith(passedWhole) || cutOk != wholeOk ||
          (wholeOk && passedCut != passedWhole) || cut.completed() != whole.completed())
        std::abort();
      break;
    }
  }
  return 0;
}
