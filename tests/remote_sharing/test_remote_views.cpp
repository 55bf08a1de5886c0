// The remote-sharing page in the main window against a scripted peer host:
// what it shows in each state, what clicks do, and pictures of it written to
// the build folder's "screenshots".
#include "fake_peer_host.h"

#include "core/localized.h"
#include "core/util_db.h"
#include "core/util_system.h"
#include "remote_sharing/view_remote_file_list.h"
#include "remote_sharing/view_remote_host.h"
#include "remote_sharing/view_sharing_remote.h"
#include "remote_sharing/view_transfer_sheets.h"
#include "shell/main_view.h"
#include "shell/main_view_shared.h"
#include "shell/symbol_button.h"
#include "support/screen_fit.h"

#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using vex::Json;

Json entry(const std::string& dir, const std::string& name, int64_t size, bool isDir) {
  return {{"name", name}, {"size", size}, {"isDir", isDir}, {"fullPath", dir + "/" + name},
          {"createdTime", 1733560000 + size}};
}

QString preview(const QString& path) {
  QImage image(48, 48, QImage::Format_RGB32);
  const uint hash = qHash(path);
  image.fill(QColor::fromHsv(int(hash % 360), 160, 220));
  QPainter painter(&image);
  painter.setPen(Qt::white);
  painter.drawEllipse(10, 10, 28, 28);
  painter.end();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPG");
  return QStringLiteral("data:image/jpg;base64,") + QString::fromLatin1(bytes.toBase64());
}

class RemoteViews : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    language_ = std::make_unique<screenfit::LanguageScope>(GetParam());
    bridgetest::resetState();
    ASSERT_TRUE(UtilDB::openAt(tmp_.filePath(QStringLiteral("kelvor.dat"))));
    auto me = std::make_shared<UserInfo>();
    me->id_acc = 3;
    me->ClientID = QStringLiteral("ME");
    UserInfo::setShared(me);
    for (const char* name : {"alice", "bob"}) {
      RemoteSharing h;
      h.hostid = QString::fromUtf8(name).toUpper();
      h.hostname = QString::fromUtf8(name);
      h.hosttag = QStringLiteral("photos");
      h.password = QStringLiteral("1234");
      ASSERT_TRUE(HelperRemoteSharing::insertRemoteSharing(h));
    }

    host_ = std::make_unique<FakePeerHost>();
    ASSERT_TRUE(host_->connectBridge());
    Json root = Json::array({entry("/home/alice/Photos", "2024 Trip", -1, true),
                             entry("/home/alice/Photos", "Family", -1, true)});
    const char* names[] = {"beach.png", "sunset.jpg", "notes.txt", "clip.mp4", "scan.jpeg", "report.pdf"};
    for (int k = 0; k < 1198; ++k)
      root.push_back(entry("/home/alice/Photos", std::to_string(1000 + k) + "_" + names[k % 6], 2048 * (k + 1) + 7, false));
    folders_["/home/alice/Photos"] = root;
    folders_["/home/alice/Photos/Family"] = Json::array({entry("/home/alice/Photos/Family", "mum.png", 5000, false)});
    host_->handlers[QStringLiteral("getShareInfo")] = [](const Json&) -> std::optional<Json> {
      return Json{{"data", Json::array({{{"path", "/home/alice/Photos"}, {"isenabled", 1}, {"isfiledel", 0},
                                          {"isdownload", 1}, {"isupload", 1}}})}};
    };
    host_->handlers[QStringLiteral("getFileList")] = [this](const Json& p) -> std::optional<Json> {
      // A folder the host cannot open answers its reason, no count.
      if (p.value("dir", std::string()) == "/home/alice/Photos/2024 Trip")
        return Json{{"index", ""}, {"sResult", "Error: Permission denied"}};
      const Json& all = folders_[p.value("dir", std::string())];
      if (p.value("iProbeCount", 0) == 1) return Json{{"index", std::to_string(all.size())}};
      const size_t size = p.value("iPageSize", size_t(1));
      const size_t page = p.value("iPageIndex", size_t(1));
      Json data = Json::array();
      for (size_t k = (page - 1) * size; k < std::min(all.size(), page * size); ++k) data.push_back(all[k]);
      return Json{{"data", data}};
    };
    host_->handlers[QStringLiteral("buildIcon2")] = [](const Json& p) -> std::optional<Json> {
      const QString item = QString::fromStdString(p["fileList"][0].get<std::string>());
      const QString path = item.section(QLatin1Char('|'), 0, 0);
      const Json records = Json::array({{{"fullPath", path.toStdString()}, {"iconBase64", preview(path).toStdString()}}});
      return Json{{"data", records.dump()}};
    };
    host_->handlers[QStringLiteral("CheckHost")] = [](const Json&) -> std::optional<Json> {
      return Json{{"data", "2026-12-07 08:00:00"}};
    };

    window_ = std::make_unique<MainView>();
    installRemoteSharingPage(*window_);
    window_->resize(1000, 680);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    window_->state().isShowLogin.set(false);
    window_->state().selectTab(MainViewState::pageRemoteSharing);
    page_ = qobject_cast<ViewSharingRemote*>(window_->currentPage());
    ASSERT_NE(page_, nullptr);
  }
  void TearDown() override {
    window_.reset();
    bridgetest::resetState();
    host_.reset();
    UtilDB::reset();
    language_.reset();
  }

  void save(const char* name) {
    screenfit::checkScreen(*window_,
                           QStringLiteral("%1_remote_%2").arg(QString::fromLatin1(GetParam()), QString::fromLatin1(name)),
                           [this] { return rowFaults(); });
  }
  // The rows are painted: their columns must lie within the list's width, and
  // the size, description and date of every row must fit their columns.
  QStringList rowFaults() {
    QStringList faults;
    ViewSharingRemoteFileList* view = page_ ? page_->browserView() : nullptr;
    if (!view || !view->isVisible() || view->shownState() != QStringLiteral("browsing")) return faults;
    RemoteRowsCanvas* rows = view->rows();
    auto* scroll = qobject_cast<QScrollArea*>(rows->parentWidget()->parentWidget()->parentWidget());
    if (!scroll) return {QStringLiteral("the rows are not in a scroll area")};
    const int right = rows->columnLeft(6) + RemoteRowsCanvas::kSidePadding;
    if (right > scroll->viewport()->width())
      faults << QStringLiteral("the columns need %1 px, the list shows %2").arg(right).arg(scroll->viewport()->width());
    const QFontMetrics metrics(rows->font());
    for (const FileItem& row : browser().fileList()) {
      const QString cells[] = {row.size >= 0 ? UtilSystem::formatSize(quint64(row.size)) : QString(),
                               RemoteRowsCanvas::shownDescription(row), UtilSystem::formatTimestamp(row.createdTime)};
      for (int k = 0; k < 3; ++k)
        if (metrics.horizontalAdvance(cells[k]) > rows->columnWidth(3 + k) - 10)
          faults << QStringLiteral("\"%1\" is cut in column %2").arg(cells[k]).arg(3 + k);
    }
    return faults;
  }
  RemoteFileListController& browser() { return page_->browser(); }
  bool listed(qsizetype rows) {
    return testutil::waitUntil([&] { return browser().fileList().size() == rows && !browser().isLoading.value(); });
  }
  QPoint rowPoint(int row, int x = 200) {
    return QPoint(x, row * RemoteRowsCanvas::kRowHeight + RemoteRowsCanvas::kRowHeight / 2);
  }

  std::unique_ptr<screenfit::LanguageScope> language_;
  QTemporaryDir tmp_;
  std::unique_ptr<FakePeerHost> host_;
  std::unique_ptr<MainView> window_;
  ViewSharingRemote* page_ = nullptr;
  std::map<std::string, Json> folders_;
};

TEST_P(RemoteViews, BrowsingASavedHost) {
  // The first saved host opens shortly after the page appears.
  ViewSharingRemoteFileList* view = page_->browserView();
  ASSERT_TRUE(listed(100));
  EXPECT_EQ(page_->pickerTitle()->text(), L("RS_RemoteHost") + QStringLiteral(" (2)"));
  EXPECT_EQ(page_->picker()->currentIndex(), 0);
  EXPECT_TRUE(page_->picker()->currentText().startsWith(QStringLiteral("https://alice.")));
  EXPECT_EQ(view->shownState(), QStringLiteral("browsing"));
  EXPECT_FALSE(view->deleteButton()->isEnabled());
  EXPECT_TRUE(view->uploadButton()->isEnabled());
  EXPECT_TRUE(view->downloadButton()->isEnabled());
  EXPECT_TRUE(view->pageLinkBar()->isVisible());
  // The rows on screen ask for previews, one per tick.
  ASSERT_TRUE(testutil::waitUntil([&] { return browser().iconList()[2].isPreview() && browser().iconList()[3].isPreview(); },
                                  std::chrono::seconds(8)));
  EXPECT_FALSE(browser().iconList()[4].isPreview());  // text
  EXPECT_FALSE(browser().iconList()[6].isPreview());  // jpeg is never asked for

  // Clicks: a box marks its row alone, a row click marks only that row.
  RemoteRowsCanvas* rows = view->rows();
  QTest::mouseClick(rows, Qt::LeftButton, {}, rowPoint(3, 20));
  QTest::mouseClick(rows, Qt::LeftButton, {}, rowPoint(5, 20));
  EXPECT_EQ(browser().checkedItems().size(), 2);
  QTest::mouseClick(rows, Qt::LeftButton, {}, rowPoint(4));
  ASSERT_EQ(browser().checkedItems().size(), 1);
  EXPECT_EQ(browser().iHotFileIndex(), 4);
  QTest::mouseClick(rows, Qt::LeftButton, {}, rowPoint(7, 20));
  save("browser");
  browser().askDeleteChecked();
  EXPECT_TRUE(browser().isShowingDialog.value());
  save("delete_question");
  browser().isShowingDialog.set(false);

  // Page 6 of 12 from the links.
  browser().pageLinkAction(QStringLiteral("6"));
  ASSERT_TRUE(testutil::waitUntil([&] { return browser().pageIndex() == 6 && !browser().isLoading.value(); }));
  EXPECT_EQ(browser().pageLinkList().join(QLatin1Char(' ')), QStringLiteral("1 ... 4 5 6 7 8 ... 12"));
  auto* current = view->pageLinkBar()->findChild<QLabel*>(QStringLiteral("currentPage"));
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(current->text(), QStringLiteral("6"));
  save("browser_page6");

  // A double click on a folder opens it; its first row leads back.
  browser().pageLinkAction(QStringLiteral("1"));
  ASSERT_TRUE(listed(100));
  QTest::mouseDClick(rows, Qt::LeftButton, {}, rowPoint(1));
  ASSERT_TRUE(listed(2));
  EXPECT_EQ(browser().pathCurrent(), QStringLiteral("/home/alice/Photos/Family"));
  EXPECT_FALSE(view->pageLinkBar()->isVisible());
  save("browser_subfolder");
  QTest::mouseDClick(rows, Qt::LeftButton, {}, rowPoint(1));  // a file: the download sheet
  EXPECT_TRUE(browser().isShowDownload.value());
  save("download_sheet");
  // Each sheet's end with the most it can say of what was left out: every line whole.
  auto* downloadCard = window_->findChild<ViewSharingRemoteDownload*>();
  ASSERT_NE(downloadCard, nullptr);
  downloadCard->controller().onProgress(Json{{"TaskStatus", 1}, {"TotalTaskCount", 1200}, {"TotalTaskDoneCount", 1190},
                                             {"Refused", 12}, {"HostReason", "Error: Permission denied"},
                                             {"Reason", "refused"}, {"Renamed", 3}, {"WorkingSpeed", "12.5 MB/s"}});
  save("download_sheet_partial");
  browser().isShowDownload.set(false);
  browser().openUploadSheet();
  save("upload_sheet");
  auto* uploadCard = window_->findChild<ViewSharingRemoteUpload*>();
  ASSERT_NE(uploadCard, nullptr);
  uploadCard->controller().onProgress(Json{{"TaskStatus", 1}, {"TotalTaskCount", 1200}, {"TotalTaskDoneCount", 1190},
                                           {"Unread", 9}, {"UnreadReason", "Error: Permission denied"},
                                           {"Reason", "refused"}, {"Renamed", 3}, {"WorkingSpeed", "12.5 MB/s"}});
  save("upload_sheet_partial");
  browser().isShowUpload.set(false);

  // A folder the host cannot open: its reason beside the way back up, once (no toast repeats it).
  window_->state().toast.dismiss();
  browser().getFileList(QStringLiteral("/home/alice/Photos/2024 Trip"));
  ASSERT_TRUE(listed(1));
  EXPECT_EQ(view->shownState(), QStringLiteral("browsing"));
  EXPECT_TRUE(view->listingNoticeLabel()->isVisible());
  EXPECT_EQ(view->listingNoticeLabel()->text(), L("RS_Folder_NotOpened") + QLatin1Char('\n') + L("Host_Reason_Permission"));
  EXPECT_EQ(view->listingNoticeLabel()->textFormat(), Qt::PlainText);
  EXPECT_FALSE(window_->state().toast.isShown());
  save("folder_not_opened");
  QTest::mouseDClick(rows, Qt::LeftButton, {}, rowPoint(0));  // back up
  ASSERT_TRUE(listed(100));
  EXPECT_FALSE(view->listingNoticeLabel()->isVisible());

  // The host goes away: the notice replaces the list, and says it once (no toast repeats it).
  browser().hostInvalid(L("RS_Host_NotAvialable"));
  EXPECT_EQ(view->shownState(), QStringLiteral("invalid"));
  EXPECT_EQ(view->noticeLabel()->text(), L("RS_Host_NotAvialable"));
  EXPECT_FALSE(window_->state().toast.isShown());
  save("host_not_available");
}

TEST_P(RemoteViews, EditorAndHostBar) {
  ASSERT_TRUE(listed(100));
  EXPECT_TRUE(page_->editButton()->isEnabled());
  page_->hosts().addHost();
  auto* editor = window_->findChild<ViewSharingRemoteHost*>();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->title(), L("RS_Host_TitleAdd"));
  EXPECT_TRUE(editor->isTinted(editor->hostNameField()));  // empty name: red
  EXPECT_FALSE(editor->isTinted(editor->hostTagField()));  // empty tag: fine
  save("host_editor_empty");
  // A bad name keeps the sheet open; a good one closes it and stores the host.
  QTest::keyClicks(editor->hostNameField(), QStringLiteral("carol.x"));
  QTest::mouseClick(editor->okButton(), Qt::LeftButton);
  EXPECT_TRUE(page_->hosts().isShowEditor.value());
  EXPECT_TRUE(editor->hostNameField()->hasFocus() || !window_->isActiveWindow());
  editor->hostNameField()->setText(QStringLiteral("carol"));
  EXPECT_FALSE(editor->isTinted(editor->hostNameField()));
  QTest::keyClicks(editor->hostTagField(), QStringLiteral("docs"));
  QTest::keyClicks(editor->aliasField(), QStringLiteral("Carol's"));
  save("host_editor_filled");
  QTest::mouseClick(editor->okButton(), Qt::LeftButton);
  EXPECT_FALSE(page_->hosts().isShowEditor.value());
  ASSERT_EQ(page_->hosts().rsList().size(), 3);
  EXPECT_EQ(page_->picker()->count(), 3);
  EXPECT_EQ(page_->picker()->currentIndex(), 2);  // the last row by name
  EXPECT_TRUE(page_->picker()->currentText().startsWith(QStringLiteral("Carol's(carol.")));

  page_->hosts().askRemoveHost();
  EXPECT_TRUE(page_->hosts().isShowingDialog.value());
  save("remove_host_question");
  page_->hosts().isShowingDialog.set(false);

  // With no host the page says so.
  page_->browser().setActiveHost(std::nullopt);
  emit page_->browser().stateChanged();
  EXPECT_EQ(page_->browserView()->shownState(), QStringLiteral("noData"));
  save("no_host");
}

INSTANTIATE_TEST_SUITE_P(Languages, RemoteViews, testing::Values("en", "zh_CN"));

}  // namespace
