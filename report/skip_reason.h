#ifndef QUILLMARK_REPORT_SKIP_REASON_H_
#define QUILLMARK_REPORT_SKIP_REASON_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillmark::report {

// Why a file was skipped rather than analysed. Skips are expected (a link
// the walk does not follow, a FIFO in a tree), so they are kept as records
// and counted by reason in the summary, never written one by one to
// standard error, where only errors go.
enum class SkipReason : std::uint8_t {
  kNone,            // not skipped
  kSymbolicLink,    // a link met during the walk, not followed
  kBrokenLink,      // under -L, a link whose target is gone or loops
  kFileSystemLoop,  // under -L, a directory already being walked
  kFifo,
  kSocket,
  kCharacterDevice,
  kBlockDevice,
  kDirectory,             // a listed path that turned into a directory
  kOtherType,             // any other file that is not a regular file
  kNotBmp,                // --bmp-only, and the file does not begin with "BM"
  kDeletedOverwritten,    // deleted, and its blocks now belong to another file
  kDeletedUnrecoverable,  // deleted, and where its bytes were is no longer known
  kNoFileSystem,          // a partition with no file system the library recognises
  kNothingRecognised,     // an image with neither a volume system nor a file system
  kEncryptedVolume,       // an encrypted volume of a pool (APFS), not read
  kEncryptedMember,       // an encrypted member or container, not read
  kNestedTooDeep,         // a container deeper than --max-depth, not opened
  kStreamTooLarge,        // a compressed stream of unstated size over the limit
  kEmptyContainer,        // a container that holds no file
  kTooManyMembers,        // a container past --max-members: the rest not analysed
  kMailboxTooLarge,       // a mailbox that streams, over the limit held to walk it
};
inline constexpr std::size_t kSkipReasonCount =
    static_cast<std::size_t>(SkipReason::kMailboxTooLarge) + 1;

// The reason as a record states it: "a FIFO", "symbolic link, not followed".
const char* skipReasonText(SkipReason reason);

// `count` files skipped for `reason`, as the summary counts them: "1 FIFO",
// "6,138 symbolic links not followed".
std::string describeSkips(SkipReason reason, std::uint64_t count);

// `value` with its digits in groups of three: 6138 as "6,138".
std::string groupDigits(std::uint64_t value);

}  // namespace quillmark::report

#endif  // QUILLMARK_REPORT_SKIP_REASON_H_
