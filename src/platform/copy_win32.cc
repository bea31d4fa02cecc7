// Copies on Windows.
//
// A copy is written as .korendezo-<pid>-<n>.tmp, opened to be deleted when
// it is closed: however the program ends before the copy is in place
// (Ctrl+C, the window closed, killed), the system removes it. It goes in
// place as a hard link, and its own name goes when it is closed. An older
// copy is replaced through a second link, .korendezo-<pid>-<index>.tmp,
// renamed over it; a run killed in between leaves that name, which the next
// run to open the directory removes once process <pid> has ended, if the
// name still belongs to file <index>. Where the volume has no hard links
// (FAT), the copy is copied once more into a plain temporary file, renamed
// into place; that one the console's Ctrl handler removes.
#include <windows.h>

#include "platform.h"

namespace {

using host::shownFailure;

HANDLE toHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::string dirOf(const host::Copy& copy) {
  return copy.path.substr(0, copy.path.rfind('/') + 1);
}

bool hardLinksUnsupported(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER;
}

bool setTimes(HANDLE file, const FileInfo& source) {
  auto toFileTime = [](int64_t t) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(t));
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) >> 32);
    return ft;
  };
  FILETIME created = toFileTime(source.createTime);
  FILETIME accessed = toFileTime(source.accessTime[0]);
  FILETIME written = toFileTime(source.modifyTime[0]);
  return SetFileTime(file, &created, &accessed, &written) != FALSE;
}

// Replaces `path` with the copy through a link of the copy's own name.
MoveStatus replaceByLink(const host::Copy& copy, const std::string& temp,
                         std::string* err) {
  std::string link =
      dirOf(copy) + host::tempName(GetCurrentProcessId(),
                                   host::fileIndex(copy.file));
  if (!CreateHardLinkA(link.c_str(), temp.c_str(), nullptr)) {
    *err = shownFailure("CreateHardLink", copy.path.c_str(), GetLastError());
    return MoveStatus::Failed;
  }
  if (MoveFileExA(link.c_str(), copy.path.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return MoveStatus::Moved;
  *err = shownFailure("MoveFileEx", copy.path.c_str(), GetLastError());
  DeleteFileA(link.c_str());
  return MoveStatus::Failed;
}

// Copies the bytes of the copy into a plain temporary file and renames
// that into place: for volumes without hard links.
MoveStatus placeByPlainCopy(const host::Copy& copy, const FileInfo& source,
                            std::string* err) {
  static unsigned counter = 0;
  std::string plain;
  HANDLE out = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && out == INVALID_HANDLE_VALUE;
       ++attempt) {
    plain = dirOf(copy) + host::tempName(GetCurrentProcessId(), counter++);
    out = toHandle(host::createRegistered(plain, GENERIC_WRITE));
  }
  if (out == INVALID_HANDLE_VALUE) {
    *err = shownFailure("CreateFile", copy.path.c_str(), GetLastError());
    return MoveStatus::Failed;
  }
  HANDLE in = toHandle(copy.file);
  bool ok = SetFilePointer(in, 0, nullptr, FILE_BEGIN) == 0;
  char block[64 * 1024];
  DWORD got = 0, put = 0;
  while (ok && (ok = ReadFile(in, block, sizeof block, &got, nullptr) != 0) &&
         got != 0)
    ok = WriteFile(out, block, got, &put, nullptr) && put == got;
  ok = ok && setTimes(out, source) && FlushFileBuffers(out);
  ok = CloseHandle(out) && ok;
  ok = ok && host::renameRegistered(copy.path.c_str());
  if (ok)
    return MoveStatus::Moved;
  *err = shownFailure("MoveFileEx", copy.path.c_str(), GetLastError());
  host::removeRegistered();
  return MoveStatus::Failed;
}

// Puts the copy, written and flushed, in place.
MoveStatus place(const host::Copy& copy, const FileInfo& source,
                 std::string* err) {
  FileInfo existing;
  MoveStatus status = host::occupant(copy.path.c_str(), &existing, err);
  if (status != MoveStatus::Moved)
    return status;
  const std::string temp = dirOf(copy) + copy.tempName;
  if (CreateHardLinkA(copy.path.c_str(), temp.c_str(), nullptr))
    return MoveStatus::Moved;
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
    return replaceByLink(copy, temp, err);
  if (hardLinksUnsupported(error))
    return placeByPlainCopy(copy, source, err);
  *err = shownFailure("CreateHardLink", copy.path.c_str(), error);
  return MoveStatus::Failed;
}

}  // namespace

namespace host {

bool createCopy(Copy* copy, std::string* err) {
  static unsigned counter = 0;
  const std::string dir = dirOf(*copy);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = tempName(GetCurrentProcessId(), counter++);
    std::string path = dir + name;
    if (!fitsPath(path.c_str())) {
      *err = shownFailure("CreateFile", copy->path.c_str(),
                     ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    HANDLE file = CreateFileA(
        path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      copy->file = reinterpret_cast<FileHandle>(file);
      copy->tempName = name;
      return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      *err = shownFailure("CreateFile", copy->path.c_str(), error);
      return false;
    }
  }
  *err = shownFailure("CreateFile", copy->path.c_str(), ERROR_FILE_EXISTS);
  return false;
}

bool writeCopy(const Copy& copy, const char* data, size_t size,
               std::string* err) {
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD n = 0;
    DWORD error = WriteFile(toHandle(copy.file), data, chunk, &n, nullptr)
                      ? ERROR_SUCCESS
                      : GetLastError();
    if (error == ERROR_SUCCESS && n == 0)
      error = ERROR_DISK_FULL;  // nothing written, nothing said: no room
    if (error != ERROR_SUCCESS) {
      *err = shownFailure("WriteFile", copy.path.c_str(), error);
      return false;
    }
    data += n;
    size -= n;
  }
  return true;
}

MoveStatus commitCopy(Copy* copy, const FileInfo& source, const char*,
                      std::string* err) {
  HANDLE file = toHandle(copy->file);
  MoveStatus status = MoveStatus::Failed;
  if (!setTimes(file, source))
    *err = shownFailure("SetFileTime", copy->path.c_str(), GetLastError());
  else if (!FlushFileBuffers(file))
    *err = shownFailure("FlushFileBuffers", copy->path.c_str(), GetLastError());
  else
    status = place(*copy, source, err);
  // Closing removes the temporary name; a copy in place keeps its own,
  // and stays (beside the report) should closing fail.
  copy->file = -1;
  if (!CloseHandle(file) && status == MoveStatus::Moved) {
    *err = shownFailure("CloseHandle", copy->path.c_str(), GetLastError());
    status = MoveStatus::Failed;
  }
  return status;
}

void discardCopy(Copy* copy) {
  if (copy->file != -1)
    CloseHandle(toHandle(copy->file));
  copy->file = -1;
}

}  // namespace host
