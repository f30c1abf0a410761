#include "report/skip_reason.h"

namespace quillmark::report {

namespace {

struct Wording {
  const char* record;    // a record's reason
  const char* singular;  // one file, in the summary
  const char* plural;    // several
};

// Indexed by SkipReason.
constexpr Wording kWordings[kSkipReasonCount] = {
    {"", "file", "files"},
    {"symbolic link, not followed", "symbolic link not followed", "symbolic links not followed"},
    {"broken symbolic link", "broken symbolic link", "broken symbolic links"},
    {"file system loop: a directory already being walked", "file system loop", "file system loops"},
    {"a FIFO", "FIFO", "FIFOs"},
    {"a socket", "socket", "sockets"},
    {"a character device", "character device", "character devices"},
    {"a block device", "block device", "block devices"},
    {"a directory", "directory", "directories"},
    {"not a regular file", "other file that is not a regular file",
     "other files that are not regular files"},
    {"not a BMP file", "file not a BMP (--bmp-only)", "files not BMP (--bmp-only)"},
    {"deleted, content overwritten", "deleted file overwritten", "deleted files overwritten"},
    {"deleted, content not recoverable", "deleted file not recoverable",
     "deleted files not recoverable"},
    {"no file system recognised", "partition without a file system",
     "partitions without a file system"},
    {"neither a volume system nor a file system recognised",
     "image without a volume system or a file system",
     "images without a volume system or a file system"},
    {"encrypted volume", "encrypted volume", "encrypted volumes"},
    {"encrypted, not analysed", "encrypted member or container, not analysed",
     "encrypted members or containers, not analysed"},
    {"a container nested deeper than --max-depth, not opened",
     "container nested too deep, not opened", "containers nested too deep, not opened"},
    {"a compressed stream that does not state its size, over 48 MiB: not analysed",
     "compressed stream of unstated size over 48 MiB",
     "compressed streams of unstated size over 48 MiB"},
    {"a container that holds no file", "container without files", "containers without files"},
    {"more members than --max-members: the rest of the container not analysed",
     "container cut short at --max-members", "containers cut short at --max-members"},
    {"an Outlook mailbox that streams, over 64 MiB: not walked",
     "streamed Outlook mailbox over 64 MiB, not walked",
     "streamed Outlook mailboxes over 64 MiB, not walked"},
};

}  // namespace

const char* skipReasonText(SkipReason reason) {
  return kWordings[static_cast<std::size_t>(reason)].record;
}

std::string describeSkips(SkipReason reason, std::uint64_t count) {
  const Wording& wording = kWordings[static_cast<std::size_t>(reason)];
  return groupDigits(count) + " " + (count == 1 ? wording.singular : wording.plural);
}

std::string groupDigits(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

}  // namespace quillmark::report
