// Shared set-up of the local-sharing screen tests: a temporary database, a
// signed-in account, a main window state stored as MainViewShared with the
// one share list, a file chooser that answers at once, and a record of every
// toast the window raised.
#pragma once

#include "core/file_chooser.h"
#include "core/util_db.h"
#include "local_sharing/share_account.h"
#include "local_sharing/share_store.h"
#include "local_sharing/sharing_obj.h"
#include "bridge/env.h"
#include "shell/main_view_state.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

// Answers every chooser with the paths it was given, after recording the options.
class ScriptedChooser : public FileChooser {
 public:
  void open(const FileChooserOptions& options, Done done) override {
    last = options;
    ++opened;
    QList<QUrl> urls;
    for (const QString& path : answer) urls << QUrl::fromLocalFile(path);
    done(answer.isEmpty() ? kChooserCancel : kChooserOK, urls);
  }
  std::pair<int, QList<QUrl>> openModal(const FileChooserOptions&) override { return {kChooserCancel, {}}; }

  QStringList answer;
  FileChooserOptions last;
  int opened = 0;
};

class ShareScreensTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    ASSERT_TRUE(UtilDB::openAt(tmp.filePath(QStringLiteral("kelvor.dat"))));
    shareaccount::setForTesting(7, QStringLiteral("myhost"));
    Env::MainViewShared = window.get();
    QObject::connect(&window->toast, &ToastState::toastChanged, [this] { toasts.push_back(window->toast.toast()); });
    chooser = std::make_shared<ScriptedChooser>();
    setFileChooser(chooser);
  }
  void TearDown() override {
    setFileChooser(nullptr);
    Env::MainViewShared = nullptr;
    window.reset();
    UtilDB::reset();
    shareaccount::setForTesting(0, QStringLiteral("*"));
  }

  QString folder(const QString& name) {
    const QString path = tmp.filePath(name);
    QDir().mkpath(path);
    return path;
  }
  QString file(const QString& name) {
    const QString path = tmp.filePath(name);
    QFile out(path);
    EXPECT_TRUE(out.open(QIODevice::WriteOnly));
    out.write("x");
    return path;
  }
  // Stores a share and puts the stored shares into the list.
  SharingObjPtr add(const QString& tag, const QString& path, bool isDefault = false) {
    SharingObj share;
    share.tag = tag;
    share.path = path;
    share.isDefault = isDefault;
    share.isdir = QFileInfo(path).isDir();
    EXPECT_TRUE(insertShare(share));
    list.setItems(loadShares(QString(), false, false));
    for (const SharingObjPtr& item : list.items())
      if (item->tag == tag) return item;
    return nullptr;
  }
  // The share as stored now, or nullptr.
  SharingObjPtr stored(const QString& tag) {
    const auto shares = loadShares(tag, false, false);
    return shares.isEmpty() ? nullptr : shares.first();
  }
  // Makes every later write of a share fail.
  void refuseWrites() {
    ASSERT_TRUE(UtilDB::execute(QStringLiteral(
        "create trigger refuse before insert on localshare begin select raise(abort, 'refused'); end")));
  }
  void processEvents() {
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
  }
  QString rootURL() { return QStringLiteral("https://myhost.") + shareWebDomain() + QLatin1Char('/'); }

  QTemporaryDir tmp;
  std::unique_ptr<MainViewState> window = std::make_unique<MainViewState>();
  SharingObjList& list = *window->sharingObjList();  // the window's one share list
  std::shared_ptr<ScriptedChooser> chooser;
  std::vector<AlertToast> toasts;
};
