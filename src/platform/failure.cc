// What both platforms word alike: failures, the paths of what is open,
// and the names of temporary files.
#include <cstdio>
#include <cstring>

#include "platform/host.h"

namespace host {

std::string failure(const char* op, const char* path, SystemError error) {
  std::string message = op;
  message += '(';
  message += path;
  message += "): ";
  message += reasonText(error);
  return message;
}

const char* OpenFiles::PathOf(intptr_t handle) const {
  auto found = paths_.find(handle);
  return found == paths_.end() ? "?" : found->second.c_str();
}

std::string OpenFiles::Remove(intptr_t handle) {
  auto found = paths_.find(handle);
  if (found == paths_.end())
    return "?";
  std::string path = std::move(found->second);
  paths_.erase(found);
  return path;
}

std::string tempName(unsigned long pid, unsigned long long number) {
  char name[64];
  std::snprintf(name, sizeof name, ".korendezo-%lu-%llu.tmp", pid, number);
  return name;
}

bool parseTempName(const char* name, unsigned long* pid,
                   unsigned long long* number) {
  // Most names of a folder are not: they are told apart without sscanf.
  static constexpr char kPrefix[] = ".korendezo-";
  if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0)
    return false;
  int end = 0;
  if (std::sscanf(name, ".korendezo-%lu-%llu.tmp%n", pid, number, &end) != 2 ||
      name[end] != '\0')
    return false;
  return tempName(*pid, *number) == name;
}

Attempt createUnderTempName(
    unsigned long pid,
    const std::function<Attempt(const std::string&)>& create) {
  // One counter for the whole run: a name taken once is not tried again.
  static unsigned long long counter = 0;
  Attempt attempt = Attempt::NameTaken;
  for (int tries = 0; tries < 100 && attempt == Attempt::NameTaken; ++tries)
    attempt = create(tempName(pid, counter++));
  return attempt;
}

}  // namespace host
