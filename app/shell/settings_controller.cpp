#include "shell/settings_controller.h"

#include "core/util_system.h"
#include "shell/service_urls.h"

#include <QFileInfo>
#include <QPointer>
#include <QTimer>

namespace {
constexpr int kCallHttpTimeout = 5;
const char kSavedToast[] = "设置已被保存.";
}  // namespace

SettingsController::SettingsController(Hooks hooks, QObject* parent) : QObject(parent), hooks_(std::move(hooks)) {}

void SettingsController::loadSettings() {
  isClipboard_ = hooks_.getValue(QStringLiteral("IsClipboard")) != QLatin1String("0");
  // The folder downloads will use: the chosen one, else the default one
  // (shown, not stored: the first download stores it).
  downloadSaveAt_ = hooks_.getValue(QStringLiteral("SaveAtDir"));
  if (downloadSaveAt_.isEmpty()) downloadSaveAt_ = defaultDownloadFolder();
  receiveSaveAt_ = hooks_.getValue(QStringLiteral("MyReceivedFolder"));
  emit changed();
  fetchContactCode();
  QTimer::singleShot(armDelayMs, this, [this] { isInited_ = true; });
}

void SettingsController::onFolderChosen(const QString& path) {
  if (path.isEmpty() || !QFileInfo(path).isDir()) return;
  downloadSaveAt_ = path;
  emit changed();
  confirmStored(hooks_.setValue(QStringLiteral("SaveAtDir"), path));
}

void SettingsController::onClipboardToggled(bool on) {
  isClipboard_ = on;
  if (!isInited_) return;
  confirmStored(hooks_.setValue(QStringLiteral("IsClipboard"), on ? QStringLiteral("1") : QStringLiteral("0")));
}

// A store that failed is reported as a failure, never as saved.
void SettingsController::confirmStored(bool stored) {
  if (stored) {
    if (hooks_.showToast) hooks_.showToast(QString::fromUtf8(kSavedToast));
  } else if (hooks_.showUpdateResult) {
    hooks_.showUpdateResult(false);
  }
}

void SettingsController::fetchContactCode() {
  if (!hooks_.callHttp) return;
  const QString token = hooks_.accountToken ? hooks_.accountToken() : QString();
  QPointer<SettingsController> self(this);
  hooks_.callHttp(serviceurls::wireText(serviceurls::ownAccessCodeUrl(token)), kCallHttpTimeout,
                  [self](const vex::Json& reply) {
                    if (!self || reply.is_null()) return;
                    vex::Json body = reply;
                    if (reply.is_string()) {
                      body = vex::Json::parse(reply.get<std::string>(), nullptr, false);
                      if (body.is_discarded()) return;
                    }
                    if (!body.is_object()) return;
                    const auto result = body.find("Result");
                    const auto info = body.find("Info");
                    bool ok = false;
                    if (result != body.end()) {
                      if (result->is_number()) ok = result->get<double>() == 1;
                      else if (result->is_string()) ok = result->get<std::string>() == "1";
                    }
                    if (!ok || info == body.end()) return;
                    if (info->is_string()) self->contactCode_ = QString::fromStdString(info->get<std::string>());
                    else if (info->is_number()) self->contactCode_ = QString::fromStdString(info->dump());
                    emit self->changed();
                  });
}
