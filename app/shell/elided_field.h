// A read-only text field for a path or an address shown on one line: when the
// whole text does not fit, it shows the text's start and end with an ellipsis
// in the middle, and its tooltip carries the whole text.
#pragma once

#include <QLineEdit>

class ElidedField : public QLineEdit {
  Q_OBJECT
 public:
  explicit ElidedField(QWidget* parent = nullptr);

  void setFullText(const QString& text);
  QString fullText() const { return fullText_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void elide();

  QString fullText_;
};
