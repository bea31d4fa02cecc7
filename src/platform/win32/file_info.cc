// What a file is on Windows: its identity, size and times, and whether a
// new file may take its name.
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
  *info = FileInfo();
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &data))
    return false;
  describe(data, info, attributes);
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
  bool ok = describeFile(reinterpret_cast<FileHandle>(file), info, attributes);
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

bool isFileWithIndex(const char* path, uint64_t index) {
  FileInfo info;
  unsigned long attributes = 0;
  return lookAt(path, &info, &attributes) && !isNotAFile(attributes) &&
         info.inode == index;
}

uint64_t fileIndex(FileHandle file) {
  FileInfo info;
  unsigned long attributes = 0;
  return describeFile(file, &info, &attributes) ? info.inode : 0;
}

}  // namespace win32
