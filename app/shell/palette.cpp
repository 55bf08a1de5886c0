#include "shell/palette.h"

#include <QHash>

namespace shellpalette {

namespace {

const QHash<QString, QColor>& table() {
  static const QHash<QString, QColor> colours{
      // Card and sheet frames, close symbols, text fields, page buttons.
      {QStringLiteral("frameBorder"), QColor(0x9C, 0xA8, 0xB8)},
      {QStringLiteral("btnRed"), QColor(0xE5, 0x48, 0x4D)},
      {QStringLiteral("editTextColor"), QColor(0x1F, 0x2A, 0x37)},
      {QStringLiteral("activeButton"), QColor(0x2F, 0x7C, 0xF6)},
      // Side navigation and banner.
      {QStringLiteral("navBG"), QColor(0xEC, 0xF1, 0xF7)},
      {QStringLiteral("ColorMain0"), QColor(0x2F, 0x7C, 0xF6)},
      {QStringLiteral("navDisabled"), QColor(0xA3, 0xAE, 0xBB)},
      {QStringLiteral("activeBorder"), QColor(0x7F, 0xB2, 0xFA)},
      {QStringLiteral("bannerBorder"), QColor(0xD3, 0xDC, 0xE6)},
      // Toast colours.
      {QStringLiteral("green"), QColor(0x34, 0xC7, 0x59)},
      {QStringLiteral("red"), QColor(0xFF, 0x3B, 0x30)},
      {QStringLiteral("yellow"), QColor(0xF5, 0xB7, 0x00)},
      {QStringLiteral("orange"), QColor(0xFF, 0x95, 0x00)},
      {QStringLiteral("blue"), QColor(0x00, 0x7A, 0xFF)},
      {QStringLiteral("gray"), QColor(0x8E, 0x8E, 0x93)},
      // Surfaces and plain text.
      {QStringLiteral("cardBG"), QColor(0xFF, 0xFF, 0xFF)},
      {QStringLiteral("windowBG"), QColor(0xF7, 0xF9, 0xFB)},
      {QStringLiteral("textPrimary"), QColor(0x1F, 0x2A, 0x37)},
      {QStringLiteral("textSecondary"), QColor(0x6B, 0x77, 0x85)},
      {QStringLiteral("toastBG"), QColor(0xFF, 0xFF, 0xFF)},
      {QStringLiteral("sheetDim"), QColor(0x00, 0x00, 0x00, 0x3C)},
  };
  return colours;
}

}  // namespace

QColor color(const QString& name) {
  const auto& colours = table();
  const auto it = colours.constFind(name);
  if (it != colours.cend()) return *it;
  if (name == QLatin1String("grey")) return colours.value(QStringLiteral("gray"));
  const QColor standard = QColor::fromString(name);
  return standard.isValid() ? standard : QColor(Qt::black);
}

bool has(const QString& name) { return table().contains(name); }

QStringList names() {
  QStringList list = table().keys();
  list.sort();
  return list;
}

}  // namespace shellpalette
