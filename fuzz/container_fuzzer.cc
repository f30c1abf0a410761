// libFuzzer target: takes the input as a container file, walks it through
// libarchive, or GMime for mail, as quillmark-scan does (containers inside
// it included, to a depth of 3), streams and analyses every member as the container child
// does, and checks the walk's invariants: chains no deeper than the limit,
// hops that name their format, and, for a member that is an error, a
// reason.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "container/archive_walker.h"
#include "container/container_format.h"
#include "container/mail_walker.h"
#include "scan/record_scanner.h"

namespace {

constexpr unsigned kDepth = 3;

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The walk opens a path; the input lives in memory behind one.
  const int fd = memfd_create("container", MFD_CLOEXEC);
  if (fd < 0) return 0;
  for (std::size_t at = 0; at < size;) {
    const ssize_t wrote = write(fd, data + at, size - at);
    if (wrote <= 0) {
      close(fd);
      return 0;
    }
    at += static_cast<std::size_t>(wrote);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  // The scanner keeps a reference to its list of images: one that lives.
  static const std::vector<std::string> noImages;
  static quillmark::scan::RecordScanner scanner(quillmark::scan::ScanSettings{}, noImages);
  quillmark::report::ScanRecord record;
  quillmark::container::ArchiveWalker walker(kDepth);
  const quillmark::container::MailWalker mail(walker);
  walker.setMailWalker(&mail);
  // Inputs of odd length are walked as for a scan that takes digests
  // (stored zip members stream through the library): both ways are tried.
  walker.setStoredZipMembersChecked(size % 2 == 1);
  bool encrypted = false;
  std::size_t members = 0;
  const std::function<bool(quillmark::container::Member&)> visit =
      [&](quillmark::container::Member& member) {
        require(!member.chain.empty() && member.chain.size() <= kDepth);
        for (const quillmark::container::MemberHop& hop : member.chain) {
          require(!hop.format.empty());
        }
        if (member.kind == quillmark::container::Member::Kind::kContent) {
          record.clear();
          const bool read = scanner.scanStream(*member.content, record);
          require(!read || record.verdict != quillmark::report::Verdict::kError ||
                  !record.reason.empty());
        }
        return ++members < 100000;
      };
  const char* const format = quillmark::container::containerFormatOf(data, size);
  const std::string_view name = format != nullptr ? format : "";
  if (quillmark::container::isMail(name)) {
    (void)mail.walk(format, path, visit);
  } else {
    (void)walker.walk(path, visit, encrypted);
  }
  close(fd);
  return 0;
}
