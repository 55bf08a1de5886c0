#include "core/sql.h"

#include <sqlite3.h>

#include <atomic>

namespace sql {

namespace {
// How long a statement waits for another connection's lock before failing.
constexpr int kBusyTimeoutMs = 250;
}  // namespace

Database::~Database() {
  if (handle_) sqlite3_close_v2(handle_);
}

Database::Database(Database&& other) noexcept
    : handle_(other.handle_), path_(std::move(other.path_)), lastError_(std::move(other.lastError_)) {
  other.handle_ = nullptr;
}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    if (handle_) sqlite3_close_v2(handle_);
    handle_ = other.handle_;
    path_ = std::move(other.path_);
    lastError_ = std::move(other.lastError_);
    other.handle_ = nullptr;
  }
  return *this;
}

std::optional<Database> Database::open(const QString& path, QString* error) {
  sqlite3* handle = nullptr;
  const int rc = sqlite3_open_v2(path.toUtf8().constData(), &handle,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    if (error)
      *error = handle ? QString::fromUtf8(sqlite3_errmsg(handle)) : QString::fromUtf8(sqlite3_errstr(rc));
    sqlite3_close_v2(handle);
    return std::nullopt;
  }
  sqlite3_busy_timeout(handle, kBusyTimeoutMs);
  sqlite3_extended_result_codes(handle, 1);
  Database db;
  db.handle_ = handle;
  db.path_ = path;
  return db;
}

bool Database::execute(const QString& text, const Params& params) {
  Statement statement(*this, text);
  if (statement.isValid() && statement.bindAll(params) && statement.run()) return true;
  lastError_ = statement.error();
  return false;
}

bool Database::query(const QString& text, const Params& params, QList<Row>* rows) {
  Statement statement(*this, text);
  if (!statement.isValid() || !statement.bindAll(params)) {
    lastError_ = statement.error();
    return false;
  }
  QList<Row> found;
  for (;;) {
    switch (statement.step()) {
      case Statement::Step::Row: {
        Row row;
        for (int c = 0; c < statement.columnCount(); ++c) row.values.append(statement.columnValue(c));
        found.append(std::move(row));
        continue;
      }
      case Statement::Step::Done:
        rows->append(std::move(found));
        return true;
      case Statement::Step::Error:
        lastError_ = statement.error();
        return false;
    }
  }
}

qint64 Database::lastInsertId() const { return handle_ ? sqlite3_last_insert_rowid(handle_) : 0; }

int Database::changes() const { return handle_ ? sqlite3_changes(handle_) : 0; }

Statement::Statement(Database& db, const QString& text) : db_(db.handle()) {
  if (!db_) {
    error_ = QStringLiteral("database not open");
    return;
  }
  const QByteArray utf8 = text.toUtf8();
  if (sqlite3_prepare_v2(db_, utf8.constData(), int(utf8.size()), &stmt_, nullptr) != SQLITE_OK) {
    setErrorFromDb();
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
  } else if (!stmt_) {
    error_ = QStringLiteral("empty statement");
  }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::setErrorFromDb() { error_ = QString::fromUtf8(sqlite3_errmsg(db_)); }

bool Statement::bind(int index, const QVariant& value) {
  if (!stmt_) return false;
  int rc = SQLITE_OK;
  if (value.isNull() && value.typeId() != QMetaType::QString && value.typeId() != QMetaType::QByteArray) {
    rc = sqlite3_bind_null(stmt_, index);
  } else {
    switch (value.typeId()) {
      case QMetaType::Bool:
      case QMetaType::Int:
      case QMetaType::UInt:
      case QMetaType::Long:
      case QMetaType::LongLong:
      case QMetaType::Short:
      case QMetaType::UShort:
      case QMetaType::ULong:
      case QMetaType::ULongLong:
        rc = sqlite3_bind_int64(stmt_, index, value.toLongLong());
        break;
      case QMetaType::Double:
      case QMetaType::Float:
        rc = sqlite3_bind_double(stmt_, index, value.toDouble());
        break;
      case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        rc = sqlite3_bind_blob64(stmt_, index, bytes.constData(), sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT);
        break;
      }
      default: {
        // Text (and anything convertible to it) binds as UTF-8; an empty
        // QString stays the empty text, never NULL.
        const QByteArray utf8 = value.toString().toUtf8();
        rc = sqlite3_bind_text64(stmt_, index, utf8.constData(), sqlite3_uint64(utf8.size()), SQLITE_TRANSIENT,
                                 SQLITE_UTF8);
        break;
      }
    }
  }
  if (rc != SQLITE_OK) {
    setErrorFromDb();
    return false;
  }
  return true;
}

bool Statement::bindAll(const Params& params) {
  if (!stmt_) return false;
  if (params.size() != sqlite3_bind_parameter_count(stmt_)) {
    error_ = QStringLiteral("statement expects %1 values, %2 given")
                 .arg(sqlite3_bind_parameter_count(stmt_))
                 .arg(params.size());
    return false;
  }
  for (int i = 0; i < params.size(); ++i)
    if (!bind(i + 1, params[i])) return false;
  return true;
}

Statement::Step Statement::step() {
  if (!stmt_) return Step::Error;
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return Step::Row;
  if (rc == SQLITE_DONE) return Step::Done;
  setErrorFromDb();
  return Step::Error;
}

bool Statement::run() {
  for (;;) {
    switch (step()) {
      case Step::Row: continue;
      case Step::Done: return true;
      case Step::Error: return false;
    }
  }
}

int Statement::columnCount() const { return stmt_ ? sqlite3_column_count(stmt_) : 0; }

bool Statement::columnIsNull(int column) const {
  return !stmt_ || sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

QString Statement::columnText(int column) const {
  if (!stmt_) return {};
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return text ? QString::fromUtf8(text, sqlite3_column_bytes(stmt_, column)) : QString();
}

qint64 Statement::columnInt64(int column) const { return stmt_ ? sqlite3_column_int64(stmt_, column) : 0; }

double Statement::columnDouble(int column) const { return stmt_ ? sqlite3_column_double(stmt_, column) : 0.0; }

QByteArray Statement::columnBlob(int column) const {
  if (!stmt_) return {};
  const void* data = sqlite3_column_blob(stmt_, column);
  return data ? QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(stmt_, column)) : QByteArray();
}

QVariant Statement::columnValue(int column) const {
  if (!stmt_) return {};
  switch (sqlite3_column_type(stmt_, column)) {
    case SQLITE_INTEGER: return columnInt64(column);
    case SQLITE_FLOAT: return columnDouble(column);
    case SQLITE_BLOB: return columnBlob(column);
    case SQLITE_NULL: return {};
    default: return columnText(column);
  }
}

QString Row::text(int column) const { return column < values.size() ? values[column].toString() : QString(); }
qint64 Row::integer(int column) const { return column < values.size() ? values[column].toLongLong() : 0; }
bool Row::isNull(int column) const { return column >= values.size() || values[column].isNull(); }
void Row::textsInto(std::initializer_list<QString*> fields, int first) const {
  for (QString* field : fields) *field = text(first++);
}

Transaction::Transaction(Database& db) : db_(db) {
  static std::atomic<quint64> counter{0};
  name_ = QStringLiteral("tx_%1").arg(++counter);
  active_ = db_.execute(QStringLiteral("SAVEPOINT ") + name_);
}

Transaction::~Transaction() { rollback(); }

bool Transaction::commit() {
  if (!active_) return false;
  if (!db_.execute(QStringLiteral("RELEASE ") + name_)) return false;  // still active: the destructor rolls back
  active_ = false;
  return true;
}

void Transaction::rollback() {
  if (!active_) return;
  active_ = false;
  db_.execute(QStringLiteral("ROLLBACK TO ") + name_);
  db_.execute(QStringLiteral("RELEASE ") + name_);
}

}  // namespace sql
