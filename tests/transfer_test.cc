#include "transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "line_ends.h"
#include "virtual_disk.h"

namespace {

// Saves `text` as r.htm in the directory `dir` of `disk`.
MoveStatus saveInto(VirtualDisk& disk, const char* dir,
                    const std::string& text, std::string* err) {
  DirHandle handle;
  if (disk.OpenDir(dir, &handle, err) == DirStatus::Failed)
    return MoveStatus::Failed;
  FileInfo source;
  MoveStatus status = saveReport(disk, handle, "r.htm", text.data(),
                                 text.size(), &source, err);
  disk.CloseDir(handle);
  return status;
}

FindEntry entryNamed(const char* name) {
  FindEntry entry = {};
  std::strncpy(entry.name, name, sizeof entry.name - 1);
  return entry;
}

class TransferTest : public testing::Test {
 protected:
  TransferTest() : report_(new char[REPORT_BUFFER_SIZE]) {}

  // Loads `bytes` from a file, in reads of at most `readLimit` bytes.
  std::string Load(const std::string& bytes, size_t readLimit = 1 << 20) {
    disk_.files["r.htm"] = bytes;
    disk_.readLimit = readLimit;
    std::string err;
    EXPECT_EQ(LoadStatus::Loaded, loadReport(disk_, report_.get(),
                                             entryNamed("r.htm"), &loaded_,
                                             &err))
        << err;
    EXPECT_EQ('\0', report_[loaded_.length]);
    if (loaded_.asRead) {
      // Kept as read only for a file that has CR LF pairs and no bare LF.
      EXPECT_TRUE(std::string(report_.get(), loaded_.length) == bytes);
      EXPECT_FALSE(loaded_.hasBareLineFeed);
      EXPECT_NE(std::string::npos, bytes.find("\r\n"));
      convertReport(report_.get(), &loaded_);
      EXPECT_FALSE(loaded_.asRead);
      EXPECT_EQ('\0', report_[loaded_.length]);
    }
    convertReport(report_.get(), &loaded_);  // digests what it has not
    return std::string(report_.get(), loaded_.length);
  }

  std::string Save(const std::string& text) {
    std::string err;
    EXPECT_EQ(MoveStatus::Moved, saveInto(disk_, "d", text, &err)) << err;
    return disk_.files["d/r.htm"];
  }

  VirtualDisk disk_;
  std::unique_ptr<char[]> report_;
  LoadedReport loaded_;
};

struct Conversion {
  const char* what;
  std::string file;  // bytes on disk
  std::string text;  // after reading
  std::string copy;  // bytes written back
  bool bareLineFeed;
};

TEST_F(TransferTest, ConversionsTable) {
  const std::string nul(1, '\0');
  const Conversion cases[] = {
      {"CR LF", "a\r\nb\r\n", "a\nb\n", "a\r\nb\r\n", false},
      {"bare LF", "a\nb\n", "a\nb\n", "a\r\nb\r\n", true},
      {"mixed", "a\r\nb\nc", "a\nb\nc", "a\r\nb\r\nc", true},
      {"no line end at the end", "abc", "abc", "abc", false},
      {"empty", "", "", "", false},
      {"lone CR kept", "a\rb\r", "a\rb\r", "a\rb\r", false},
      {"CR CR LF", "a\r\r\nb", "a\r\nb", "a\r\r\nb", false},
      {"CR LF LF", "\r\n\n", "\n\n", "\r\n\r\n", true},
      {"LF first", "\nx", "\nx", "\r\nx", true},
      {"0x1A kept", "a\x1A" "b\r\n", "a\x1A" "b\n", "a\x1A" "b\r\n", false},
      {"NUL kept", "a" + nul + "b\r\n", "a" + nul + "b\n", "a" + nul + "b\r\n",
       false},
      {"high bytes", "\xC9\xE1\xD5\xFB\r\n", "\xC9\xE1\xD5\xFB\n",
       "\xC9\xE1\xD5\xFB\r\n", false},
  };
  for (const Conversion& c : cases) {
    for (size_t limit : {size_t{1}, size_t{2}, size_t{3}, size_t{1} << 20}) {
      EXPECT_EQ(c.text, Load(c.file, limit)) << c.what << " limit " << limit;
      EXPECT_EQ(c.bareLineFeed, loaded_.hasBareLineFeed) << c.what;
      EXPECT_FALSE(loaded_.tooBig) << c.what;
    }
    // Grown after it was read, a report to be copied is read to its end.
    if (c.bareLineFeed) {
      disk_.growth = "+\n";
      EXPECT_EQ(c.text + "+\n", Load(c.file)) << c.what << " grown";
    }
    EXPECT_EQ(c.copy, Save(c.text)) << c.what;
  }
}

// `s` with each "\r\n" pair made a single "\n".
std::string dropCr(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
      out += s[i];
  }
  return out;
}

TEST_F(TransferTest, CrLfSplitAtEveryReadBoundary) {
  std::string file;
  for (int i = 0; i < 300; ++i)
    file += std::string(static_cast<size_t>(i % 7), 'x') + "\r\n";
  std::string text = dropCr(file);
  for (size_t limit = 1; limit < 40; ++limit)
    ASSERT_EQ(text, Load(file, limit)) << "limit " << limit;
}

// `s` with each "\n" made "\r\n".
std::string addCr(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n')
      out += '\r';
    out += c;
  }
  return out;
}

bool hasBareLf(const std::string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
      return true;
  }
  return false;
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// The line-end kernels of one kind, fast or plain.
struct Kernels {
  char* (*collapse)(char*, char*, const char*, const char*, bool*);
  void (*scan)(const char*, const char*, const char*, bool*, bool*);
  size_t (*expand)(const char**, const char*, char*, size_t, size_t);
};
const Kernels kFast = {collapseLineEnds, scanLineEnds, expandLineEnds};
const Kernels kPlain = {plain::collapseLineEnds, plain::scanLineEnds,
                        plain::expandLineEnds};

// What the kernels make of a file given to them in pieces of `piece`
// bytes, as reads of that size would: its text, the line ends the scan
// found, and the text's write conversion through a block a few pieces big.
std::string runKernels(const Kernels& k, const std::string& file,
                       size_t piece) {
  std::string buffer(file.size() + 1, '\0');
  char* text = &buffer[0];
  size_t length = 0;
  bool bare = false, scanPair = false, scanBare = false;
  for (size_t at = 0; at < file.size(); at += piece) {
    size_t n = std::min(piece, file.size() - at);
    file.copy(text + length, n, at);
    length = static_cast<size_t>(
        k.collapse(text, text + length, text + length, text + length + n,
                   &bare) -
        text);
    k.scan(file.data(), file.data() + at, file.data() + at + n, &scanPair,
           &scanBare);
  }
  std::string copy;
  std::vector<char> block(std::min<size_t>(4 * piece + 3, 1 << 16));
  for (const char* in = text; in != text + length;) {
    size_t used = k.expand(&in, text + length, block.data(), 0, block.size());
    copy.append(block.data(), used);
  }
  return buffer.substr(0, length) + "|" + copy + "|" + (bare ? "bare " : "") +
         (scanPair ? "pair " : "") + (scanBare ? "bare" : "");
}

// Texts long enough for the 16-byte chunks the conversions work in (64
// bytes a step when scanning), with line ends at every offset in a chunk,
// several in one chunk, CR LF split across chunks and reads, lone CRs and
// NULs. The plain kernels are the reference for the fast ones.
TEST_F(TransferTest, ChunkedConversionsMatchBytewise) {
  struct Mix {
    const char* what;
    const char* bytes;  // drawn from at random
  } mixes[] = {
      {"CR LF lines", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r"},
      {"dense", "ab\r\n\n\r"},
      {"LF lines", "aaaaaaaaaaaaaaaaaaaaaaaaa\n"},
      {"odd bytes", "a\r\n\x1A\xD5"},
  };
  unsigned seed = 1;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  for (const Mix& mix : mixes) {
    std::string alphabet = mix.bytes;
    if (std::string(mix.what) == "odd bytes")
      alphabet += '\0';
    for (int round = 0; round < 60; ++round) {
      std::string file;
      size_t size = next() % 400;
      for (size_t i = 0; i < size; ++i) {
        char c = alphabet[next() % alphabet.size()];
        file += c;
        // In "CR LF lines" every CR is followed by its LF.
        if (c == '\r' && mix.what[0] == 'C')
          file += '\n';
      }
      for (size_t limit : {size_t{15}, size_t{16}, size_t{17}, size_t{33},
                           size_t{65}, size_t{1} << 20}) {
        ASSERT_EQ(dropCr(file), Load(file, limit))
            << mix.what << " round " << round << " limit " << limit;
        ASSERT_EQ(hasBareLf(file), loaded_.hasBareLineFeed)
            << mix.what << " round " << round;
        // The file's bytes digested, however the reads cut them; a byte
        // changed makes another digest.
        ByteDigest whole, other;
        whole.Add(file.data(), file.size());
        std::string changed = file.empty() ? "x" : file;
        changed[changed.size() / 2] ^= 0x20;
        other.Add(changed.data(), changed.size());
        ASSERT_TRUE(whole == loaded_.digest && !(other == whole))
            << mix.what << " round " << round << " limit " << limit;
        const std::string plainResult = runKernels(kPlain, file, limit);
        ASSERT_TRUE(startsWith(plainResult, dropCr(file) + "|" +
                                                addCr(dropCr(file)) + "|"))
            << mix.what << " round " << round << " limit " << limit;
        for (bool avx2 : {false, true}) {
          allowAvx2(avx2);
          ASSERT_EQ(plainResult, runKernels(kFast, file, limit))
              << mix.what << " round " << round << " limit " << limit
              << (avx2 ? "" : " without AVX2");
        }
      }
      std::string text = dropCr(file);
      ASSERT_EQ(addCr(text), Save(text)) << mix.what << " round " << round;
    }
  }
}

TEST_F(TransferTest, LongLinesArriveWhole) {
  // Longer than the 999-byte pieces that text was once read in.
  constexpr size_t kPiece = 999;
  std::string line(3 * kPiece + 5, 'a');
  for (size_t i = 0; i < line.size(); i += 97)
    line[i] = static_cast<char>(0xA0 + i % 96);
  std::string file = line + "\r\n" + line + "\n" + line;
  EXPECT_EQ(dropCr(file), Load(file, kPiece));
  EXPECT_EQ(line + "\r\n" + line + "\r\n" + line, Save(dropCr(file)));
}

TEST_F(TransferTest, SizeLimit) {
  const size_t limit = REPORT_BUFFER_SIZE - 1;
  struct Case {
    const char* what;
    std::string file;
    bool tooBig;
  } cases[] = {
      {"exactly fits", std::string(limit, 'a'), false},
      {"one byte over", std::string(limit + 1, 'a'), true},
      {"fits once CR LF shrinks",
       std::string(limit - 1, 'a') + "\r\n", false},
      {"CR LF pairs twice the limit", [] {
         std::string s;
         for (size_t i = 0; i < REPORT_BUFFER_SIZE - 1; ++i)
           s += "\r\n";
         return s;
       }(), false},
      {"over by a CR LF", std::string(limit, 'a') + "\r\n", true},
      {"over by a lone CR", std::string(limit, 'a') + "\r", true},
  };
  for (const Case& c : cases) {
    std::string text = Load(c.file, 4096);
    EXPECT_EQ(c.tooBig, loaded_.tooBig) << c.what;
    EXPECT_LE(text.size(), limit) << c.what;
    if (!c.tooBig) {
      EXPECT_EQ(dropCr(c.file), text) << c.what;
    }
  }
}

TEST_F(TransferTest, FailuresAreReported) {
  std::string err;
  disk_.files["r.htm"] = "abc";
  disk_.Fail("read", "r.htm", "Input/output error");
  EXPECT_EQ(LoadStatus::Failed, loadReport(disk_, report_.get(),
                                           entryNamed("r.htm"), &loaded_, &err));
  EXPECT_EQ("read(r.htm): Input/output error", err);
  EXPECT_EQ(0u, disk_.OpenHandles());

  disk_.dirs.insert("dir.htm");
  EXPECT_EQ(LoadStatus::NotAFile, loadReport(disk_, report_.get(),
                                             entryNamed("dir.htm"), &loaded_,
                                             &err));
  EXPECT_EQ(LoadStatus::Failed, loadReport(disk_, report_.get(),
                                           entryNamed("gone.htm"), &loaded_,
                                           &err));
}

TEST_F(TransferTest, FailedSaveLeavesNothingBehind) {
  for (const char* op : {"createcopy", "write", "commit"}) {
    VirtualDisk disk;
    disk.dirs.insert("d");
    disk.files["d/r.htm"] = "old copy";
    disk.Fail(op, "");
    std::string text(200000, 'x');
    std::string err;
    EXPECT_EQ(MoveStatus::Failed, saveInto(disk, "d", text, &err)) << op;
    EXPECT_NE(std::string::npos, err.find(op)) << err;
    EXPECT_EQ(1u, disk.files.size()) << op;
    EXPECT_EQ("old copy", disk.files["d/r.htm"]) << op;
    EXPECT_EQ(0u, disk.OpenHandles()) << op;
  }
}

TEST_F(TransferTest, SaveReplacesOnlyWhenTheCopyIsWhole) {
  disk_.dirs.insert("d");
  disk_.files["d/r.htm"] = "old";
  EXPECT_EQ("new\r\n", Save("new\n"));
  ASSERT_FALSE(disk_.log.empty());
  EXPECT_EQ("commit d/r.htm", disk_.log.back());
}

}  // namespace

// The processor check, asked of cpuid and xgetbv, agrees with the
// compiler's own where that links.
TEST(LineEnds, ProcessorCheckAgreesWithTheCompilers) {
#if defined(__linux__) && defined(__SSE2__)
  __builtin_cpu_init();
  EXPECT_EQ(__builtin_cpu_supports("avx2") != 0, processorHasAvx2());
#else
  GTEST_SKIP() << "the compiler's own check links on x86 Linux only";
#endif
}
