// A host's Bool show flag: a sheet, dialog or toast is shown while it is true.
// Views that present something observe it; the presented view is given the
// flag itself, the way a binding would be, and closes by setting it false.
#pragma once

#include <QObject>

class ShowFlag : public QObject {
  Q_OBJECT
 public:
  explicit ShowFlag(bool initial = false, QObject* parent = nullptr) : QObject(parent), value_(initial) {}

  bool value() const { return value_; }
  // Emits changed() only when the value really changes.
  void set(bool value) {
    if (value_ == value) return;
    value_ = value;
    emit changed(value_);
  }

 signals:
  void changed(bool value);

 private:
  bool value_;
};
