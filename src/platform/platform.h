// The operating-system services the sorter uses: file-system access, the
// console, and the host's rules for names.
//
// Each platform implements them in one file per concern, chosen by the
// build: fs_<platform>.cc (the disk), copy_<platform>.cc (copies that nobody
// sees before they are whole), tempfile_<platform>.cc (named temporary files
// and their clean-up), console_<platform>.cc (console output),
// keywait_<platform>.cc (the key wait), names_<platform>.cc (names), and on
// POSIX signals_posix.cc (what runs when a signal ends the program) and
// readahead_posix.cc (reports read ahead of their turn), on Windows
// file_info_win32.cc (what a file is).
// shared.cc holds what both do alike.
#ifndef KORENDEZO_PLATFORM_H_
#define KORENDEZO_PLATFORM_H_

#include <cstddef>
#include <array>
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

using FileHandle = intptr_t;
using DirHandle = intptr_t;

// What the run keeps of a report's file from reading it to moving it:
// which file it is, and what its copy takes over. Values are in the host's
// own units.
struct FileInfo {
  // The file's identity: device and inode (Windows: volume serial number
  // and file index).
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;  // when opened; once read to its end, the bytes read
  uint32_t mode = 0;  // permission bits (POSIX)
  uint32_t owner = 0;
  uint32_t group = 0;
  int64_t accessTime[2] = {0, 0};  // seconds and nanoseconds (POSIX);
  int64_t modifyTime[2] = {0, 0};  // Windows: FILETIME in [0]
  int64_t createTime = 0;          // Windows: FILETIME

  bool SameFile(const FileInfo& other) const {
    return device == other.device && inode == other.inode;
  }
};

// Result of opening a file for reading.
enum class OpenStatus {
  Opened,
  NotAFile,  // the name belongs to a directory, a link, a device...
  Failed,
};

// Result of opening a destination directory.
enum class DirStatus {
  Made,    // it was made now
  Opened,  // it was there already
  Taken,   // the name belongs to something else: a file, a link...
  Failed,
};

// Result of putting a file in its place.
enum class MoveStatus {
  Moved,
  // The rename cannot do it (another file system; on Windows, a read-only
  // report): copy the report instead.
  CopyInstead,
  // The destination was the report itself (a hard link); the report's name
  // in the current directory could not be removed.
  SourceStays,
  Taken,  // the destination's name belongs to something other than a file
  Failed,
};

// File-system access of the sorting run. Names without a directory handle
// are entries of the current directory. Every call that can fail sets *err
// to a message worded "op(path): reason" when it does.
class DiskInterface {
 public:
  virtual ~DiskInterface() = default;

  // Adds the entries of the current directory that may be reports: regular
  // files whose names match the host's rule. The order is unspecified.
  virtual bool ListEntries(NameList* names, std::string* err) = 0;

  // A hint that `name` is to be opened for reading soon, so that its bytes
  // can be on their way meanwhile; OpenRead of that name then takes what
  // was opened. nullptr drops what no OpenRead took. It may do nothing.
  virtual void ReadAhead(const char* name) { (void)name; }

  // Opens a regular file for reading, and tells which file it is; anything
  // else is NotAFile.
  virtual OpenStatus OpenRead(const char* name, FileHandle* handle,
                              FileInfo* info, std::string* err) = 0;
  // Reads up to `size` bytes; *got is 0 at the end of the data.
  virtual bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
                    std::string* err) = 0;
  virtual void CloseRead(FileHandle handle) = 0;

  // Opens the sub-directory `name`, making it first when nothing has that
  // name. A link is never followed. The handle holds the directory itself:
  // calls made with it reach that directory whatever takes its name later.
  virtual DirStatus OpenDir(const char* name, DirHandle* dir,
                            std::string* err) = 0;
  virtual void CloseDir(DirHandle dir) = 0;

  // Moves the file `name`, which is `source`, into `dir` under the same
  // name, replacing a file there. When the destination is `source` already
  // (a hard link), only the name in the current directory goes.
  virtual MoveStatus MoveInto(const char* name, const FileInfo& source,
                              DirHandle dir, std::string* err) = 0;

  // Starts the copy that is to become `dir`/`name`: a new file that nobody
  // sees before CommitCopy, and that is gone should the program end first.
  virtual bool CreateCopy(DirHandle dir, const char* name, FileHandle* copy,
                          std::string* err) = 0;
  // Writes all `size` bytes.
  virtual bool Write(FileHandle copy, const char* data, size_t size,
                     std::string* err) = 0;
  // Gives the copy the permissions, owner (where the process may) and times
  // of `source`, flushes it to stable storage and puts it in place as
  // `dir`/`name`, replacing a file there; closes it. Anything but Moved
  // leaves no copy and `dir`/`name` as it was, except that a copy in place
  // stays when only closing it fails.
  virtual MoveStatus CommitCopy(FileHandle copy, const FileInfo& source,
                                DirHandle dir, const char* name,
                                std::string* err) = 0;
  // Closes and removes a copy that is not to be committed.
  virtual void DiscardCopy(FileHandle copy) = 0;

  // Removes the file `name` if it still is `source` as it was read (same
  // file, same size); otherwise, a file that took its name or that changed
  // since, it stays and the call fails.
  virtual bool Remove(const char* name, const FileInfo& source,
                      std::string* err) = 0;
};

// The program's console: standard output, standard error and the key wait.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(const char* text, size_t size) = 0;
  virtual void WriteError(const char* text, size_t size) = 0;
  // Writes out what standard output holds. False, with the reason, when
  // any of the output could not be written.
  virtual bool Flush(std::string* err) = 0;
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

// Within the layer: what its files give each other. Nothing outside
// src/platform/ (and its tests) uses these.
namespace host {

// An error number of the system: errno, or a Win32 error code.
using SystemError = unsigned long;

// shared.cc

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

// A copy in the making: a file that nobody sees before it is put in place.
struct Copy {
  FileHandle file = -1;
  DirHandle dir = -1;
  std::string path;  // where it goes, for messages: "dir/name"
  // Its name in `dir` while it has one of its own, or "".
  std::string tempName;
};

// What the disks of both platforms share: the names of what is open, and
// the copies, which copy_<platform>.cc makes.
class SystemDisk : public DiskInterface {
 public:
  bool CreateCopy(DirHandle dir, const char* name, FileHandle* copy,
                  std::string* err) override;
  bool Write(FileHandle copy, const char* data, size_t size,
             std::string* err) override;
  MoveStatus CommitCopy(FileHandle copy, const FileInfo& source,
                        DirHandle dir, const char* name,
                        std::string* err) override;
  void DiscardCopy(FileHandle copy) override;

 protected:
  OpenFiles files_;  // open for reading
  OpenFiles dirs_;

 private:
  std::unordered_map<FileHandle, Copy> copies_;
};

// copy_<platform>.cc: copies that are gone should the program end before
// they are in place.

// Creates copy->file, to go where copy->dir and copy->path say.
bool createCopy(Copy* copy, std::string* err);
bool writeCopy(const Copy& copy, const char* data, size_t size,
               std::string* err);
// Gives the copy `source`'s metadata, flushes it and puts it in place as
// `name` in copy->dir, replacing a file; closes it. On anything but Moved
// the copy is gone, unless only closing it failed.
MoveStatus commitCopy(Copy* copy, const FileInfo& source, const char* name,
                      std::string* err);
void discardCopy(Copy* copy);
// tempfile_<platform>.cc: removes from `dir`, called `dirName`, the
// temporary files of this program's runs that have ended: only names this
// program makes, and only while each still is the file its name says.
void removeLeftovers(DirHandle dir, const char* dirName);

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

// Windows only.

// names_win32.cc: a path as a Windows user reads it in a message, with
// backslashes (the run joins names with '/', which the system takes too),
// and "op(path): reason" with the path so shown; whether `path` stays
// within what the ANSI functions reach, MAX_PATH characters of full path,
// less `reserve`.
std::string shownPath(const char* path);
std::string shownFailure(const char* op, const char* path, SystemError error);
bool fitsPath(const char* path, unsigned long reserve = 0);

// file_info_win32.cc: whether `attributes` are those of something that
// is never a report (a directory, link, junction or device). What the open
// `file`, or the entry `path` itself (never a link's target), is: false,
// with the system's last error, when that cannot be had. Whether a new file
// may take the name `path`: Moved when nothing or a file that may be
// replaced has it (*existing says which file, or is all zero), Taken when
// something else does. Whether `path` is a file (not a link or a directory)
// with file index `index`. The file index of an open file, 0 when it cannot
// be had.
bool isNotAFile(unsigned long attributes);
bool describeFile(FileHandle file, FileInfo* info, unsigned long* attributes);
bool lookAt(const char* path, FileInfo* info, unsigned long* attributes);
MoveStatus occupant(const char* path, FileInfo* existing, std::string* err);
bool isFileWithIndex(const char* path, uint64_t index);
uint64_t fileIndex(FileHandle file);

// tempfile_win32.cc: the plain temporary file, registered for the Ctrl
// handler while it exists. Creates `path` anew, opened for `access`
// (INVALID_HANDLE_VALUE when it cannot); renames it over `to`, replacing a
// file; removes it.
FileHandle createRegistered(const std::string& path, unsigned long access);
bool renameRegistered(const char* to);
void removeRegistered();

// POSIX only.

// fs_posix.cc: whether a new file may take the name `name` in `dir`
// (`path` in messages): Moved when nothing or a file that may be replaced
// has it (*existing says which file, or is all zero), Taken when something
// else does.
MoveStatus occupantAt(DirHandle dir, const char* name, const char* path,
                      FileInfo* existing, std::string* err);

// copy_posix.cc: links the open anonymous file `fd` as `name` in `dir`.
bool linkAnonymous(int fd, int dir, const char* name);

// tempfile_posix.cc: named temporary files, registered for the clean-up
// when a signal ends the program while they exist.

// Creates copy->file under a name of its own, for a file system without
// anonymous files.
bool createNamedTemp(Copy* copy, std::string* err);
// Links the anonymous copy->file under a name of its own that carries its
// inode.
bool nameAnonymousCopy(Copy* copy, std::string* err);
// Renames the copy's own name over `name`.
MoveStatus renameNamedTemp(Copy* copy, const char* name, std::string* err);
// Removes the copy's own name, if it has one.
void removeNamedTemp(Copy* copy);

// signals_posix.cc: the signals that end the program and the clean-ups
// that run first.

// Adds an async-signal-safe function to call when SIGINT, SIGTERM, SIGHUP
// or SIGQUIT ends the program (each is caught unless it was ignored when
// the program started); the signal's default action follows. At most
// two.
void atFatalSignal(void (*cleanup)());
// Hold those signals back, and let them through again; not nested.
void holdFatalSignals();
void releaseFatalSignals();

// readahead_posix.cc

// Opens a report for reading: never through a link, never waiting on a
// FIFO, without changing its access time where the process may.
int openForReading(const char* name);

// Reports opened ahead of their turn, oldest first, in a ring: a few
// descriptors however many reports there are. Until a read finds a report
// that the page cache does not hold, reads take only what it holds; from
// then on each report opened ahead is read from the disk meanwhile (Linux;
// elsewhere nothing is opened ahead).
class ReadAhead {
 public:
  ~ReadAhead() { Drop(); }
  void Open(const char* name);
  // Closes every report opened ahead.
  void Drop();
  // The descriptor opened ahead for `name`, or -1. Those opened before it
  // have had their turn: they are closed.
  int Take(const char* name);
  // read(), EINTR retried; false with errno set when it fails.
  bool Read(int fd, char* buf, size_t size, size_t* got);

 private:
  int TakeOldest();

  struct Ahead {
    std::string name;
    int fd = -1;
  };
  std::array<Ahead, 64> ring_;
  size_t first_ = 0, count_ = 0;
  bool advising_ = false;
};

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
