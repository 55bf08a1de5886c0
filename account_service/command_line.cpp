#include "command_line.h"

#include "account_store.h"
#include "relay_hub.h"
#include "relay_link.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>

namespace kelvor {

namespace {

// Every option of every command; each takes a value.
constexpr const char* kOptionNames[] = {"data",     "listen", "email",     "password",    "name",
                                        "hostname", "acode",  "limit-dpc", "relay-budget", "relay-ping"};
constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kMinRelayBudgetMiB = 16;
constexpr qint64 kMaxRelayBudgetMiB = 1024 * 1024;
constexpr int kMaxRelayPingSeconds = 3600;

std::optional<qint64> relayBudgetMiB(const CommandLine& line) {
  const QString text = line.options.value(QStringLiteral("relay-budget"));
  if (text.isEmpty()) return RelayFlow::kDefaultBudget / kMiB;
  bool ok = false;
  const qint64 mib = text.toLongLong(&ok);
  if (!ok || mib < kMinRelayBudgetMiB || mib > kMaxRelayBudgetMiB) return std::nullopt;
  return mib;
}

std::optional<int> relayPingSeconds(const CommandLine& line) {
  const QString text = line.options.value(QStringLiteral("relay-ping"));
  if (text.isEmpty()) return RelayHub::kPingIntervalMs / 1000;
  bool ok = false;
  const int seconds = text.toInt(&ok);
  if (!ok || seconds < 1 || seconds > kMaxRelayPingSeconds) return std::nullopt;
  return seconds;
}

struct OptionSet {
  QStringList required;
  QStringList optional;
};

const QHash<QString, OptionSet>& optionSets() {
  static const QHash<QString, OptionSet> table{
      {QStringLiteral("serve"), {{QStringLiteral("data"), QStringLiteral("listen")}, {QStringLiteral("relay-budget"), QStringLiteral("relay-ping")}}},
      {QStringLiteral("add-account"),
       {{QStringLiteral("data"), QStringLiteral("email"), QStringLiteral("password"), QStringLiteral("name"),
         QStringLiteral("hostname")},
        {QStringLiteral("acode"), QStringLiteral("limit-dpc")}}},
      {QStringLiteral("list-accounts"), {{QStringLiteral("data")}, {}}},
      {QStringLiteral("remove-account"), {{QStringLiteral("data"), QStringLiteral("email")}, {}}},
  };
  return table;
}

}  // namespace

QString usage() {
  return QStringLiteral(
      "usage: kelvor-service serve --data DIR --listen HOST:PORT [--relay-budget MIB] [--relay-ping SECONDS]\n"
      "       kelvor-service add-account --data DIR --email E --password P --name N --hostname H"
      " [--acode C] [--limit-dpc N]\n"
      "       kelvor-service list-accounts --data DIR\n"
      "       kelvor-service remove-account --data DIR --email E\n");
}

std::optional<CommandLine> parseCommandLine(const QStringList& args, QString* error) {
  QCommandLineParser parser;
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  for (const char* name : kOptionNames)
    parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
  // The parser expects the program's name first.
  if (!parser.parse(QStringList{QStringLiteral("kelvor-service")} + args)) {
    *error = parser.errorText();
    return std::nullopt;
  }
  const QStringList positional = parser.positionalArguments();
  if (positional.isEmpty()) {
    *error = QStringLiteral("no command given");
    return std::nullopt;
  }
  CommandLine line;
  line.command = positional.first();
  const auto options = optionSets().constFind(line.command);
  if (options == optionSets().constEnd()) {
    *error = QStringLiteral("unknown command: ") + line.command;
    return std::nullopt;
  }
  if (positional.size() > 1) {
    *error = QStringLiteral("unexpected argument: ") + positional.at(1);
    return std::nullopt;
  }
  for (const QString& name : parser.optionNames()) {
    if (!options->required.contains(name) && !options->optional.contains(name)) {
      *error = QStringLiteral("unknown option for ") + line.command + QStringLiteral(": --") + name;
      return std::nullopt;
    }
    if (line.options.contains(name)) {
      *error = QStringLiteral("option given twice: --") + name;
      return std::nullopt;
    }
    line.options.insert(name, parser.value(name));
  }
  for (const QString& name : options->required) {
    if (line.options.value(name).isEmpty()) {
      *error = QStringLiteral("missing --") + name;
      return std::nullopt;
    }
  }
  if (line.command == QLatin1String("serve") && !parseListen(line.options.value(QStringLiteral("listen")))) {
    *error = QStringLiteral("--listen wants HOST:PORT, e.g. 127.0.0.1:19443");
    return std::nullopt;
  }
  if (line.command == QLatin1String("serve") && !relayBudgetMiB(line)) {
    *error = QStringLiteral("--relay-budget wants MiB from %1 to %2").arg(kMinRelayBudgetMiB).arg(kMaxRelayBudgetMiB);
    return std::nullopt;
  }
  if (line.command == QLatin1String("serve") && !relayPingSeconds(line)) {
    *error = QStringLiteral("--relay-ping wants seconds from 1 to %1").arg(kMaxRelayPingSeconds);
    return std::nullopt;
  }
  return line;
}

qint64 relayBudgetBytes(const CommandLine& line) {
  return relayBudgetMiB(line).value_or(RelayFlow::kDefaultBudget / kMiB) * kMiB;
}

int relayPingMs(const CommandLine& line) {
  return relayPingSeconds(line).value_or(RelayHub::kPingIntervalMs / 1000) * 1000;
}

std::optional<std::pair<QHostAddress, quint16>> parseListen(const QString& text) {
  const int colon = static_cast<int>(text.lastIndexOf(QLatin1Char(':')));
  if (colon <= 0) return std::nullopt;
  QString host = text.left(colon);
  if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) host = host.mid(1, host.size() - 2);
  if (host == QLatin1String("localhost")) host = QStringLiteral("127.0.0.1");
  bool ok = false;
  const uint port = text.mid(colon + 1).toUInt(&ok);
  QHostAddress address;
  if (!ok || port > 65535 || !address.setAddress(host)) return std::nullopt;
  return std::make_pair(address, static_cast<quint16>(port));
}

int runAdminCommand(const CommandLine& line, QTextStream& out, QTextStream& err) {
  const QString dataDir = line.options.value(QStringLiteral("data"));
  if (!QDir().mkpath(dataDir)) {
    err << "cannot create the data folder " << dataDir << "\n";
    return 1;
  }
  AccountStore store;
  QString error;
  if (!store.open(dataDir, &error)) {
    err << "cannot open the accounts: " << error << "\n";
    return 1;
  }
  if (line.command == QLatin1String("add-account")) {
    NewAccount account;
    account.email = line.options.value(QStringLiteral("email"));
    account.password = line.options.value(QStringLiteral("password"));
    account.name = line.options.value(QStringLiteral("name"));
    account.hostname = line.options.value(QStringLiteral("hostname"));
    account.acode = line.options.value(QStringLiteral("acode"));
    if (line.options.contains(QStringLiteral("limit-dpc"))) {
      bool ok = false;
      account.limitDpc = line.options.value(QStringLiteral("limit-dpc")).toInt(&ok);
      if (!ok || account.limitDpc < 1 || account.limitDpc > 1000) {
        err << "--limit-dpc wants a number from 1 to 1000\n";
        return 2;
      }
    }
    const auto id = store.addAccount(account, &error);
    if (!id) {
      err << "cannot add the account: " << error << "\n";
      return 1;
    }
    out << *id << "\n";
    return 0;
  }
  if (line.command == QLatin1String("list-accounts")) {
    for (const Account& account : store.listAccounts())
      out << account.id << "\t" << account.email << "\t" << account.hostname << "\t" << account.acode << "\n";
    return 0;
  }
  if (line.command == QLatin1String("remove-account")) {
    if (!store.removeAccount(line.options.value(QStringLiteral("email")), &error)) {
      err << "cannot remove the account: " << error << "\n";
      return 1;
    }
    return 0;
  }
  err << "not an account command: " << line.command << "\n";
  return 2;
}

}  // namespace kelvor
