// Uploads from mobile clients with resume.
//
// A client announces a file (MSG_REQ_UPLOAD_FILE: size, fingerprint, target path) and
// learns from which offset to send; it sends the data (MSG_UPLOAD_FILE) and ends the upload
// (MSG_OVER_UPLOAD_FILE). The bytes go to a hidden temporary file next to the target T, with
// a resume journal beside it (journal.h); only a finished upload gets a visible name.
//
// Wire (big-endian, MsgHead first; a request from the relay connection has the 64-byte
// peer id and the MsgHead again in front of its body):
//   MSG_REQ_UPLOAD_FILE (1)       380 bytes: u32 size, u32 (carried), 16 bytes fingerprint
//                                 (binary), 1 byte (carried), target path in UTF-8 from
//                                 offset 25 (NUL-terminated, at most 254 characters used)
//   MSG_REQ_UPLOAD_FILE_OK        {12, 0x1001, session id}, u32 resume offset
//   MSG_UPLOAD_ERROR              {266, 0x1011, session id}, u16 code, "0", 255 zero bytes
//   MSG_UPLOAD_FILE (2)           {20 + n, 2, session id}, 12 bytes not read, n data bytes
//   MSG_OVER_UPLOAD_FILE (3)      first body byte: 0 complete, anything else unfinished
// The session id is the head's word; sessions live in the transfer-session table under
// the owner of the channel (kRelayOwner for relay and relay-poll traffic).
//
// Guarantees:
// - Containment first: the target's deepest existing folder must lie in a share before
//   any missing folder is created; ".." and relative paths are refused (4118), as are
//   targets whose name contains "kestyl.rename" (reserved for the upload files).
// - The target's folder is opened once, beneath its share root (share_open.h: element by
//   element, no link out of the share followed), missing folders being made inside it; the
//   session keeps that descriptor, and the journal, the temporary file, the checks and the
//   published name are all relative to it (openat, renameat2 without replacing). A folder
//   swapped for a link to elsewhere meanwhile can never draw a byte of the upload outside
//   the share; a folder that leads out at the announcement is refused (4118).
// - Free space of the target's file system (64-bit KB) must exceed size / 1024.
// - A target that already holds the announced file answers its size; no session is
//   opened, so the end of the upload creates nothing.
// - A new announcement for a target ends only the sessions of the same owner or of the
//   same fingerprint (a client taking over its own cut upload, also from a new
//   connection); while another client's upload of other content to the target runs, the
//   newcomer gets a temporary file of its own under a fresh name (not resumable). A session
//   that ends unfinished, is taken over or whose channel closes deletes its temporary file
//   when no journal exists for it.
// - Durability: the folder is synced after the journal is made; the temporary file is
//   synced (fdatasync) before its final check and rename, and the folder after the rename,
//   so a power cut never leaves a published file shorter than what was logged finished.
// - A journal for the same target and fingerprint resumes at the temporary file's size
//   (restart at 0 when that exceeds the announced size). A journal for another fingerprint
//   is left alone: the new upload writes to a fresh unused temporary name, which cannot be
//   resumed and goes when the upload ends unfinished. A missing or damaged journal starts
//   over with a new one.
// - A chunk whose length does not fit its message is dropped; bytes beyond the announced
//   size are never written. A failed write (full disk) cuts the temporary file back to the
//   last whole chunk and closes it: later chunks are dropped and the upload can resume.
// - MSG_OVER_UPLOAD_FILE(0) publishes only a temporary file of exactly the announced size
//   whose fingerprint matches; a short one keeps temporary file and journal for a resume, a
//   mismatch deletes both. Publishing never replaces an existing file: a taken name moves
//   on to T.(0).ext, T.(1).ext, ... (T.(0) without extension). One transfer-log row.
// - A temporary file that cannot be opened answers MSG_UPLOAD_ERROR 0xFFFF; so does a
//   target longer than 254 characters once the virtual share name is expanded (the
//   journal's field): it is never cut to another name.
// - Messages 2 and 3 arriving on the relay connection itself (direct 0, no UDT socket) are
//   ignored: relayed chunks come through the relay poll.
// No answer is sent for chunks or for the end of an upload.
//
// Threads: handlers may run on several threads at once. Each session's writes and the
// close of its file are serialised by the session's own lock; announcements and endings
// are serialised among themselves (they decide the fate of the files of a target).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/net/msg/msg.h"

namespace ks::upload {

int ReqUpLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                  ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);
int UpLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
               ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);
int OverUpLoadFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                   ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);

constexpr size_t kAnnounceBodySize = 380;
constexpr size_t kAnnouncePathOffset = 25;
constexpr size_t kOkAnswerSize = 12;
constexpr size_t kErrorAnswerSize = 266;
constexpr size_t kChunkPrefixSize = 12;  // body bytes before the data of MSG_UPLOAD_FILE
constexpr uint16_t kErrorNoSpace = 0xFFFF;  // also: temporary file cannot be opened

// Free space of the file system that holds `folder`, in KB: 0, or -1 when unreadable.
// The default reads the KESTYL_FREE_KB setting when it is set (a fixed figure for tests
// and trials) and the file system otherwise. Null restores the default.
using FreeSpaceProbe = int (*)(const std::string& folder, uint64_t& kb);
void SetFreeSpaceProbe(FreeSpaceProbe probe);

}  // namespace ks::upload
