// One write transaction on a shared connection, as one call: the begin / statements /
// commit, and on failure the rollback, that every writer of the database would otherwise
// repeat.
//
// RunTransaction holds the connection's mutex (CppSQLite3Transaction) from before "begin
// transaction;" until the commit or the rollback is done, so no other thread's statements
// land inside it. When begin, `work` or commit throws a CppSQLite3Exception, the
// transaction is rolled back, the mutex released, and the call returns false with the
// exception in *error and, when the rollback itself failed (SQLite may already have rolled
// back), the rollback's message in *rollbackError. Any other exception from `work` rolls back
// the same way and propagates. Logging is the caller's: this library knows no log.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/db/CppSQLite3.h"

namespace ks::db {

bool RunTransaction(CppSQLite3DB& db, const std::function<void(CppSQLite3DB&)>& work,
                    std::optional<CppSQLite3Exception>* error = nullptr,
                    std::string* rollbackError = nullptr);

}  // namespace ks::db
