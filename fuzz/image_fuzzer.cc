// libFuzzer target: takes the input as a disk image, walks it through The
// Sleuth Kit as quillmark-scan --image does (volume system, file systems,
// every file, deleted ones included, and the bitmaps it carves out of
// unallocated space), reads every file and window it finds, and checks that
// each record is the detector's report on the bytes the file holds.

//
// The scanner reads every image in a child process, because the library
// itself crashes and spins on hostile metadata; this target does the same,
// so that the library's own faults are told apart from ours. Each input is
// read in a forked child; the coverage the child reached is copied back, so
// that the fuzzer is guided as if it had run in-process. The child ends
// with one of:
//   - success;
//   - an invariant of ours broken: a finding (this process aborts);
//   - a sanitizer report or a timeout: a finding when the first frame of
//     the stack that is not the C library's lies in our code (at a timeout,
//     of the first thread not waiting for another, in most of five samples
//     of the child); else a fault of the library, reported in one line and
//     passed over, as the scanner passes over the image.

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sanitizer/common_interface_defs.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/report.h"
#include "disk_image/image_reader.h"
#include "disk_image/image_walker.h"
#include "scan/record_scanner.h"
#include "tests/record_as_report.h"

// The library sizes its tables from the image's metadata; an allocation too
// large to make fails, as it does in the scanner, instead of ending the run.
// (The sanitizer's hook has the name it reads.)
extern "C" const char*
__asan_default_options() {  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
  return "allocator_may_return_null=1";
}

namespace {

using quillmark::ContentSource;
using quillmark::disk_image::ImageEntry;
using quillmark::disk_image::ImageReader;
using quillmark::disk_image::ImageWalker;

// A walk that finds more than this is not ended by the image's size alone.
constexpr std::size_t kMaxEntries = 100000;
// No file in an image of the fuzzer's size reads more than this.
constexpr std::uint64_t kMaxContent = std::uint64_t{64} << 20;
// A child still reading after this long is stuck (run the fuzzer with a
// larger -timeout).
constexpr unsigned kChildSeconds = 5;
// How a child says that an invariant of ours broke, or that it timed out.
constexpr int kInvariantBroken = 97;
constexpr int kTimedOut = 98;
// A child still reading at the timeout is sampled this many times, this far
// apart, before it is ended: where one sample lands is chance (a library
// that is slow but not stuck may be caught in our code between two of its
// calls); a fault of ours holds most of them.
constexpr int kTimeoutSamples = 5;
constexpr suseconds_t kSampleMicroseconds = 200000;
constexpr char kSampleMark[] = "timed out; the stack:\n";

void fail(const char* invariant) {
  (void)std::fprintf(stderr, "invariant broken: %s\n", invariant);
  (void)std::fflush(stderr);
  _exit(kInvariantBroken);
}

void check(bool ok, const char* invariant) {
  if (!ok) fail(invariant);
}

// The whole content of `source`, read in pieces as an examiner's tool would
// extract it, or false when it cannot be read whole.
bool extract(ContentSource& source, std::string& content) {
  const std::uint64_t size = source.size();
  if (size > kMaxContent) return false;
  content.resize(static_cast<std::size_t>(size));
  std::uint64_t at = 0;
  while (at < size) {
    const std::int64_t got = source.readAt(at, content.data() + at, size - at);
    if (got <= 0) return false;
    at += static_cast<std::uint64_t>(got);
  }
  return true;
}

// The detector's report body for `content`, after its "Analysing file" line.
std::string detectorReport(const std::string& content) {
  std::istringstream in(content);
  std::ostringstream out;
  check(quillmark::writeReport("f", in, out), "an in-memory file is always reported");
  return out.str().substr(std::string("Analysing file f\n").size());
}

// What the child does with the image at `path` of `size` bytes.
void readImage(const std::string& path, std::size_t size) {
  const std::vector<std::string> images = {path};
  std::vector<ImageEntry> entries;
  ImageWalker::Settings settings;
  settings.carve = true;
  ImageWalker walker(nullptr, settings);
  walker.walk(0, path, [&](ImageEntry& entry) {
    check(entry.kind != ImageEntry::Kind::kFile || entry.path.rfind('/', 0) == 0,
          "a file's path starts at the root");
    check(entry.kind != ImageEntry::Kind::kFile || entry.file.fsOffset < size,
          "a file's file system lies inside the image");
    check(entry.kind != ImageEntry::Kind::kCarved ||
              (entry.file.windowStart % 512 == 0 && entry.file.windowLength > 0 &&
               entry.file.windowStart + entry.file.windowLength <= size),
          "a carved window starts on a sector and lies inside the image");
    entries.push_back(entry);
    return entries.size() < kMaxEntries;
  });

  // Every file read as a worker reads it: its record must be the
  // detector's report on the bytes it holds, or a skip or an error.
  quillmark::scan::RecordScanner scanner(quillmark::scan::ScanSettings{}, images);
  ImageReader extractor(images);
  std::string content;
  for (const ImageEntry& entry : entries) {
    if (entry.kind != ImageEntry::Kind::kFile && entry.kind != ImageEntry::Kind::kCarved) continue;

    quillmark::scan::ScanTask task;
    task.kind = quillmark::scan::ScanTask::Kind::kImageFile;
    task.file = entry.file;
    quillmark::report::ScanRecord record;
    scanner.complete(task, record);
    using quillmark::report::Verdict;
    if (record.verdict != Verdict::kPayload && record.verdict != Verdict::kClean) continue;
    ContentSource* const source = extractor.open(entry.file);
    check(source != nullptr, "an analysed file opens again");
    if (extract(*source, content)) {
      check(quillmark::testing::recordAsReport(record) == detectorReport(content),
            "a file's record is the detector's report on its bytes");
    }
  }
}

// The fuzzer's coverage counters: the section "__sancov_cntrs" of this
// program, found in its ELF file and placed where the program was loaded.
// (Naming the section's start and end symbols in C++ keeps the linker from
// handing them to the fuzzer's own registration.)
struct Counters {
  std::uint8_t* start = nullptr;
  std::size_t size = 0;
};

Counters findCounters() {
  Counters found;
  std::FILE* const self = std::fopen("/proc/self/exe", "rb");
  if (self == nullptr) return found;
  Elf64_Ehdr header{};
  std::vector<Elf64_Shdr> sections;
  std::string names;
  if (std::fread(&header, sizeof header, 1, self) == 1 &&
      header.e_shentsize == sizeof(Elf64_Shdr)) {
    sections.resize(header.e_shnum);
    if (std::fseek(self, static_cast<long>(header.e_shoff), SEEK_SET) == 0 &&
        std::fread(sections.data(), sizeof(Elf64_Shdr), sections.size(), self) == sections.size() &&
        header.e_shstrndx < sections.size()) {
      const Elf64_Shdr& strings = sections[header.e_shstrndx];
      names.resize(strings.sh_size);
      if (std::fseek(self, static_cast<long>(strings.sh_offset), SEEK_SET) != 0 ||
          std::fread(names.data(), 1, names.size(), self) != names.size()) {
        names.clear();
      }
    }
  }
  (void)std::fclose(self);
  std::uintptr_t bias = 0;
  (void)dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        *static_cast<std::uintptr_t*>(out) = info->dlpi_addr;
        return 1;  // the first object is the program itself
      },
      &bias);
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_name < names.size() &&
        std::strcmp(names.c_str() + section.sh_name, "__sancov_cntrs") == 0) {
      // An address computed from where the loader put the program.
      found.start = reinterpret_cast<std::uint8_t*>(  // NOLINT(performance-no-int-to-ptr)
          bias + section.sh_addr);

      found.size = section.sh_size;
    }
  }
  return found;
}

// Set by a thread once it has printed its stack at a timeout.
volatile sig_atomic_t stackPrinted = 0;

// At a timeout, every thread but the one the alarm woke prints its stack:
// the walk's thread may only be waiting for the carving's, and the carving's
// thread shows where the time went.
void onStackRequest(int) {
  static const char kSaid[] = "the stack of another thread:\n";
  const ssize_t written = write(STDERR_FILENO, kSaid, sizeof kSaid - 1);
  (void)written;
  __sanitizer_print_stack_trace();
  stackPrinted = 1;
}

// Set as the child takes its samples at a timeout.
volatile sig_atomic_t samplesTaken = 0;

void onAlarm(int) {
  const ssize_t written = write(STDERR_FILENO, kSampleMark, sizeof kSampleMark - 1);
  (void)written;  // in a signal handler, nothing more can be done
  __sanitizer_print_stack_trace();
  // The other threads, one at a time, each given a while to print.
  const int tasks = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const auto self = static_cast<long>(syscall(SYS_gettid));
  alignas(dirent64) char listed[4096];
  for (ssize_t got; tasks >= 0 && (got = getdents64(tasks, listed, sizeof listed)) > 0;) {
    for (ssize_t at = 0; at < got;) {
      const auto* const task = reinterpret_cast<const dirent64*>(listed + at);
      at += task->d_reclen;
      const long thread = std::strtol(task->d_name, nullptr, 10);
      if (thread <= 0 || thread == self) continue;
      stackPrinted = 0;
      if (syscall(SYS_tgkill, getpid(), thread, SIGUSR2) != 0) continue;
      for (int wait = 0; wait < 500 && stackPrinted == 0; ++wait) (void)usleep(10000);
    }
  }
  if (tasks >= 0) (void)close(tasks);
  samplesTaken = samplesTaken + 1;
  if (samplesTaken >= kTimeoutSamples) _exit(kTimedOut);
  // The next sample, once the child has run on for a while.
  const itimerval next{{0, 0}, {0, kSampleMicroseconds}};
  (void)setitimer(ITIMER_REAL, &next, nullptr);
}

// Whether a sanitizer's report, or the stacks printed at one moment of a
// timeout, put the fault in our code. Each stack is read from its first
// frame: the first
// frame that is ours (a function of the quillmark namespace, or this
// target's own but for its signal handlers; the program's file name, which
// every frame of it carries, says nothing) or one of the image libraries'
// decides. The sanitizer's runtime, the C and C++ libraries and libFuzzer
// come between and say nothing. A stack that waits on a condition variable
// waits for another thread, and says nothing either: the next stack is
// read. When no stack decides (a deadlock among threads, say) the fault is
// ours.
bool sampleIsOurs(const std::string& report) {
  std::istringstream lines(report);
  std::string line;
  bool waiting = false;  // the stack being read waits for another thread
  while (std::getline(lines, line)) {
    const std::size_t hash = line.find_first_not_of(' ');
    if (hash == std::string::npos || line[hash] != '#' || line.find(" in ") == std::string::npos) {
      continue;
    }
    if (line.compare(hash, 3, "#0 ") == 0) waiting = false;
    if (waiting) continue;
    const std::string frame = line.substr(line.find(" in ") + 4);
    if (frame.find("pthread_cond_wait") != std::string::npos ||
        frame.find("pthread_cond_timedwait") != std::string::npos) {
      waiting = true;
      continue;
    }
    for (const char* library :
         {"libtsk", "libewf", "libqcow", "libvmdk", "libvhdi", "libafflib", "libbfio", "libcdata",
          "libcfile", "libcthreads", "libfcache", "libfdata", "libmfdata", "libz.so"}) {
      if (frame.find(library) != std::string::npos) return false;
    }
    const bool ours = frame.find("quillmark::") != std::string::npos ||
                      (frame.find("image_fuzzer.cc") != std::string::npos &&
                       frame.find("onAlarm") == std::string::npos &&
                       frame.find("onStackRequest") == std::string::npos);
    if (ours) return true;
  }
  return true;
}

// Whether the child's report puts the fault in our code: a sanitizer's
// report by its stacks; a timeout by most of its samples.
bool faultIsOurs(const std::string& report) {
  const std::string mark = kSampleMark;
  std::size_t at = report.find(mark);
  if (at == std::string::npos) return sampleIsOurs(report);
  int samples = 0;
  int ours = 0;
  while (at != std::string::npos) {
    const std::size_t next = report.find(mark, at + mark.size());
    ++samples;
    if (sampleIsOurs(
            report.substr(at, next == std::string::npos ? std::string::npos : next - at))) {
      ++ours;
    }
    at = next;
  }
  return 2 * ours > samples;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int image = memfd_create("image.dd", MFD_CLOEXEC);
  static const int said = memfd_create("child-stderr", MFD_CLOEXEC);
  static const Counters own = findCounters();
  static const std::size_t counters = own.size;
  static auto* const reached = static_cast<std::uint8_t*>(
      mmap(nullptr, counters, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (image < 0 || said < 0 || counters == 0 || reached == MAP_FAILED || ftruncate(image, 0) != 0 ||
      ftruncate(said, 0) != 0 || lseek(said, 0, SEEK_SET) != 0 ||
      pwrite(image, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  std::memset(reached, 0, counters);

  const pid_t child = fork();
  if (child == 0) {
    // The fuzzer's own crash handling is the parent's: a child that dies
    // writes no artifact of its own.
    __sanitizer_set_death_callback(nullptr);
    (void)dup2(said, STDERR_FILENO);

    (void)signal(SIGUSR2, onStackRequest);
    (void)signal(SIGALRM, onAlarm);
    (void)alarm(kChildSeconds);
    readImage("/proc/self/fd/" + std::to_string(image), size);
    std::memcpy(reached, own.start, counters);
    _exit(0);
  }
  if (child < 0) std::abort();
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  // The coverage the child reached, as if this process had.
  for (std::size_t i = 0; i < counters; ++i) {
    if (reached[i] > own.start[i]) own.start[i] = reached[i];
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;

  std::string report(static_cast<std::size_t>(lseek(said, 0, SEEK_END)), '\0');
  if (pread(said, report.data(), report.size(), 0) < 0) report.clear();
  const bool invariant = WIFEXITED(status) && WEXITSTATUS(status) == kInvariantBroken;
  if (invariant || faultIsOurs(report)) {
    (void)std::fwrite(report.data(), 1, report.size(), stderr);
    (void)std::fprintf(stderr, "the child reading the image ended with status 0x%x\n", status);
    std::abort();
  }
  // The library's own fault: the scanner passes over such an image.
  const std::size_t summary = report.find("SUMMARY: ");
  (void)std::fprintf(
      stderr, "library fault passed over: %s\n",
      summary == std::string::npos
          ? (WIFEXITED(status) && WEXITSTATUS(status) == kTimedOut ? "a timeout" : "no report")
          : report.substr(summary, report.find('\n', summary) - summary).c_str());
  return 0;
}
