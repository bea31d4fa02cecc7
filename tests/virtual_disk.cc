#include "virtual_disk.h"

namespace {

std::string failure(const char* op, const std::string& path,
                    const std::string& reason) {
  return std::string(op) + "(" + path + "): " + reason;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

void VirtualDisk::Fail(const std::string& op, const std::string& pathPart,
                       const std::string& reason) {
  faults_[op][pathPart] = reason;
}

bool VirtualDisk::Injected(const char* op, const std::string& path,
                           std::string* err) {
  auto found = faults_.find(op);
  if (found == faults_.end())
    return false;
  for (const auto& fault : found->second) {
    if (path.find(fault.first) != std::string::npos) {
      *err = failure(op, path, fault.second);
      return true;
    }
  }
  return false;
}

NodeKind VirtualDisk::KindOf(const std::string& path) const {
  if (path == "." || dirs.count(path))
    return NodeKind::Directory;
  if (files.count(path))
    return NodeKind::File;
  if (others.count(path))
    return NodeKind::Other;
  return NodeKind::Missing;
}

bool VirtualDisk::ListEntries(NameList* names, std::string* err) {
  if (Injected("list", ".", err))
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

OpenStatus VirtualDisk::OpenRead(const char* path, FileHandle* handle,
                                 std::string* err) {
  if (Injected("open", path, err))
    return OpenStatus::Failed;
  NodeKind kind = KindOf(path);
  if (kind != NodeKind::File) {
    *err = failure("open", path, "not a regular file");
    return kind == NodeKind::Missing ? OpenStatus::Failed
                                     : OpenStatus::NotAFile;
  }
  *handle = nextHandle_++;
  handles_[*handle] = Open{path, 0};
  return OpenStatus::Opened;
}

bool VirtualDisk::Read(FileHandle handle, char* buf, size_t size, size_t* got,
                       std::string* err) {
  Open& open = handles_.at(handle);
  if (Injected("read", open.path, err))
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
  return true;
}

void VirtualDisk::CloseRead(FileHandle handle) { handles_.erase(handle); }

bool VirtualDisk::Kind(const char* path, NodeKind* kind, std::string* err) {
  if (Injected("kind", path, err))
    return false;
  *kind = KindOf(path);
  return true;
}

MakeDirStatus VirtualDisk::MakeDir(const char* path, std::string* err) {
  if (Injected("mkdir", path, err))
    return MakeDirStatus::Failed;
  if (KindOf(path) != NodeKind::Missing) {
    *err = failure("mkdir", path, "File exists");
    return MakeDirStatus::Exists;
  }
  if (KindOf(parentOf(path)) != NodeKind::Directory) {
    *err = failure("mkdir", path, "No such file or directory");
    return MakeDirStatus::Failed;
  }
  dirs.insert(path);
  log.push_back("mkdir " + std::string(path));
  return MakeDirStatus::Made;
}

bool VirtualDisk::CreateTemp(const char* dir, std::string* tempPath,
                             FileHandle* handle, std::string* err) {
  *tempPath = std::string(dir) + "/.tmp" + std::to_string(tempCounter_++);
  if (Injected("createtemp", *tempPath, err))
    return false;
  if (KindOf(dir) != NodeKind::Directory || KindOf(*tempPath) != NodeKind::Missing) {
    *err = failure("open", *tempPath, "cannot create");
    return false;
  }
  files[*tempPath] = "";
  log.push_back("create " + *tempPath);
  *handle = nextHandle_++;
  handles_[*handle] = Open{*tempPath, 0};
  return true;
}

bool VirtualDisk::Write(FileHandle handle, const char* data, size_t size,
                        std::string* err) {
  const std::string& path = handles_.at(handle).path;
  if (Injected("write", path, err)) {
    files[path].append(data, size / 2);
    return false;
  }
  files[path].append(data, size);
  log.push_back("write " + path);
  return true;
}

bool VirtualDisk::CloseWrite(FileHandle handle, bool, std::string* err) {
  std::string path = handles_.at(handle).path;
  handles_.erase(handle);
  return !Injected("close", path, err);
}

bool VirtualDisk::Rename(const char* from, const char* to, std::string* err) {
  if (Injected("rename", from, err))
    return false;
  if (KindOf(from) != NodeKind::File) {
    *err = failure("rename", from, "No such file or directory");
    return false;
  }
  NodeKind target = KindOf(to);
  if ((target != NodeKind::Missing && target != NodeKind::File) ||
      KindOf(parentOf(to)) != NodeKind::Directory) {
    *err = failure("rename", from, "cannot replace target");
    return false;
  }
  files[to] = files[from];
  files.erase(from);
  log.push_back("rename " + std::string(from) + " " + to);
  return true;
}

bool VirtualDisk::Remove(const char* path, std::string* err) {
  if (Injected("remove", path, err))
    return false;
  if (!files.erase(path)) {
    *err = failure("unlink", path, "No such file or directory");
    return false;
  }
  log.push_back("remove " + std::string(path));
  return true;
}
