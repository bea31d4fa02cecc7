// Console output on Windows, and the system's messages as it tells them.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform.h"

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

}  // namespace

namespace host {

bool prepareStandardStreams() {
  // Standard output stays in text mode, so each line ends in CR LF; error
  // texts carry their own CR LF.
  _setmode(_fileno(stderr), _O_BINARY);
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
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
