#include "sqlite_db.h"

#include <sqlite3.h>

namespace kelvor {

SqliteDb::~SqliteDb() { close(); }

bool SqliteDb::open(const QString& path) {
  close();
  const QByteArray name = path.toUtf8();
  if (sqlite3_open_v2(name.constData(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    error_ = db_ ? QString::fromUtf8(sqlite3_errmsg(db_)) : QStringLiteral("out of memory");
    close();
    return false;
  }
  sqlite3_busy_timeout(db_, 3000);
  return execScript(QStringLiteral("PRAGMA foreign_keys = ON;"));
}

void SqliteDb::close() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

namespace {

bool bindValue(sqlite3_stmt* stmt, int index, const QVariant& value) {
  if (!value.isValid() || value.isNull()) return sqlite3_bind_null(stmt, index) == SQLITE_OK;
  switch (value.typeId()) {
    case QMetaType::QByteArray: {
      const QByteArray bytes = value.toByteArray();
      return sqlite3_bind_blob64(stmt, index, bytes.constData(), static_cast<sqlite3_uint64>(bytes.size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
    }
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
      return sqlite3_bind_int64(stmt, index, value.toLongLong()) == SQLITE_OK;
    case QMetaType::Double:
      return sqlite3_bind_double(stmt, index, value.toDouble()) == SQLITE_OK;
    default: {
      const QByteArray text = value.toString().toUtf8();
      return sqlite3_bind_text64(stmt, index, text.constData(), static_cast<sqlite3_uint64>(text.size()),
                                 SQLITE_TRANSIENT, SQLITE_UTF8) == SQLITE_OK;
    }
  }
}

QVariant columnValue(sqlite3_stmt* stmt, int column) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER:
      return QVariant(static_cast<qint64>(sqlite3_column_int64(stmt, column)));
    case SQLITE_FLOAT:
      return QVariant(sqlite3_column_double(stmt, column));
    case SQLITE_BLOB: {
      const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, column));
      return QVariant(QByteArray(data, sqlite3_column_bytes(stmt, column)));
    }
    case SQLITE_TEXT: {
      const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      return QVariant(QString::fromUtf8(data, sqlite3_column_bytes(stmt, column)));
    }
    default:
      return QVariant();
  }
}

}  // namespace

bool SqliteDb::exec(const QString& sql, const QList<QVariant>& params, QList<Row>* rows) {
  if (!db_) {
    error_ = QStringLiteral("database not open");
    return false;
  }
  sqlite3_stmt* stmt = nullptr;
  const QByteArray text = sql.toUtf8();
  if (sqlite3_prepare_v2(db_, text.constData(), static_cast<int>(text.size()), &stmt, nullptr) != SQLITE_OK) {
    error_ = QString::fromUtf8(sqlite3_errmsg(db_));
    return false;
  }
  bool ok = true;
  for (int i = 0; i < params.size() && ok; ++i) ok = bindValue(stmt, i + 1, params[i]);
  if (!ok) error_ = QString::fromUtf8(sqlite3_errmsg(db_));
  while (ok) {
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) {
      error_ = QString::fromUtf8(sqlite3_errmsg(db_));
      ok = false;
      break;
    }
    if (rows) {
      Row row;
      const int count = sqlite3_column_count(stmt);
      for (int c = 0; c < count; ++c) row.append(columnValue(stmt, c));
      rows->append(row);
    }
  }
  sqlite3_finalize(stmt);
  return ok;
}

bool SqliteDb::execScript(const QString& sql) {
  if (!db_) return false;
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
    error_ = QString::fromUtf8(message ? message : "error");
    sqlite3_free(message);
    return false;
  }
  return true;
}

qint64 SqliteDb::lastInsertId() const { return db_ ? sqlite3_last_insert_rowid(db_) : 0; }

int SqliteDb::changes() const { return db_ ? sqlite3_changes(db_) : 0; }

}  // namespace kelvor
