-- The installer's Kestyl.db: the tables delivered with the database file. The agent
-- creates ks_svlist and AutoTiding itself at start-up. Applied once, to a new file
-- (scripts/make-root; tests build their databases from this file too).
BEGIN TRANSACTION;

-- The vendor account: at most one row.
CREATE TABLE ks_user (email TEXT, psw TEXT);

-- Settings, only read by the agent: one row.
--   localport     message-server port of the desktop program's requests
--   log_console   1 echoes the log on the console
--   log_priority  log threshold: 300 error, 400 warning, 600 info, 700 debug
--   p2phost/port  rendezvous server of the P2P transfer; empty: not configured
CREATE TABLE ks_conf (localport INTEGER, log_console INTEGER, log_priority INTEGER,
                      p2phost TEXT, p2pport INTEGER);
INSERT INTO ks_conf (localport, log_console, log_priority, p2phost, p2pport)
  VALUES (15002, 0, 600, '', 0);

-- The data folder and its five category folders: at most one row.
CREATE TABLE ks_defshare (def TEXT, def_pic TEXT, def_music TEXT, def_video TEXT,
                          def_doc TEXT, def_instant TEXT);

-- Shared folders, one row each.
CREATE TABLE ks_share (path TEXT);

-- Transfer log: type 0 upload to the PC, 1 download from it; size in bytes (64-bit);
-- time "%Y-%m-%d %H:%M:%S". id grows, so the oldest rows have the smallest ids.
CREATE TABLE ks_trans (id INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, status INTEGER,
                       file TEXT, size INTEGER, time TEXT);

-- The access password mobile clients present: at most one row.
CREATE TABLE ks_psw (psw TEXT);

COMMIT;
