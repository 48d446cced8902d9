#include "common/db/transaction.h"

namespace ks::db {

bool RunTransaction(CppSQLite3DB& db, const std::function<void(CppSQLite3DB&)>& work,
                    std::optional<CppSQLite3Exception>* error, std::string* rollbackError) {
  if (error) error->reset();
  if (rollbackError) rollbackError->clear();
  CppSQLite3Transaction txn(db);  // its destructor rolls back on any other exception
  try {
    txn.begin();
    work(db);
    txn.commit();
    return true;
  } catch (const CppSQLite3Exception& e) {
    std::string failed;
    if (txn.rollback(&failed) != 0 && rollbackError) *rollbackError = failed;
    if (error) error->emplace(e);
    return false;
  }
}

}  // namespace ks::db
