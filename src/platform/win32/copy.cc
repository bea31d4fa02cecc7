// A copy's road on Windows: create, write, keep the source's times,
// commit (flush, then put in place, replacing an older copy), or discard;
// and the temporary names a killed run left.
//
// A copy is written as .korendezo-<pid>-<n>.tmp, opened to be deleted when
// it is closed: however the program ends before the copy is in place
// (Ctrl+C, the window closed, a logoff, killed), the system removes it. It
// goes in place as a hard link, and its own name goes when it is closed.
// An older copy is replaced through a second link,
// .korendezo-<pid>-<index>.tmp, renamed over it. Where the volume has no
// hard links (FAT), the copy is copied once more into a plain temporary
// file, renamed into place through its handle; the console's Ctrl handler
// marks that one for deletion on the same handle.
//
// Every temporary is held open for as long as its run needs it. A name of
// the program's temporaries that no running program holds, of a process
// that has ended, is a leftover of a run that ended before its time (killed
// between linking and renaming, a power cut): the next run to open the
// directory removes it, whatever its number.
#include "platform/win32/win32.h"

using host::Attempt;
using host::Copy;
using win32::shownFailure;
using win32::toHandle;

namespace {

std::string dirOf(const Copy& copy) {
  return copy.path.substr(0, copy.path.rfind('/') + 1);
}

// --- The plain temporary file, removed by the Ctrl handler ---

// The plain temporary file that is open, if any, for the Ctrl handler,
// which runs on a thread of its own: both sides take the lock.
CRITICAL_SECTION gTempLock;
HANDLE gTemp = INVALID_HANDLE_VALUE;

BOOL WINAPI removeTempOnCtrl(DWORD) {
  EnterCriticalSection(&gTempLock);
  // Marked on its own handle, which the main thread may be writing
  // through: the file goes when the process ends, which follows.
  if (gTemp != INVALID_HANDLE_VALUE)
    win32::markForDeletion(gTemp);
  LeaveCriticalSection(&gTempLock);
  return FALSE;  // the default handler ends the process
}

void installTempCleanup() {
  static bool installed = false;
  if (!installed) {
    installed = true;
    InitializeCriticalSection(&gTempLock);
    SetConsoleCtrlHandler(removeTempOnCtrl, TRUE);
  }
}

// Creates `path` anew for writing, registered for the Ctrl handler;
// INVALID_HANDLE_VALUE when it cannot, with the system's last error.
HANDLE createRegistered(const std::string& path) {
  installTempCleanup();
  EnterCriticalSection(&gTempLock);
  gTemp = CreateFileW(win32::toWide(path.c_str()).c_str(),
                      GENERIC_READ | GENERIC_WRITE | DELETE,
                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = GetLastError();
  HANDLE file = gTemp;
  LeaveCriticalSection(&gTempLock);
  SetLastError(error);
  return file;
}

// Renames the registered file over `to`, replacing a file, and closes it.
bool placeRegistered(const char* to) {
  EnterCriticalSection(&gTempLock);
  bool done = win32::renameOpenFile(gTemp, to);
  DWORD error = GetLastError();
  if (done) {
    CloseHandle(gTemp);
    gTemp = INVALID_HANDLE_VALUE;
  }
  LeaveCriticalSection(&gTempLock);
  SetLastError(error);
  return done;
}

// Removes the registered file, and closes it.
void removeRegistered() {
  EnterCriticalSection(&gTempLock);
  if (gTemp != INVALID_HANDLE_VALUE) {
    win32::markForDeletion(gTemp);
    CloseHandle(gTemp);
    gTemp = INVALID_HANDLE_VALUE;
  }
  LeaveCriticalSection(&gTempLock);
}

// Whether the attempt to create a file under a temporary name that ended
// in `error` found the name taken.
Attempt failedAttempt(DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
             ? Attempt::NameTaken
             : Attempt::Failed;
}

// --- Create ---

// The message of a path past MAX_PATH (see win32::fitsPath).
std::string tooLong(const Copy& copy) {
  return shownFailure("CreateFile", copy.path.c_str(),
                      ERROR_FILENAME_EXCED_RANGE);
}

bool createCopy(Copy* copy, std::string* err) {
  // Where the copy is to go, as well as each name it has on its way.
  if (!win32::fitsPath(copy->path.c_str())) {
    *err = tooLong(*copy);
    return false;
  }
  const std::string dir = dirOf(*copy);
  DWORD error = ERROR_SUCCESS;
  Attempt attempt = host::createUnderTempName(
      GetCurrentProcessId(), [&](const std::string& name) {
        std::string path = dir + name;
        if (!win32::fitsPath(path.c_str())) {
          error = ERROR_FILENAME_EXCED_RANGE;
          return Attempt::Failed;
        }
        // Sharing deletion lets the run rename its second link over an
        // older copy.
        HANDLE file = CreateFileW(
            win32::toWide(path.c_str()).c_str(),
            GENERIC_READ | GENERIC_WRITE | DELETE,
            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
          copy->file = win32::fromHandle(file);
          copy->tempName = name;
          return Attempt::Made;
        }
        error = GetLastError();
        return failedAttempt(error);
      });
  if (attempt == Attempt::Made)
    return true;
  *err = shownFailure("CreateFile", copy->path.c_str(), error);
  return false;
}

}  // namespace

namespace win32 {

bool Win32Disk::CreateCopy(DirHandle dir, const char* name, FileHandle* file,
                           std::string* err) {
  Copy copy(dir, dirs_.PathOf(dir), name);
  if (!createCopy(&copy, err))
    return false;
  *file = copy.file;
  copies_[copy.file] = std::move(copy);
  return true;
}

// --- Write ---

bool Win32Disk::Write(FileHandle file, const char* data, size_t size,
                      std::string* err) {
  const Copy& copy = copies_.at(file);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD n = 0;
    DWORD error = WriteFile(toHandle(file), data, chunk, &n, nullptr)
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

}  // namespace win32

namespace {

// --- Keep the times ---

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

// --- Put in place ---

bool hardLinksUnsupported(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER;
}

// Replaces `path` with the copy through a link of the copy's own name.
MoveStatus replaceByLink(const Copy& copy, const std::wstring& temp,
                         std::string* err) {
  const std::string linkPath =
      dirOf(copy) +
      host::tempName(GetCurrentProcessId(), win32::fileIndex(copy.file));
  if (!win32::fitsPath(linkPath.c_str())) {
    *err = tooLong(copy);
    return MoveStatus::Failed;
  }
  const std::wstring link = win32::toWide(linkPath.c_str());
  if (!CreateHardLinkW(link.c_str(), temp.c_str(), nullptr)) {
    *err = shownFailure("CreateHardLink", copy.path.c_str(), GetLastError());
    return MoveStatus::Failed;
  }
  if (MoveFileExW(link.c_str(), win32::toWide(copy.path.c_str()).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return MoveStatus::Moved;
  *err = shownFailure("MoveFileEx", copy.path.c_str(), GetLastError());
  DeleteFileW(link.c_str());
  return MoveStatus::Failed;
}

// Copies the bytes of the copy into a plain temporary file and renames
// that into place: for volumes without hard links.
MoveStatus placeByPlainCopy(const Copy& copy, const FileInfo& source,
                            std::string* err) {
  const std::string dir = dirOf(copy);
  HANDLE out = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_SUCCESS;
  host::createUnderTempName(
      GetCurrentProcessId(), [&](const std::string& name) {
        if (!win32::fitsPath((dir + name).c_str())) {
          error = ERROR_FILENAME_EXCED_RANGE;
          return Attempt::Failed;
        }
        out = createRegistered(dir + name);
        error = GetLastError();
        return out != INVALID_HANDLE_VALUE ? Attempt::Made
                                           : failedAttempt(error);
      });
  if (out == INVALID_HANDLE_VALUE) {
    *err = shownFailure("CreateFile", copy.path.c_str(), error);
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
  ok = ok && placeRegistered(copy.path.c_str());
  if (ok)
    return MoveStatus::Moved;
  *err = shownFailure("SetFileInformationByHandle", copy.path.c_str(),
                      GetLastError());
  removeRegistered();
  return MoveStatus::Failed;
}

// Puts the copy, written and flushed, in place; *existing describes the
// file it replaced, if any. Nothing but a file is ever replaced.
MoveStatus place(const Copy& copy, const FileInfo& source, FileInfo* existing,
                 std::string* err) {
  MoveStatus refusal;
  if (host::blocks(win32::occupant(copy.path.c_str(), existing, err),
                   &refusal))
    return refusal;
  const std::wstring temp =
      win32::toWide((dirOf(copy) + copy.tempName).c_str());
  if (CreateHardLinkW(win32::toWide(copy.path.c_str()).c_str(), temp.c_str(),
                      nullptr))
    return MoveStatus::Moved;
  DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
    return replaceByLink(copy, temp, err);
  if (hardLinksUnsupported(error))
    return placeByPlainCopy(copy, source, err);
  *err = shownFailure("CreateHardLink", copy.path.c_str(), error);
  return MoveStatus::Failed;
}

// After the copy replaced another name of the source itself, the change
// time that gave the source, once the source's name `name` shows it
// otherwise as it was read.
void takeOwnChange(const char* name, FileInfo* source) {
  FileInfo now;
  unsigned long attributes = 0;
  if (!win32::lookAt(name, &now, &attributes) || win32::isNotAFile(attributes))
    return;
  const int64_t changed = now.changeTime[0];
  now.changeTime[0] = source->changeTime[0];
  if (source->StillAsRead(now))
    source->changeTime[0] = changed;
}

// Gives the copy `source`'s times, flushes it and puts it in place as the
// report `name`'s copy; closes it. Closing removes the temporary name; a
// copy in place keeps its own, and stays (beside the report) should
// closing fail.
MoveStatus commit(Copy* copy, FileInfo* source, const char* name,
                  std::string* err) {
  HANDLE file = toHandle(copy->file);
  MoveStatus status = MoveStatus::Failed;
  FileInfo existing;
  if (!setTimes(file, *source))
    *err = shownFailure("SetFileTime", copy->path.c_str(), GetLastError());
  else if (!FlushFileBuffers(file))
    *err = shownFailure("FlushFileBuffers", copy->path.c_str(), GetLastError());
  else
    status = place(*copy, *source, &existing, err);
  if (status == MoveStatus::Moved && existing.SameFile(*source))
    takeOwnChange(name, source);
  copy->file = -1;
  if (!CloseHandle(file) && status == MoveStatus::Moved) {
    *err = shownFailure("CloseHandle", copy->path.c_str(), GetLastError());
    status = MoveStatus::Failed;
  }
  return status;
}

}  // namespace

namespace win32 {

// One after another: each copy goes in place flushed, with its directory
// entry written through.
void Win32Disk::CommitCopies(CopyCommit* commits, size_t count) {
  size_t i = 0;
  try {
    for (; i < count; ++i) {
      CopyCommit& c = commits[i];
      auto found = copies_.find(c.copy);
      c.status = commit(&found->second, c.source, c.name, &c.err);
      copies_.erase(found);
    }
  } catch (...) {
    for (; i < count; ++i)
      DiscardCopy(commits[i].copy);
    throw;
  }
}

// --- Discard: closing the copy deletes it ---

void Win32Disk::DiscardCopy(FileHandle file) {
  auto found = copies_.find(file);
  if (found->second.file != -1)
    CloseHandle(toHandle(found->second.file));
  copies_.erase(found);
}

}  // namespace win32

// --- A killed run's temporary names ---

namespace {

bool processRuns(unsigned long pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process)
    return GetLastError() != ERROR_INVALID_PARAMETER;
  bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

}  // namespace

namespace win32 {

void Win32Disk::RemoveLeftovers(const char* dirName) const {
  const std::string dir = std::string(dirName) + "/";
  WIN32_FIND_DATAW data;
  const std::wstring pattern = toWide((dir + ".korendezo-*.tmp").c_str());
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    const std::string name = fromWide(data.cFileName);
    unsigned long pid;
    unsigned long long number;
    // Holding the folder's lock, the run knows that no other run is at
    // work here; without it, only an ended process's temporaries are
    // leftovers.
    if (!host::parseTempName(name.c_str(), &pid, &number) ||
        pid == GetCurrentProcessId() || (lock_ == -1 && processRuns(pid)))
      continue;
    // Opened for this program alone: the open fails for every file that
    // a running program holds, on this machine or another, as a run holds
    // each of its temporaries for as long as it needs it.
    const std::string path = dir + name;
    HANDLE file = openToMove(path.c_str(), 0);
    if (file == INVALID_HANDLE_VALUE)
      continue;
    FileInfo info;
    unsigned long attributes = 0;
    if (describeFile(fromHandle(file), &info, &attributes) &&
        !isNotAFile(attributes))
      markForDeletion(file);
    CloseHandle(file);
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

}  // namespace win32
