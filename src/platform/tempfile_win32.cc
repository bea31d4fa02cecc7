// Clean-up when the program is ended from its console on Windows: Ctrl+C,
// Ctrl+Break or closing the window removes the temporary file being
// written.
#include <windows.h>

#include "platform.h"

namespace {

// Runs on a thread of its own.
BOOL WINAPI removeTempOnCtrl(DWORD) {
  // The file is shared for deletion: an open one goes when the process
  // ends and closes it.
  if (const char* path = host::registeredTemp())
    DeleteFileA(path);
  return FALSE;  // the default handler ends the process
}

}  // namespace

namespace host {

unsigned long processId() { return GetCurrentProcessId(); }

void installTempCleanup() {
  static bool installed = false;
  if (!installed)
    installed = SetConsoleCtrlHandler(removeTempOnCtrl, TRUE) != FALSE;
}

}  // namespace host
