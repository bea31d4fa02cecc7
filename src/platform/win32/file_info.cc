// What a file is on Windows: its identity, size and times, and whether a
// new file may take its name; and the changes made through the handle of
// the very file that was looked at.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/win32/win32.h"

using host::Occupant;

namespace win32 {

namespace {

uint64_t fileTime(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

void describe(const BY_HANDLE_FILE_INFORMATION& info, FileInfo* out,
              unsigned long* attributes) {
  out->device = info.dwVolumeSerialNumber;
  out->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) |
               info.nFileIndexLow;
  out->size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
              info.nFileSizeLow;
  out->createTime = static_cast<int64_t>(fileTime(info.ftCreationTime));
  out->accessTime[0] = static_cast<int64_t>(fileTime(info.ftLastAccessTime));
  out->modifyTime[0] = static_cast<int64_t>(fileTime(info.ftLastWriteTime));
  *attributes = info.dwFileAttributes;
}

}  // namespace

bool isNotAFile(unsigned long attributes) {
  // Directories, links and junctions, and devices are never reports.
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY |
                        FILE_ATTRIBUTE_REPARSE_POINT |
                        FILE_ATTRIBUTE_DEVICE)) != 0;
}

bool describeFile(FileHandle file, FileInfo* info, unsigned long* attributes) {
  BY_HANDLE_FILE_INFORMATION data;
  FILE_BASIC_INFO basic;
  *info = FileInfo();
  HANDLE handle = toHandle(file);
  if (!GetFileInformationByHandle(handle, &data) ||
      !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic,
                                    sizeof basic))
    return false;
  describe(data, info, attributes);
  // Set by the file system on every change of data or metadata; no
  // program can set it back as it can the modification time.
  info->changeTime[0] = basic.ChangeTime.QuadPart;
  return true;
}

bool lookAt(const char* path, FileInfo* info, unsigned long* attributes) {
  // The entry itself, never a link's target.
  HANDLE file = CreateFileW(
      toWide(path).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  bool ok = describeFile(fromHandle(file), info, attributes);
  DWORD error = GetLastError();
  CloseHandle(file);
  SetLastError(error);
  return ok;
}

Occupant occupant(const char* path, FileInfo* existing, std::string* err) {
  unsigned long attributes = 0;
  if (!lookAt(path, existing, &attributes)) {
    *existing = FileInfo();
    return Occupant::Free;
  }
  if (isNotAFile(attributes)) {
    *err = shownPath(path) + ": not a regular file";
    return Occupant::Other;
  }
  // Windows never replaces a read-only file (wine would).
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    *err = shownFailure("MoveFileEx", path, ERROR_ACCESS_DENIED);
    return Occupant::Other;
  }
  return Occupant::File;
}

uint64_t fileIndex(FileHandle file) {
  FileInfo info;
  unsigned long attributes = 0;
  return describeFile(file, &info, &attributes) ? info.inode : 0;
}

HANDLE openToMove(const char* path, DWORD share, DWORD access) {
  return CreateFileW(toWide(path).c_str(),
                     DELETE | FILE_READ_ATTRIBUTES | access,
                     share, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool markForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

bool renameOpenFile(HANDLE file, const char* to) {
  // A full path, which every Windows reads alike; Windows versions differ
  // in where a relative one leads (the current directory, or the file's).
  const std::wstring relative = toWide(to);
  DWORD n = GetFullPathNameW(relative.c_str(), 0, nullptr, nullptr);
  if (n == 0)
    return false;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(relative.c_str(), n, &full[0], nullptr);
  if (n == 0 || n >= full.size())
    return false;
  full.resize(n);
  const size_t bytes = (full.size() + 1) * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) +
                                    bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(full.size() * sizeof(wchar_t));
  std::copy(full.c_str(), full.c_str() + full.size() + 1, info->FileName);
  return SetFileInformationByHandle(file, FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size())) !=
         FALSE;
}

}  // namespace win32
