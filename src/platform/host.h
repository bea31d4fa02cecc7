// Inside the platform layer: what its shared files (failure.cc,
// stdio_console.cc) and the two platforms give each other. Nothing here is
// one platform's alone; the core never includes this header.
#ifndef KORENDEZO_PLATFORM_HOST_H_
#define KORENDEZO_PLATFORM_HOST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

namespace host {

// An error number of the system: errno, or a Win32 error code.
using SystemError = unsigned long;

// failure.cc

// "op(path): " and the system's text for `error`.
std::string failure(const char* op, const char* path, SystemError error);

// Paths of the open files and directories, by handle, for error messages.
class OpenFiles {
 public:
  void Add(intptr_t handle, const std::string& path) { paths_[handle] = path; }
  const char* PathOf(intptr_t handle) const;
  // Forgets the handle; returns its path.
  std::string Remove(intptr_t handle);

 private:
  std::unordered_map<intptr_t, std::string> paths_;
};

// The name of a temporary file of process `pid`: ".korendezo-<pid>-<n>.tmp".
std::string tempName(unsigned long pid, unsigned long long number);
// The pid and number of a name that tempName makes, exactly as it makes it;
// false for every other name.
bool parseTempName(const char* name, unsigned long* pid,
                   unsigned long long* number);

// What an attempt to create a file under a given name came to.
enum class Attempt { Made, NameTaken, Failed };
// Offers `create` the temporary names of process `pid`, with numbers that
// count up over the run, until it makes a file under one or fails for
// another reason than that the name is taken; at most 100 names. Returns
// what the last attempt came to.
Attempt createUnderTempName(unsigned long pid,
                            const std::function<Attempt(const std::string&)>&
                                create);

// What has the name where a file is to go.
enum class Occupant {
  Free,     // nothing
  File,     // a regular file, which a copy or a report may replace
  Other,    // a directory, a link, a device...: never replaced
  Unknown,  // it could not be looked at
};
// Whether what has the name keeps a file from going there; *refusal then
// says what the move comes to.
inline bool blocks(Occupant occupant, MoveStatus* refusal) {
  if (occupant == Occupant::Other)
    *refusal = MoveStatus::Taken;
  else if (occupant == Occupant::Unknown)
    *refusal = MoveStatus::Failed;
  else
    return false;
  return true;
}

// A copy in the making: a file that nobody sees before it is put in place.
struct Copy {
  Copy() = default;
  // The copy that is to become `name` in `dir`, called `dirPath`.
  Copy(DirHandle into, const char* dirPath, const char* name)
      : dir(into), path(std::string(dirPath) + "/" + name) {}

  FileHandle file = -1;
  DirHandle dir = -1;
  std::string path;  // where it goes, for messages: "dir/name"
  // Its name of its own while it has one, or "", and (POSIX) the directory
  // that name is in: the folder, or `dir`.
  std::string tempName;
  DirHandle tempDir = -1;
};

// unicode.cc: names inside the program are UTF-8 on both platforms (on
// Windows WTF-8: a lone surrogate of a name on disk is kept as the three
// bytes UTF-8 would give it, so that every name on disk is reachable).

// The Unicode code point of an ISO-8859-2 byte.
uint32_t latin2CodePoint(unsigned char byte);
// Appends code point `cp` in UTF-8 (a surrogate in three bytes).
void appendUtf8(std::string* out, uint32_t cp);
// The length of the UTF-8 sequence at `text`, `left` bytes from its end,
// with its code point in *cp; 0 when no well-formed sequence starts there.
// With `surrogates`, the three bytes of a surrogate count as one (WTF-8).
size_t decodeUtf8(const char* text, size_t left, uint32_t* cp,
                  bool surrogates);
// appendForConsole for names in UTF-8 (`surrogates`: WTF-8): what is not
// a printable character shows as '?', a byte that starts no sequence as
// one '?' of its own.
size_t appendUtf8ForConsole(std::string* out, const char* name, size_t size,
                            bool surrogates);

// Each platform's console.cc

// How standard output takes the program's output, which is UTF-8.
struct StandardOutput {
  // The user's console or terminal: each piece is shown at once.
  bool shownAtOnce;
  // Set where standard output is a console that takes characters, not
  // bytes (Windows): writes pieces of whole characters as those
  // characters; false when it wrote nothing. Null where standard output
  // takes the bytes as they are.
  bool (*writeCharacters)(const char* text, size_t size);
  // Set where standard output takes bytes of another encoding (Windows,
  // redirected, where the ANSI code page is 1250): a piece of whole
  // characters in that encoding. Null: the UTF-8 bytes as they are.
  std::string (*encode)(const char* text, size_t size);
};
// Prepares the standard streams for the program's output.
StandardOutput prepareStandardStreams();
enum class Stream { Output, Error };
// Writes all `size` bytes to standard output or error, going on after an
// interrupted or partial write; false with "write(standard output):
// reason" when it cannot.
bool writeStream(Stream stream, const char* data, size_t size,
                 std::string* err);
// The system's text for `error`, in UTF-8.
std::string reasonText(SystemError error);

// Each platform's key_wait.cc: waits for one key press on the user's
// console or terminal; returns at once when the process has none, or
// when standard output goes elsewhere.
void waitForKey();

}  // namespace host

#endif  // KORENDEZO_PLATFORM_HOST_H_
