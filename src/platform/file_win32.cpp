// Read-only file access on Windows: status, canonical paths, directory
// enumeration and positioned reads of regular files, through the wide
// character API. Nothing here creates, writes, moves or deletes anything,
// and no operation records error text.
//
// Reparse points (symbolic links, junctions, mount points) take the place of
// links. Every open that must not follow one is made with
// FILE_FLAG_OPEN_REPARSE_POINT, refuses a handle that is itself a link, and
// then compares the handle's final path with the canonical path it was
// asked for: a link swapped in for any folder on the way after the path was
// resolved makes the two differ, and the open fails.
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/win32.h"

namespace {

constexpr char kSep = '\\';
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kEnumBufferBytes = 64 * 1024;

struct handle_closer {
  void operator()(void* h) const {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using unique_handle = std::unique_ptr<void, handle_closer>;

unique_handle open_path(const char* path, DWORD access, DWORD flags) {
  std::wstring w;
  if (!tw3w::host_path(path, &w)) return unique_handle(nullptr);
  HANDLE h = CreateFileW(w.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  return unique_handle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}


// A reparse point that stands for another name (link, junction, mount
// point); other reparse points (cloud placeholders, deduplicated files) are
// the files they look like. Unknown counts as a link.
bool is_name_surrogate(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO ti{};
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &ti, sizeof ti)) return true;
  return (ti.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(ti.ReparseTag);
}

int stat_handle(HANDLE h, bool report_links, tw3_stat* out) {
  BY_HANDLE_FILE_INFORMATION fi{};
  if (!GetFileInformationByHandle(h, &fi)) return -1;
  tw3_stat st{};
  if (report_links && (fi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && is_name_surrogate(h)) {
    st.kind = TW3_KIND_LINK;
  } else if ((fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    st.kind = TW3_KIND_DIR;
  } else if ((fi.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0 || GetFileType(h) != FILE_TYPE_DISK) {
    st.kind = TW3_KIND_OTHER;  // pipes, consoles, devices
  } else {
    st.kind = TW3_KIND_FILE;
  }
  st.size = (static_cast<uint64_t>(fi.nFileSizeHigh) << 32) | fi.nFileSizeLow;
  st.mtime = tw3w::unix_of(fi.ftLastWriteTime);
  st.atime = tw3w::unix_of(fi.ftLastAccessTime);
  st.btime = tw3w::unix_of(fi.ftCreationTime);
  st.volume_serial = fi.dwVolumeSerialNumber;
  st.file_index = (static_cast<uint64_t>(fi.nFileIndexHigh) << 32) | fi.nFileIndexLow;
  *out = st;
  return 0;
}

int stat_path(const char* path, tw3_stat* out, bool follow) {
  if (out == nullptr) return -1;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  unique_handle h = open_path(path, FILE_READ_ATTRIBUTES, flags);
  if (!h) return -1;
  return stat_handle(h.get(), !follow, out);
}

// The handle's final path in its usual form (C:\..., \\server\share\...).
bool final_path(HANDLE h, std::string* out) {
  constexpr size_t kFirstTry = 1024;  // UTF-16 units; most paths fit at once
  std::wstring buf(kFirstTry, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return false;
    if (n < buf.size()) {
      buf.resize(n);
      std::string utf8;
      if (!tw3w::to_utf8(buf, &utf8)) return false;
      *out = tw3_win_strip_final_prefix(utf8);
      return true;
    }
    buf.assign(n + 1, L'\0');  // n is the size needed, terminator included
  }
  return false;
}

// Opens `path` (canonical) without following a reparse point anywhere on
// it; null when the object is a link or the path no longer leads to it
// directly.
unique_handle open_nofollow(const char* path, DWORD access, DWORD flags, tw3_stat* st) {
  unique_handle h = open_path(path, access, flags | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!h || stat_handle(h.get(), true, st) != 0 || st->kind == TW3_KIND_LINK) return unique_handle(nullptr);
  std::wstring asked_w;
  std::string asked, got;
  if (!tw3w::host_path(path, &asked_w) || !tw3w::to_utf8(asked_w, &asked) || !final_path(h.get(), &got) ||
      !tw3_win_same_path(tw3_win_strip_final_prefix(asked), got)) {
    return unique_handle(nullptr);
  }
  return h;
}

}  // namespace

int g_fs_no_openat2 = 0;  // a Linux test hook; nothing to switch here
void (*g_fs_step_hook)(tw3_fs_step, const char*) = nullptr;

struct tw3_dir {
  HANDLE find = INVALID_HANDLE_VALUE;  // FindFirstFileExW enumeration, or
  HANDLE folder = nullptr;             // a folder handle enumerated by handle
  WIN32_FIND_DATAW data{};
  bool first_pending = false;
  std::vector<unsigned char> buf;      // FILE_ID_BOTH_DIR_INFO records
  size_t next = 0;                     // offset of the next record, buf.size() when none
  char name[TW3_ENTRY_NAME_MAX + 1];
};

struct tw3_file {
  HANDLE h;
};

char tw3_fs_sep() { return kSep; }

int tw3_fs_windows_names() { return 1; }

int tw3_fs_stat(const char* path, tw3_stat* out) { return stat_path(path, out, true); }

int tw3_fs_lstat(const char* path, tw3_stat* out) { return stat_path(path, out, false); }

int tw3_fs_realpath(const char* path, char* out, int32_t out_size) {
  if (out == nullptr || out_size <= 0) return -1;
  unique_handle h = open_path(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
  std::string full;
  if (!h || !final_path(h.get(), &full)) return -1;
  if (full.size() >= static_cast<size_t>(out_size)) return -1;
  std::memcpy(out, full.c_str(), full.size() + 1);
  return 0;
}

namespace {

// Hands out one entry name when it is one a client could be sent.
const char* take_name(tw3_dir* d, std::wstring_view wname) {
  if (wname == L"." || wname == L"..") return nullptr;
  std::string name;
  if (!tw3w::to_utf8(wname, &name) || name.size() > TW3_ENTRY_NAME_MAX) return nullptr;
  std::memcpy(d->name, name.c_str(), name.size() + 1);
  return d->name;
}

// The next record of a by-handle enumeration, refilling the buffer.
const FILE_ID_BOTH_DIR_INFO* next_record(tw3_dir* d) {
  if (d->next >= d->buf.size()) {
    d->buf.resize(kEnumBufferBytes);
    if (!GetFileInformationByHandleEx(d->folder, FileIdBothDirectoryInfo, d->buf.data(), kEnumBufferBytes)) {
      d->buf.clear();
      d->next = 0;
      return nullptr;
    }
    d->next = 0;
  }
  const auto* rec = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(d->buf.data() + d->next);
  d->next = rec->NextEntryOffset == 0 ? d->buf.size() : d->next + rec->NextEntryOffset;
  return rec;
}

}  // namespace

tw3_dir* tw3_fs_opendir(const char* path) {
  std::wstring w;
  if (!tw3w::host_path(path, &w)) return nullptr;
  if (w.back() != L'\\') w += L'\\';
  w += L'*';
  auto* d = new (std::nothrow) tw3_dir{};
  if (d == nullptr) return nullptr;
  d->find = FindFirstFileExW(w.c_str(), FindExInfoBasic, &d->data, FindExSearchNameMatch, nullptr,
                             FIND_FIRST_EX_LARGE_FETCH);
  if (d->find == INVALID_HANDLE_VALUE) {
    delete d;
    return nullptr;
  }
  d->first_pending = true;
  return d;
}

// Enumerated through the folder's own handle: a name-based enumeration would
// resolve the path again and follow a link swapped in meanwhile.
tw3_dir* tw3_fs_opendir_nofollow(const char* path) {
  tw3_stat st{};
  unique_handle h = open_nofollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_FLAG_BACKUP_SEMANTICS, &st);
  if (!h || st.kind != TW3_KIND_DIR) return nullptr;
  auto* d = new (std::nothrow) tw3_dir{};
  if (d == nullptr) return nullptr;
  d->folder = h.release();
  return d;
}

const char* tw3_fs_readdir(tw3_dir* d) {
  if (d == nullptr) return nullptr;
  if (d->folder != nullptr) {
    while (const FILE_ID_BOTH_DIR_INFO* rec = next_record(d)) {
      if (const char* n = take_name(d, {rec->FileName, rec->FileNameLength / sizeof(wchar_t)})) return n;
    }
    return nullptr;
  }
  if (d->find == INVALID_HANDLE_VALUE) return nullptr;
  for (;;) {
    if (!d->first_pending && !FindNextFileW(d->find, &d->data)) return nullptr;
    d->first_pending = false;
    if (const char* n = take_name(d, d->data.cFileName)) return n;
  }
}

// The enumeration's records do carry the attributes, but a reparse point
// needs its tag to tell a link from other reparse points: every entry gets
// its status taken.
int32_t tw3_fs_readdir_kind(const tw3_dir*) { return -1; }

// The entry is looked up below the folder's final path as the open handle
// reports it now: the handle pins the folder itself, so a folder on the way
// swapped for a reparse point since the listing began does not redirect it.
int tw3_fs_entry_lstat(tw3_dir* d, const char* name, tw3_stat* out) {
  if (d == nullptr || d->folder == nullptr || name == nullptr || out == nullptr) return -1;
  const std::string_view n(name);
  if (n.empty() || n == "." || n == ".." || n.find_first_of("\\/") != std::string_view::npos) return -1;
  std::string folder;
  if (!final_path(d->folder, &folder)) return -1;
  if (g_fs_step_hook != nullptr) g_fs_step_hook(TW3_FS_STEP_ENTRY, name);
  if (folder.empty() || folder.back() != kSep) folder += kSep;
  tw3_stat tmp{};
  if (stat_path((folder + name).c_str(), &tmp, false) != 0) return -1;
  *out = tmp;
  return 0;
}

void tw3_fs_closedir(tw3_dir* d) {
  if (d == nullptr) return;
  if (d->find != INVALID_HANDLE_VALUE) FindClose(d->find);
  if (d->folder != nullptr) CloseHandle(d->folder);
  delete d;
}

tw3_file* tw3_fs_open_ro(const char* path, tw3_stat* st) {
  tw3_stat local{};
  tw3_stat* dst = st != nullptr ? st : &local;
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder cannot be opened at all.
  unique_handle h = open_nofollow(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL, dst);
  if (!h || dst->kind != TW3_KIND_FILE) return nullptr;
  auto* f = new (std::nothrow) tw3_file{h.get()};
  if (f == nullptr) return nullptr;
  h.release();
  return f;
}

int64_t tw3_fs_pread(tw3_file* f, uint64_t offset, void* dst, uint32_t count) {
  if (f == nullptr || (dst == nullptr && count > 0)) return -1;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(f->h, dst, count, &got, &ov)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return got;
}

void tw3_fs_close(tw3_file* f) {
  if (f == nullptr) return;
  CloseHandle(f->h);
  delete f;
}

HANDLE tw3w::open_folder_nofollow(const char* utf8, DWORD access, DWORD flags) {
  tw3_stat st{};
  unique_handle h = open_nofollow(utf8, access, FILE_FLAG_BACKUP_SEMANTICS | flags, &st);
  if (!h || st.kind != TW3_KIND_DIR) return nullptr;
  return h.release();
}

int tw3_fs_space(const char* path, tw3_space* out) {
  if (out == nullptr) return -1;
  tw3_stat st{};
  unique_handle h = open_nofollow(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS, &st);
  std::string full;
  if (!h || !final_path(h.get(), &full)) return -1;
  // The folder holding a file; a folder is asked about itself.
  if (st.kind != TW3_KIND_DIR) full = tw3_win_parent(full);
  std::wstring dir;
  if (!tw3w::host_path(full.c_str(), &dir)) return -1;
  if (dir.back() != L'\\') dir += L'\\';
  ULARGE_INTEGER avail{}, total{}, free_bytes{};
  if (!GetDiskFreeSpaceExW(dir.c_str(), &avail, &total, &free_bytes)) return -1;
  wchar_t root[MAX_PATH + 1] = {};
  DWORD per_cluster = 0, sector = 0, free_clusters = 0, clusters = 0;
  if (!GetVolumePathNameW(dir.c_str(), root, MAX_PATH) ||
      !GetDiskFreeSpaceW(root, &per_cluster, &sector, &free_clusters, &clusters)) {
    return -1;
  }
  const uint64_t unit = static_cast<uint64_t>(per_cluster) * sector;
  if (unit == 0 || unit > UINT32_MAX) return -1;
  *out = tw3_space{};
  out->total = total.QuadPart;
  out->avail = avail.QuadPart;
  out->free = free_bytes.QuadPart;
  out->unit = static_cast<uint32_t>(unit);
  return 0;
}
