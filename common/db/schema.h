// The database file as the installer delivers it: schema.sql (beside this header) run on a
// new file. Used by tests and by tools that need a fresh Kestyl.db.
#pragma once

#include <string>

#include "common/db/CppSQLite3.h"

// Runs the SQL script at `schemaPath` (schema.sql) on `db`. 0, or -1 when the file cannot
// be read; SQL errors throw CppSQLite3Exception.
int ApplySchemaFile(CppSQLite3DB& db, const std::string& schemaPath);
// Creates the database file `dbPath` from the script, as the installer does (own
// connection, closed again). 0, or -1 on any failure.
int CreateDatabaseFile(const std::string& dbPath, const std::string& schemaPath);
