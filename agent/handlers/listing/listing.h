// Share listings for mobile clients: the list of shared folders and the entries of one
// folder.
//
// MSG_GET_SHARE_INFO (0x2002), no body. Reply: MsgHead {20 + n, 0x2002, word}, u16 number
// of folders, u16 0, u32 0, u32 0, then every ks_share folder in UTF-8 followed by "\r\n"
// (no NUL). A list that would pass the 16-bit message length is cut at a line boundary
// (and the count with it).
//
// MSG_GET_ALL_SUB_FILE (0x2003), body of 356 bytes (a shorter one reads as zero-filled):
// byte 0 unused, the folder path in UTF-8 from offset 1 (NUL-terminated within 255 bytes,
// may start with a virtual share name), byte 256 the count flag ("1": total in network
// order). The folder must pass CheckSharePath; it is listed with GetSubFileInfo (folders
// first, hidden and system entries absent) and sent as packages of at most four lines:
//   0  MsgHead {20 + n, 0x2003, word}
//   8  u32 entries in this package (big-endian)
//   12 u32 entries of the folder: big-endian with flag "1", else little-endian
//   16 "1", then 3 zero bytes
//   20 n bytes of lines "time\tkind\tsize\tname\r\n" (size in full 64 bits, name UTF-8)
// each written whole to the request's channel. Errors and an empty folder answer the
// 368-byte empty answer (MsgHead {368, 0x2003, word}, 360 zero bytes) as the reply:
// result 4123 (default share folder not set), 4117 (missing), 4118 (not shared), 0 (empty
// folder). All packages are built before the first is sent; when memory runs out none is
// sent, the client gets the empty answer and the result is 273.
//
// Handlers follow the contract of agent/net/msg/msg.h and log under "Intranet tran".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/core/shares/share_policy.h"
#include "agent/core/shares/folders.h"
#include "agent/net/msg/msg.h"

namespace ks::listing {

constexpr size_t kListRequestSize = 356;
constexpr size_t kListPathOffset = 1;
constexpr size_t kListPathSize = 255;
constexpr size_t kListFlagOffset = 256;
constexpr size_t kListPackageHeadSize = 20;
constexpr size_t kEntriesPerPackage = 4;
constexpr size_t kEmptyAnswerSize = 368;

int GetShareInfo(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                 ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);
int GetAllSubFile(const uint8_t* body, size_t bodyLength, const ks::net::MsgHead* head,
                  ks::net::Channel* conn, std::vector<uint8_t>* reply, int* udtSocket, int* direct);

// One listing line: "time\tkind\tsize\tname\r\n", the name converted to UTF-8.
std::string ListingLine(const SubFileInfo& entry);

// The packages of a listing (lines already built), in sending order. Throws
// std::bad_alloc when memory runs out.
std::vector<std::vector<uint8_t>> BuildListingPackages(const std::vector<std::string>& lines,
                                                       uint32_t word, bool totalInNetworkOrder);

namespace testing {
// Makes the building of the n-th package (0-based) fail as if memory ran out; -1 clears.
void FailPackageAllocationAt(int n);
}  // namespace testing

}  // namespace ks::listing
