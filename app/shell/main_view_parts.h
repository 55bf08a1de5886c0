// What the main window is made of: the banner, the line under it, the
// side navigation items, the quit question card and the placeholders shown
// for pages and sheets that are not plugged in.
#pragma once

#include "shell/dialog_card.h"
#include "shell/main_view_state.h"

#include <QWidget>

class QLabel;
class QPushButton;

class BannerView : public QWidget {
  Q_OBJECT
 public:
  explicit BannerView(MainViewState& state, QWidget* parent = nullptr);

  QLabel* pageTitleLabel() const { return pageTitle_; }
  QLabel* userNameLabel() const { return userName_; }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void refresh();

  MainViewState& state_;
  QLabel* dash_;
  QLabel* pageTitle_;
  QLabel* userName_;
};

// A divider inside a rounded outline, under the banner.
class BannerSeparator : public QWidget {
  Q_OBJECT
 public:
  explicit BannerSeparator(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class SideNavItemView : public QWidget {
  Q_OBJECT
 public:
  SideNavItemView(MainViewState& parentState, const QString& icon, int index, QWidget* parent = nullptr);

  int index() const { return index_; }
  QString iconName() const { return icon_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  MainViewState& parent_;
  QString icon_;
  int index_;
};

// The quit question: its title and message, the destructive quit action and Cancel.
class QuitQuestionView : public DialogCard {
  Q_OBJECT
 public:
  explicit QuitQuestionView(MainViewState& state, QWidget* parent = nullptr);

  QPushButton* quitButton() const { return quit_; }
  QPushButton* cancelButton() const { return cancel_; }

 private:
  QPushButton* quit_;
  QPushButton* cancel_;
};

// Stands in for a page whose view is not plugged in: its title, centred.
class PlaceholderPage : public QWidget {
  Q_OBJECT
 public:
  PlaceholderPage(const QString& title, const QString& symbolName, QWidget* parent = nullptr);
};

// Stands in for a sheet whose view is not plugged in: a card with its title;
// the close symbol clears the sheet's flag.
class PlaceholderSheet : public DialogCard {
  Q_OBJECT
 public:
  PlaceholderSheet(const QString& title, ShowFlag& flag, QSize size, QWidget* parent = nullptr);
};
