// The operating-system services the sorter uses: file-system access, the
// console, and the host's rules for names.
//
// Each platform implements them in one file per concern, chosen by the
// build: fs_<platform>.cc (the disk), tempfile_<platform>.cc (temporary
// files and their clean-up when the program is ended), console_<platform>.cc
// (console output), keywait_<platform>.cc (the key wait) and
// names_<platform>.cc (names). shared.cc holds what both do alike.
#ifndef KORENDEZO_PLATFORM_H_
#define KORENDEZO_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Names of directory entries, stored back to back so that a folder of many
// thousands of reports costs little more than the bytes of their names.
class NameList {
 public:
  void Add(const char* name);
  size_t size() const { return offsets_.size(); }
  bool empty() const { return offsets_.empty(); }
  const char* operator[](size_t i) const { return bytes_.data() + offsets_[i]; }
  // Orders the names as the home platform's file system lists them: ASCII
  // letters compared as upper case, ties broken by the bytes themselves.
  void SortLikeListing();

 private:
  std::string bytes_;
  std::vector<uint32_t> offsets_;
};

// What a name refers to, looked at without following symbolic links.
enum class NodeKind { Missing, File, Directory, Other };

// Result of opening a file for reading.
enum class OpenStatus {
  Opened,
  NotAFile,  // the name belongs to a directory, a link, a device...
  Failed,
};

// Result of making a directory.
enum class MakeDirStatus {
  Made,
  Exists,  // something, of any kind, has the name already
  Failed,
};

using FileHandle = intptr_t;

// File-system access of the sorting run. Paths are relative to the current
// directory. Every call that can fail sets *err to a message worded
// "op(path): reason" when it does.
class DiskInterface {
 public:
  virtual ~DiskInterface() = default;

  // Adds the entries of the current directory that may be reports: regular
  // files whose names match the host's rule. The order is unspecified.
  virtual bool ListEntries(NameList* names, std::string* err) = 0;

  // Opens a regular file for reading; anything else is NotAFile.
  virtual OpenStatus OpenRead(const char* path, FileHandle* handle,
                              std::string* err) = 0;
  // Reads up to `size` bytes; *got is 0 at the end of the data.
  virtual bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
                    std::string* err) = 0;
  virtual void CloseRead(FileHandle handle) = 0;

  // Kind of the node at `path`; Missing when nothing has that name.
  virtual bool Kind(const char* path, NodeKind* kind, std::string* err) = 0;
  virtual MakeDirStatus MakeDir(const char* path, std::string* err) = 0;

  // Creates and opens a new file under an unused temporary name in `dir`.
  virtual bool CreateTemp(const char* dir, std::string* tempPath,
                          FileHandle* handle, std::string* err) = 0;
  // Writes all `size` bytes.
  virtual bool Write(FileHandle handle, const char* data, size_t size,
                     std::string* err) = 0;
  // Closes a written file; with `sync`, first flushes it to stable storage.
  // Fails if any step does.
  virtual bool CloseWrite(FileHandle handle, bool sync, std::string* err) = 0;

  // Renames a file, replacing a regular file at `to`.
  virtual bool Rename(const char* from, const char* to, std::string* err) = 0;
  virtual bool Remove(const char* path, std::string* err) = 0;
};

// The program's console: standard output, standard error and the key wait.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(const char* text, size_t size) = 0;
  virtual void WriteError(const char* text, size_t size) = 0;
  // Flushes standard output, then waits for one key press on the user's
  // console; returns at once when the process has none.
  virtual void WaitForKey() = 0;
};

// The operating system's implementations, set up on first use.
DiskInterface& systemDisk();
Console& systemConsole();

// Host rules for names taken from a report (player identifier, title name),
// which arrive as ISO-8859-2 bytes.

// True when the host refuses `raw` as a directory name for a reason of its
// own, beyond the portable checks of the sorting run.
bool hostRefusesDirName(const char* raw);
// Appends `raw` in the host's encoding for file names.
void appendReportName(std::string* out, const char* raw);
// Appends a local name (a file name, or one made by appendReportName) for
// the console: control characters and undecodable bytes print as '?'.
// Returns the number of characters appended.
size_t appendForConsole(std::string* out, const char* name, size_t size);

// Within the layer: what its files give each other. Nothing outside
// src/platform/ (and its tests) uses these.
namespace host {

// An error number of the system: errno, or a Win32 error code.
using SystemError = unsigned long;

// shared.cc

// "op(path): " and the system's text for `error`.
std::string failure(const char* op, const char* path, SystemError error);

// Paths of the open files, by handle, for error messages.
class OpenFiles {
 public:
  void Add(FileHandle handle, const std::string& path) { paths_[handle] = path; }
  const char* PathOf(FileHandle handle) const;
  // Forgets the handle; returns its path.
  std::string Remove(FileHandle handle);

 private:
  std::unordered_map<FileHandle, std::string> paths_;
};

// The temporary file being written, if any: the clean-up that runs when the
// program is ended from outside removes it. One at a time.
bool registerTemp(const std::string& path);
void forgetTemp(const char* path);
// The registered path, or null; safe to call from the clean-up.
const char* registeredTemp();

// What the disks of both platforms share.
class SystemDisk : public DiskInterface {
 public:
  // Creates and opens `dir`/.korendezo-<process>-<n>.tmp, with the next
  // unused n, registered for the clean-up.
  bool CreateTemp(const char* dir, std::string* tempPath, FileHandle* handle,
                  std::string* err) override;

 protected:
  OpenFiles open_;

 private:
  unsigned tempCounter_ = 0;
};

// fs_<platform>.cc

enum class CreateStatus { Created, Exists, Failed };
// Creates and opens a file for writing that must not exist yet.
CreateStatus createNewFile(const char* path, FileHandle* handle,
                           std::string* err);

// tempfile_<platform>.cc

unsigned long processId();
// Sets up, once, the removal of the registered temporary file when the
// program is ended by a signal or a console event.
void installTempCleanup();

// console_<platform>.cc

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
// The system's text for `error`, in the code page of the run's lines.
std::string reasonText(SystemError error);

// keywait_<platform>.cc

// Waits for one key press on the user's console or terminal; returns at
// once when the process has none.
void waitForKey();

// POSIX only.

// tempfile_posix.cc: the signals that end the program and the clean-ups
// that run first.

// Adds an async-signal-safe function to call when SIGINT, SIGTERM, SIGHUP
// or SIGQUIT ends the program (each is caught unless it was ignored when
// the program started); the signal's default action follows. At most
// two.
void atFatalSignal(void (*cleanup)());

// names_posix.cc: whether a directory entry's name is one of a report.
bool matchesReportName(const char* name);

// keywait_posix.cc

// Whether `size` bytes (at least one) read from a terminal, each read only
// because the bytes before it were not yet a whole key, are one whole key
// press: a character (UTF-8 bytes included) or an escape sequence,
// optionally after an ESC that stands for Alt. ESC on its own is not whole
// here: the caller ends it when no further byte follows within a short
// time.
bool completesKey(const unsigned char* bytes, size_t size);

}  // namespace host

#endif  // KORENDEZO_PLATFORM_H_
