#include "virtual_disk.h"

#include <algorithm>
#include <new>

namespace {

std::string failure(const char* op, const std::string& path,
                    const std::string& reason) {
  return std::string(op) + "(" + path + "): " + reason;
}

}  // namespace

void VirtualDisk::Fail(const std::string& op, const std::string& pathPart,
                       const std::string& reason) {
  faults_[op][pathPart] = reason;
}

std::string VirtualDisk::Injected(const char* op, const std::string& path,
                                  std::string* err,
                                  std::vector<std::string> kinds) {
  kinds.insert(kinds.begin(), {"fail", "throw"});
  kindsOfCall.push_back("");
  for (const std::string& kind : kinds)
    kindsOfCall.back() += kind + " ";
  if (++calls == failCall_) {
    for (const std::string& kind : kinds) {
      if (kind != failKind_)
        continue;
      if (kind == "throw")
        throw std::bad_alloc();
      *err = failure(op, path, "injected " + kind);
      return kind;
    }
  }
  auto found = faults_.find(op);
  if (found == faults_.end())
    return "";
  for (const auto& fault : found->second) {
    if (path.find(fault.first) != std::string::npos) {
      *err = failure(op, path, fault.second);
      return fault.second == "held" ? "held" : "fail";
    }
  }
  return "";
}

bool VirtualDisk::Exists(const std::string& path) const {
  return path == "." || dirs.count(path) || files.count(path) ||
         others.count(path);
}

uint64_t VirtualDisk::InodeOf(const std::string& path) {
  auto found = inodes.find(path);
  if (found != inodes.end())
    return found->second;
  return inodes[path] = nextInode_++;
}

LockStatus VirtualDisk::LockFolder(bool) { return LockStatus::Locked; }

void VirtualDisk::UnlockFolder() {}

// Room for everything a run of a test holds at once.
size_t VirtualDisk::HandleRoom() { return 1000; }

bool VirtualDisk::ListEntries(NameList* names, std::string* err) {
  if (!Injected("list", ".", err).empty())
    return false;
  for (const auto& file : files) {
    if (file.first.find('/') == std::string::npos)
      names->Add(file.first.c_str());
  }
  for (const auto& other : others) {
    if (other.find('/') == std::string::npos)
      names->Add(other.c_str());
  }
  return true;
}

OpenStatus VirtualDisk::OpenRead(const char* name, FileHandle* handle,
                                 FileInfo* info, std::string* err) {
  std::string injected =
      Injected("open", name, err, {"notafile", "gone", "held"});
  if (injected == "held")
    return OpenStatus::Held;
  if (injected == "notafile")
    return OpenStatus::NotAFile;
  if (injected == "gone") {
    Vanish(name);
    return OpenStatus::Gone;
  }
  if (!injected.empty())
    return OpenStatus::Failed;
  if (!IsFile(name)) {
    *err = failure("open", name, "not a regular file");
    return Exists(name) ? OpenStatus::NotAFile : OpenStatus::Failed;
  }
  *info = FileInfo();
  info->inode = InodeOf(name);
  info->size = files[name].size();
  *handle = nextHandle_++;
  handles_[*handle] = Open{name, 0};
  return OpenStatus::Opened;
}

bool VirtualDisk::Read(FileHandle handle, char* buf, size_t size, size_t* got,
                       std::string* err) {
  Open& open = handles_.at(handle);
  if (!Injected("read", open.path, err).empty())
    return false;
  const std::string& data = files.at(open.path);
  size_t n = data.size() - open.offset;
  if (n > size)
    n = size;
  if (n > readLimit)
    n = readLimit;
  data.copy(buf, n, open.offset);
  open.offset += n;
  *got = n;
  files[open.path] += growth;
  growth.clear();
  return true;
}

void VirtualDisk::CloseRead(FileHandle handle) { handles_.erase(handle); }

DirStatus VirtualDisk::OpenDir(const char* name, DirHandle* dir,
                               std::string* err) {
  std::string injected = Injected("opendir", name, err, {"taken"});
  if (injected == "taken")
    return DirStatus::Taken;
  if (!injected.empty())
    return DirStatus::Failed;
  bool made = !Exists(name);
  if (made) {
    dirs.insert(name);
    log.push_back("mkdir " + std::string(name));
  } else if (!dirs.count(name)) {
    *err = failure("mkdir", name, "File exists");
    return DirStatus::Taken;
  }
  *dir = nextHandle_++;
  dirHandles_[*dir] = name;
  return made ? DirStatus::Made : DirStatus::Opened;
}

void VirtualDisk::CloseDir(DirHandle dir) { dirHandles_.erase(dir); }

bool VirtualDisk::DirStillThere(DirHandle dir) {
  const std::string& name = dirHandles_.at(dir);
  std::string ignored;
  return Injected("dirthere", name, &ignored).empty() && dirs.count(name);
}

MoveStatus VirtualDisk::MoveInto(const char* name, const FileInfo& source,
                                 DirHandle dir, std::string* err) {
  const std::string to = dirHandles_.at(dir) + "/" + name;
  std::string injected = Injected(
      "move", name, err,
      {"taken", "copyinstead", "sourcestays", "gone", "held"});
  if (injected == "held")
    return MoveStatus::Held;
  if (injected == "gone") {
    Vanish(name);
    return MoveStatus::Gone;
  }
  if (injected == "taken")
    return MoveStatus::Taken;
  if (injected == "copyinstead")
    return MoveStatus::CopyInstead;
  if (injected == "sourcestays") {
    files[to] = files[name];  // as if the destination were a hard link
    return MoveStatus::SourceStays;
  }
  if (!injected.empty())
    return MoveStatus::Failed;
  if (!IsFile(name)) {
    *err = failure("rename", name, "No such file or directory");
    return MoveStatus::Failed;
  }
  if (Exists(to) && !IsFile(to)) {
    *err = to + ": not a regular file";
    return MoveStatus::Taken;
  }
  if (IsFile(to) && InodeOf(to) == source.inode) {
    files.erase(name);
    log.push_back("remove " + std::string(name));
    return MoveStatus::Moved;
  }
  files[to] = files[name];
  inodes[to] = InodeOf(name);
  files.erase(name);
  inodes.erase(name);
  log.push_back("rename " + std::string(name) + " " + to);
  return MoveStatus::Moved;
}

bool VirtualDisk::CreateCopy(DirHandle dir, const char* name,
                             FileHandle* copy, std::string* err) {
  const std::string path = dirHandles_.at(dir) + "/" + name;
  if (!Injected("createcopy", path, err).empty())
    return false;
  *copy = nextHandle_++;
  copies_[*copy] = Open{path, 0};
  copyBytes_[*copy] = "";
  log.push_back("create " + path);
  return true;
}

bool VirtualDisk::Write(FileHandle copy, const char* data, size_t size,
                        std::string* err) {
  const std::string& path = copies_.at(copy).path;
  if (!Injected("write", path, err).empty()) {
    copyBytes_[copy].append(data, size / 2);
    return false;
  }
  copyBytes_[copy].append(data, size);
  log.push_back("write " + path);
  return true;
}

void VirtualDisk::CommitCopies(CopyCommit* commits, size_t count) {
  mostCopiesCommitted = std::max(mostCopiesCommitted, count);
  size_t i = 0;
  try {
    for (; i < count; ++i)
      commits[i].status = CommitCopy(commits[i].copy, &commits[i].err);
  } catch (...) {
    while (++i < count)
      DiscardCopy(commits[i].copy);
    throw;
  }
}

MoveStatus VirtualDisk::CommitCopy(FileHandle copy, std::string* err) {
  const std::string path = copies_.at(copy).path;
  std::string bytes = copyBytes_[copy];
  copies_.erase(copy);
  copyBytes_.erase(copy);
  std::string injected = Injected("commit", path, err, {"taken"});
  if (injected == "taken")
    return MoveStatus::Taken;
  if (!injected.empty())
    return MoveStatus::Failed;
  if (Exists(path) && !IsFile(path)) {
    *err = path + ": not a regular file";
    return MoveStatus::Taken;
  }
  files[path] = bytes;
  inodes[path] = nextInode_++;
  log.push_back("commit " + path);
  return MoveStatus::Moved;
}

void VirtualDisk::DiscardCopy(FileHandle copy) {
  log.push_back("discard " + copies_.at(copy).path);
  copies_.erase(copy);
  copyBytes_.erase(copy);
}

RemoveStatus VirtualDisk::Remove(const char* name, const FileInfo& source,
                                 const BytesCheck* sameBytes,
                                 std::string* err) {
  std::string injected =
      Injected("remove", name, err, {"swapped", "gone", "held"});
  if (injected == "held")
    return RemoveStatus::Held;
  if (injected == "swapped")
    inodes[name] = nextInode_++;  // another file with the same bytes
  else if (injected == "gone")
    Vanish(name);
  else if (!injected.empty())
    return RemoveStatus::Stays;
  if (!IsFile(name))
    return RemoveStatus::Gone;
  if (InodeOf(name) != source.inode || files[name].size() != source.size) {
    *err = std::string(name) + ": not the file that was read";
    return RemoveStatus::Stays;
  }
  const FileHandle check = nextHandle_++;
  handles_[check] = Open{name, 0};
  std::string why;
  bool same;
  try {
    same = !sameBytes || (*sameBytes)(check, &why);
  } catch (...) {
    handles_.erase(check);
    throw;
  }
  handles_.erase(check);
  if (!same) {
    *err = why.empty() ? std::string(name) + ": changed since it was read"
                       : why;
    return RemoveStatus::Stays;
  }
  files.erase(name);
  inodes.erase(name);
  log.push_back("remove " + std::string(name));
  return RemoveStatus::Removed;
}

void VirtualDisk::Vanish(const std::string& name) {
  files.erase(name);
  inodes.erase(name);
  log.push_back("vanish " + name);
}

bool VirtualDisk::Look(const char* path, EntryKind* kind, std::string* err) {
  if (!Injected("look", path, err).empty())
    return false;
  // As on a real disk, a path through a file fails.
  const std::string p = path;
  const size_t slash = p.rfind('/');
  if (slash != std::string::npos && IsFile(p.substr(0, slash))) {
    *err = failure("look", p, "Not a directory");
    return false;
  }
  *kind = IsFile(p)           ? EntryKind::File
          : dirs.count(p)     ? EntryKind::Directory
          : others.count(p)   ? EntryKind::Other
                              : EntryKind::None;
  return true;
}
