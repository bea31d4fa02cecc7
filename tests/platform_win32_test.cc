// The Win32 disk on real files where the end-to-end tests cannot reach:
// a console control event in the middle of writing a copy.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace {

constexpr char kChildDir[] = "KORENDEZO_CTRL_CHILD_DIR";
constexpr int kNoEvent = 42;  // the child could not raise the event

// In the child: starts a copy in `dir`, then presses Ctrl+C on its console.
// The default handler ends the process; should it return, the event was
// never delivered.
void actAsChild(const char* dir) {
  DiskInterface& disk = systemDisk();
  std::string err;
  DirHandle here;
  FileHandle file;
  if (!SetCurrentDirectoryA(dir) ||
      disk.OpenDir(".", &here, &err) != DirStatus::Opened ||
      !disk.CreateCopy(here, "r.htm", &file, &err) ||
      !disk.Write(file, "part of a copy", 14, &err))
    std::_Exit(1);
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
    std::_Exit(kNoEvent);
  Sleep(INFINITE);  // ended by the handler, on another thread
}

TEST(Win32Disk, CtrlCRemovesTheTemporaryCopy) {
  if (const char* dir = std::getenv(kChildDir)) {
    actAsChild(dir);
    return;
  }
  char base[MAX_PATH], dir[MAX_PATH];
  ASSERT_NE(0u, GetTempPathA(sizeof base, base));
  ASSERT_NE(0u, GetTempFileNameA(base, "kor", 0, dir));
  ASSERT_TRUE(DeleteFileA(dir) && CreateDirectoryA(dir, nullptr)) << dir;

  char self[MAX_PATH];
  ASSERT_NE(0u, GetModuleFileNameA(nullptr, self, sizeof self));
  std::string command = std::string("\"") + self +
                        "\" --gtest_filter=Win32Disk.CtrlCRemovesTheTemporaryCopy";
  SetEnvironmentVariableA(kChildDir, dir);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child;
  // A console of its own: the event goes to the child's console alone.
  BOOL started = CreateProcessA(self, &command[0], nullptr, nullptr, FALSE,
                                CREATE_NEW_CONSOLE, nullptr, nullptr, &startup,
                                &child);
  SetEnvironmentVariableA(kChildDir, nullptr);
  ASSERT_TRUE(started) << "CreateProcess: " << GetLastError();
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);

  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((std::string(dir) + "\\*.tmp").c_str(), &data);
  bool left = find != INVALID_HANDLE_VALUE;
  if (left) {
    DeleteFileA((std::string(dir) + "\\" + data.cFileName).c_str());
    FindClose(find);
  }
  RemoveDirectoryA(dir);
  if (status == static_cast<DWORD>(kNoEvent))
    GTEST_SKIP() << "no console to raise Ctrl+C on: GenerateConsoleCtrlEvent "
                    "failed in the child";
  ASSERT_NE(1u, status) << "the child could not start its copy";
  EXPECT_FALSE(left) << "the partial copy stayed behind";
}

// Two runs in one folder: the second finds it locked until the first lets
// go, and the lock leaves nothing behind.
TEST(Win32Disk, OneRunPerFolder) {
  char base[MAX_PATH], dir[MAX_PATH], before[MAX_PATH];
  ASSERT_NE(0u, GetTempPathA(sizeof base, base));
  ASSERT_NE(0u, GetTempFileNameA(base, "kor", 0, dir));
  ASSERT_TRUE(DeleteFileA(dir) && CreateDirectoryA(dir, nullptr)) << dir;
  ASSERT_NE(0u, GetCurrentDirectoryA(sizeof before, before));
  ASSERT_TRUE(SetCurrentDirectoryA(dir));
  {
    win32::Win32Disk first, second;
    EXPECT_EQ(LockStatus::Locked, first.LockFolder(false));
    EXPECT_EQ(LockStatus::Busy, second.LockFolder(false));
    first.UnlockFolder();
    EXPECT_EQ(LockStatus::Locked, second.LockFolder(false));
    second.UnlockFolder();
  }
  SetCurrentDirectoryA(before);
  EXPECT_TRUE(RemoveDirectoryA(dir)) << "the lock file stayed";
}

}  // namespace
