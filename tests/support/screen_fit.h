// Checks a screen as people see it: every visible label, button, field and
// header shows its whole text, no two visible sibling controls overlap, a
// toast covers no control, and a screen shows no text of the other language's
// table where its own table has a different entry (English on a Chinese
// screen, Chinese on an English one). The screen tests call `checkScreen` for each
// screen they reach; it also writes the pictures to the build folder's
// "screenshots".
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace screenfit {

// Sets the language of the screens built while it lives, and the font the
// desktop gives that language (a Chinese desktop's sans-serif is Noto Sans
// CJK SC), so that texts are measured as people see them; undone at the end.
class LanguageScope {
 public:
  explicit LanguageScope(const char* localeName);
  ~LanguageScope();
  LanguageScope(const LanguageScope&) = delete;
  LanguageScope& operator=(const LanguageScope&) = delete;

 private:
  QFont font_;
};

// The faults of the visible widgets under `root`, one line each, naming the widget.
QStringList faults(const QWidget& root);

// Checks `window` at its present size and at its minimum size, saving
// "<name>.png" and "<name>_min.png"; each fault is reported to the running
// test. `more` adds the faults of what the walk cannot see (texts a widget
// paints itself), at each size.
void checkScreen(QWidget& window, const QString& name, const std::function<QStringList()>& more = {});

}  // namespace screenfit
