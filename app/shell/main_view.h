// The application's one window: banner, side navigation, the shown page, and
// every modal the application raises (toast, confirm and input dialogs, login,
// receive-file and QR-code settings sheets, the quit question), drawn from a
// MainViewState. Pages and sheets of other parts of the application are
// plugged in as factories; until one is, a placeholder stands in for it.
#pragma once

#include "shell/main_view_state.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>

class BannerView;
class QLabel;
class QPushButton;
class QVBoxLayout;
class SheetOverlay;
class SideNavItemView;
class ToastView;

class MainView : public QWidget {
  Q_OBJECT
 public:
  // Builds a page or a sheet's content, given the window's state.
  using Factory = std::function<QWidget*(MainViewState& state, QWidget* parent)>;
  enum class Sheet { login, receiveFile, qrSettings };

  explicit MainView(QWidget* parent = nullptr);
  ~MainView() override;

  MainViewState& state() { return state_; }

  // A page's view, built afresh each time the page is selected.
  void setPageFactory(int index, Factory factory);
  void setSheetFactory(Sheet sheet, Factory factory);

  // For tests and screenshots.
  QWidget* currentPage() const { return page_; }
  QWidget* sideNavigation() const { return sideNav_; }
  BannerView* banner() const { return banner_; }
  SideNavItemView* navItem(int index) const;
  QPushButton* quitButton() const { return quit_; }
  QLabel* versionLabel() const { return version_; }
  ToastView* toastView() const { return toast_; }
  // The content of the sheet presented for a flag, or nullptr.
  QWidget* presentedSheet(const ShowFlag& flag) const;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void showPage(int index);
  SheetOverlay* addSheet(ShowFlag& flag, std::function<QWidget*(QWidget*)> build);

  MainViewState state_;
  std::array<Factory, MainViewState::kPageCount> pages_;
  Factory loginSheet_;
  Factory receiveFileSheet_;
  Factory qrSheet_;
  BannerView* banner_;
  QWidget* sideNav_;
  QList<SideNavItemView*> navItems_;
  QPushButton* quit_;
  QLabel* version_;
  QVBoxLayout* pageArea_;
  QPointer<QWidget> page_;
  int pageIndex_ = -1;
  QList<SheetOverlay*> sheets_;
  ToastView* toast_ = nullptr;
  bool appeared_ = false;
};
