#include "shell/dialog_input_logic.h"

#include <QTextBoundaryFinder>

DialogInputLogic::DialogInputLogic(ShowFlag& isShowDialog, DialogInput_Setting& setting, bool isCanSubmiti,
                                   QObject* parent)
    : QObject(parent), flag_(isShowDialog), setting_(setting), isCanSubmiti_(isCanSubmiti) {}

int DialogInputLogic::characterCount(const QString& text) {
  if (text.isEmpty()) return 0;
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  int count = 0;
  while (finder.toNextBoundary() != -1) ++count;
  return count;
}

bool DialogInputLogic::isPasswordText(const QString& text) {
  if (text.size() < 4 || text.size() > 16) return false;
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9');
    if (!ok) return false;
  }
  return true;
}

std::optional<QString> DialogInputLogic::check(const DialogInput_Setting& setting) {
  const QString value = setting.value();
  if (setting.isAllowEmpty() && value.isEmpty()) return std::nullopt;
  const int n = characterCount(value);
  if (n < setting.lenMin()) return QStringLiteral("input length should >=") + QString::number(setting.lenMin());
  if (n > setting.lenMax()) return QStringLiteral("input length should <=") + QString::number(setting.lenMax());
  if (setting.validType() == DialogInput_Setting_ValidType::dsvPassword && !isPasswordText(value))
    return QStringLiteral("The password should be 4~16 characters/numbers");
  return std::nullopt;
}

void DialogInputLogic::pressOK() {
  if (isCanSubmiti_) submitInput();
}

void DialogInputLogic::pressReturn() { submitInput(); }

void DialogInputLogic::submitInput() {
  if (const auto rule = check(setting_)) {
    toast_.show(makeToast(AlertToast::Type::systemImage, QStringLiteral("yellow"), *rule,
                          QStringLiteral("info.square.fill"), AlertToast::DisplayMode::bannerPop));
    return;
  }
  // Close first, then hand the text on: the action may raise the next dialog.
  flag_.set(false);
  if (const DialogAction action = setting_.okAction()) action();
}
