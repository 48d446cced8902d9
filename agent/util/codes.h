// The agent's result codes, one shared number space: 0 success; the start-up codes; the
// codes handlers return and send to clients and to the desktop program.
#pragma once

enum KsResult : int {
  KS_OK = 0,
  KS_HANDLER_EXCEPTION = 16,       // "Do request exception."
  KS_POOL_NOT_CREATED = 258,       // OS_Init
  KS_MUTEX_NOT_CREATED = 259,      // OS_Init, StartHttpServer
  KS_SERVER_NOT_STARTED = 264,     // OS_Init: "Init communication server error."
  KS_OUT_OF_MEMORY = 273,          // "Allocate memory error."
  KS_NULL_INPUT = 274,             // "Input msg buffer pointer is null."
  KS_REGISTER_REFUSED = 275,       // null handler or opcode already registered
  KS_NOT_REGISTERED = 280,         // opcode not registered
  KS_SERVER_RELAY_CACHE_FULL = 4116,  // vendor server: relay cache full
  KS_PATH_MISSING = 4117,          // CheckSharePath: path does not exist
  KS_PATH_NOT_SHARED = 4118,       // CheckSharePath: path in no share
  KS_FILE_MISSING = 4119,          // download: file does not exist
  KS_FILE_SIZE = 4120,             // download: size unreadable or above the limit
  KS_NETWORK_ERROR = 4122,         // "connect net work error."
  KS_DEFAULT_SHARE_UNSET = 4123,   // "def share dir is empty."
  KS_ALREADY_RUNNING = 4124,       // "server exits."
  KS_DB_OPEN_FAILED = 4125,        // "open database error."
  KS_LOG_OPEN_FAILED = 4126,       // "open log file exits."
  KS_EMPTY_ACCOUNT = 4127,         // empty or wrong user name or password
  KS_LOCAL_PORT_UNKNOWN = 4130,    // OS_Init: "get local bind port error."
  KS_DB_WRITE_FAILED = 4108,       // "write log on info to db error."
  KS_INVALID_ACCOUNT = 4132,       // forbidden character / server choice failed
};
