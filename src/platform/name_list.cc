// The names a listing yields, and the order they are handled in.
#include <algorithm>
#include <cstring>

#include "platform/platform.h"

void NameList::Add(const char* name) {
  offsets_.push_back(static_cast<uint32_t>(bytes_.size()));
  bytes_.append(name, std::strlen(name) + 1);
}

namespace {

unsigned char upperAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

}  // namespace

void NameList::SortLikeListing() {
  // NTFS keeps names in the order of their upper-case forms, so '_' sorts
  // after the letters; folding to lower case would put it before them.
  const char* base = bytes_.data();
  std::sort(offsets_.begin(), offsets_.end(), [base](uint32_t a, uint32_t b) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(base + a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(base + b);
    size_t i = 0;
    while (x[i] && upperAscii(x[i]) == upperAscii(y[i]))
      ++i;
    if (upperAscii(x[i]) != upperAscii(y[i]))
      return upperAscii(x[i]) < upperAscii(y[i]);
    return std::strcmp(base + a, base + b) < 0;
  });
}

