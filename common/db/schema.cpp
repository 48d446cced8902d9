#include "common/db/schema.h"

#include <fstream>
#include <sstream>

int ApplySchemaFile(CppSQLite3DB& db, const std::string& schemaPath) {
  std::ifstream in(schemaPath, std::ios::binary);
  if (!in) return -1;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return -1;
  db.execDML(text.str().c_str());
  return 0;
}

int CreateDatabaseFile(const std::string& dbPath, const std::string& schemaPath) {
  try {
    CppSQLite3DB db;
    db.open(dbPath.c_str());
    int rc = ApplySchemaFile(db, schemaPath);
    db.close();
    return rc;
  } catch (const CppSQLite3Exception&) {
    return -1;
  }
}
