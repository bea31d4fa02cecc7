// The disk on Windows: the listing, reading, directories, moves by rename
// and removal. Copies are in copy.cc. Names are bytes in the system's ANSI
// code page, so every call is the "A" form of the Win32 API and no name is
// ever converted.
#include "platform/win32/win32.h"

namespace {

// Room a directory keeps for an 8.3 name inside it.
constexpr DWORD kDirReserve = 12;

}  // namespace

namespace win32 {

// Windows sets no small limit on open handles.
size_t Win32Disk::HandleRoom() { return 4096; }

bool Win32Disk::ListEntries(NameList* names, std::string* err) {
  // The system's wildcard rule decides: through short names "*.htm" also
  // yields names such as "x.html".
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA("*.htm", &data);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
      return true;
    *err = shownFailure("FindFirstFile", "*.htm", error);
    return false;
  }
  DWORD error;
  do {
    if (!isNotAFile(data.dwFileAttributes))
      names->Add(data.cFileName);
    error = FindNextFileA(find, &data) ? ERROR_SUCCESS : GetLastError();
  } while (error == ERROR_SUCCESS);
  FindClose(find);
  if (error != ERROR_NO_MORE_FILES) {
    *err = shownFailure("FindNextFile", "*.htm", error);
    return false;
  }
  return true;
}

OpenStatus Win32Disk::OpenRead(const char* name, FileHandle* handle,
                               FileInfo* info, std::string* err) {
  if (!fitsPath(name)) {
    *err = shownFailure("CreateFile", name, ERROR_FILENAME_EXCED_RANGE);
    return OpenStatus::Failed;
  }
  // The link itself is opened, never its target; no one may write the
  // file while it is read.
  HANDLE file = CreateFileA(
      name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *err = shownFailure("CreateFile", name, GetLastError());
    DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes &
                    (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
               ? OpenStatus::NotAFile
               : OpenStatus::Failed;
  }
  // A device name such as "con.htm" opens the device: never read one.
  unsigned long attributes = 0;
  if (GetFileType(file) != FILE_TYPE_DISK ||
      !describeFile(fromHandle(file), info, &attributes) ||
      isNotAFile(attributes)) {
    *err = shownPath(name) + ": not a regular file";
    CloseHandle(file);
    return OpenStatus::NotAFile;
  }
  *handle = fromHandle(file);
  files_.Add(*handle, name);
  return OpenStatus::Opened;
}

bool Win32Disk::Read(FileHandle handle, char* buf, size_t size, size_t* got,
                     std::string* err) {
  DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  DWORD n = 0;
  if (!ReadFile(toHandle(handle), buf, want, &n, nullptr)) {
    *err = shownFailure("ReadFile", files_.PathOf(handle), GetLastError());
    return false;
  }
  *got = n;
  return true;
}

void Win32Disk::CloseRead(FileHandle handle) {
  files_.Remove(handle);
  CloseHandle(toHandle(handle));
}

DirStatus Win32Disk::OpenDir(const char* name, DirHandle* dir,
                             std::string* err) {
  if (!fitsPath(name, kDirReserve)) {
    *err = shownFailure("CreateDirectory", name, ERROR_FILENAME_EXCED_RANGE);
    return DirStatus::Failed;
  }
  bool made = CreateDirectoryA(name, nullptr) != FALSE;
  DWORD error = made ? ERROR_SUCCESS : GetLastError();
  if (!made && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
    *err = shownFailure("CreateDirectory", name, error);
    return DirStatus::Failed;
  }
  // Held without sharing deletion, it can be neither renamed nor
  // replaced while its reports are moved; a link or junction is opened
  // as itself and refused.
  HANDLE handle = CreateFileA(
      name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  FileInfo info;
  unsigned long attributes = 0;
  bool isDir = handle != INVALID_HANDLE_VALUE &&
               describeFile(fromHandle(handle), &info, &attributes) &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
               !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  if (!isDir) {
    if (handle != INVALID_HANDLE_VALUE)
      CloseHandle(handle);
    *err = shownFailure("CreateDirectory", name, ERROR_ALREADY_EXISTS);
    return DirStatus::Taken;
  }
  *dir = fromHandle(handle);
  dirs_.Add(*dir, name);
  if (!made)
    RemoveLeftovers(name);
  return made ? DirStatus::Made : DirStatus::Opened;
}

void Win32Disk::CloseDir(DirHandle dir) {
  dirs_.Remove(dir);
  CloseHandle(toHandle(dir));
}

// Held without sharing deletion, a directory can be neither renamed nor
// replaced while the run has it.
bool Win32Disk::DirStillThere(DirHandle) { return true; }

MoveStatus Win32Disk::MoveInto(const char* name, const FileInfo& source,
                               DirHandle dir, std::string* err) {
  const std::string to = std::string(dirs_.PathOf(dir)) + "/" + name;
  for (const char* path : {name, to.c_str()}) {
    if (!fitsPath(path)) {
      *err = shownFailure("MoveFileEx", path, ERROR_FILENAME_EXCED_RANGE);
      return MoveStatus::Failed;
    }
  }
  // MoveFileEx moves a read-only file, which DeleteFile would refuse: a
  // read-only report keeps its place and is copied instead.
  DWORD attributes = GetFileAttributesA(name);
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY))
    return MoveStatus::CopyInstead;
  // Something may have the name: a file to replace, what may not be
  // replaced, or the report itself through a hard link, which a rename
  // would leave as it is.
  FileInfo existing;
  MoveStatus refusal;
  if (host::blocks(occupant(to.c_str(), &existing, err), &refusal))
    return refusal;
  if (existing.SameFile(source)) {
    if (DeleteFileA(name))
      return MoveStatus::Moved;
    *err = shownFailure("DeleteFile", name, GetLastError());
    return MoveStatus::SourceStays;
  }
  if (MoveFileExA(name, to.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return MoveStatus::Moved;
  DWORD error = GetLastError();
  if (error == ERROR_NOT_SAME_DEVICE)
    return MoveStatus::CopyInstead;
  *err = shownFailure("MoveFileEx", name, error);
  return MoveStatus::Failed;
}

RemoveStatus Win32Disk::Remove(const char* name, const FileInfo& source,
                               std::string* err) {
  if (!fitsPath(name)) {
    *err = shownFailure("DeleteFile", name, ERROR_FILENAME_EXCED_RANGE);
    return RemoveStatus::Stays;
  }
  // A file that took the report's name since it was read stays.
  FileInfo now;
  unsigned long attributes = 0;
  if (!lookAt(name, &now, &attributes)) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
      return RemoveStatus::Gone;
    *err = shownFailure("CreateFile", name, error);
    return RemoveStatus::Stays;
  }
  if (isNotAFile(attributes) || !source.StillAsRead(now)) {
    *err = shownPath(name) + ": not the file that was read";
    return RemoveStatus::Stays;
  }
  if (DeleteFileA(name))
    return RemoveStatus::Removed;
  *err = shownFailure("DeleteFile", name, GetLastError());
  return RemoveStatus::Stays;
}

}  // namespace win32

DiskInterface& systemDisk() {
  static win32::Win32Disk disk;
  return disk;
}
