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
  FileHandle file = -1;
  DirHandle dir = -1;
  std::string path;  // where it goes, for messages: "dir/name"
  // Its name of its own while it has one, or "", and (POSIX) the directory
  // that name is in: the folder, or `dir`.
  std::string tempName;
  DirHandle tempDir = -1;
};

// Each platform's console.cc

// How standard output takes the program's output.
struct StandardOutput {
  // The user's console or terminal: each piece is shown at once.
  bool shownAtOnce;
  // Set where standard output is a console that takes characters, not
  // bytes (Windows): writes pieces of whole characters of the system's code
  // page as those characters; false when it wrote nothing. Null where
  // standard output takes the bytes as they are.
  bool (*writeCharacters)(const char* text, size_t size);
};
// Prepares the standard streams for the program's output.
StandardOutput prepareStandardStreams();
enum class Stream { Output, Error };
// Writes all `size` bytes to standard output or error, going on after an
// interrupted or partial write; false with "write(standard output):
// reason" when it cannot.
bool writeStream(Stream stream, const char* data, size_t size,
                 std::string* err);
// The system's text for `error`, in the code page of the run's lines.
std::string reasonText(SystemError error);

// Each platform's key_wait.cc: waits for one key press on the user's
// console or terminal; returns at once when the process has none.
void waitForKey();

}  // namespace host

#endif  // KORENDEZO_PLATFORM_HOST_H_
