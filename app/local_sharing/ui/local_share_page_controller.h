// The local-sharing page without widgets: what the button row says, which of
// the three contents shows, and the two actions (change host, create share).
// It keeps no data of its own: it reads the window's login flag and its one
// share list, and the account's host name.
#pragma once

#include "local_sharing/sharing_obj.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class ShowFlag;

class LocalSharePageController : public QObject {
  Q_OBJECT
 public:
  enum class Content { shareCards, noShares, nothing };

  // The host name shown in the change-host button; by default the shared
  // account record's.
  using HostnameSource = std::function<QString()>;

  LocalSharePageController(ShowFlag& isShowLogin, SharingObjList* list, HostnameSource hostname = {},
                           QObject* parent = nullptr);

  bool isShowLogin() const;
  bool isChangeHostVisible() const { return !isShowLogin(); }
  // The create-share button shows an empty label while the login sheet is open.
  bool isCreateShareVisible() const { return !isShowLogin(); }
  QString changeHostText() const;
  QString createShareText() const;
  Content content() const;
  QList<SharingObjPtr> shares() const;
  SharingObjList* list() const { return list_; }

  // Opens the main window's QR-code settings sheet, when the window is there.
  void changeHost();
  // Shows the folder chooser; its answer goes to addShare().
  void createShare();
  // Stores a new share of an existing path and reloads the list; a path that
  // names nothing is ignored without a message.
  void addShare(const QString& path);

 signals:
  // The login flag, the list or the account changed: draw again.
  void changed();

 private:
  ShowFlag& isShowLogin_;
  QPointer<SharingObjList> list_;
  HostnameSource hostname_;
};
