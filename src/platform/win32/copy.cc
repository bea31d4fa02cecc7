// A copy's road on Windows: create, write, keep the source's times,
// commit (flush, then put in place, replacing an older copy), or discard;
// and the temporary names a killed run left.
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
#include <cstring>

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

// The plain temporary file that exists, if any, for the Ctrl handler,
// which runs on a thread of its own: both sides take the lock.
CRITICAL_SECTION gTempLock;
char gTempPath[MAX_PATH];
bool gTempActive = false;

BOOL WINAPI removeTempOnCtrl(DWORD) {
  EnterCriticalSection(&gTempLock);
  if (gTempActive)
    DeleteFileA(gTempPath);
  gTempActive = false;
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
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_FILENAME_EXCED_RANGE;
  if (path.size() < sizeof gTempPath) {
    file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    error = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
      std::memcpy(gTempPath, path.c_str(), path.size() + 1);
      gTempActive = true;
    }
  }
  LeaveCriticalSection(&gTempLock);
  SetLastError(error);
  return file;
}

// Renames the registered file over `to`, replacing a file.
bool renameRegistered(const char* to) {
  EnterCriticalSection(&gTempLock);
  bool done = MoveFileExA(gTempPath, to,
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
              FALSE;
  DWORD error = GetLastError();
  if (done)
    gTempActive = false;
  LeaveCriticalSection(&gTempLock);
  SetLastError(error);
  return done;
}

void removeRegistered() {
  EnterCriticalSection(&gTempLock);
  DeleteFileA(gTempPath);
  gTempActive = false;
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

bool createCopy(Copy* copy, std::string* err) {
  const std::string dir = dirOf(*copy);
  DWORD error = ERROR_SUCCESS;
  Attempt attempt = host::createUnderTempName(
      GetCurrentProcessId(), [&](const std::string& name) {
        std::string path = dir + name;
        if (!win32::fitsPath(path.c_str())) {
          error = ERROR_FILENAME_EXCED_RANGE;
          return Attempt::Failed;
        }
        HANDLE file = CreateFileA(
            path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
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
  Copy copy;
  copy.dir = dir;
  copy.path = dirs_.PathOf(dir);
  copy.path += '/';
  copy.path += name;
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
MoveStatus replaceByLink(const Copy& copy, const std::string& temp,
                         std::string* err) {
  std::string link =
      dirOf(copy) +
      host::tempName(GetCurrentProcessId(), win32::fileIndex(copy.file));
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
MoveStatus placeByPlainCopy(const Copy& copy, const FileInfo& source,
                            std::string* err) {
  const std::string dir = dirOf(copy);
  HANDLE out = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_SUCCESS;
  host::createUnderTempName(
      GetCurrentProcessId(), [&](const std::string& name) {
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
  ok = CloseHandle(out) && ok;
  ok = ok && renameRegistered(copy.path.c_str());
  if (ok)
    return MoveStatus::Moved;
  *err = shownFailure("MoveFileEx", copy.path.c_str(), GetLastError());
  removeRegistered();
  return MoveStatus::Failed;
}

// Puts the copy, written and flushed, in place. Nothing but a file is ever
// replaced.
MoveStatus place(const Copy& copy, const FileInfo& source, std::string* err) {
  FileInfo existing;
  MoveStatus refusal;
  if (host::blocks(win32::occupant(copy.path.c_str(), &existing, err),
                   &refusal))
    return refusal;
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

// Gives the copy `source`'s times, flushes it and puts it in place; closes
// it. Closing removes the temporary name; a copy in place keeps its own,
// and stays (beside the report) should closing fail.
MoveStatus commit(Copy* copy, const FileInfo& source, std::string* err) {
  HANDLE file = toHandle(copy->file);
  MoveStatus status = MoveStatus::Failed;
  if (!setTimes(file, source))
    *err = shownFailure("SetFileTime", copy->path.c_str(), GetLastError());
  else if (!FlushFileBuffers(file))
    *err = shownFailure("FlushFileBuffers", copy->path.c_str(), GetLastError());
  else
    status = place(*copy, source, err);
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
      c.status = commit(&found->second, *c.source, &c.err);
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
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + ".korendezo-*.tmp").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    unsigned long pid;
    unsigned long long index;
    // Holding the folder's lock, the run knows that no other run is at
    // work here; without it, only an ended process's temporaries are
    // leftovers.
    if (!host::parseTempName(data.cFileName, &pid, &index) ||
        pid == GetCurrentProcessId() || (lock_ == -1 && processRuns(pid)))
      continue;
    std::string path = dir + data.cFileName;
    if (isFileWithIndex(path.c_str(), index))
      DeleteFileA(path.c_str());
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

}  // namespace win32
