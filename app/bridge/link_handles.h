// Handles through which the bridge link reaches the views that wait on it: the
// login view (the login result) and the two screens that open a peer link
// (its outcome). The views implement these interfaces and store themselves in
// Env when shown; a handle that is not set yet hears nothing. Main thread only.
#pragma once

#include "bridge/peer_link.h"

#include <QString>

#include <memory>

class UserInfo;  // the account record

// Outcome of a connection attempt to a remote party, handed to the screen that
// opened it.
enum class ConStatus { csConnected = 0, csMaxClients = 1, csInvalid = 2 };

// The remote file browser, while it is shown: hears the outcome of its
// connection attempt and the link it opened (down unless connected).
class RemoteFileListHandle {
 public:
  virtual ~RemoteFileListHandle() = default;
  virtual void updateRemoteConResult(ConStatus status, const PeerLink& link) = 0;
};

// The contact send view, while a send runs: hears the outcome of its
// connection attempt and the link it opened (down unless connected).
class ViewContactHandle {
 public:
  virtual ~ViewContactHandle() = default;
  virtual void OnClientInitResult(ConStatus status, const PeerLink& link) = 0;
};

class LoginViewHandle {
 public:
  virtual ~LoginViewHandle() = default;
  virtual void onLoginSucceeded(const QString& resultText, std::shared_ptr<UserInfo> user) = 0;
  // `pausedSeconds` > 0: the service paused sign-ins after many wrong passwords, for that long.
  virtual void onLoginFailed(qint64 pausedSeconds) = 0;
  // The service was too busy to check the password: nothing is wrong with it.
  virtual void onLoginBusy() { onLoginFailed(0); }
};
