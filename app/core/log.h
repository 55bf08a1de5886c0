// The log: standard output, one line per event, fixed English text. Values of
// a line are separated by one blank. Safe to call from any thread.
#pragma once

#include <QString>
#include <QStringList>

namespace zlog {

void line(const QString& text);

template <class... Parts>
void parts(const Parts&... values) {
  QStringList list{QString(values)...};
  line(list.join(QLatin1Char(' ')));
}

}  // namespace zlog
