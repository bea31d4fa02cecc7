// The platform layer on Windows. Names are bytes in the system's ANSI code
// page, so every call is the "A" form of the Win32 API and no name is ever
// converted.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "platform.h"
#include "platform/key_event.h"

static_assert(vk::kBack == VK_BACK && vk::kTab == VK_TAB &&
                  vk::kClear == VK_CLEAR && vk::kReturn == VK_RETURN &&
                  vk::kShift == VK_SHIFT && vk::kControl == VK_CONTROL &&
                  vk::kMenu == VK_MENU && vk::kPause == VK_PAUSE &&
                  vk::kCapital == VK_CAPITAL && vk::kEscape == VK_ESCAPE &&
                  vk::kSpace == VK_SPACE,
              "key codes up to Space");
static_assert(vk::kPrior == VK_PRIOR && vk::kNext == VK_NEXT &&
                  vk::kEnd == VK_END && vk::kHome == VK_HOME &&
                  vk::kLeft == VK_LEFT && vk::kUp == VK_UP &&
                  vk::kRight == VK_RIGHT && vk::kDown == VK_DOWN &&
                  vk::kInsert == VK_INSERT && vk::kDelete == VK_DELETE,
              "cursor and editing key codes");
static_assert(vk::kLWin == VK_LWIN && vk::kRWin == VK_RWIN &&
                  vk::kApps == VK_APPS && vk::kNumpad0 == VK_NUMPAD0 &&
                  vk::kNumpad9 == VK_NUMPAD9 && vk::kMultiply == VK_MULTIPLY &&
                  vk::kAdd == VK_ADD && vk::kSeparator == VK_SEPARATOR &&
                  vk::kSubtract == VK_SUBTRACT && vk::kDecimal == VK_DECIMAL &&
                  vk::kDivide == VK_DIVIDE && vk::kF1 == VK_F1 &&
                  vk::kF12 == VK_F12,
              "keypad and function key codes");
static_assert(vk::kNumLock == VK_NUMLOCK && vk::kScroll == VK_SCROLL &&
                  vk::kLShift == VK_LSHIFT && vk::kRShift == VK_RSHIFT &&
                  vk::kLControl == VK_LCONTROL &&
                  vk::kRControl == VK_RCONTROL && vk::kLMenu == VK_LMENU &&
                  vk::kRMenu == VK_RMENU,
              "lock and modifier key codes");

namespace {

// The system's text for an error code. The common ones get a short fixed
// text, the same on every Windows language and under wine.
std::string reasonText(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return "File not found";
    case ERROR_PATH_NOT_FOUND:
      return "Path not found";
    case ERROR_ACCESS_DENIED:
      return "Access denied";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return "File exists";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return "File in use";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "Disk full";
    case ERROR_WRITE_PROTECT:
      return "Write protected";
    case ERROR_INVALID_NAME:
      return "Invalid name";
    case ERROR_FILENAME_EXCED_RANGE:
      return "Name too long";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return "Not enough memory";
  }
  char* buffer = nullptr;
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text;
  if (n != 0 && buffer) {
    // Line breaks inside become spaces; the CR LF and period at the end go.
    for (DWORD i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(buffer[i]);
      text += (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '.'))
      text.pop_back();
  }
  if (buffer)
    LocalFree(buffer);
  if (text.empty()) {
    char fallback[32];
    std::snprintf(fallback, sizeof fallback, "error %lu",
                  static_cast<unsigned long>(error));
    text = fallback;
  }
  return text;
}

std::string failure(const char* op, const char* path, DWORD error) {
  std::string message = op;
  message += '(';
  message += path;
  message += "): ";
  message += reasonText(error);
  return message;
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

// The temporary file being written, if any, so that Ctrl+C, Ctrl+Break or
// closing the console window removes it rather than leaving a partial copy
// behind. The handler runs on a thread of its own.
char gTempPath[MAX_PATH];
volatile LONG gTempActive = 0;

BOOL WINAPI removeTempOnCtrl(DWORD) {
  // The file is shared for deletion: an open one goes when the process
  // ends and closes it.
  if (InterlockedCompareExchange(&gTempActive, 0, 0))
    DeleteFileA(gTempPath);
  return FALSE;  // the default handler ends the process
}

void forgetTemp(const char* path) {
  if (gTempActive && std::strcmp(path, gTempPath) == 0)
    InterlockedExchange(&gTempActive, 0);
}

class Win32Disk : public DiskInterface {
 public:
  Win32Disk() { SetConsoleCtrlHandler(removeTempOnCtrl, TRUE); }

  bool ListEntries(NameList* names, std::string* err) override {
    // The system's wildcard rule decides: through short names "*.htm" also
    // yields names such as "x.html".
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA("*.htm", &data);
    if (find == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES)
        return true;
      *err = failure("FindFirstFile", "*.htm", error);
      return false;
    }
    DWORD error;
    do {
      // Directories, and links and junctions, are never reports.
      if (!(data.dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
             FILE_ATTRIBUTE_DEVICE)))
        names->Add(data.cFileName);
      error = FindNextFileA(find, &data) ? ERROR_SUCCESS : GetLastError();
    } while (error == ERROR_SUCCESS);
    FindClose(find);
    if (error != ERROR_NO_MORE_FILES) {
      *err = failure("FindNextFile", "*.htm", error);
      return false;
    }
    return true;
  }

  bool OpenRead(const char* path, FileHandle* handle, bool* notFile,
                std::string* err) override {
    *notFile = false;
    if (!fits(path)) {
      *err = failure("CreateFile", path, ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    // The link itself is opened, never its target; no one may write the
    // file while it is read.
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT |
                                  FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      DWORD attributes = GetFileAttributesA(path);
      *notFile = attributes != INVALID_FILE_ATTRIBUTES &&
                 (attributes & (FILE_ATTRIBUTE_DIRECTORY |
                                FILE_ATTRIBUTE_REPARSE_POINT));
      *err = failure("CreateFile", path, error);
      return false;
    }
    // A device name such as "con.htm" opens the device: never read one.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      *notFile = true;
      *err = std::string(path) + ": not a regular file";
      CloseHandle(file);
      return false;
    }
    *handle = fromHandle(file);
    paths_[*handle] = path;
    return true;
  }

  bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
            std::string* err) override {
    DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD n = 0;
    if (!ReadFile(toHandle(handle), buf, want, &n, nullptr)) {
      *err = failure("ReadFile", paths_[handle].c_str(), GetLastError());
      return false;
    }
    *got = n;
    return true;
  }

  void CloseRead(FileHandle handle) override {
    paths_.erase(handle);
    CloseHandle(toHandle(handle));
  }

  bool Kind(const char* path, NodeKind* kind, std::string* err) override {
    if (!fits(path)) {
      *err = failure("GetFileAttributes", path, ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        *kind = NodeKind::Missing;
        return true;
      }
      *err = failure("GetFileAttributes", path, error);
      return false;
    }
    *kind = (attributes & (FILE_ATTRIBUTE_REPARSE_POINT |
                           FILE_ATTRIBUTE_DEVICE))
                ? NodeKind::Other
            : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NodeKind::Directory
                                                      : NodeKind::File;
    return true;
  }

  bool MakeDir(const char* path, bool* exists, std::string* err) override {
    *exists = false;
    if (!fits(path, kDirLimit)) {
      *err = failure("CreateDirectory", path, ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    if (CreateDirectoryA(path, nullptr))
      return true;
    DWORD error = GetLastError();
    *exists = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    *err = failure("CreateDirectory", path, error);
    return false;
  }

  bool CreateTemp(const char* dir, std::string* tempPath, FileHandle* handle,
                  std::string* err) override {
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[64];
      std::snprintf(name, sizeof name, "/.korendezo-%lu-%u.tmp",
                    static_cast<unsigned long>(GetCurrentProcessId()),
                    tempCounter_++);
      *tempPath = dir;
      *tempPath += name;
      if (!fits(tempPath->c_str())) {
        *err = failure("CreateFile", tempPath->c_str(),
                       ERROR_FILENAME_EXCED_RANGE);
        return false;
      }
      // Registered before the file exists, so no moment is left uncovered
      // (fits() has checked that it fits).
      std::memcpy(gTempPath, tempPath->c_str(), tempPath->size() + 1);
      InterlockedExchange(&gTempActive, 1);
      HANDLE file = CreateFileA(tempPath->c_str(), GENERIC_WRITE,
                                FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE)
        InterlockedExchange(&gTempActive, 0);
      if (file != INVALID_HANDLE_VALUE) {
        *handle = fromHandle(file);
        paths_[*handle] = *tempPath;
        return true;
      }
      DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        *err = failure("CreateFile", tempPath->c_str(), error);
        return false;
      }
    }
    *err = failure("CreateFile", tempPath->c_str(), ERROR_FILE_EXISTS);
    return false;
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
        *err = failure("WriteFile", paths_[handle].c_str(), error);
        return false;
      }
      data += n;
      size -= n;
    }
    return true;
  }

  bool CloseWrite(FileHandle handle, bool sync, std::string* err) override {
    std::string path = std::move(paths_[handle]);
    paths_.erase(handle);
    bool ok = true;
    if (sync && !FlushFileBuffers(toHandle(handle))) {
      *err = failure("FlushFileBuffers", path.c_str(), GetLastError());
      ok = false;
    }
    if (!CloseHandle(toHandle(handle)) && ok) {
      *err = failure("CloseHandle", path.c_str(), GetLastError());
      ok = false;
    }
    return ok;
  }

  bool Rename(const char* from, const char* to, std::string* err) override {
    if (!fits(from) || !fits(to)) {
      *err = failure("MoveFileEx", from, ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    // MoveFileEx moves a read-only file, which DeleteFile would refuse: a
    // read-only report keeps its place and is copied instead. A read-only
    // copy is never replaced, as on Windows (wine would replace it).
    for (const char* path : {from, to}) {
      DWORD attributes = GetFileAttributesA(path);
      if (attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_READONLY)) {
        *err = failure("MoveFileEx", path, ERROR_ACCESS_DENIED);
        return false;
      }
    }
    if (MoveFileExA(from, to,
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      forgetTemp(from);
      return true;
    }
    *err = failure("MoveFileEx", from, GetLastError());
    return false;
  }

  bool Remove(const char* path, std::string* err) override {
    if (!fits(path)) {
      *err = failure("DeleteFile", path, ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    if (DeleteFileA(path)) {
      forgetTemp(path);
      return true;
    }
    *err = failure("DeleteFile", path, GetLastError());
    return false;
  }

 private:
  unsigned tempCounter_ = 0;
  // Names of the open files, for error messages.
  std::unordered_map<FileHandle, std::string> paths_;
};

// Waits for one key on the console; returns at once without one. Reads the
// console itself, so redirected standard input does not end the wait.
void waitForKeyOnConsole() {
  HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE)
    return;
  DWORD saved;
  if (GetConsoleMode(input, &saved)) {
    // Keys arrive one by one, unechoed, Ctrl+C as a key. Input typed during
    // the run stays: its first key press counts.
    DWORD raw = saved & ~static_cast<DWORD>(ENABLE_LINE_INPUT |
                                            ENABLE_ECHO_INPUT |
                                            ENABLE_PROCESSED_INPUT);
    if (SetConsoleMode(input, raw)) {
      INPUT_RECORD record;
      DWORD n;
      while (ReadConsoleInputA(input, &record, 1, &n) && n == 1) {
        if (record.EventType != KEY_EVENT)
          continue;
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        if (keyEndsWait({key.bKeyDown != FALSE, key.wVirtualKeyCode,
                         key.uChar.AsciiChar}))
          break;
      }
      SetConsoleMode(input, saved);
    }
  }
  CloseHandle(input);
}

class Win32Console : public Console {
 public:
  Win32Console() {
    // Standard output in text mode: each line ends in CR LF. On a console
    // each piece shows at once; redirected, output goes in blocks.
    // The buffer is static: stdio flushes it after objects with static
    // storage are destroyed.
    static char buffer[512];
    DWORD type = GetFileType(GetStdHandle(STD_OUTPUT_HANDLE));
    std::setvbuf(stdout, buffer, type == FILE_TYPE_CHAR ? _IONBF : _IOFBF,
                 sizeof buffer);
    // Error texts carry their own CR LF.
    _setmode(_fileno(stderr), _O_BINARY);
  }
  void Write(const char* text, size_t size) override {
    std::fwrite(text, 1, size, stdout);
  }
  void WriteError(const char* text, size_t size) override {
    std::fwrite(text, 1, size, stderr);
    std::fflush(stderr);
  }
  void WaitForKey() override {
    std::fflush(stdout);
    waitForKeyOnConsole();
  }
};

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool equalsNoCase(const char* a, size_t length, const char* b) {
  if (std::strlen(b) != length)
    return false;
  for (size_t i = 0; i < length; ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    if (x != b[i])
      return false;
  }
  return true;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 name devices whatever follows the
// first period, and whatever spaces end the part before it.
bool isDeviceName(const char* name) {
  size_t length = std::strcspn(name, ".");
  while (length > 0 && name[length - 1] == ' ')
    --length;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : kDevices) {
    if (equalsNoCase(name, length, device))
      return true;
  }
  return length == 4 && (equalsNoCase(name, 3, "COM") ||
                         equalsNoCase(name, 3, "LPT")) &&
         name[3] >= '1' && name[3] <= '9';
}

}  // namespace

DiskInterface& systemDisk() {
  static Win32Disk disk;
  return disk;
}

Console& systemConsole() {
  static Win32Console console;
  return console;
}

bool hostRefusesDirName(const char* raw) {
  if (std::strpbrk(raw, "<>:\"|?*"))
    return true;
  // Windows drops a final space or period, so the name would not be the one
  // that was checked.
  size_t length = std::strlen(raw);
  if (length > 0 && (raw[length - 1] == ' ' || raw[length - 1] == '.'))
    return true;
  return isDeviceName(raw);
}

void appendReportName(std::string* out, const char* raw) {
  // Verbatim: the Hungarian letters have the same bytes in ISO-8859-2 and
  // in code page 1250, the ANSI code page of a Hungarian Windows.
  *out += raw;
}

size_t appendForConsole(std::string* out, const char* name, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    *out += isControl(c) ? '?' : static_cast<char>(c);
  }
  return size;
}

bool hostReadsCommandLine() { return false; }
