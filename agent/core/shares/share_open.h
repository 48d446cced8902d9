// Opening what a client names: the one way from a checked share path to a descriptor.
//
// A path that passed the share policy (share_policy.h) may change between that check and
// its use: anyone who can write inside a share (another account, another program) can
// swap a file or a folder for a symbolic link to anywhere. So the path is never opened by
// name. OpenInShare finds the share root the path lies under, opens that root, and walks
// the rest element by element from the root's descriptor with openat(O_NOFOLLOW):
//   - "." and empty elements are skipped; ".." goes back one element and never above the
//     root;
//   - a symbolic link met on the way is read (readlinkat) and its target walked instead: a
//     relative target from the link's folder, an absolute one only when it lies in the
//     root's real location (then from the root); anything else, or more than 40 links,
//     fails. So links that stay inside the share work, and none leads out of it;
//   - every folder on the way is held open as a descriptor, so renaming or swapping a
//     folder above cannot move the walk elsewhere.
// What is opened is the object itself, under the caller's flags plus O_NOFOLLOW and
// O_CLOEXEC; callers then judge its type with fstat and read, list, thumbnail or send that
// descriptor only. A caller that must come back to the object later (a download between
// request and allow) keeps its device and inode and compares them when it opens again.
//
// Results are 0 or an errno value: ENOENT missing, EXDEV outside the share (a link
// leading out, no root containing the path), ELOOP too many links, ENOTDIR a file where a
// folder is needed, others from the system.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ks::shares {

// Opens `path` (a local path as GetRealPath gives it; normalised here, ".." refused) inside
// the share root that contains it, chosen among `roots` (configured paths; the longest
// that the path lies under, by its text or by the root's real location). *fd receives the
// descriptor on success.
int OpenInShareRoots(const std::string& path, const std::vector<std::string>& roots, int flags, int* fd);

// A share root as configured (normalised) with its real (symlink-resolved) location, for
// callers that open many paths against the same roots and resolve them once.
struct ResolvedRoot {
  std::string path;
  std::string real;
  // An O_PATH descriptor of the folder at `path`, opened and kept by whoever resolved the
  // roots (HeldRoots) and valid while they use them: the walk starts from it instead of
  // opening the root by name at each call. -1: opened by name at each call.
  int fd = -1;
};
// `roots` resolved: each normalised, kept when it exists (empty and missing roots are left out).
std::vector<ResolvedRoot> ResolveRoots(const std::vector<std::string>& roots);
// Each root's folder opened (O_PATH) into its `fd`; a root that cannot be opened keeps -1.
// The caller closes them with CloseHeldRoots when it stops using the roots.
void HoldRoots(std::vector<ResolvedRoot>* roots);
void CloseHeldRoots(std::vector<ResolvedRoot>* roots);
// OpenInShareRoots against roots resolved beforehand: no realpath per call.
int OpenInResolvedRoots(const std::string& path, const std::vector<ResolvedRoot>& roots, int flags, int* fd);
// Whether `path` (normalised here, ".." refused) lies under one of `roots` by text or real
// location: what OpenInResolvedRoots would walk from rather than refuse at once.
bool UnderResolvedRoots(const std::string& path, const std::vector<ResolvedRoot>& roots);
// The same against the shares of the database (GetShareRoots).
int OpenInShare(const std::string& path, int flags, int* fd);

// The walk on its own: `relative` ("/"-separated, may be empty for the root itself) below
// the folder `root`, whose real location is `rootReal`.
int OpenBeneath(const std::string& root, const std::string& rootReal, const std::string& relative, int flags,
                int* fd);

// The folder `path` inside its share, opened as OpenInShare does with O_RDONLY |
// O_DIRECTORY (so the descriptor can serve as the base of *at calls and be synced). With
// `create`, folders that are missing are made one at a time, each by mkdirat in its
// parent's descriptor: a folder swapped for a link on the way can never have one made
// outside the share. 0 with *fd, or an errno value as OpenInShare's.
int OpenFolderInShareRoots(const std::string& path, const std::vector<std::string>& roots, bool create, int* fd);
// The same against the shares of the database.
int OpenFolderInShare(const std::string& path, bool create, int* fd);

// A name that reaches exactly the object `fd` is open on ("/proc/self/fd/N"), for code
// that reads by name (decoders, folder listings): what it names cannot be swapped.
std::string DescriptorPath(int fd);

// Device and inode of an open descriptor, to recognise the same object later.
struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool IdentityOf(int fd, FileIdentity* id);

// A regular file through OpenInShare (O_RDONLY | O_NONBLOCK: a FIFO in its place never
// blocks) that, when `expected` is given and not 0/0, is that same file. 0 with *fd and
// *size, or an errno value: EINVAL not a regular file, ESTALE another file than expected,
// and OpenInShare's.
int OpenRegularInShare(const std::string& path, const FileIdentity* expected, int* fd, uint64_t* size);

}  // namespace ks::shares
