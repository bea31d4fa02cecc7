// The operating-system services the sorter uses: file-system access, the
// console, and the host's rules for names. One implementation per platform
// (platform_posix.cc, platform_win32.cc), chosen by the build.
#ifndef KORENDEZO_PLATFORM_H_
#define KORENDEZO_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
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

using FileHandle = intptr_t;

// File-system access of the sorting run. Paths are relative to the current
// directory. Every call that can fail returns false and sets *err to a
// message worded "op(path): reason".
class DiskInterface {
 public:
  virtual ~DiskInterface() = default;

  // Adds the entries of the current directory that may be reports: regular
  // files whose names match the host's rule. The order is unspecified.
  virtual bool ListEntries(NameList* names, std::string* err) = 0;

  // Opens a regular file for reading. When `path` names something else (a
  // directory, a link, a device), fails with *notFile set.
  virtual bool OpenRead(const char* path, FileHandle* handle, bool* notFile,
                        std::string* err) = 0;
  // Reads up to `size` bytes; *got is 0 at the end of the data.
  virtual bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
                    std::string* err) = 0;
  virtual void CloseRead(FileHandle handle) = 0;

  // Kind of the node at `path`; Missing when nothing has that name.
  virtual bool Kind(const char* path, NodeKind* kind, std::string* err) = 0;
  // Creates a directory. When anything exists under that name, fails with
  // *exists set.
  virtual bool MakeDir(const char* path, bool* exists, std::string* err) = 0;

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

// True when the program's arguments come from a user who typed them, so
// that they are answered or refused; false where the program is started by
// a double click and the arguments are ignored (Windows).
bool hostReadsCommandLine();

#endif  // KORENDEZO_PLATFORM_H_
