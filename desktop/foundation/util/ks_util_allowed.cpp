// Folders that may not be chosen as share, data or synchronisation folder.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "desktop/foundation/util/ks_util.h"

namespace {

namespace fs = std::filesystem;

// The path with its links resolved as far as it exists and the rest made normal ("." and
// ".." removed, no trailing "/"); "" when that fails.
std::string Resolved(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::path(path), ec);
  if (ec) return "";
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// `path` equals `tree` or lies below it, per component. A tree ending in "*" matches any
// last component that begins with the text before the star ("/lib*": /lib, /lib64/x).
bool Below(const std::string& path, const std::string& tree) {
  if (tree.empty()) return false;
  if (tree.back() == '*') {
    // The stem holds no "/" after its last one, so a prefix match is a component match.
    return path.compare(0, tree.size() - 1, tree, 0, tree.size() - 1) == 0;
  }
  if (path.compare(0, tree.size(), tree) != 0) return false;
  return path.size() == tree.size() || path[tree.size()] == '/';
}

}  // namespace

const char* CKSUtil::SystemTreesDefault() {
  return "/usr:/etc:/var:/proc:/sys:/dev:/boot:/tmp:/bin:/sbin:/lib*:/opt:/run";
}

std::vector<std::string> CKSUtil::SystemTrees() {
  const char* env = std::getenv("KESTYL_SYSTEM_TREES");
  const std::string list = env && *env ? env : SystemTreesDefault();
  std::vector<std::string> trees;
  size_t from = 0;
  while (from <= list.size()) {
    size_t colon = list.find(':', from);
    if (colon == std::string::npos) colon = list.size();
    std::string t = list.substr(from, colon - from);
    while (t.size() > 1 && t.back() == '/') t.pop_back();
    if (!t.empty() && t[0] == '/' && t != "/") trees.push_back(t);
    from = colon + 1;
  }
  return trees;
}

bool CKSUtil::IsAllowedFolder(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  const std::string real = Resolved(path);
  if (real.empty() || real == "/") return false;
  for (const std::string& tree : SystemTrees()) {
    if (Below(real, tree)) return false;
    // A tree that is itself a link (/lib -> usr/lib) is also compared as what it names.
    if (tree.back() != '*') {
      const std::string realTree = Resolved(tree);
      if (!realTree.empty() && realTree != "/" && Below(real, realTree)) return false;
    }
  }
  return true;
}
