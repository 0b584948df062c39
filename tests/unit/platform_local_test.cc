// The real backend's local services through the Env interfaces: files,
// threads and the atomic counter, the clock, the process. Runs on every
// backend.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#endif

#include "platform/bounded_call.h"
#include "platform/env.h"
#include "tests/unit/fake_env.h"

namespace vorn::platform {
namespace {

using vorn::testing::Exists;
using vorn::testing::ReadAll;
using vorn::testing::TempDir;
using vorn::testing::WriteAll;

FileSystem* Fs() { return Env::Default().files; }

// Opens `path` in `mode`: the file, or null with the reason in `*status`.
std::unique_ptr<File> OpenFile(const std::string& path, OpenMode mode,
                               Status* status = nullptr) {
  std::unique_ptr<File> file;
  Status opened = Fs()->Open(path, mode, &file);
  EXPECT_EQ(opened.ok(), file != nullptr) << opened.ToString();
  if (status != nullptr) *status = opened;
  return file;
}

const char* ModeName(OpenMode mode) {
  switch (mode) {
    case OpenMode::kRead:
      return "kRead";
    case OpenMode::kCreateTruncate:
      return "kCreateTruncate";
    case OpenMode::kCreateExclusive:
      return "kCreateExclusive";
    case OpenMode::kWriteCreateKeep:
      return "kWriteCreateKeep";
    case OpenMode::kReadWriteExclusive:
      return "kReadWriteExclusive";
    case OpenMode::kWriteShared:
      return "kWriteShared";
  }
  return "?";
}

// Each writable mode, on a missing and on a present file, writing "XY"
// either at the start or after SeekToEnd.
TEST(PlatformFiles, OpenModesCreateTruncateOrKeep) {
  struct Case {
    OpenMode mode;
    bool present;  // "abcdef" is there before the open
    bool seek_to_end;
    bool opens;
    std::string after;  // content after writing "XY" and closing
  };
  const Case cases[] = {
      {OpenMode::kCreateTruncate, false, false, true, "XY"},
      {OpenMode::kCreateTruncate, true, false, true, "XY"},
      {OpenMode::kCreateTruncate, true, true, true, "XY"},
      {OpenMode::kWriteCreateKeep, false, false, true, "XY"},
      {OpenMode::kWriteCreateKeep, true, false, true, "XYcdef"},
      {OpenMode::kWriteCreateKeep, true, true, true, "abcdefXY"},
      {OpenMode::kReadWriteExclusive, false, true, true, "XY"},
      {OpenMode::kReadWriteExclusive, true, false, true, "XYcdef"},
      {OpenMode::kReadWriteExclusive, true, true, true, "abcdefXY"},
      {OpenMode::kWriteShared, false, false, true, "XY"},
      {OpenMode::kWriteShared, true, false, true, "XYcdef"},
      {OpenMode::kCreateExclusive, false, false, true, "XY"},
      {OpenMode::kCreateExclusive, true, false, false, ""},
  };
  TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(ModeName(c.mode)) +
                 (c.present ? " present" : " missing") +
                 (c.seek_to_end ? " seek" : ""));
    std::string path = dir.File("f" + std::to_string(n++));
    if (c.present) WriteAll(path, "abcdef");
    std::unique_ptr<File> file = OpenFile(path, c.mode);
    ASSERT_EQ(file != nullptr, c.opens);
    if (!file) {
      EXPECT_EQ(Exists(path), c.present) << "a failed open must not create";
      continue;
    }
    if (c.seek_to_end) {
      EXPECT_TRUE(file->SeekToEnd().ok());
    }
    EXPECT_TRUE(file->Write("XY", 2).ok());
    EXPECT_EQ(file->Length(), static_cast<int64_t>(c.after.size()));
    EXPECT_TRUE(file->Close().ok());
    EXPECT_EQ(ReadAll(path), c.after);
  }
}

TEST(PlatformFiles, ReadExistingOnly) {
  TempDir dir;
  EXPECT_EQ(OpenFile(dir.File("missing"), OpenMode::kRead), nullptr);
  EXPECT_FALSE(Exists(dir.File("missing")));

  // Longer than one read so the count and the end are both seen.
  std::string data(10000, 'q');
  data[1234] = '\n';
  WriteAll(dir.File("r"), data);
  std::unique_ptr<File> file = OpenFile(dir.File("r"), OpenMode::kRead);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Length(), 10000);
  std::string got;
  char buf[4096];
  int64_t n = 0;
  while (file->Read(buf, sizeof(buf), &n).ok() && n > 0) got.append(buf, n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(got, data);
  EXPECT_FALSE(file->Write("x", 1).ok()) << "a read-only file took a write";
  EXPECT_TRUE(file->Close().ok());
  EXPECT_TRUE(file->Close().ok()) << "closing a closed file does nothing";
}

TEST(PlatformFiles, ExclusiveOpenFailsAtOnceWhileHeld) {
  TempDir dir;
  std::string path = dir.File("update.log");
  std::unique_ptr<File> holder =
      OpenFile(path, OpenMode::kReadWriteExclusive);
  ASSERT_NE(holder, nullptr);
  ASSERT_TRUE(holder->Write("held\n", 5).ok());

  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    Status busy;
    EXPECT_EQ(OpenFile(path, OpenMode::kReadWriteExclusive, &busy), nullptr)
        << "attempt " << i;
    EXPECT_EQ(busy.kind(), ErrorKind::kInUse) << busy.ToString();
    EXPECT_EQ(busy.object(), path);
  }
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(),
            1000)
      << "a busy file must not be waited for";

  // Every handle closes on its own, so the file is free again after.
  EXPECT_TRUE(holder->Close().ok());
  std::unique_ptr<File> again = OpenFile(path, OpenMode::kReadWriteExclusive);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Length(), 5);
  again.reset();  // the destructor closes too
  EXPECT_NE(OpenFile(path, OpenMode::kReadWriteExclusive), nullptr);
}

// Several writers of one file, each at its own offsets, as the workers
// fill one part file: every byte lands where it was written, and a length
// set up front grows the file without writing.
TEST(PlatformFiles, SharedWritersWriteAtTheirOffsets) {
  // Each writer's bytes land at their offsets, near the start of the file
  // or past 4 GiB into a sparse one (the offsets' high 32 bits count).
  struct Case {
    const char* name;
    int64_t base;
  };
  const Case cases[] = {{"at the start", 0},
                        {"past 4 GiB", (int64_t{5} << 30) + 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string path = dir.File("pkg.part");
    std::unique_ptr<File> a = OpenFile(path, OpenMode::kWriteShared);
    std::unique_ptr<File> b = OpenFile(path, OpenMode::kWriteShared);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr) << "a second writer must be let in";
    ASSERT_TRUE(a->SetLength(c.base + 10).ok());
    EXPECT_TRUE(b->WriteAt(c.base + 6, "WXYZ", 4).ok());
    EXPECT_TRUE(a->WriteAt(c.base, "ab", 2).ok());
    EXPECT_TRUE(b->WriteAt(c.base + 2, "cd", 2).ok());
    EXPECT_TRUE(a->Close().ok());
    EXPECT_TRUE(b->Close().ok());
    EXPECT_EQ(Fs()->FileLength(path), c.base + 10);
    std::unique_ptr<File> c_file = OpenFile(path, OpenMode::kWriteShared);
    ASSERT_NE(c_file, nullptr);
    EXPECT_TRUE(c_file->SetLength(c.base + 4).ok());
    EXPECT_EQ(c_file->Length(), c.base + 4);
    EXPECT_TRUE(c_file->Close().ok());
    std::unique_ptr<File> in = OpenFile(path, OpenMode::kRead);
    ASSERT_NE(in, nullptr);
    char got[16] = {};
    int64_t n = 0;
    EXPECT_TRUE(in->ReadAt(c.base, got, sizeof(got), &n).ok());
    EXPECT_EQ(std::string(got, static_cast<size_t>(n)), "abcd");
    if (c.base > 0) {
      EXPECT_TRUE(in->ReadAt(c.base - 2, got, 2, &n).ok());
      EXPECT_EQ(std::string(got, static_cast<size_t>(n)), std::string(2, '\0'))
          << "a hole reads as zeros";
    }
  }
}

// The data that begins at an offset ends at the first hole: a range never
// written (as bytes lost to a power cut) is told apart from written zeros.
// Where the system cannot tell, the whole range counts as data.
TEST(PlatformFiles, DataEndsAtTheFirstHole) {
  TempDir dir;
  std::unique_ptr<File> f =
      OpenFile(dir.File("pkg.part"), OpenMode::kWriteShared);
  ASSERT_NE(f, nullptr);
  const int64_t kMiB = 1 << 20;
  ASSERT_TRUE(f->SetLength(4 * kMiB).ok());
  const std::string zeros(kMiB, '\0');
  ASSERT_TRUE(f->WriteAt(0, zeros.data(), kMiB).ok());
  ASSERT_TRUE(f->WriteAt(3 * kMiB, zeros.data(), kMiB).ok());
  EXPECT_EQ(kMiB / 2, f->DataEnd(0, kMiB / 2));
  EXPECT_EQ(4 * kMiB, f->DataEnd(3 * kMiB, 4 * kMiB));
#ifndef _WIN32
  // Linux file systems report holes (SEEK_HOLE); wine's NTFS stand-in does
  // not, and then the whole range counts.
  EXPECT_EQ(kMiB, f->DataEnd(0, 4 * kMiB));
  EXPECT_EQ(2 * kMiB, f->DataEnd(2 * kMiB, 3 * kMiB));
#endif
}

// A rename replaces the target, or fails leaving it as it was and names
// the file that stood in the way, with the reason's kind.
TEST(PlatformFiles, RenameOverAndNames) {
  TempDir dir;
  struct Case {
    const char* name;
    bool from_present;
    bool to_present;
    bool to_held;          // another opener reads `to` meanwhile (kRead)
    size_t to_name_chars;  // `to`'s own name of that many letters (0: short)
    ErrorKind kind;
    bool names_to;  // the failure is about `to` (else `from`)
    std::string to_after;
  };
  const Case cases[] = {
      {"onto existing", true, true, false, 0, ErrorKind::kOk, false, "new"},
      {"onto missing", true, false, false, 0, ErrorKind::kOk, false, "new"},
      {"missing source", false, true, false, 0, ErrorKind::kNotFound, false,
       "old"},
      // Longer than any system takes (Linux: a name, Windows: a path).
      {"target name too long", true, false, false, 40000,
       ErrorKind::kPathTooLong, true, ""},
#ifdef _WIN32
      // A package still open in a running installer: Windows keeps it.
      {"target held open", true, true, true, 0, ErrorKind::kInUse, true,
       "old"},
#endif
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string from = dir.File("from" + std::to_string(n));
    std::string to = c.to_name_chars > 0 ? dir.File(std::string(c.to_name_chars, 't'))
                                         : dir.File("to" + std::to_string(n));
    ++n;
    if (c.from_present) WriteAll(from, "new");
    if (c.to_present) WriteAll(to, "old");
    std::unique_ptr<File> holder;
    if (c.to_held) holder = OpenFile(to, OpenMode::kRead);
    const bool ok = c.kind == ErrorKind::kOk;
    Status renamed = Fs()->RenameOver(from, to);
    EXPECT_EQ(renamed.kind(), c.kind) << renamed.ToString();
    if (!ok) {
      EXPECT_EQ(renamed.object(), c.names_to ? to : from);
      EXPECT_NE(renamed.os_code(), 0);
    }
    holder.reset();
    EXPECT_EQ(Exists(from), c.from_present && !ok);
    EXPECT_EQ(Exists(to), ok || c.to_present);
    if (Exists(to)) {
      EXPECT_EQ(ReadAll(to), c.to_after);
    }
  }
}

TEST(PlatformFiles, LengthRemoveAndDirectories) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string content;  // "-" for no file
    int64_t length;
  };
  const Case cases[] = {
      {"missing", "-", -1}, {"empty", "", 0}, {"five", "12345", 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.File(c.name);
    if (c.content != "-") WriteAll(path, c.content);
    EXPECT_EQ(Fs()->FileLength(path), c.length);
    EXPECT_EQ(Fs()->RemoveFile(path).ok(), c.content != "-");
    EXPECT_EQ(Fs()->FileLength(path), -1);
    Status twice = Fs()->RemoveFile(path);
    EXPECT_EQ(twice.kind(), ErrorKind::kNotFound) << "removed twice";
    EXPECT_EQ(twice.object(), path);
  }

  // Room on the volume of a file to be made, none known for a directory
  // that is not there.
  EXPECT_GT(Fs()->FreeSpace(dir.File("new.part")), 0);
  EXPECT_EQ(Fs()->FreeSpace(dir.File("gone") + kPathSeparator + "new.part"),
            -1);

  std::string sub = dir.File("sub");
  EXPECT_TRUE(Fs()->MakeDirectory(sub).ok());
  EXPECT_TRUE(Fs()->MakeDirectory(sub).ok())
      << "a directory there already serves";
  EXPECT_EQ(Fs()->FileLength(sub), -1) << "a directory has no file length";
  WriteAll(dir.File("plain"), "x");
  Status on_file = Fs()->MakeDirectory(dir.File("plain"));
  EXPECT_FALSE(on_file.ok()) << "a file is no directory";
  EXPECT_EQ(on_file.object(), dir.File("plain"));
  std::string deep = sub + kPathSeparator + "a" + kPathSeparator + "b";
  Status made = Fs()->MakeDirectory(deep);
  EXPECT_EQ(made.kind(), ErrorKind::kNotFound)
      << "only the last component is made: " << made.ToString();
  EXPECT_EQ(made.object(), deep);
  EXPECT_TRUE(WriteFileBytes(Fs(), sub + kPathSeparator + "in", "inside").ok());
  std::string back;
  EXPECT_TRUE(ReadFileBytes(Fs(), sub + kPathSeparator + "in", 100, &back).ok());
  EXPECT_EQ(back, "inside");
}

// A download directory deeper than Windows' MAX_PATH (260) holds the files
// of a download like any other, and a name given with '/' and ".." finds
// them too.
TEST(PlatformFiles, PathsLongerThanMaxPath) {
  TempDir dir;
  std::string deep = dir.path();
  for (int i = 0; deep.size() < 300; ++i) {
    deep += kPathSeparator + std::string(40, static_cast<char>('a' + i));
    ASSERT_TRUE(Fs()->MakeDirectory(deep).ok()) << deep;
  }
  const std::string part = deep + kPathSeparator + "pkg.bin.part";
  const std::string package = deep + kPathSeparator + "pkg.bin";
  std::unique_ptr<File> file = OpenFile(part, OpenMode::kWriteShared);
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(file->SetLength(6).ok());
  EXPECT_TRUE(file->WriteAt(0, "abcdef", 6).ok());
  EXPECT_TRUE(file->Close().ok());
  EXPECT_TRUE(Fs()->RenameOver(part, package).ok());
  EXPECT_EQ(Fs()->KindOf(part), FileKind::kMissing);
  EXPECT_EQ(Fs()->KindOf(package), FileKind::kRegular);
  const std::string last = deep.substr(deep.rfind(kPathSeparator) + 1);
  EXPECT_EQ(Fs()->FileLength(deep + "/../" + last + "/./pkg.bin"), 6);
  std::string back;
  EXPECT_TRUE(ReadFileBytes(Fs(), package, 100, &back).ok());
  EXPECT_EQ(back, "abcdef");
  std::unique_ptr<File> held = OpenFile(package, OpenMode::kRead);
  EXPECT_TRUE(held != nullptr && held->IsNamedBy(package));
  held.reset();
  EXPECT_TRUE(Fs()->RemoveFile(package).ok());
  EXPECT_EQ(Fs()->FileLength(package), -1);
  // The C++ library's removal stops at MAX_PATH on Windows: the levels go
  // one by one, deepest first.
  while (deep.size() > dir.path().size()) {
#ifdef _WIN32
    RemoveDirectoryW((L"\\\\?\\" + std::wstring(deep.begin(), deep.end())).c_str());
#else
    rmdir(deep.c_str());
#endif
    deep.resize(deep.rfind(kPathSeparator));
  }
}

uint32_t SetFlagLater(void* arg) {
  Env::Default().clock->SleepMillis(50);
  static_cast<std::atomic<int32_t>*>(arg)->store(1);
  return 7;
}

TEST(PlatformThreads, WaitOneReturnsAfterTheThreadEnds) {
  std::atomic<int32_t> flag{0};
  ThreadHandle h = Env::Default().threads->StartThread(SetFlagLater, &flag);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(Env::Default().threads->WaitOne(h));
  EXPECT_EQ(flag.load(), 1);
  // Handles stay valid: waiting again for an ended thread answers at once.
  EXPECT_TRUE(Env::Default().threads->WaitOne(h));
}

// Thousands of quick bounded calls from four threads at once each bring
// their answer back (a wake-up lost by the wait shows as a missing one),
// and a call that outlives its bound gives nothing, long before its end.
TEST(PlatformThreads, BoundedCallsAnswerOrGiveUp) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 1000;
  std::atomic<int> missing{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&missing, t] {
      for (int i = 0; i < kCalls; ++i) {
        std::optional<std::string> answer = CallWithin(
            5000, [t, i] { return std::to_string(t) + ":" + std::to_string(i); });
        if (!answer || *answer != std::to_string(t) + ":" + std::to_string(i)) {
          ++missing;
        }
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(missing.load(), 0) << "of " << kThreads * kCalls << " calls";

  auto start = std::chrono::steady_clock::now();
  std::optional<int> late = CallWithin(50, [] {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    return 1;
  });
  EXPECT_FALSE(late.has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(PlatformClock, NowAgreesWithLocalFields) {
  Clock* clock = Env::Default().clock;
  int64_t before = clock->NowSeconds();
  LocalFields now = clock->LocalNow();
  int64_t after = clock->NowSeconds();
  EXPECT_GT(before, 1700000000);  // later than the end of 2023
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  // The fields are the C library's local reading of one of the seconds
  // between the two readings of the clock.
  bool matched = false;
  for (int64_t t = before; t <= after && !matched; ++t) {
    std::time_t seconds = static_cast<std::time_t>(t);
    const std::tm* local = std::localtime(&seconds);
    ASSERT_NE(local, nullptr);
    matched = local->tm_year + 1900 == now.year &&
              local->tm_mon + 1 == now.month && local->tm_mday == now.day &&
              local->tm_hour == now.hour && local->tm_min == now.minute &&
              local->tm_sec == now.second;
  }
  EXPECT_TRUE(matched) << now.year << "-" << now.month << "-" << now.day
                       << " " << now.hour << ":" << now.minute << ":"
                       << now.second;

  auto start = std::chrono::steady_clock::now();
  clock->SleepMillis(120);
  auto slept = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_GE(slept.count(), 100);
}

TEST(PlatformProcess, NameCommandLineAndGuard) {
  Process* process = Env::Default().process;
  EXPECT_EQ(process->ApplicationName(), "vorn_unit_tests");
  std::string line = process->CommandLine();
  EXPECT_NE(line.find("vorn_unit_tests"), std::string::npos) << line;
  // The program's path comes first, quoted or not.
  std::string first = line[0] == '"' ? line.substr(1, line.find('"', 1) - 1)
                                     : line.substr(0, line.find(' '));
  EXPECT_NE(first.find("vorn_unit_tests"), std::string::npos) << line;

  // A name nobody holds: the guard is created, nobody else has it.
  std::string name =
      "vorn-test-guard-" +
      std::to_string(
          std::chrono::steady_clock::now().time_since_epoch().count());
  EXPECT_FALSE(process->GuardAlreadyExists(name));
}

// What a name stands for, and the file beside the running executable (the
// test program's own ".pub"), read as the key is.
TEST(PlatformFiles, KindOfAndTheFileBesideTheExecutable) {
  std::string beside =
      SiblingWithExtension(Env::Default().process->ExecutablePath(), ".pub");
  ASSERT_NE(beside.find("vorn_unit_tests.pub"), std::string::npos) << beside;
  TempDir dir;
  struct Case {
    const char* name;
    std::string content;  // "-" nothing, "@dir" a directory, "@link" a
                          // link to nothing, "@fifo" a FIFO
    FileKind kind;
  };
  const Case cases[] = {
      {"missing", "-", FileKind::kMissing},
      {"regular", "key\n", FileKind::kRegular},
      {"directory", "@dir", FileKind::kOther},
      {"too long", std::string(5000, 'k'), FileKind::kOther},
#ifndef _WIN32
      {"dangling link", "@link", FileKind::kOther},
      {"fifo", "@fifo", FileKind::kOther},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& path : {dir.File("x"), beside}) {
      if (c.content == "@dir") {
        ASSERT_TRUE(Fs()->MakeDirectory(path).ok());
#ifndef _WIN32
      } else if (c.content == "@link") {
        ASSERT_EQ(0, symlink((path + ".nowhere").c_str(), path.c_str()));
      } else if (c.content == "@fifo") {
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
#endif
      } else if (c.content != "-") {
        WriteAll(path, c.content);
      }
    }
    FileKind kind_of = c.content.size() == 5000 ? FileKind::kRegular : c.kind;
    EXPECT_EQ(kind_of, Fs()->KindOf(dir.File("x")));
    std::string read = "stale";
    EXPECT_EQ(c.kind, Env::Default().process->ReadBesideExecutable(".pub", 4096,
                                                                   &read));
    EXPECT_EQ(c.kind == FileKind::kRegular ? c.content : "", read);
    for (const std::string& path : {dir.File("x"), beside}) {
      std::error_code ec;
      std::filesystem::remove(path, ec);
    }
  }
}

#ifndef _WIN32
// What another user could plant at one of the system's names in a shared
// directory: no mode opens it, and the file outside keeps its bytes.
TEST(PlatformFiles, PlantedNamesAreNeverOpened) {
  TempDir dir;
  const std::string outside = dir.File("outside");
  const OpenMode modes[] = {OpenMode::kRead,           OpenMode::kCreateTruncate,
                            OpenMode::kCreateExclusive, OpenMode::kWriteCreateKeep,
                            OpenMode::kReadWriteExclusive, OpenMode::kWriteShared};
  const char* const plants[] = {"link", "dangling link", "hard link", "fifo",
                                "foreign owner"};
  for (const char* plant : plants) {
    for (OpenMode mode : modes) {
      SCOPED_TRACE(std::string(plant) + " " + ModeName(mode));
      WriteAll(outside, "theirs");
      const std::string name = dir.File("pkg.down0");
      const std::string kind = plant;
      int made = 0;
      if (kind == "link") made = symlink(outside.c_str(), name.c_str());
      if (kind == "dangling link") made = symlink("nowhere", name.c_str());
      if (kind == "hard link") made = link(outside.c_str(), name.c_str());
      if (kind == "fifo") made = mkfifo(name.c_str(), 0666);
      if (kind == "foreign owner") {
        WriteAll(name, "planted");
        made = chown(name.c_str(), 65534, 65534);
      }
      ASSERT_EQ(0, made);
      std::unique_ptr<File> file = OpenFile(name, mode);
      EXPECT_EQ(file, nullptr);
      EXPECT_EQ(ReadAll(outside), "theirs");
      ASSERT_EQ(0, unlink(name.c_str()));
    }
  }
  // A stale temporary file is replaced, not written through.
  ASSERT_EQ(0, symlink(outside.c_str(), dir.File("rec.new").c_str()));
  EXPECT_TRUE(WriteFileBytes(Fs(), dir.File("rec.new"), "plan").ok());
  EXPECT_EQ(ReadAll(outside), "theirs");
  EXPECT_EQ(ReadAll(dir.File("rec.new")), "plan");
}

// Under umask 000 too, what is created is the user's alone.
TEST(PlatformFiles, CreatedForTheUserAlone) {
  TempDir dir;
  mode_t old = umask(0);
  EXPECT_TRUE(Fs()->MakeDirectory(dir.File("d")).ok());
  EXPECT_TRUE(WriteFileBytes(Fs(), dir.File("f"), "x").ok());
  umask(old);
  struct stat st;
  ASSERT_EQ(0, stat(dir.File("d").c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(0, stat(dir.File("f").c_str(), &st));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(PlatformFiles, DirectoryTrust) {
  struct Case {
    const char* name;
    mode_t parent_mode;
    mode_t mode;
    uid_t owner;
    DirectoryTrust trust;
  };
  const Case cases[] = {
      {"private", 0700, 0700, 0, DirectoryTrust::kPrivate},
      {"sticky, open to all", 0700, 01777, 0, DirectoryTrust::kPrivate},
      {"open to all", 0700, 0777, 0, DirectoryTrust::kOthersWrite},
      {"group may write", 0700, 0770, 0, DirectoryTrust::kOthersWrite},
      {"parent open to all", 0777, 0700, 0, DirectoryTrust::kOthersWrite},
      {"another user's", 0700, 0700, 65534, DirectoryTrust::kOtherOwner},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string sub = dir.File("dl");
    ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
    ASSERT_EQ(0, chmod(dir.path().c_str(), c.parent_mode));
    ASSERT_EQ(0, chmod(sub.c_str(), c.mode));
    ASSERT_EQ(0, chown(sub.c_str(), c.owner, c.owner));
    EXPECT_EQ(Fs()->TrustOf(sub), c.trust);
  }
  EXPECT_EQ(Fs()->TrustOf("/no/such/dir"), DirectoryTrust::kMissing);
}

// Sets or (for nullptr) clears XDG_RUNTIME_DIR.
void SetRuntimeDir(const char* dir) {
  if (dir != nullptr) {
    setenv("XDG_RUNTIME_DIR", dir, 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

// The guard is per user: a lock file in the user's runtime directory. A
// child process takes the guard under its runtime directory and holds it;
// this process asks under its own while the child lives, then twice after
// the child ended (the last answer tells whether any guard was taken).
TEST(PlatformProcess, LinuxGuardPerUserRuntimeDirectory) {
  enum Squat { kNone, kWritable, kLink, kForeign };
  struct Case {
    const char* name;
    const char* child_dir;   // "a", "b", "open" (mode 0777) or "" (unset)
    const char* parent_dir;  // the same choices
    Squat squat;             // what sits at /tmp/<name>-<uid> beforehand
    bool parent_sees;        // the child's guard while the child lives
    bool guarded;            // a guard can be taken at all
  };
  const Case cases[] = {
      {"same runtime directory", "a", "a", kNone, true, true},
      {"another user's runtime directory", "a", "b", kNone, false, true},
      {"no runtime directory: /tmp", "", "", kNone, true, true},
      {"unsafe runtime directory: /tmp", "open", "", kNone, true, true},
      {"runtime directory beside /tmp", "a", "", kNone, false, true},
      {"/tmp directory writable by others", "", "", kWritable, false, false},
      {"/tmp directory is a link", "", "", kLink, false, false},
      {"/tmp directory of another user", "", "", kForeign, false, false},
  };
  const char* saved = getenv("XDG_RUNTIME_DIR");
  std::string saved_value = saved != nullptr ? saved : "";
  Process* process = Env::Default().process;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.squat == kForeign && geteuid() != 0) {
      continue;  // only root can make a directory for another user
    }
    TempDir dir;
    auto runtime_dir = [&dir](const std::string& which) {
      if (which.empty()) return std::string();
      std::string path = dir.File(which);
      mkdir(path.c_str(), 0700);
      chmod(path.c_str(), which == "open" ? 0777 : 0700);
      return path;
    };
    std::string child_dir = runtime_dir(c.child_dir);
    std::string parent_dir = runtime_dir(c.parent_dir);
    std::string name = "vorn-guard-test-" + std::to_string(getpid()) + "-" +
                       std::to_string(n++);
    std::string own = "/tmp/" + name + "-" + std::to_string(geteuid());
    std::string elsewhere = dir.File("elsewhere");
    mkdir(elsewhere.c_str(), 0700);
    if (c.squat == kWritable || c.squat == kForeign) {
      mkdir(own.c_str(), 0700);
      if (c.squat == kWritable) chmod(own.c_str(), 0777);
      if (c.squat == kForeign) {
        ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
      }
    } else if (c.squat == kLink) {
      ASSERT_EQ(symlink(elsewhere.c_str(), own.c_str()), 0);
    }

    int answer[2];
    int release[2];
    ASSERT_EQ(pipe(answer), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(answer[0]);
      close(release[1]);
      SetRuntimeDir(child_dir.empty() ? nullptr : child_dir.c_str());
      char taken = process->GuardAlreadyExists(name) ? 'y' : 'n';
      ssize_t ignored = write(answer[1], &taken, 1);
      (void)ignored;
      char end;
      ignored = read(release[0], &end, 1);  // until the parent closes it
      _exit(0);
    }
    close(answer[1]);
    close(release[0]);
    char child_saw = '?';
    EXPECT_EQ(read(answer[0], &child_saw, 1), 1);
    close(answer[0]);
    EXPECT_EQ(child_saw, 'n') << "the child was first";
    SetRuntimeDir(parent_dir.empty() ? nullptr : parent_dir.c_str());
    EXPECT_EQ(process->GuardAlreadyExists(name), c.parent_sees);
    close(release[1]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    // The child's guard ended with it: this process takes it now, unless
    // it took its own above already.
    EXPECT_EQ(process->GuardAlreadyExists(name), c.guarded && !c.parent_sees);
    EXPECT_EQ(process->GuardAlreadyExists(name), c.guarded);
    SetRuntimeDir(saved != nullptr ? saved_value.c_str() : nullptr);

    struct stat st;
    if (c.squat == kNone && parent_dir.empty()) {
      ASSERT_EQ(lstat(own.c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
      EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    EXPECT_NE(lstat((elsewhere + "/" + name + ".lock").c_str(), &st), 0)
        << "a lock file went through the link";
    unlink((own + "/" + name + ".lock").c_str());
    if (c.squat == kLink) {
      unlink(own.c_str());
    } else {
      rmdir(own.c_str());
    }
  }
}
#endif  // _WIN32

}  // namespace
}  // namespace vorn::platform
