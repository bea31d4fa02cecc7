// The Win32 disk on real files where the end-to-end tests cannot reach:
// a console control event in the middle of writing a copy, and files
// changed or replaced between the calls of a run.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
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

// A scratch folder, the current directory while it lives.
class Win32DiskFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, base));
    ASSERT_NE(0u, GetTempFileNameW(base, L"kor", 0, dir_));
    ASSERT_TRUE(DeleteFileW(dir_) && CreateDirectoryW(dir_, nullptr));
    ASSERT_TRUE(GetCurrentDirectoryW(MAX_PATH, saved_) &&
                SetCurrentDirectoryW(dir_));
  }
  void TearDown() override {
    SetCurrentDirectoryW(saved_);
    _wsystem((L"cmd.exe /c rd /s /q \"" + std::wstring(dir_) + L"\"").c_str());
  }

  static void Write(const wchar_t* name, const std::string& bytes) {
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD n = 0;
    ASSERT_TRUE(file != INVALID_HANDLE_VALUE &&
                WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()),
                          &n, nullptr) &&
                n == bytes.size());
    CloseHandle(file);
  }
  static std::string Read(const wchar_t* name) {
    HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    char buffer[256];
    DWORD n = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              ReadFile(file, buffer, sizeof buffer, &n, nullptr);
    if (file != INVALID_HANDLE_VALUE)
      CloseHandle(file);
    return ok ? std::string(buffer, n) : "<none>";
  }
  // Reads `name` through the disk as a run does, and tells which file it
  // was.
  static FileInfo ReadThroughDisk(const char* name) {
    FileHandle handle;
    FileInfo info;
    std::string err;
    char buffer[256];
    size_t got = 0;
    EXPECT_EQ(OpenStatus::Opened,
              systemDisk().OpenRead(name, &handle, &info, &err)) << err;
    EXPECT_TRUE(systemDisk().Read(handle, buffer, sizeof buffer, &got, &err));
    systemDisk().CloseRead(handle);
    return info;
  }
  static bool Exists(const wchar_t* name) {
    return GetFileAttributesW(name) != INVALID_FILE_ATTRIBUTES;
  }

 private:
  wchar_t dir_[MAX_PATH];
  wchar_t saved_[MAX_PATH];
};

// What may happen to a report between its read and its removal: only the
// file as read goes, through the handle that was checked.
TEST_F(Win32DiskFolder, RemovesOnlyTheFileAsRead) {
  const struct {
    const char* change;
    std::function<void()> make;
    bool removed;
  } cases[] = {
      {"none", [] {}, true},
      {"rewritten, its modification time put back",
       [] {
         HANDLE file = CreateFileW(L"r.htm", GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
         FILE_BASIC_INFO before, after;
         GetFileInformationByHandleEx(file, FileBasicInfo, &before,
                                      sizeof before);
         // Until the file system's clock has moved on: then the change
         // shows in the change time alone.
         do {
           DWORD n;
           SetFilePointer(file, 0, nullptr, FILE_BEGIN);
           WriteFile(file, "other", 5, &n, nullptr);
           FILETIME written;
           written.dwLowDateTime = before.LastWriteTime.LowPart;
           written.dwHighDateTime =
               static_cast<DWORD>(before.LastWriteTime.HighPart);
           SetFileTime(file, nullptr, nullptr, &written);
           GetFileInformationByHandleEx(file, FileBasicInfo, &after,
                                        sizeof after);
         } while (after.ChangeTime.QuadPart == before.ChangeTime.QuadPart);
         CloseHandle(file);
       },
       false},
      {"replaced by another file",
       [] {
         Write(L"other.htm", "other");
         MoveFileExW(L"other.htm", L"r.htm", MOVEFILE_REPLACE_EXISTING);
       },
       false},
      {"held open for writing", [] {}, false},
  };
  for (const auto& c : cases) {
    Write(L"r.htm", "bytes");
    FileInfo source = ReadThroughDisk("r.htm");
    c.make();
    const std::string before = Read(L"r.htm");
    HANDLE writer = INVALID_HANDLE_VALUE;
    if (std::string(c.change) == "held open for writing")
      writer = CreateFileW(L"r.htm", GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE |
                               FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    std::string err;
    EXPECT_EQ(c.removed, systemDisk().Remove("r.htm", source, nullptr, &err) ==
                             RemoveStatus::Removed)
        << c.change << ": " << err;
    if (writer != INVALID_HANDLE_VALUE)
      CloseHandle(writer);
    EXPECT_EQ(c.removed ? "<none>" : before, Read(L"r.htm")) << c.change;
    DeleteFileW(L"r.htm");
  }
}

// A report whose name another file took since its read is not moved, and
// neither is that file.
TEST_F(Win32DiskFolder, MovesOnlyTheFileThatWasRead) {
  Write(L"r.htm", "report");
  FileInfo source = ReadThroughDisk("r.htm");
  Write(L"other.htm", "another player's report");
  ASSERT_TRUE(MoveFileExW(L"other.htm", L"r.htm", MOVEFILE_REPLACE_EXISTING));
  DirHandle dir;
  std::string err;
  ASSERT_EQ(DirStatus::Made, systemDisk().OpenDir("d", &dir, &err)) << err;
  EXPECT_EQ(MoveStatus::Failed,
            systemDisk().MoveInto("r.htm", source, dir, &err));
  EXPECT_EQ("r.htm: not the file that was read", err);
  systemDisk().CloseDir(dir);
  EXPECT_EQ("another player's report", Read(L"r.htm"));
  EXPECT_FALSE(Exists(L"d\\r.htm"));
}

// Reports go to a held directory by its name: no one may rename it, or
// put another in its place, while it is held.
TEST_F(Win32DiskFolder, HeldDirectoryKeepsItsName) {
  DirHandle dir;
  std::string err;
  ASSERT_EQ(DirStatus::Made, systemDisk().OpenDir("d", &dir, &err)) << err;
  BOOL renamed = MoveFileExW(L"d", L"e", 0);
  systemDisk().CloseDir(dir);
  EXPECT_FALSE(renamed);
  EXPECT_TRUE(Exists(L"d"));
}

// Temporaries of runs that have ended go, whatever their numbers; no other
// file does, nor one that a program still holds.
TEST_F(Win32DiskFolder, RemovesLeftoversOfEndedRunsOnly) {
  // A process that has ended: its number is not given to another while
  // its handle is open.
  wchar_t self[MAX_PATH];
  ASSERT_NE(0u, GetModuleFileNameW(nullptr, self, MAX_PATH));
  std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_list_tests";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION ended;
  ASSERT_TRUE(CreateProcessW(self, &command[0], nullptr, nullptr, FALSE,
                             CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                             &ended));
  WaitForSingleObject(ended.hProcess, INFINITE);
  const std::wstring pid = std::to_wstring(ended.dwProcessId);
  const std::wstring own = std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(L"d", nullptr));
  const struct {
    std::wstring name;
    bool stays;
  } cases[] = {
      {L"d\\.korendezo-" + pid + L"-7.tmp", false},
      {L"d\\.korendezo-" + pid + L"-123456789.tmp", false},
      {L"d\\.korendezo-" + pid + L"-8.tmp", true},  // held below
      {L"d\\.korendezo-" + own + L"-9.tmp", true},
      {L"d\\.korendezo-" + pid + L"-07.tmp", true},
      {L"d\\.korendezo-" + pid + L"-7.tmp.htm", true},
      {L"d\\r.htm", true},
  };
  for (const auto& c : cases)
    Write(c.name.c_str(), "x");
  HANDLE held = CreateFileW(cases[2].name.c_str(), GENERIC_READ | DELETE,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  DirHandle dir;
  std::string err;
  EXPECT_EQ(DirStatus::Opened, systemDisk().OpenDir("d", &dir, &err)) << err;
  systemDisk().CloseDir(dir);
  CloseHandle(held);
  CloseHandle(ended.hThread);
  CloseHandle(ended.hProcess);
  for (const auto& c : cases)
    EXPECT_EQ(c.stays, Exists(c.name.c_str()))
        << std::string(c.name.begin(), c.name.end());
}

// Two runs in one folder: the second finds it locked until the first lets
// go, and the lock leaves nothing behind.
TEST_F(Win32DiskFolder, OneRunPerFolder) {
  win32::Win32Disk first, second;
  EXPECT_EQ(LockStatus::Locked, first.LockFolder(false));
  EXPECT_EQ(LockStatus::Busy, second.LockFolder(false));
  first.UnlockFolder();
  EXPECT_EQ(LockStatus::Locked, second.LockFolder(false));
  second.UnlockFolder();
  EXPECT_FALSE(Exists(L".korendezo.lock"));
}

}  // namespace
