// Database adaption (cmd_db_adaption): carries the owner's data from an old copy of the
// agent's database file into a new one, then deletes the old file.
//
// Read from the old file (opened read-only; NULL reads as ""): "email" and "psw" of the
// first ks_user row, the six folders of the first ks_defshare row, "path" of every ks_share
// row in query order. A table without rows gives empty texts.
// Written into the new file (opened read-write, never created), three groups in this
// order, each one transaction under the wrapper's mutex on its own connection:
//   shares         one insert per path, in order
//   account        "delete from ks_user;" then one insert of the two values
//   default shares "delete from ks_defshare;" then one insert of the six values
// (an agent reads the first row of ks_user and ks_defshare: the old owner's row replaces an
// installer's rather than sitting behind it). A failed group is rolled back and the next
// one still runs.
// Result: true only when every group committed; then the old file is deleted (a failed
// deletion is ignored). false, with nothing written, when the old file cannot be opened for
// reading or read as the agent's database, when the new file is missing, or when both
// names lead to the same file (same device and inode, e.g. through a symbolic link);
// false with the old file kept when a group failed (the committed groups stay).
#pragma once

#include <string>

namespace ks::cmd {

bool AdaptDatabase(const std::string& old_file, const std::string& new_file);

// The SQL texts, as sent.
inline constexpr const char* kSelectUser = "select * from ks_user;";
inline constexpr const char* kSelectDefShare = "select * from ks_defshare;";
inline constexpr const char* kSelectShare = "select * from ks_share;";
inline constexpr const char* kInsertShare = "insert into ks_share(path)values(%Q)";
inline constexpr const char* kDeleteUser = "delete from ks_user;";
inline constexpr const char* kInsertUser = "insert into ks_user(email,psw)values(%Q,%Q)";
inline constexpr const char* kDeleteDefShare = "delete from ks_defshare;";
inline constexpr const char* kInsertDefShare =
    "insert into ks_defshare(def,def_pic,def_music,def_video,def_doc,def_instant)values(%Q,%Q,%Q,%Q,%Q,%Q)";

}  // namespace ks::cmd
