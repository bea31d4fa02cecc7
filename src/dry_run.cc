#include "dry_run.h"

#include <cerrno>
#include <cstring>

bool DryRunDisk::Look(const char* path, EntryKind* kind, std::string* err) {
  const std::string p = path;
  const size_t slash = p.find('/');
  if (made_.count(p)) {
    *kind = EntryKind::Directory;
    return true;
  }
  // Moved away, or inside a directory that the real run would have made
  // empty.
  if (gone_.count(p) ||
      (slash != std::string::npos && made_.count(p.substr(0, slash)))) {
    *kind = EntryKind::None;
    return true;
  }
  return disk_.Look(path, kind, err);
}

DirStatus DryRunDisk::OpenDir(const char* name, DirHandle* dir,
                              std::string* err) {
  EntryKind kind;
  if (!Look(name, &kind, err))
    return DirStatus::Failed;
  DirStatus status = DirStatus::Opened;
  if (kind == EntryKind::None) {
    made_.insert(name);
    status = DirStatus::Made;
  } else if (kind != EntryKind::Directory) {
    // As the real disk words it: making the directory finds the name taken.
    *err = std::string("mkdir(") + name + "): " + std::strerror(EEXIST);
    return DirStatus::Taken;
  }
  *dir = nextHandle_++;
  dirs_[*dir] = name;
  return status;
}

MoveStatus DryRunDisk::Place(DirHandle dir, const char* name,
                             std::string* err) {
  const std::string path = dirs_.at(dir) + "/" + name;
  EntryKind kind;
  if (!Look(path.c_str(), &kind, err))
    return MoveStatus::Failed;
  // A file there would be replaced; a directory or a link never is.
  if (kind == EntryKind::Directory || kind == EntryKind::Other) {
    *err = path + ": not a regular file";
    return MoveStatus::Taken;
  }
  return MoveStatus::Moved;
}

MoveStatus DryRunDisk::MoveInto(const char* name, const FileInfo&,
                                DirHandle dir, std::string* err) {
  MoveStatus status = Place(dir, name, err);
  if (status == MoveStatus::Moved)
    gone_.insert(name);
  return status;
}

bool DryRunDisk::CreateCopy(DirHandle, const char*, FileHandle* copy,
                            std::string*) {
  *copy = nextHandle_++;
  return true;
}

bool DryRunDisk::Write(FileHandle, const char*, size_t, std::string*) {
  return true;
}

void DryRunDisk::CommitCopies(CopyCommit* commits, size_t count) {
  for (size_t i = 0; i < count; ++i)
    commits[i].status = Place(commits[i].dir, commits[i].name, &commits[i].err);
}

void DryRunDisk::DiscardCopy(FileHandle) {}

RemoveStatus DryRunDisk::Remove(const char* name, const FileInfo&,
                                const BytesCheck*, std::string*) {
  gone_.insert(name);
  return RemoveStatus::Removed;
}
