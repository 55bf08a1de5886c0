#include "core/util_db.h"

#include "core/log.h"
#include "core/util_system.h"

#include <array>

namespace {

struct State {
  std::optional<sql::Database> db;
  bool openAttempted = false;
  bool tablesCreated = false;
};

State& state() {
  static State s;
  return s;
}

// The schema, one statement per entry, run in this order.
constexpr std::array<const char*, 15> kSchema = {
    "CREATE TABLE if not exists  [icons](  [key] VARCHAR2(512) NOT NULL UNIQUE,   [value] TEXT,   PRIMARY KEY([key] COLLATE[NOCASE]));  ",
    " CREATE INDEX if not exists[idx_icons_key] ON[icons] ([key] COLLATE [NOCASE]); ",
    "CREATE TABLE if not exists [items] (  [type] INT,   [path] VARCHAR2(300),   [ctime] DATETIME   );  ",
    " CREATE INDEX if not exists[idx_items_path] ON[items] ([type], [path] COLLATE [NOCASE]); ",
    "CREATE TABLE if not exists [localshare] (  [id_acc] BIGINT(20),  [tag] VARCHAR2(30),   [path] VARCHAR2(1024),   [password] VARCHAR2(30),   [isenabled] INT(1),   [isupload] INT(1),   [isdownload] INT(1),   [isdir] INT(1),   [ctime] DATETIME   );  ",
    " CREATE INDEX if not exists[idx_id_acc]  ON [localshare]([id_acc]); ",
    " CREATE INDEX if not exists[idx_tag]  ON [localshare]([tag]); ",
    "CREATE TABLE if not exists [localshare_ext] (  [id_acc] BIGINT(20),  [tag] VARCHAR2(30),   [key] VARCHAR2(50),   [value] VARCHAR2(200),   [ctime] DATETIME   );  ",
    " CREATE INDEX if not exists[idx_id_acc]  ON [localshare_ext]([id_acc]); ",
    " CREATE INDEX if not exists[idx_tag]  ON [localshare_ext]([tag]); ",
    "CREATE TABLE if not exists [localshare_log] (  [id_log] BIGINT(20),  [id_acc] BIGINT(20),  [username] VARCHAR2(30),   [operation] VARCHAR2(50),   [target] VARCHAR2(200),   [ctime] DATETIME   );  ",
    " CREATE INDEX if not exists[idx_id_log]  ON [localshare_log]([id_log]); ",
    " CREATE INDEX if not exists[idx_id_ctime]  ON [localshare_log]([ctime]); ",
    "CREATE TABLE if not exists [remotesharing] (  [id_acc] BIGINT(20),   [hostid] VARCHAR2(50),   [hostname] VARCHAR2(50),   [hosttag] VARCHAR2(50),   [password] VARCHAR2(50),   [aliasname] VARCHAR2(30)   );  ",
    "CREATE TABLE if not exists [contactperson] (  [id_acc] BIGINT(20),  [uuid_cp] VARCHAR2(50),   [cpname] VARCHAR2(50),   [cpmail] VARCHAR2(50),   [cpmobile] VARCHAR2(30),   [aliasname] VARCHAR2(30),   [accesscode] VARCHAR2(30)   );  ",
};

sql::Database* connection() {
  sql::Database* db = UtilDB::db();
  if (!db) zlog::line(QStringLiteral("UtilDB - database not open"));
  return db;
}

// Prepares and binds; logs and gives false on failure.
bool prepare(sql::Statement& statement, const sql::Params& params) {
  if (statement.isValid() && statement.bindAll(params)) return true;
  zlog::line(statement.error());
  return false;
}

}  // namespace

QRecursiveMutex& UtilDB::mutex() {
  static QRecursiveMutex m;
  return m;
}

sql::Database* UtilDB::db() {
  auto& db = state().db;
  return db ? &*db : nullptr;
}

bool UtilDB::isTablesCreated() { return state().tablesCreated; }

QString UtilDB::databasePath() {
  return documentsPath(QStringLiteral("Kelvor")) + QStringLiteral("/db/kelvor.dat");
}

void UtilDB::open() {
  QMutexLocker lock(&mutex());
  if (state().openAttempted) return;
  QString dir = documentsPath(QStringLiteral("Kelvor"));
  ensureDirectory(dir);
  dir += QStringLiteral("/db");
  ensureDirectory(dir);
  const QString path = dir + QStringLiteral("/kelvor.dat");
  zlog::line(QStringLiteral("Kelvor Local Cache @ ") + path);
  openAt(path);
}

bool UtilDB::openAt(const QString& path) {
  QMutexLocker lock(&mutex());
  reset();
  auto& s = state();
  s.openAttempted = true;
  QString error;
  s.db = sql::Database::open(path, &error);
  if (!s.db) {
    zlog::line(error);
    return false;
  }
  createTables();
  return true;
}

void UtilDB::reset() {
  QMutexLocker lock(&mutex());
  auto& s = state();
  s.db.reset();
  s.openAttempted = false;
  s.tablesCreated = false;
}

void UtilDB::createTables() {
  QMutexLocker lock(&mutex());
  auto& s = state();
  if (s.tablesCreated || !s.db) return;
  for (const char* text : kSchema) {
    if (!s.db->execute(QString::fromUtf8(text))) {
      zlog::line(s.db->lastError());
      break;
    }
  }
  s.tablesCreated = true;
}

QString UtilDB::getValue(const QString& key) {
  return queryString(QStringLiteral("select value from icons where key=? "), {key}).value_or(QString());
}

bool UtilDB::deleteValue(const QString& key) {
  return execute(QStringLiteral("delete from icons where key=?"), {key});
}

bool UtilDB::setValue(const QString& key, const QString& value) {
  QMutexLocker lock(&mutex());
  sql::Database* db = connection();
  if (!db) return false;
  // Delete and insert together: a failed insert leaves the old value in place.
  sql::Transaction transaction(*db);
  if (!transaction.isActive()) {
    zlog::line(db->lastError());
    return false;
  }
  if (!db->execute(QStringLiteral("delete from icons where key=?"), {key}) ||
      !db->execute(QStringLiteral("insert into icons (key,value) values( ?, ? ) "), {key, value}) ||
      !transaction.commit()) {
    zlog::line(db->lastError());
    return false;
  }
  return true;
}

std::optional<QString> UtilDB::queryString(const QString& statement, const sql::Params& params) {
  QMutexLocker lock(&mutex());
  sql::Database* db = connection();
  if (!db) return std::nullopt;
  sql::Statement query(*db, statement);
  if (!prepare(query, params)) return std::nullopt;
  switch (query.step()) {
    case sql::Statement::Step::Row: return query.columnText(0);
    case sql::Statement::Step::Done: return std::nullopt;
    case sql::Statement::Step::Error: break;
  }
  zlog::line(query.error());
  return std::nullopt;
}

bool UtilDB::queryExists(const QString& statement, const sql::Params& params) {
  QMutexLocker lock(&mutex());
  sql::Database* db = connection();
  if (!db) return false;
  sql::Statement query(*db, statement);
  if (!prepare(query, params)) return false;
  const auto step = query.step();
  if (step == sql::Statement::Step::Error) zlog::line(query.error());
  return step == sql::Statement::Step::Row;
}

bool UtilDB::execute(const QString& statement, const sql::Params& params) {
  QMutexLocker lock(&mutex());
  sql::Database* db = connection();
  if (!db) return false;
  if (db->execute(statement, params)) return true;
  zlog::line(db->lastError());
  return false;
}

QList<sql::Row> UtilDB::queryRows(const QString& statement, const sql::Params& params) {
  QMutexLocker lock(&mutex());
  QList<sql::Row> rows;
  sql::Database* db = connection();
  if (db && !db->query(statement, params, &rows)) zlog::line(db->lastError());
  return rows;
}
