// The disk on Windows. Names are bytes in the system's ANSI code page, so
// every call is the "A" form of the Win32 API and no name is ever
// converted.
#include <windows.h>

#include <algorithm>

#include "platform.h"

namespace {

// A path as a Windows user reads it in a message: the run joins names with
// '/', which the system takes as well; a message shows backslashes.
std::string shownPath(const char* path) {
  std::string shown = path;
  std::replace(shown.begin(), shown.end(), '/', '\\');
  return shown;
}

// "op(path): reason", the path as shownPath gives it.
std::string shownFailure(const char* op, const char* path, DWORD error) {
  return host::failure(op, shownPath(path).c_str(), error);
}

// The ANSI functions reach at most MAX_PATH - 1 characters of full path,
// and directories 12 fewer (room for an 8.3 name). Checked here so that a
// longer path fails on every system, never reaching a truncated name.
bool fits(const char* path, DWORD limit = MAX_PATH) {
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  return n != 0 && n < limit;
}

constexpr DWORD kDirLimit = MAX_PATH - 12;

HANDLE toHandle(FileHandle handle) { return reinterpret_cast<HANDLE>(handle); }
FileHandle fromHandle(HANDLE handle) {
  return reinterpret_cast<FileHandle>(handle);
}

// Directories, links and junctions, and devices are never reports.
constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY |
                            FILE_ATTRIBUTE_REPARSE_POINT |
                            FILE_ATTRIBUTE_DEVICE;

class Win32Disk : public host::SystemDisk {
 public:
  bool ListEntries(NameList* names, std::string* err) override {
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
      if (!(data.dwFileAttributes & kNotAFile))
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

  OpenStatus OpenRead(const char* path, FileHandle* handle,
                      std::string* err) override {
    if (!fits(path)) {
      *err = shownFailure("CreateFile", path, ERROR_FILENAME_EXCED_RANGE);
      return OpenStatus::Failed;
    }
    // The link itself is opened, never its target; no one may write the
    // file while it is read.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT |
                                  FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *err = shownFailure("CreateFile", path, GetLastError());
      DWORD attributes = GetFileAttributesA(path);
      return attributes != INVALID_FILE_ATTRIBUTES &&
                     (attributes & (FILE_ATTRIBUTE_DIRECTORY |
                                    FILE_ATTRIBUTE_REPARSE_POINT))
                 ? OpenStatus::NotAFile
                 : OpenStatus::Failed;
    }
    // A device name such as "con.htm" opens the device: never read one.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      *err = shownPath(path) + ": not a regular file";
      CloseHandle(file);
      return OpenStatus::NotAFile;
    }
    *handle = fromHandle(file);
    open_.Add(*handle, path);
    return OpenStatus::Opened;
  }

  bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
            std::string* err) override {
    DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD n = 0;
    if (!ReadFile(toHandle(handle), buf, want, &n, nullptr)) {
      *err = shownFailure("ReadFile", open_.PathOf(handle), GetLastError());
      return false;
    }
    *got = n;
    return true;
  }

  void CloseRead(FileHandle handle) override {
    open_.Remove(handle);
    CloseHandle(toHandle(handle));
  }

  bool Kind(const char* path, NodeKind* kind, std::string* err) override {
    if (!fits(path)) {
      *err = shownFailure("GetFileAttributes", path,
                          ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        *kind = NodeKind::Missing;
        return true;
      }
      *err = shownFailure("GetFileAttributes", path, error);
      return false;
    }
    *kind = (attributes & (FILE_ATTRIBUTE_REPARSE_POINT |
                           FILE_ATTRIBUTE_DEVICE))
                ? NodeKind::Other
            : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NodeKind::Directory
                                                      : NodeKind::File;
    return true;
  }

  MakeDirStatus MakeDir(const char* path, std::string* err) override {
    if (!fits(path, kDirLimit)) {
      *err = shownFailure("CreateDirectory", path, ERROR_FILENAME_EXCED_RANGE);
      return MakeDirStatus::Failed;
    }
    if (CreateDirectoryA(path, nullptr))
      return MakeDirStatus::Made;
    DWORD error = GetLastError();
    *err = shownFailure("CreateDirectory", path, error);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
               ? MakeDirStatus::Exists
               : MakeDirStatus::Failed;
  }

  bool Write(FileHandle handle, const char* data, size_t size,
             std::string* err) override {
    while (size > 0) {
      DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
      DWORD n = 0;
      DWORD error = WriteFile(toHandle(handle), data, chunk, &n, nullptr)
                        ? ERROR_SUCCESS
                        : GetLastError();
      if (error == ERROR_SUCCESS && n == 0)
        error = ERROR_DISK_FULL;  // nothing written, nothing said: no room
      if (error != ERROR_SUCCESS) {
        *err = shownFailure("WriteFile", open_.PathOf(handle), error);
        return false;
      }
      data += n;
      size -= n;
    }
    return true;
  }

  bool CloseWrite(FileHandle handle, bool sync, std::string* err) override {
    std::string path = open_.Remove(handle);
    bool ok = true;
    if (sync && !FlushFileBuffers(toHandle(handle))) {
      *err = shownFailure("FlushFileBuffers", path.c_str(), GetLastError());
      ok = false;
    }
    if (!CloseHandle(toHandle(handle)) && ok) {
      *err = shownFailure("CloseHandle", path.c_str(), GetLastError());
      ok = false;
    }
    return ok;
  }

  bool Rename(const char* from, const char* to, std::string* err) override {
    if (!fits(from) || !fits(to)) {
      *err = shownFailure("MoveFileEx", from, ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    // MoveFileEx moves a read-only file, which DeleteFile would refuse: a
    // read-only report keeps its place and is copied instead. A read-only
    // copy is never replaced, as on Windows (wine would replace it).
    for (const char* path : {from, to}) {
      DWORD attributes = GetFileAttributesA(path);
      if (attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_READONLY)) {
        *err = shownFailure("MoveFileEx", path, ERROR_ACCESS_DENIED);
        return false;
      }
    }
    if (MoveFileExA(from, to,
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      host::forgetTemp(from);
      return true;
    }
    *err = shownFailure("MoveFileEx", from, GetLastError());
    return false;
  }

  bool Remove(const char* path, std::string* err) override {
    if (!fits(path)) {
      *err = shownFailure("DeleteFile", path, ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    if (DeleteFileA(path)) {
      host::forgetTemp(path);
      return true;
    }
    *err = shownFailure("DeleteFile", path, GetLastError());
    return false;
  }
};

}  // namespace

namespace host {

CreateStatus createNewFile(const char* path, FileHandle* handle,
                           std::string* err) {
  if (!fits(path)) {
    *err = shownFailure("CreateFile", path, ERROR_FILENAME_EXCED_RANGE);
    return CreateStatus::Failed;
  }
  // Shared for deletion, so that the clean-up can remove it while open.
  HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    *handle = fromHandle(file);
    return CreateStatus::Created;
  }
  DWORD error = GetLastError();
  *err = shownFailure("CreateFile", path, error);
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
             ? CreateStatus::Exists
             : CreateStatus::Failed;
}

}  // namespace host

DiskInterface& systemDisk() {
  static Win32Disk disk;
  return disk;
}
