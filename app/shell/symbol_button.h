// A flat button drawn as a tinted symbol, optionally followed by a text: the
// cards' close icon and the pages' symbol buttons.
#pragma once

#include <QAbstractButton>

class SymbolButton : public QAbstractButton {
  Q_OBJECT
 public:
  SymbolButton(const QString& symbolName, const QString& colourName, int symbolSize, const QString& text = QString(),
               QWidget* parent = nullptr);

  QString symbolName() const { return symbolName_; }
  QString colourName() const { return colourName_; }
  void setSymbol(const QString& symbolName, const QString& colourName);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString symbolName_;
  QString colourName_;
  int symbolSize_;
};
