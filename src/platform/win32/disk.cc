// The disk on Windows: the listing, reading, directories, moves by rename
// and removal. Copies are in copy.cc. Every call that takes a name is the
// W form of the Win32 API: a name is whatever the file system holds, and
// the ANSI code page plays no part.
#include "platform/win32/win32.h"

namespace {

// Room a directory keeps for an 8.3 name inside it.
constexpr DWORD kDirReserve = 12;

// Closes a handle when it goes out of scope.
class Held {
 public:
  explicit Held(HANDLE handle) : handle_(handle) {}
  ~Held() {
    if (handle_ != INVALID_HANDLE_VALUE)
      CloseHandle(handle_);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  void Close() {
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// Whether the file open as `file` is a regular file, described in *info
// with its attributes.
bool isFileAt(HANDLE file, FileInfo* info, unsigned long* attributes) {
  return win32::describeFile(win32::fromHandle(file), info, attributes) &&
         !win32::isNotAFile(*attributes);
}

}  // namespace

namespace win32 {

namespace {

// Moves the report `name`, open as `file`, to `to`. Something may have
// that name: a file to replace, what may not be replaced, or the report
// itself through a hard link, which a rename would leave as it is.
MoveStatus moveOpen(HANDLE file, const char* name, const std::string& to,
                    const FileInfo& source, std::string* err) {
  FileInfo existing;
  MoveStatus refusal;
  if (host::blocks(occupant(to.c_str(), &existing, err), &refusal))
    return refusal;
  if (existing.SameFile(source)) {
    if (markForDeletion(file))
      return MoveStatus::Moved;
    *err = shownFailure("SetFileInformationByHandle", name, GetLastError());
    return MoveStatus::SourceStays;
  }
  if (renameOpenFile(file, to.c_str()))
    return MoveStatus::Moved;
  DWORD error = GetLastError();
  if (error == ERROR_NOT_SAME_DEVICE)
    return MoveStatus::CopyInstead;
  *err = shownFailure("SetFileInformationByHandle", name, error);
  return heldByAnother(error) ? MoveStatus::Held : MoveStatus::Failed;
}

}  // namespace

// Windows sets no small limit on open handles.
size_t Win32Disk::HandleRoom() { return 4096; }

bool Win32Disk::ListEntries(NameList* names, std::string* err) {
  // The system's wildcard rule decides: through short names "*.htm" also
  // yields names such as "x.html".
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"*.htm", &data);
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
      names->Add(fromWide(data.cFileName).c_str());
    error = FindNextFileW(find, &data) ? ERROR_SUCCESS : GetLastError();
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
  const std::wstring wide = toWide(name);
  HANDLE file = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *err = shownFailure("CreateFile", name, error);
    // Removed by another program since the listing.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return OpenStatus::Gone;
    if (heldByAnother(error))
      return OpenStatus::Held;
    DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes &
                    (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
               ? OpenStatus::NotAFile
               : OpenStatus::Failed;
  }
  // A device name such as "con.htm" opens the device: never read one.
  unsigned long attributes = 0;
  if (GetFileType(file) != FILE_TYPE_DISK ||
      !isFileAt(file, info, &attributes)) {
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
  const std::wstring wide = toWide(name);
  bool made = CreateDirectoryW(wide.c_str(), nullptr) != FALSE;
  DWORD error = made ? ERROR_SUCCESS : GetLastError();
  if (!made && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
    *err = shownFailure("CreateDirectory", name, error);
    return DirStatus::Failed;
  }
  // Held without sharing deletion, it can be neither renamed nor replaced
  // while its reports are moved, so that its name, by which they go
  // there, stays this directory's; a link or junction is opened as itself
  // and refused.
  HANDLE handle = CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
  if (!fitsPath(name)) {
    *err = shownFailure("CreateFile", name, ERROR_FILENAME_EXCED_RANGE);
    return MoveStatus::Failed;
  }
  if (!fitsPath(to.c_str())) {
    *err = shownFailure("SetFileInformationByHandle", to.c_str(),
                        ERROR_FILENAME_EXCED_RANGE);
    return MoveStatus::Failed;
  }
  // The rename goes through a handle of the file that was read: whatever
  // takes the name meanwhile, no other file is moved. Others may go on
  // using it, as with MoveFileEx.
  Held file(openToMove(name, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                 FILE_SHARE_DELETE));
  if (!file.valid()) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
      return MoveStatus::Gone;
    *err = shownFailure("CreateFile", name, error);
    return heldByAnother(error) ? MoveStatus::Held : MoveStatus::Failed;
  }
  FileInfo now;
  unsigned long attributes = 0;
  if (!isFileAt(file.get(), &now, &attributes) || !now.SameFile(source)) {
    *err = shownPath(name) + ": not the file that was read";
    return MoveStatus::Failed;
  }
  // A rename moves a read-only file, which no removal would: a read-only
  // report keeps its place and is copied instead.
  if (attributes & FILE_ATTRIBUTE_READONLY)
    return MoveStatus::CopyInstead;
  return moveOpen(file.get(), name, to, source, err);
}

RemoveStatus Win32Disk::Remove(const char* name, const FileInfo& source,
                               const BytesCheck* sameBytes,
                               std::string* err) {
  if (!fitsPath(name)) {
    *err = shownFailure("CreateFile", name, ERROR_FILENAME_EXCED_RANGE);
    return RemoveStatus::Stays;
  }
  // Opened so that no one may write it, nor open it to write, until it is
  // gone; one that someone writes now is not opened at all. What is checked
  // and what goes is the file of this handle: no other loses its name.
  Held file(openToMove(name, FILE_SHARE_READ, sameBytes ? FILE_READ_DATA : 0));
  if (!file.valid()) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
      return RemoveStatus::Gone;
    *err = shownFailure("CreateFile", name, error);
    return heldByAnother(error) ? RemoveStatus::Held : RemoveStatus::Stays;
  }
  // A file that took the report's name since it was read, or the report
  // changed since, stays.
  FileInfo now;
  unsigned long attributes = 0;
  if (!isFileAt(file.get(), &now, &attributes) || !source.StillAsRead(now)) {
    *err = shownPath(name) + ": not the file that was read";
    return RemoveStatus::Stays;
  }
  if (sameBytes) {
    const FileHandle handle = fromHandle(file.get());
    files_.Add(handle, name);
    std::string why;
    const bool same = (*sameBytes)(handle, &why);
    files_.Remove(handle);
    if (!same) {
      *err = why.empty() ? shownPath(name) + ": changed since it was read"
                         : why;
      return RemoveStatus::Stays;
    }
  }
  // A read-only file is never marked (Access denied): it stays. A marked
  // one goes as it is closed; where that fails unsaid (wine, some shares
  // of other systems), its name stays.
  if (markForDeletion(file.get())) {
    file.Close();
    FileInfo after;
    if (!lookAt(name, &after, &attributes) || !after.SameFile(source))
      return RemoveStatus::Removed;
    *err = shownPath(name) + ": stayed after its removal";
    return RemoveStatus::Stays;
  }
  DWORD error = GetLastError();
  *err = shownFailure("SetFileInformationByHandle", name, error);
  return heldByAnother(error) ? RemoveStatus::Held : RemoveStatus::Stays;
}

}  // namespace win32

DiskInterface& systemDisk() {
  static win32::Win32Disk disk;
  return disk;
}
