// The remote host's file browser, without widgets: the connection to the
// active saved host, its share information, the entry-count probe and paged
// listing, row previews on a 0.2 s tick, the liveness check on a 1 s tick,
// row marks and the actions of the page's buttons.
//
// Main thread only. Replies of waiting requests arrive on the main thread
// after the dispatcher has returned, so every reply handler changes the state
// directly. Replies from a peer are untrusted: anything malformed counts as a
// failed reply, logged, with a notice where the user waits for it.
#pragma once

#include "remote_sharing/saved_hosts.h"
#include "shell/view_handles.h"
#include "core/vex_json.h"
#include "host_side/file_records.h"
#include "remote_sharing/remote_rows.h"
#include "remote_sharing/transfer_records.h"
#include "shell/show_flag.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <cstdint>
#include <optional>

class RemoteFileListController : public QObject, public RemoteFileListHandle {
  Q_OBJECT
 public:
  // Ticks after which a preview request that got no answer is given up.
  static constexpr int kThumbGiveUpTicks = 50;

  // `rhActive` is the page's active host, read on every use (a binding); with
  // nullptr the browser keeps its own, set with setActiveHost().
  explicit RemoteFileListController(std::optional<RemoteSharing>* rhActive = nullptr, QObject* parent = nullptr);
  ~RemoteFileListController() override;

  // The two timers run from creation; tests stop them and call the ticks.
  void stopTimers();
  bool timersRunning() const { return timerThumbnail_.isActive() || timerCheckHost_.isActive(); }

  // --- the active host ---
  const std::optional<RemoteSharing>& rhActive() const { return *rhActive_; }
  void setActiveHost(std::optional<RemoteSharing> host) { *rhActive_ = std::move(host); }

  // --- connection and listing ---
  // The browser is shown: it becomes the stored browser, then connects.
  void onAppearFileList();
  void ConnectRemoteHost();
  void updateRemoteConResult(ConStatus status, const PeerLink& link) override;
  // The link of the latest connection to the host: every request of the
  // browser and its sheets travels on it.
  const PeerLink& link() const { return link_; }
  void getFileList(const QString& path);
  void gotoPage(int64_t n);
  void clearFileList();
  void hostInvalid(const QString& message);
  void resetCheckHost();
  void buildPageLinks();

  // --- previews ---
  void enqueueThumbTask(int i);
  void onThumbnailTick();
  void processThumbTask();
  void requestIcon(int i);
  void onIconReply(const std::optional<vex::Json>& reply, int i, const QString& fullPath, quint64 request);
  void setIconFromBase64(const QString& b, const QString& prefix, int i);

  // --- liveness ---
  void onCheckHostTick();
  void onCheckHostReply(const std::optional<vex::Json>& reply);

  // --- rows and buttons ---
  void selectOnly(int i);
  void toggleChecked(int i);
  void openRow(int i);
  QList<FileItem> checkedItems() const;
  void askDeleteChecked();
  void deleteCheckedFiles();
  void openUploadSheet();
  void openDownloadForChecked();
  void pageLinkAction(const QString& k);
  // Local paths dropped on the list, in delivery order (each a file URL's
  // data, or nothing); the upload sheet opens 1 s after the last delivery.
  void onDropFiles(const QList<std::optional<QByteArray>>& deliveries);
  void openUploadForDroppedPaths(const QString& text);
  void onUploadSheetDismiss();

  // --- state, read by the page ---
  const QList<FileItem>& fileList() const { return fileList_; }
  const QList<RowIcon>& iconList() const { return iconList_; }
  bool isParentRow(int i) const;
  ShowFlag isLoading;        // the page shows the loading dialog; the dialog may clear it
  ShowFlag isShowingDialog;  // the delete confirmation is up
  ShowFlag isShowDownload;   // mirrors ctlDownload().isShowView
  ShowFlag isShowUpload;     // mirrors ctlUpload().isShowView
  ConStatus conStatus() const { return conStatus_; }
  QString hostInvalidInfo() const { return hostInvalidInfo_; }
  // Why the folder on show could not be listed (the host's reason, in the
  // user's language where it is one we know), shown with the rows; empty when
  // it listed.
  QString listingNotice() const { return listingNotice_; }
  // A page on screen shows hostInvalidInfo in place of the rows; the reason
  // is then not raised as a toast as well, so that it shows once.
  void setNoticeOnScreen(bool shown) { noticeOnScreen_ = shown; }
  const std::array<double, 6>& cfgColWidth() const { return cfgColWidth_; }
  int timeoutCheckCounter() const { return timeoutCheckCounter_; }
  const QList<int>& thumbTaskList() const { return thumbTaskList_; }
  bool isThumbWorking() const { return isThumbWorking_; }
  QString pathRoot() const { return pathRoot_; }
  QString pathCurrent() const { return pathCurrent_; }
  QString pathTag() const { return pathTag_; }
  bool isfilemanage() const { return isfilemanage_; }
  bool isupload() const { return isupload_; }
  bool isdownload() const { return isdownload_; }
  bool isfiledel() const { return isfiledel_; }
  int64_t totalCount() const { return totalCount_; }
  QString totalCountInfo() const { return totalCountInfo_; }
  int64_t pageCount() const { return pageCount_; }
  int64_t pageIndex() const { return pageIndex_; }
  int64_t pageSize() const { return pageSize_; }
  const QStringList& pageLinkList() const { return pageLinkList_; }
  bool isShowPageLinkBar() const { return isShowPageLinkBar_; }
  int iHotFileIndex() const { return iHotFileIndex_; }
  const CTLDownload& ctlDownload() const { return ctlDownload_; }
  const CTLUpload& ctlUpload() const { return ctlUpload_; }
  // The sheets write their outcome here before they clear their flag.
  CTLDownload& ctlDownload() { return ctlDownload_; }
  CTLUpload& ctlUpload() { return ctlUpload_; }
  bool iCheckHostWorking() const { return iCheckHostWorking_; }
  int iCheckHostDiscon() const { return iCheckHostDiscon_; }
  QString sCheckHostCTime() const { return sCheckHostCTime_; }
  bool dragOver = false;

 signals:
  void stateChanged();    // anything but the rows changed
  void rowsChanged();     // fileList and iconList were replaced
  void rowChanged(int i);  // one row's marks or icon changed

 private:
  // What a "getShareInfo" reply says: a notice that ends the visit, or the
  // share's root folder and rights.
  struct ShareAnswer {
    QString notice;
    QString root;
    bool fileDel = false;
    bool download = false;
    bool upload = false;
  };
  // "getShareInfo" for the active host's tag with its saved code, on the browser's link.
  void askShareInfo(ReplyHandler handler);
  void onShareInfoReply(const std::optional<vex::Json>& reply, quint64 attempt);
  ShareAnswer readShareAnswer(const vex::Json& reply);
  // The reply read: the visit ends with its notice (nothing), or the share's
  // rights apply and the answer is given for its root.
  std::optional<ShareAnswer> acceptShareAnswer(const vex::Json& reply);
  void takeRoot(const QString& root);  // and its path separator
  // The host saved the share again (its stamp is now `stamp`): asks what the
  // share allows this visitor now.
  void recheckShare(const QString& stamp);
  void onShareRecheckReply(const std::optional<vex::Json>& reply, quint64 attempt, const QString& stamp);
  void onProbeReply(const std::optional<vex::Json>& reply, quint64 listing, const QString& dir);
  void onPageReply(const std::optional<vex::Json>& reply, quint64 listing, int64_t n, const QString& dir);
  // The host answered the count or a page with its reason instead: the rows
  // are the way back up only, with the reason beside them.
  void listingFailed(const QString& reason);
  // The rows of the folder on show start with the way up, below its root.
  void startRows(QList<FileItem>& rows, QList<RowIcon>& icons);
  void badReply(const char* what, const QString& detail);
  // A reply frame without "Msg" reads as null: no reply at all.
  static bool isMissing(const std::optional<vex::Json>& reply);
  static QString dumpReply(const std::optional<vex::Json>& reply);
  void endThumbStep();
  void openDownloadSheet(const QList<FileItem>& items);

  PeerLink link_;
  std::optional<RemoteSharing> ownActive_;
  std::optional<RemoteSharing>* rhActive_;
  QList<FileItem> fileList_;
  QList<RowIcon> iconList_;
  bool hasParentRow_ = false;
  std::array<double, 6> cfgColWidth_{28, 24, 300, 100, 200, 220};
  ConStatus conStatus_ = ConStatus::csInvalid;
  int timeoutCheckCounter_ = -1;
  QTimer timerThumbnail_;
  QTimer timerCheckHost_;
  QList<int> thumbTaskList_;
  bool isThumbWorking_ = false;
  quint64 thumbRequest_ = 0;  // the preview request in flight
  int thumbWaitTicks_ = 0;
  QString pathRoot_;
  QString pathCurrent_;
  QString pathTag_ = QStringLiteral("/");
  bool isfilemanage_ = false;
  bool isupload_ = false;
  bool isdownload_ = false;
  bool isfiledel_ = false;
  int64_t totalCount_ = 0;
  QString totalCountInfo_;
  int64_t pageCount_ = 1;
  int64_t pageIndex_ = 1;
  int64_t pageSize_ = 100;
  QStringList pageLinkList_;
  bool isShowPageLinkBar_ = false;
  int iHotFileIndex_ = -1;
  CTLDownload ctlDownload_;
  CTLUpload ctlUpload_;
  bool iCheckHostWorking_ = true;
  int iCheckHostDiscon_ = 0;
  QString sCheckHostCTime_;
  QString hostInvalidInfo_;
  QString listingNotice_;
  bool noticeOnScreen_ = false;
  quint64 attempt_ = 0;   // connection attempts; a share-information reply names its own
  quint64 listing_ = 0;   // folder and page requests; only the latest one's reply is applied
};
