// The application's named colours, in one place. Views ask for a colour by
// its name ("frameBorder", "btnRed", "navBG", ...); a name that is not ours
// falls back to the standard colour of that name, else to black.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>

namespace shellpalette {

QColor color(const QString& name);
bool has(const QString& name);  // one of the application's own names
QStringList names();            // the application's own names

}  // namespace shellpalette
