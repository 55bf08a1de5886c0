// The local database: one SQLite file, "kelvor.dat" in Kelvor/db of the
// user's documents folder, opened once at start-up and kept for the life of
// the process. Holds the shares, saved hosts, contacts and a key/value store of
// settings (table `icons`).
//
// Every value goes into a statement as a bound parameter. No database error
// reaches the caller as an error: each is logged once and becomes "", false,
// none or an empty list. Each helper runs under mutex(), so the connection
// runs one statement (or one settings write) at a time; code that works on
// db() directly from another thread holds mutex() for the whole statement.
#pragma once

#include "core/sql.h"

#include <QList>
#include <QRecursiveMutex>
#include <QString>

#include <optional>

class UtilDB {
 public:
  // The one connection, or nullptr while none is open.
  static sql::Database* db();
  static QRecursiveMutex& mutex();
  // Set once the schema statements have run (after success or failure).
  static bool isTablesCreated();

  // The database file's place: <documents>/Kelvor/db/kelvor.dat.
  static QString databasePath();
  // Makes the folders, logs the path, opens the file and creates the tables.
  // Runs once per process; later calls do nothing.
  static void open();
  // Opens the file at `path` instead, replacing any open connection, and
  // creates the tables. For tests and tools; false when the open failed.
  static bool openAt(const QString& path);
  // Closes the connection and forgets that the schema ran, so open() runs anew.
  static void reset();

  static void createTables();

  // Settings store. An absent key (or a failure) gives "".
  static QString getValue(const QString& key);
  // Replaces the key's value atomically: on failure the old value stays.
  static bool setValue(const QString& key, const QString& value);
  static bool deleteValue(const QString& key);

  // First column of the first row as text (NULL reads as ""); none when there
  // is no row or the query fails.
  static std::optional<QString> queryString(const QString& statement, const sql::Params& params = {});
  // True when the query yields a row; false when none or on failure.
  static bool queryExists(const QString& statement, const sql::Params& params = {});
  // Runs a statement that yields no rows (insert, update, delete).
  static bool execute(const QString& statement, const sql::Params& params = {});
  // Every row of a query; empty when none or on failure.
  static QList<sql::Row> queryRows(const QString& statement, const sql::Params& params = {});
};
