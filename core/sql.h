// A thin layer over the SQLite C API: one owned connection, prepared
// statements whose values are always bound (never spliced into the text),
// typed column reads, and transactions that roll back unless committed.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <initializer_list>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace sql {

// Values bound to the statement's "?" placeholders, in order. A QString binds
// as text, an integer or Bool as an integer, a double as a real, a QByteArray
// as a blob and a null QVariant as NULL.
using Params = QVariantList;

struct Row;

class Database {
 public:
  Database() = default;
  ~Database();
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Opens (creating when missing) the file read-write. On failure gives none
  // and, when `error` is given, the reason.
  static std::optional<Database> open(const QString& path, QString* error = nullptr);

  bool isOpen() const { return handle_ != nullptr; }
  sqlite3* handle() const { return handle_; }
  // The reason the last execute() failed.
  QString lastError() const { return lastError_; }
  QString path() const { return path_; }

  // Runs one statement to its end. False (with lastError()) on failure.
  bool execute(const QString& text, const Params& params = {});
  // Runs a query and appends its rows to `rows`. False (with lastError()) on
  // failure, with `rows` as it was.
  bool query(const QString& text, const Params& params, QList<Row>* rows);
  // The row id of the last insert, and the rows the last statement changed.
  qint64 lastInsertId() const;
  int changes() const;

 private:
  sqlite3* handle_ = nullptr;
  QString path_;
  QString lastError_;
};

class Statement {
 public:
  enum class Step { Row, Done, Error };

  // Prepares `text` on `db`; isValid() tells whether that worked.
  Statement(Database& db, const QString& text);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool isValid() const { return stmt_ != nullptr; }
  QString error() const { return error_; }

  // Binds the 1-based placeholder `index`; false when the value can't be bound.
  bool bind(int index, const QVariant& value);
  bool bindAll(const Params& params);

  Step step();
  // Steps until the statement is done; false on any error.
  bool run();

  int columnCount() const;
  bool columnIsNull(int column) const;
  // NULL reads as the empty text / 0.
  QString columnText(int column) const;
  qint64 columnInt64(int column) const;
  double columnDouble(int column) const;
  QByteArray columnBlob(int column) const;
  QVariant columnValue(int column) const;

 private:
  void setErrorFromDb();
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  QString error_;
};

// One row of a query, read by column index.
struct Row {
  QVariantList values;
  QString text(int column) const;
  qint64 integer(int column) const;
  bool isNull(int column) const;
  // Reads the text columns from `first` on into `fields`, in order.
  void textsInto(std::initializer_list<QString*> fields, int first = 0) const;
};

// A savepoint: nests inside an outer transaction. Rolls back on destruction
// unless commit() succeeded.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool isActive() const { return active_; }
  bool commit();
  void rollback();

 private:
  Database& db_;
  QString name_;
  bool active_ = false;
};

}  // namespace sql
