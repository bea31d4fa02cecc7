// Named temporary files on Windows: the plain copy made where a volume has
// no hard links, which the console's Ctrl handler removes should the
// program be ended while it exists; and the names a killed run left, which
// the next run that opens their directory removes.
#include <windows.h>

#include <cstring>

#include "platform.h"

namespace {

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

bool processRuns(unsigned long pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process)
    return GetLastError() != ERROR_INVALID_PARAMETER;
  bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

}  // namespace

namespace host {

FileHandle createRegistered(const std::string& path, unsigned long access) {
  installTempCleanup();
  EnterCriticalSection(&gTempLock);
  HANDLE file = INVALID_HANDLE_VALUE;
  if (path.size() < sizeof gTempPath) {
    file = CreateFileA(path.c_str(), access, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      std::memcpy(gTempPath, path.c_str(), path.size() + 1);
      gTempActive = true;
    }
  }
  LeaveCriticalSection(&gTempLock);
  return reinterpret_cast<FileHandle>(file);
}

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

void removeLeftovers(DirHandle, const char* dirName) {
  const std::string dir = std::string(dirName) + "/";
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((dir + ".korendezo-*.tmp").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    unsigned long pid;
    unsigned long long index;
    if (!parseTempName(data.cFileName, &pid, &index) ||
        pid == GetCurrentProcessId() || processRuns(pid))
      continue;
    std::string path = dir + data.cFileName;
    if (isFileWithIndex(path.c_str(), index))
      DeleteFileA(path.c_str());
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

}  // namespace host
