// The device credential the service gives the bridge at each sign-in. It is
// presented for the later (id, id) sign-ins the client sends on every
// reconnect, so that a restarted bridge signs in again without a new scan.
// Kept in Kelvor/bridge/credential.json of the documents folder, readable and
// writable by the user only.
#pragma once

#include "wire.h"

#include <QString>

#include <optional>

namespace vantrel {

class CredentialStore {
 public:
  // The default place under the user's documents folder.
  CredentialStore();
  explicit CredentialStore(QString path) : path_(std::move(path)) {}

  QString path() const { return path_; }
  std::optional<StoredCredential> load() const;
  bool save(const StoredCredential& credential) const;

 private:
  QString path_;
};

}  // namespace vantrel
