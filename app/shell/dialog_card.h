// The card style shared by the dialogs and sheets: a fixed-size card with a
// rounded border in "frameBorder", a title row with the close symbol in
// "btnRed" at its left and the bold title centred in the rest, a divider, and
// the content below it.
#pragma once

#include <QWidget>

#include <tuple>  // std::tie for addOkCancelRow
#include <utility>

class QBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;
class SymbolButton;

class DialogCard : public QWidget {
  Q_OBJECT
 public:
  // `size` is the card's own size; the widget adds one point of padding on every side.
  explicit DialogCard(QSize size, bool withCloseSymbol = true, QWidget* parent = nullptr);

  void setTitle(const QString& title);
  QString title() const;
  // Extra space between the close symbol and the title row's first flexible space.
  void setCloseTrailingPadding(int padding);
  QVBoxLayout* content() const { return content_; }
  SymbolButton* closeButton() const { return close_; }
  QLabel* titleLabel() const { return title_; }

  // A centred row of buttons under the content, as the dialogs lay theirs out.
  static QBoxLayout* buttonRow(int leftPadding, int bottomPadding);
  // Adds the OK and Cancel buttons, `gap` apart, centred in such a row; gives them in that order.
  std::pair<QPushButton*, QPushButton*> addOkCancelRow(int leftPadding, int bottomPadding, int gap);

 signals:
  void closeClicked();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QLabel* title_;
  SymbolButton* close_ = nullptr;
  QVBoxLayout* content_;
  QBoxLayout* titleRow_;
};

// A push button whose label sits in a frame of the dialogs' button width.
QPushButton* makeDialogButton(const QString& text, QWidget* parent = nullptr);
