#include "support/screen_fit.h"

#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QHeaderView>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QToolButton>

namespace screenfit {
namespace {

constexpr QChar kEllipsis(0x2026);
constexpr int kSlack = 1;  // rounding of fractional advances

QString describe(const QWidget& widget) {
  QString name = QString::fromLatin1(widget.metaObject()->className());
  if (!widget.objectName().isEmpty()) name += QLatin1Char('#') + widget.objectName();
  const QWidget* parent = widget.parentWidget();
  for (int depth = 0; parent && depth < 3; ++depth, parent = parent->parentWidget())
    if (!parent->objectName().isEmpty()) return name + QStringLiteral(" in ") + parent->objectName();
  return name;
}

int advance(const QFontMetrics& metrics, const QString& text) {
  int widest = 0;
  for (const QString& line : text.split(QLatin1Char('\n'))) widest = qMax(widest, metrics.horizontalAdvance(line));
  return widest;
}

// An elided text is intended only when the widget's tooltip carries the whole text.
bool elisionExplained(const QWidget& widget, const QString& text) {
  const qsizetype at = text.indexOf(kEllipsis);
  if (at < 0) return true;
  const QString tip = widget.toolTip();
  return !tip.isEmpty() && tip.size() > text.size() - 1 && tip.startsWith(text.left(at)) &&
         tip.endsWith(text.mid(at + 1));
}

void fitLine(const QWidget& widget, const QString& text, int needed, int available, QStringList& out) {
  if (!elisionExplained(widget, text))
    out << QStringLiteral("%1: \"%2\" is elided without the whole text in its tooltip").arg(describe(widget), text);
  if (needed > available + kSlack)
    out << QStringLiteral("%1: \"%2\" needs %3 px, has %4").arg(describe(widget), text).arg(needed).arg(available);
}

QString plainText(const QLabel& label) {
  const bool rich = label.textFormat() == Qt::RichText ||
                    (label.textFormat() == Qt::AutoText && Qt::mightBeRichText(label.text()));
  return rich ? QTextDocumentFragment::fromHtml(label.text()).toPlainText() : label.text();
}

void checkLabel(const QLabel& label, QStringList& out) {
  if (!label.pixmap().isNull() || label.text().isEmpty()) return;
  const QString text = plainText(label);
  const QRect box = label.contentsRect().adjusted(label.margin(), label.margin(), -label.margin(), -label.margin());
  const QFontMetrics metrics(label.font());
  if (label.wordWrap()) {
    const int needed = label.heightForWidth(label.width());
    if (needed > label.height() + kSlack)
      out << QStringLiteral("%1: \"%2\" wraps to %3 px high, has %4").arg(describe(label), text).arg(needed).arg(
                 label.height());
    // A single word wider than the box cannot wrap.
    int widest = 0;
    for (const QString& word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
      if (!word.contains(QRegularExpression(QStringLiteral("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]"))))
        widest = qMax(widest, metrics.horizontalAdvance(word));
    fitLine(label, text, widest, box.width(), out);
    return;
  }
  fitLine(label, text, advance(metrics, text), box.width(), out);
  const int lines = int(text.count(QLatin1Char('\n'))) + 1;
  if (metrics.height() * lines > box.height() + kSlack)
    out << QStringLiteral("%1: \"%2\" is %3 px high, has %4").arg(describe(label), text).arg(metrics.height() * lines).arg(
               box.height());
}

void checkButton(const QAbstractButton& button, QStringList& out) {
  if (button.text().isEmpty()) return;
  const QFontMetrics metrics(button.font());
  const QStyle* style = button.style();
  const int text = advance(metrics, button.text());
  const int icon = button.icon().isNull() ? 0 : button.iconSize().width() + 4;
  int needed = 0;
  if (qobject_cast<const QCheckBox*>(&button) || qobject_cast<const QRadioButton*>(&button)) {
    needed = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, &button) +
             style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, &button) + icon + text;
  } else if (const auto* push = qobject_cast<const QPushButton*>(&button)) {
    // The label is drawn inside the style's contents box of the button.
    QStyleOptionButton option;
    option.initFrom(push);
    option.features = push->isFlat() ? QStyleOptionButton::Flat : QStyleOptionButton::None;
    option.text = push->text();
    option.icon = push->icon();
    option.iconSize = push->iconSize();
    const QRect contents = style->subElementRect(QStyle::SE_PushButtonContents, &option, push);
    fitLine(button, button.text(), text + icon, contents.width(), out);
    return;
  } else {
    needed = button.sizeHint().width();  // our own buttons measure their symbol and text exactly
  }
  fitLine(button, button.text(), needed, button.contentsRect().width(), out);
  if (metrics.height() > button.contentsRect().height() + kSlack)
    out << QStringLiteral("%1: \"%2\" is %3 px high, has %4").arg(describe(button), button.text()).arg(metrics.height()).arg(
               button.contentsRect().height());
}

void checkLineEdit(const QLineEdit& field, QStringList& out) {
  // Typed text may scroll; what the field only displays must fit.
  const bool display = field.isReadOnly() || !field.isEnabled();
  QString text = field.text();
  if (text.isEmpty())
    text = field.placeholderText();
  else if (!display || field.echoMode() != QLineEdit::Normal)
    return;
  if (text.isEmpty()) return;
  const int frame = field.hasFrame() ? field.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &field) : 0;
  const QMargins margins = field.textMargins();
  const int available = field.contentsRect().width() - 2 * frame - 4 - margins.left() - margins.right();
  fitLine(field, text, QFontMetrics(field.font()).horizontalAdvance(text), available, out);
}

void checkComboBox(const QComboBox& combo, QStringList& out) {
  const QString text = combo.currentText();
  if (text.isEmpty()) return;
  QStyleOptionComboBox option;
  option.initFrom(&combo);
  option.editable = combo.isEditable();
  option.frame = combo.hasFrame();
  option.currentText = text;
  const QFontMetrics metrics(combo.font());
  const int icon = combo.itemIcon(combo.currentIndex()).isNull() ? 0 : combo.iconSize().width() + 4;
  const QSize needed = combo.style()->sizeFromContents(
      QStyle::CT_ComboBox, &option, QSize(metrics.horizontalAdvance(text) + icon, metrics.height()), &combo);
  fitLine(combo, text, needed.width(), combo.width(), out);
}

void checkHeader(const QHeaderView& header, QStringList& out) {
  if (!header.model()) return;
  const QFontMetrics metrics(header.font());
  const int margin = header.style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &header);
  const int count = header.orientation() == Qt::Horizontal ? header.model()->columnCount() : header.model()->rowCount();
  for (int i = 0; i < count; ++i) {
    if (header.isSectionHidden(i)) continue;
    const QString text = header.model()->headerData(i, header.orientation()).toString();
    if (!text.isEmpty()) fitLine(header, text, advance(metrics, text) + 2 * margin, header.sectionSize(i), out);
  }
}

// Floating layers lie over their siblings by design: the sheets' dimming
// layer and the toasts (checked against the controls they cover instead).
bool isLayer(const QWidget& widget) {
  const QWidget* parent = widget.parentWidget();
  return widget.inherits("ToastView") || widget.inherits("SheetOverlay") ||
         (parent && widget.geometry() == parent->rect() && !parent->layout());
}

bool isControl(const QWidget& widget) {
  return qobject_cast<const QAbstractButton*>(&widget) || qobject_cast<const QLineEdit*>(&widget) ||
         qobject_cast<const QComboBox*>(&widget) ||
         (qobject_cast<const QLabel*>(&widget) && !static_cast<const QLabel&>(widget).text().isEmpty());
}

bool isScrollViewport(const QWidget& widget) {
  const auto* area = qobject_cast<const QAbstractScrollArea*>(widget.parentWidget());
  return area && area->viewport() == &widget;
}

// The ancestor (up to `root`) that cuts part of `widget` off, or nullptr. What
// a scroll area cuts off is scrolled out of view, not cut.
const QWidget* cutBy(const QWidget& widget, const QWidget& root) {
  QRect shown = widget.rect();
  const QWidget* child = &widget;
  for (const QWidget* parent = widget.parentWidget(); parent; child = parent, parent = parent->parentWidget()) {
    if (isScrollViewport(*parent)) return nullptr;
    shown.translate(child->pos());
    const QRect clipped = shown & parent->rect();
    if (clipped != shown) return parent;
    if (parent == &root || parent->isWindow()) break;
  }
  return nullptr;
}

QList<QWidget*> visibleChildren(const QWidget& parent) {
  QList<QWidget*> children;
  for (QObject* object : parent.children()) {
    auto* child = qobject_cast<QWidget*>(object);
    if (child && !child->isWindow() && child->isVisible()) children << child;
  }
  return children;
}

void checkPlacement(const QWidget& parent, QStringList& out) {
  const QList<QWidget*> children = visibleChildren(parent);
  for (qsizetype i = 0; i < children.size(); ++i) {
    const QWidget& a = *children[i];
    if (isLayer(a)) continue;
    for (qsizetype j = i + 1; j < children.size(); ++j) {
      const QWidget& b = *children[j];
      if (!isLayer(b) && a.geometry().intersects(b.geometry()))
        out << QStringLiteral("%1 and %2 overlap").arg(describe(a), describe(b));
    }
  }
}

// A toast must leave the controls (and icons) of its host in view: those of
// the topmost open sheet when one is open.
void checkToast(const QWidget& toast, QStringList& out) {
  const QWidget* host = toast.parentWidget();
  const QWidget* scope = host;
  bool above = false;  // children are stacked in order: a sheet after the toast lies over it
  for (QObject* child : host->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget == &toast) above = true;
    if (widget && widget->isVisible() && widget->inherits("SheetOverlay")) {
      if (above) return;  // the toast is under an open sheet's dimmed layer
      scope = widget;
    }
  }
  const QRect box = toast.geometry();
  for (QWidget* widget : scope->findChildren<QWidget*>()) {
    if (toast.isAncestorOf(widget) || !widget->isVisible() || widget->isWindow()) continue;
    const auto* label = qobject_cast<const QLabel*>(widget);
    if (!isControl(*widget) && !(label && !label->pixmap().isNull()) && !widget->inherits("DialogCard")) continue;
    QRect shown(widget->mapTo(host, QPoint(0, 0)), widget->size());
    if (label) {  // where its text or picture lies
      const QRect box = label->contentsRect();
      const QSize size = label->pixmap().isNull() ? label->sizeHint() : label->pixmap().deviceIndependentSize().toSize();
      shown = QStyle::alignedRect(label->layoutDirection(), label->alignment(), size.boundedTo(box.size()), box)
                  .translated(shown.topLeft());
    }
    if (box.intersects(shown)) out << QStringLiteral("the toast covers %1").arg(describe(*widget));
  }
}

QHash<QString, QString> table(const QString& name) {
  QHash<QString, QString> entries;
  QFile file(QStringLiteral(":/l10n/%1.json").arg(name));
  if (!file.open(QIODevice::ReadOnly)) return entries;
  const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
  for (auto it = object.begin(); it != object.end(); ++it) entries.insert(it.key(), it.value().toString());
  return entries;
}

// Texts of the other language's table whose key this language's table
// translates differently: on a Chinese screen the English ones, and back.
const QStringList& foreignTexts(bool chinese) {
  static const auto collect = [](const QString& shownName, const QString& otherName) {
    const QHash<QString, QString> shown = table(shownName);
    const QHash<QString, QString> other = table(otherName);
    QStringList found;
    for (auto it = other.begin(); it != other.end(); ++it) {
      const QString text = it.value().trimmed();
      if (!text.isEmpty() && !shown.value(it.key()).isEmpty() && shown.value(it.key()).trimmed() != text) found << text;
    }
    return found;
  };
  static const QStringList english = collect(QStringLiteral("zh-Hans"), QStringLiteral("en"));
  static const QStringList chineseTexts = collect(QStringLiteral("en"), QStringLiteral("zh-Hans"));
  return chinese ? english : chineseTexts;
}

bool isLetter(const QString& text, qsizetype at) { return at >= 0 && at < text.size() && text[at].isLetter(); }

// Whether `text` is, begins with or ends with a text of the other language as a whole.
bool showsForeign(const QString& shown, QString* which) {
  const QString text = shown.trimmed();
  for (const QString& english : foreignTexts(QLocale().language() == QLocale::Chinese)) {
    if (text == english || (text.startsWith(english) && !isLetter(text, english.size())) ||
        (text.endsWith(english) && !isLetter(text, text.size() - english.size() - 1))) {
      *which = english;
      return true;
    }
  }
  return false;
}

QStringList shownTexts(const QWidget& widget) {
  if (const auto* label = qobject_cast<const QLabel*>(&widget)) return {plainText(*label)};
  if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) return {button->text()};
  if (const auto* field = qobject_cast<const QLineEdit*>(&widget))
    return {field->text().isEmpty() ? field->placeholderText() : field->text()};
  if (const auto* combo = qobject_cast<const QComboBox*>(&widget)) return {combo->currentText()};
  if (const auto* header = qobject_cast<const QHeaderView*>(&widget); header && header->model()) {
    QStringList texts;
    for (int i = 0; i < header->model()->columnCount(); ++i)
      texts << header->model()->headerData(i, header->orientation()).toString();
    return texts;
  }
  return {};
}

void checkWidget(const QWidget& widget, QStringList& out) {
  if (const auto* label = qobject_cast<const QLabel*>(&widget)) checkLabel(*label, out);
  if (const auto* button = qobject_cast<const QAbstractButton*>(&widget)) checkButton(*button, out);
  if (const auto* field = qobject_cast<const QLineEdit*>(&widget)) checkLineEdit(*field, out);
  if (const auto* combo = qobject_cast<const QComboBox*>(&widget)) checkComboBox(*combo, out);
  if (const auto* header = qobject_cast<const QHeaderView*>(&widget)) checkHeader(*header, out);
  if (widget.inherits("ToastView")) checkToast(widget, out);
  if (isControl(widget) && &widget != widget.window())
    if (const QWidget* cutter = cutBy(widget, *widget.window()))
      out << QStringLiteral("%1: partly cut off by the edge of %2").arg(describe(widget), describe(*cutter));
  checkPlacement(widget, out);
  QString foreign;
  for (const QString& text : shownTexts(widget))
    if (showsForeign(text, &foreign))
      out << QStringLiteral("%1: shows \"%2\", which this language's table translates").arg(describe(widget), foreign);
}

}  // namespace

LanguageScope::LanguageScope(const char* localeName) : font_(QApplication::font()) {
  const QLocale locale(QString::fromLatin1(localeName));
  QLocale::setDefault(locale);
  if (locale.language() == QLocale::Chinese) {
    QFont font = font_;
    font.setFamilies({QStringLiteral("Noto Sans CJK SC")});
    QApplication::setFont(font);
  }
}

LanguageScope::~LanguageScope() {
  QApplication::setFont(font_);
  QLocale::setDefault(QLocale::c());
}

QStringList faults(const QWidget& root) {
  QStringList out;
  checkWidget(root, out);
  QString foreign;
  if (showsForeign(root.window()->windowTitle(), &foreign))
    out << QStringLiteral("the window title shows \"%1\", which this language's table translates").arg(foreign);
  for (const QWidget* widget : root.findChildren<QWidget*>())
    if (!widget->isWindow() && widget->isVisible()) checkWidget(*widget, out);
  out.removeDuplicates();
  return out;
}

void checkScreen(QWidget& window, const QString& name, const std::function<QStringList()>& more) {
  const QDir dir(testutil::binDir() + QStringLiteral("/../screenshots"));
  QDir().mkpath(dir.path());
  auto check = [&] {
    QStringList found = faults(window);
    if (more) found << more();
    return found;
  };
  auto checkAndSave = [&](const QString& file) {
    QTest::qWait(260);  // let pop-in animations finish
    // A layout settles through posted events, which a loaded machine may not
    // have run yet: only what is still wrong after a while is a fault.
    QStringList found = check();
    for (QDeadlineTimer settle(3000); !found.isEmpty() && !settle.hasExpired(); found = check()) QTest::qWait(50);
    const QString path = dir.filePath(file + QStringLiteral(".png"));
    EXPECT_TRUE(window.grab().toImage().save(path)) << path.toStdString();
    for (const QString& fault : found)
      ADD_FAILURE() << file.toStdString() << " (" << window.width() << "x" << window.height()
                    << "): " << fault.toStdString();
  };
  checkAndSave(name);
  const QSize size = window.size();
  window.resize(window.minimumSize());
  checkAndSave(name + QStringLiteral("_min"));
  window.resize(size);
  QCoreApplication::processEvents();
}

}  // namespace screenfit
