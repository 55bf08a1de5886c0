// A thin wrapper over the SQLite C API. Every value goes in through a bound
// parameter, never quoted into the SQL text.
#pragma once

#include <QList>
#include <QString>
#include <QVariant>

struct sqlite3;

namespace kelvor {

class SqliteDb {
 public:
  using Row = QList<QVariant>;

  SqliteDb() = default;
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  // Opens (creating when missing) the file; false with lastError() on failure.
  bool open(const QString& path);
  void close();
  bool isOpen() const { return db_ != nullptr; }

  // Runs one statement with its parameters bound in order (QString -> text,
  // QByteArray -> blob, integers -> integer, null QVariant -> NULL). Rows are
  // appended to `rows` when given. False with lastError() on failure.
  bool exec(const QString& sql, const QList<QVariant>& params = {}, QList<Row>* rows = nullptr);
  // Several statements without parameters (schema set-up).
  bool execScript(const QString& sql);

  qint64 lastInsertId() const;
  int changes() const;
  QString lastError() const { return error_; }

 private:
  sqlite3* db_ = nullptr;
  QString error_;
};

}  // namespace kelvor
