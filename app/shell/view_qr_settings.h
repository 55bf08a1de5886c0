// The settings QR-code sheet: a card with the QR code of the service's settings
// page for this machine ("/wx/settings/?mid=..&token=..", the machine id and
// the token of the last QR login attempt). Any tap on its close symbol, image
// or caption closes it. Built afresh for each showing.
#pragma once

#include "shell/dialog_card.h"

#include <QImage>
#include <QString>

#include <functional>

class ViewQRSettings : public DialogCard {
  Q_OBJECT
 public:
  using QrMaker = std::function<QImage(const QString& text, int size)>;
  // Composes the address, logs it and draws its QR code at once.
  ViewQRSettings(const QString& machineId, const QString& token, const QrMaker& makeQr,
                 std::function<void()> close, QWidget* parent = nullptr);

  const QString& address() const { return address_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<void()> close_;
  QString address_;
  QLabel* image_ = nullptr;
  QLabel* caption_ = nullptr;
};
