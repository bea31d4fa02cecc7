// The lock that keeps a second run out of a folder on Windows: a file of
// its own in the folder, open without sharing and deleted when closed, so
// that it ends with the process however that ends. Where the folder is on
// a share, it keeps out a run on another machine too.
#include "platform/win32/win32.h"

namespace {

constexpr wchar_t kLockName[] = L".korendezo.lock";
// How long a waiting run sleeps before it tries again.
constexpr DWORD kRetryMs = 250;
// Access is denied to a lock file that another run is deleting as it
// ends, for the moment that takes, and for good where no file may be
// made: tried again this often, this far apart.
constexpr int kDeniedTries = 4;
constexpr DWORD kDeniedRetryMs = 25;

}  // namespace

namespace win32 {

// Only a lock file that another program holds open means another run;
// where none can be had (a folder the user may not write, say), the run
// goes on without.
LockStatus Win32Disk::LockFolder(bool wait) {
  for (int denied = 0;;) {
    HANDLE file = CreateFileW(
        kLockName, GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      lock_ = fromHandle(file);
      return LockStatus::Locked;
    }
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && ++denied < kDeniedTries) {
      Sleep(kDeniedRetryMs);
      continue;
    }
    if (error != ERROR_SHARING_VIOLATION)
      return LockStatus::Unsupported;
    if (!wait)
      return LockStatus::Busy;
    denied = 0;
    Sleep(kRetryMs);
  }
}

void Win32Disk::UnlockFolder() {
  if (lock_ != -1)
    CloseHandle(toHandle(lock_));
  lock_ = -1;
}

}  // namespace win32
