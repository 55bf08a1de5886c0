// The command line of `kelvor-service`:
//   serve --data DIR --listen HOST:PORT [--relay-budget MIB] [--relay-ping SECONDS]
//   add-account --data DIR --email E --password P --name N --hostname H [--acode C] [--limit-dpc N]
//   list-accounts --data DIR          (id, e-mail, host name, contact code; tab separated)
//   remove-account --data DIR --email E
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <optional>

namespace kelvor {

struct CommandLine {
  QString command;
  QHash<QString, QString> options;  // without the leading "--"
};

// Checks the command and its options; nothing with the reason on a bad line.
std::optional<CommandLine> parseCommandLine(const QStringList& args, QString* error);

// The memory the relay may hold for messages on their way, from
// --relay-budget (MiB, 16 to 1,048,576; default 256), in bytes.
qint64 relayBudgetBytes(const CommandLine& line);
// How often a silent relay connection is pinged, from --relay-ping (seconds,
// 1 to 3600; default 15), in milliseconds; three silent intervals drop it.
int relayPingMs(const CommandLine& line);

// "HOST:PORT" (an IPv6 host in brackets); nothing on a bad address.
std::optional<std::pair<QHostAddress, quint16>> parseListen(const QString& text);

// Runs add-account, list-accounts or remove-account; the exit code.
int runAdminCommand(const CommandLine& line, QTextStream& out, QTextStream& err);

QString usage();

}  // namespace kelvor
