#include "credential_store.h"

#include "core/log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace vantrel {

CredentialStore::CredentialStore()
    : path_(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
            QStringLiteral("/Kelvor/bridge/credential.json")) {}

std::optional<StoredCredential> CredentialStore::load() const {
  QFile file(path_);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  const auto tree = parseJson(file.read(64 * 1024));
  if (!tree || !tree->is_object()) return std::nullopt;
  StoredCredential credential{intOf(*tree, "ACC"), textOf(*tree, "Credential")};
  if (credential.ACC <= 0 || credential.Credential.isEmpty()) return std::nullopt;
  return credential;
}

bool CredentialStore::save(const StoredCredential& credential) const {
  const QString folder = QFileInfo(path_).absolutePath();
  if (!QDir().mkpath(folder)) {
    zlog::parts(QStringLiteral("Vantrel - cannot create"), folder);
    return false;
  }
  QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  QSaveFile file(path_);
  if (!file.open(QIODevice::WriteOnly)) {
    zlog::parts(QStringLiteral("Vantrel - cannot write"), path_);
    return false;
  }
  // Restricted before the first byte is written.
  file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  file.write(modelText(credential).toUtf8());
  if (!file.commit()) {
    zlog::parts(QStringLiteral("Vantrel - cannot save"), path_);
    return false;
  }
  QFile::setPermissions(path_, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  return true;
}

}  // namespace vantrel
