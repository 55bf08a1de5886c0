// The remote file browser's page: the column header, the rows with their
// marks and icons, the page links and buttons, the delete confirmation and the
// two transfer sheets, drawn from a RemoteFileListController.
#pragma once

#include "remote_sharing/remote_file_list.h"
#include "shell/dialog_settings.h"

#include <QPointer>
#include <QWidget>

#include <array>

class QHBoxLayout;
class QLabel;
class QScrollArea;
class QStackedLayout;
class SymbolButton;

// The rows of the folder on show, painted in one piece: check box, icon, name,
// size, description and creation date per row.
class RemoteRowsCanvas : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kRowHeight = 30;
  static constexpr int kSidePadding = 10;

  explicit RemoteRowsCanvas(RemoteFileListController& controller, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }
  int rowAt(QPoint point) const;
  void refreshSize();
  // The columns' widths as laid out now: the fixed check box and icon
  // columns, the size, description and date columns as wide as their widest
  // text, and the name column taking the rest (at least kNameMinWidth).
  int columnWidth(int column) const { return widths_[size_t(column)]; }
  int columnLeft(int column) const;
  static constexpr int kNameMinWidth = 56;
  // A row's description as shown: the folder texts in the user's language.
  static QString shownDescription(const FileItem& row);

 signals:
  void columnsChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragLeaveEvent(QDragLeaveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void layoutColumns();

  RemoteFileListController& c_;
  std::array<int, 6> widths_{};
};

class ViewSharingRemoteFileList : public QWidget {
  Q_OBJECT
 public:
  explicit ViewSharingRemoteFileList(RemoteFileListController& controller, QWidget* parent = nullptr);

  RemoteFileListController& controller() { return c_; }
  RemoteRowsCanvas* rows() const { return rows_; }
  QLabel* noticeLabel() const { return notice_; }
  // Why the folder on show could not be listed, beneath its rows.
  QLabel* listingNoticeLabel() const { return listNotice_; }
  QWidget* pageLinkBar() const { return pageLinks_; }
  SymbolButton* refreshButton() const { return refresh_; }
  SymbolButton* deleteButton() const { return delete_; }
  SymbolButton* uploadButton() const { return upload_; }
  SymbolButton* downloadButton() const { return download_; }
  QWidget* loadingView() const { return loading_; }
  // Which part is on show: "noData", "loading", "invalid" or "browsing".
  QString shownState() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void refresh();
  void rebuildPageLinks();
  void enqueueVisibleRows();

  RemoteFileListController& c_;
  QStackedLayout* stack_;
  QLabel* noData_;
  QWidget* loadingHolder_;
  QPointer<QWidget> loading_;
  DialogLoadingSetting loadingSetting_;
  QLabel* notice_;
  QWidget* browsing_;
  QScrollArea* scroll_;
  RemoteRowsCanvas* rows_;
  QLabel* listNotice_;
  QWidget* pageLinks_;
  QHBoxLayout* pageLinkLayout_;
  QStringList shownLinks_;
  int shownPageIndex_ = -1;
  SymbolButton* refresh_;
  SymbolButton* delete_;
  SymbolButton* upload_;
  SymbolButton* download_;
  DialogConfirmSetting deleteConfirm_;
  int visibleFirst_ = 0;
  int visibleLast_ = -1;
  bool appeared_ = false;
};
