// Share-rooted resolution, and the status of listed entries. Every client
// path is made canonical by the host (links resolved) and then compared with
// the share's canonical root, whole components at a time (and without regard to
// case on Windows); that comparison is what keeps clients inside the
// published folders.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "config/config.h"
#include "fs/fs.h"
#include "platform/platform.h"
#include "util/util.h"

namespace {

constexpr const char* kNotFound = "The file cannot be found.";
// Longest canonical link target a listing accepts, terminator included
// (the same bound as a share root).
constexpr int kLinkTargetMax = TW3_ROOT_PATH_MAX + 1;

int not_found() {
  tw3_set_error("%s", kNotFound);
  return -1;
}

// Containment of a canonical host path in a share, under the host's rules.
bool inside(std::string_view path, const tw3_share& share) {
  return tw3_path_inside(path, share.root_path, share.single_file != 0, tw3_host_name_rules());
}

// dir + separator (unless dir is empty or already ends in one) + name into
// out (TW3_LOCAL_PATH_MAX bytes). False when it would not fit.
bool join(std::string_view dir, std::string_view name, char* out) {
  const char sep = tw3_fs_sep();
  const bool add_sep = !dir.empty() && dir.back() != sep;
  const size_t need = dir.size() + name.size() + (add_sep ? 2 : 1);
  if (need > static_cast<size_t>(TW3_LOCAL_PATH_MAX)) return false;
  char* p = std::copy(dir.begin(), dir.end(), out);
  if (add_sep) *p++ = sep;
  p = std::copy(name.begin(), name.end(), p);
  *p = '\0';
  return true;
}

// The host path of a virtual path (already in host spelling) below a root:
// '/' becomes the host's separator. False when it would not fit.
bool host_candidate(std::string_view root, std::string_view host_vpath, char* out) {
  if (!join(root, host_vpath, out)) return false;
  std::replace(out + root.size(), out + std::strlen(out), '/', tw3_fs_sep());
  return true;
}

// Walks host_vpath from the share root one component at a time; a
// component missing as spelled is replaced by the folder's entry that equals
// it without regard to case. Every folder walked through is canonical and
// inside the share before its names are looked at. The path found goes to
// out (TW3_LOCAL_PATH_MAX bytes); false when a component is found nowhere.
bool find_folded(const tw3_share& share, std::string_view host_vpath, const tw3_name_rules& rules, char* out) {
  std::string folder(share.root_path), found;
  char next[TW3_LOCAL_PATH_MAX];
  while (true) {
    const size_t cut = host_vpath.find('/');
    const std::string_view comp = host_vpath.substr(0, cut);
    tw3_stat st{};
    if (!join(folder, comp, next)) return false;
    if (tw3_fs_lstat(next, &st) != 0) {
      if (tw3_fs_stat(folder.c_str(), &st) != 0 || st.kind != TW3_KIND_DIR) return false;
      if (!tw3_name_index_find(folder.c_str(), st, comp, rules, &found) || !join(folder, found, next)) return false;
    }
    if (cut == std::string_view::npos) break;
    host_vpath.remove_prefix(cut + 1);
    if (tw3_fs_realpath(next, out, TW3_LOCAL_PATH_MAX) != 0 || !inside(out, share)) return false;
    folder = out;
  }
  std::memcpy(out, next, std::strlen(next) + 1);
  return true;
}

int resolve_folder(const tw3_share& share, std::string_view vpath, bool case_sensitive, tw3_vres* out) {
  const tw3_name_rules rules = tw3_host_name_rules();
  std::string host;
  if (!tw3_path_to_host(vpath, rules, &host)) return not_found();
  char candidate[TW3_LOCAL_PATH_MAX];
  if (!host_candidate(share.root_path, host, candidate)) return not_found();
  if (tw3_fs_realpath(candidate, out->local_path, TW3_LOCAL_PATH_MAX) != 0) {
    // Exact spelling first; only a miss looks for another case.
    if (case_sensitive || host.empty() || !find_folded(share, host, rules, candidate) ||
        tw3_fs_realpath(candidate, out->local_path, TW3_LOCAL_PATH_MAX) != 0) {
      return not_found();
    }
  }
  if (!inside(out->local_path, share)) {
    tw3_stat_add(ST_PATH_REFUSED, 1);
    return not_found();
  }
  if (tw3_fs_stat(out->local_path, &out->st) != 0) return not_found();
  if (out->st.kind == TW3_KIND_DIR) {
    out->kind = TW3_VRES_DIR;
  } else if (out->st.kind == TW3_KIND_FILE) {
    out->kind = TW3_VRES_FILE;
  } else {
    return not_found();
  }
  return 0;
}

int resolve_single_file(const tw3_share& share, std::string_view vpath, tw3_vres* out) {
  if (!vpath.empty()) return not_found();
  const size_t n = std::strlen(share.root_path);
  if (n >= sizeof out->local_path) return not_found();
  std::memcpy(out->local_path, share.root_path, n + 1);
  if (tw3_fs_stat(out->local_path, &out->st) != 0) return not_found();
  // The file may have been replaced by something else since it was shared.
  if (out->st.kind != TW3_KIND_FILE) return not_found();
  out->kind = TW3_VRES_FILE;
  return 0;
}

void take_status(const tw3_stat& data, const tw3_stat& self, tw3_vent* e) {
  e->size = data.size;
  e->mtime = data.mtime;
  e->atime = data.atime;
  e->btime = data.btime;
  e->volume_serial = self.volume_serial;
  e->file_index = self.file_index;
}

// A link is listed only when it leads to a file or folder of the same share.
bool follow_link(const tw3_share& share, const char* path, const tw3_stat& self, tw3_vent* e) {
  char target[kLinkTargetMax];
  if (tw3_fs_realpath(path, target, kLinkTargetMax) != 0) return false;
  if (!inside(target, share)) return false;
  tw3_stat st{};
  if (tw3_fs_stat(target, &st) != 0) return false;
  if (st.kind != TW3_KIND_FILE && st.kind != TW3_KIND_DIR) return false;
  e->kind = TW3_KIND_LINK;
  e->target_kind = st.kind;
  take_status(st, self, e);
  return true;
}

}  // namespace

int tw3_vfs_resolve(const char* share_name, const char* vpath, tw3_vres* out, bool case_sensitive) {
  if (out == nullptr) return not_found();
  std::memset(out, 0, sizeof *out);
  if (share_name == nullptr || tw3_share_find(share_name, &out->share) != 0) return not_found();
  if (out->share.root_path[0] == '\0') {
    out->kind = TW3_VRES_IPC;
    return 0;
  }
  const std::string_view v = vpath != nullptr ? vpath : "";
  const int rc = out->share.single_file != 0 ? resolve_single_file(out->share, v, out)
                                             : resolve_folder(out->share, v, case_sensitive, out);
  if (rc != 0) out->kind = TW3_VRES_NONE;
  return rc;
}

// The entry's own status comes from d's handle, which produced the name: a
// folder on the way to dir_path swapped for a link meanwhile cannot make it
// describe an object elsewhere. A link then goes through the share's
// containment rule like any path.
bool tw3_vfs_entry_status(const tw3_share& share, tw3_dir* d, std::string_view dir_path, const char* name,
                          tw3_vent* e) {
  const std::string_view n(name);
  char path[TW3_LOCAL_PATH_MAX];
  if (!join(dir_path, n, path)) return false;
  tw3_stat self{};
  if (tw3_fs_entry_lstat(d, name, &self) != 0) return false;
  const char* keep = e->name;
  *e = tw3_vent{};
  e->name = keep;
  if (self.kind == TW3_KIND_FILE || self.kind == TW3_KIND_DIR) {
    e->kind = self.kind;
    e->target_kind = self.kind;
    take_status(self, self, e);
    return true;
  }
  return self.kind == TW3_KIND_LINK && follow_link(share, path, self, e);
}

namespace {

bool folder_entry(const char* path, const char* name, tw3_vent* e) {
  tw3_stat st{};
  if (tw3_fs_stat(path, &st) != 0 || st.kind != TW3_KIND_DIR) return false;
  *e = tw3_vent{};
  e->name = name;
  e->kind = TW3_KIND_DIR;
  e->target_kind = TW3_KIND_DIR;
  take_status(st, st, e);
  return true;
}

// The folder holding dir, when the share holds it; else the share root.
std::string parent_inside(const tw3_share& share, std::string_view dir) {
  const size_t cut = dir.find_last_of(tw3_fs_sep());
  if (cut == std::string_view::npos) return share.root_path;
  const std::string parent(dir.substr(0, cut));
  if (parent.size() < std::strlen(share.root_path) || !inside(parent, share)) return share.root_path;
  return parent;
}

}  // namespace

bool tw3_vfs_dot_entries(const tw3_share& share, const char* dir, tw3_vent* dot, tw3_vent* dotdot) {
  if (!folder_entry(dir, ".", dot)) return false;
  const bool root = std::string_view(dir) == share.root_path;
  const std::string parent = root ? std::string(dir) : parent_inside(share, dir);
  if (!folder_entry(parent.c_str(), "..", dotdot)) {
    *dotdot = *dot;
    dotdot->name = "..";
  }
  return true;
}
