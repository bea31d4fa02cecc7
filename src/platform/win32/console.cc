// Console output on Windows, and the system's messages as it tells them.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host.h"

namespace {

// Short fixed texts for the common errors, the same on every Windows
// language and under wine.
const struct {
  DWORD error;
  const char* text;
} kReasons[] = {
    {ERROR_FILE_NOT_FOUND, "File not found"},
    {ERROR_PATH_NOT_FOUND, "Path not found"},
    {ERROR_ACCESS_DENIED, "Access denied"},
    {ERROR_FILE_EXISTS, "File exists"},
    {ERROR_ALREADY_EXISTS, "File exists"},
    {ERROR_SHARING_VIOLATION, "File in use"},
    {ERROR_LOCK_VIOLATION, "File in use"},
    {ERROR_DISK_FULL, "Disk full"},
    {ERROR_HANDLE_DISK_FULL, "Disk full"},
    {ERROR_WRITE_PROTECT, "Write protected"},
    {ERROR_INVALID_NAME, "Invalid name"},
    {ERROR_FILENAME_EXCED_RANGE, "Name too long"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory"},
    {ERROR_OUTOFMEMORY, "Not enough memory"},
};

// The system's own message, on one line, without its final period.
std::string systemMessage(DWORD error) {
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
  return text;
}

// Standard output, when it is a console.
HANDLE gConsole = INVALID_HANDLE_VALUE;

// The console shows bytes in its own code page, 852 on a Hungarian Windows,
// while names are in the ANSI code page, 1250 there. Written as UTF-16, the
// characters show whatever the console's code page, which stays as it is:
// the window may be the user's own cmd.exe.
bool writeCharacters(const char* text, size_t size) {
  if (size == 0)
    return true;
  if (size > INT_MAX)
    return false;
  // No character of any code page takes more UTF-16 units than bytes.
  std::wstring units(size, L'\0');
  int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(size),
                              &units[0], static_cast<int>(size));
  if (n <= 0)
    return false;
  // Every line feed after a carriage return, as text mode wrote them.
  std::wstring shown;
  shown.reserve(2 * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    if (units[i] == L'\n')
      shown += L'\r';
    shown += units[i];
  }
  // A piece is a line or less: the console takes it in one call.
  const wchar_t* next = shown.data();
  DWORD left = static_cast<DWORD>(shown.size());
  while (left > 0) {
    DWORD done = 0;
    if (!WriteConsoleW(gConsole, next, left, &done, nullptr) || done == 0)
      return next != shown.data();
    next += done;
    left -= done;
  }
  return true;
}

}  // namespace

namespace host {

StandardOutput prepareStandardStreams() {
  // Standard output stays in text mode where it takes bytes, so each line
  // ends in CR LF; error texts carry their own CR LF.
  _setmode(_fileno(stderr), _O_BINARY);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (GetConsoleMode(out, &mode)) {
    gConsole = out;
    return {true, writeCharacters};
  }
  // A file, a pipe, or a device such as NUL.
  return {GetFileType(out) == FILE_TYPE_CHAR, nullptr};
}

bool writeStream(Stream stream, const char* data, size_t size,
                 std::string* err) {
  // Through the C runtime: standard output's text mode ends each line in
  // CR LF.
  const bool output = stream == Stream::Output;
  FILE* file = output ? stdout : stderr;
  errno = 0;
  if (std::fwrite(data, 1, size, file) == size && std::fflush(file) == 0)
    return true;
  *err = output ? "write(standard output): " : "write(standard error): ";
  *err += std::strerror(errno != 0 ? errno : EIO);
  return false;
}

std::string reasonText(SystemError error) {
  for (const auto& reason : kReasons) {
    if (reason.error == error)
      return reason.text;
  }
  std::string text = systemMessage(static_cast<DWORD>(error));
  if (text.empty()) {
    char fallback[32];
    std::snprintf(fallback, sizeof fallback, "error %lu", error);
    text = fallback;
  }
  return text;
}

}  // namespace host

bool hostReadsCommandLine() { return false; }
