#include "container/pst_walker.h"

#include <libpff.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "analysis/memory_source.h"
#include "container/container_format.h"

namespace quillmark::container {

namespace {

// Folders deeper than this are not walked: a hostile index could nest
// them without end.
constexpr int kMaxFolderDepth = 64;

// The library's error, freed with it.
class PffError {
 public:
  PffError() = default;
  ~PffError() {
    if (error_ != nullptr) libpff_error_free(&error_);
  }
  PffError(const PffError&) = delete;
  PffError& operator=(const PffError&) = delete;

  libpff_error_t** get() { return &error_; }
  std::string text() const {
    if (error_ == nullptr) return "unknown error";
    char buffer[512] = {};
    (void)libpff_error_sprint(error_, buffer, sizeof buffer);
    std::string message = buffer;
    // The library ends each of its nested messages with a newline: the
    // first is the one that says what failed.
    return message.substr(0, message.find('\n'));
  }

 private:
  libpff_error_t* error_ = nullptr;
};

// An item of the library's, freed with it.
class PffItem {
 public:
  PffItem() = default;
  ~PffItem() {
    if (item_ != nullptr) libpff_item_free(&item_, nullptr);
  }
  PffItem(const PffItem&) = delete;
  PffItem& operator=(const PffItem&) = delete;

  libpff_item_t** put() { return &item_; }
  libpff_item_t* get() const { return item_; }

 private:
  libpff_item_t* item_ = nullptr;
};

// An attachment's bytes, read by offset.
class AttachmentSource final : public ContentSource {
 public:
  AttachmentSource(libpff_item_t* attachment, std::uint64_t size)
      : attachment_(attachment), size_(size) {}

  std::uint64_t size() const override { return size_; }
  std::int64_t readAt(std::uint64_t offset, char* into, std::uint64_t length) override {
    if (offset >= size_) return 0;
    PffError error;
    if (libpff_attachment_data_seek_offset(attachment_, static_cast<off64_t>(offset), SEEK_SET,
                                           error.get()) < 0) {
      return -1;
    }
    std::uint64_t done = 0;
    while (done < length) {
      const ssize_t got =
          libpff_attachment_data_read_buffer(attachment_, reinterpret_cast<uint8_t*>(into + done),
                                             static_cast<std::size_t>(length - done), error.get());
      if (got < 0) return -1;
      if (got == 0) break;
      done += static_cast<std::uint64_t>(got);
    }
    return static_cast<std::int64_t>(done);
  }

 private:
  libpff_item_t* attachment_;
  std::uint64_t size_;
};

// A folder's name; empty when it has none.
std::string folderName(libpff_item_t* folder) {
  std::size_t size = 0;
  if (libpff_folder_get_utf8_name_size(folder, &size, nullptr) != 1 || size == 0 || size > 65536) {
    return {};
  }
  std::vector<uint8_t> text(size);
  if (libpff_folder_get_utf8_name(folder, text.data(), size, nullptr) != 1) return {};
  return std::string(reinterpret_cast<const char*>(text.data()), size - 1);
}

// A UTF-8 string property of `item`; empty when it has none. Through the
// calls that this version's own attachment-name macros expand to, which it
// marks deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string entryText(libpff_item_t* item, uint32_t entry) {
  std::size_t size = 0;
  if (libpff_item_get_entry_value_utf8_string_size(item, 0, entry, &size, 0, nullptr) != 1 ||
      size == 0 || size > 65536) {
    return {};
  }
  std::vector<uint8_t> text(size);
  if (libpff_item_get_entry_value_utf8_string(item, 0, entry, text.data(), size, 0, nullptr) != 1) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(text.data()), size - 1);
}
#pragma GCC diagnostic pop

class Walk {
 public:
  // `outer`: the chain of the mailbox itself, empty for a file.
  Walk(const ArchiveWalker& archives, const std::vector<MemberHop>& outer,
       const std::function<bool(Member&)>& visit)
      : archives_(archives), outer_(outer), visit_(visit) {}

  // Walks `folder`, whose path (as pffexport names it) is `path`. Returns
  // false when the walk must stop.
  bool folder(libpff_item_t* folder, const std::string& path, int depth) {
    int messages = 0;
    PffError error;
    if (libpff_folder_get_number_of_sub_messages(folder, &messages, error.get()) != 1) {
      fail(error);
      messages = 0;
    }
    for (int m = 0; m < messages; ++m) {
      PffItem message;
      PffError messageError;
      if (libpff_folder_get_sub_message(folder, m, message.put(), messageError.get()) != 1) {
        fail(messageError);
        continue;
      }
      char name[32];
      (void)std::snprintf(name, sizeof name, "Message%05d", m + 1);
      if (!attachments(message.get(), (path.empty() ? "" : path + "/") + name)) return false;
    }
    int folders = 0;
    PffError folderError;
    if (libpff_folder_get_number_of_sub_folders(folder, &folders, folderError.get()) != 1) {
      fail(folderError);
      return true;
    }
    if (depth >= kMaxFolderDepth) return true;
    for (int f = 0; f < folders; ++f) {
      PffItem sub;
      PffError subError;
      if (libpff_folder_get_sub_folder(folder, f, sub.put(), subError.get()) != 1) {
        fail(subError);
        continue;
      }
      std::string subPath = path;
      if (!subPath.empty()) subPath += '/';
      subPath += folderName(sub.get());
      if (!this->folder(sub.get(), subPath, depth + 1)) {
        return false;
      }
    }
    return true;
  }

  const std::optional<std::string>& firstFailure() const { return failure_; }

 private:
  bool attachments(libpff_item_t* message, const std::string& path) {
    int count = 0;
    if (libpff_message_get_number_of_attachments(message, &count, nullptr) != 1) return true;
    for (int a = 0; a < count; ++a) {
      PffItem attachment;
      PffError error;
      if (libpff_message_get_attachment(message, a, attachment.put(), error.get()) != 1) {
        fail(error);
        continue;
      }
      int type = 0;
      if (libpff_attachment_get_type(attachment.get(), &type, nullptr) != 1 ||
          type != LIBPFF_ATTACHMENT_TYPE_DATA) {
        continue;  // an attached message or a reference holds no file of its own
      }
      size64_t size = 0;
      PffError sizeError;
      if (libpff_attachment_get_data_size(attachment.get(), &size, sizeError.get()) != 1) {
        fail(sizeError);
        continue;
      }
      std::string name = entryText(attachment.get(), LIBPFF_ENTRY_TYPE_ATTACHMENT_FILENAME_LONG);
      if (name.empty()) {
        name = entryText(attachment.get(), LIBPFF_ENTRY_TYPE_ATTACHMENT_FILENAME_SHORT);
      }
      // Numbered from 1, padded to the width of the count, as pffexport
      // names them.
      std::string number = std::to_string(a + 1);
      number.insert(0, std::to_string(count).size() - number.size(), '0');
      std::string locator = path;
      locator.append("/Attachments/").append(number);
      std::vector<MemberHop> chain = outer_;
      chain.push_back(MemberHop{"pst", name, index_++, locator});
      AttachmentSource source(attachment.get(), size);
      Member member;
      member.chain = chain;
      if (const char* const nested = containerFormatOf(source); nested != nullptr) {
        if (chain.size() >= archives_.maxDepth()) {
          member.kind = Member::Kind::kTooDeep;
          if (!visit_(member)) return false;
          continue;
        }
        // A mailbox attached is read by offset too, as a mailbox of its own.
        const bool more = std::string(nested) == "pst"
                              ? PstWalker(archives_).walkMember(source, chain, visit_)
                              : archives_.walkSource(nested, source, chain, visit_);
        if (!more) return false;
        continue;
      }
      member.content = &source;
      member.randomAccess = true;
      member.readError = [] { return std::string("the mailbox library cannot read it"); };
      if (!visit_(member)) return false;
    }
    return true;
  }

  void fail(const PffError& error) {
    if (!failure_) failure_ = error.text();
  }

  const ArchiveWalker& archives_;
  const std::vector<MemberHop>& outer_;
  const std::function<bool(Member&)>& visit_;
  std::uint64_t index_ = 0;
  std::optional<std::string> failure_;
};

// A mailbox's bytes as libpff reads them through a libbfio handle: by
// offset, from a ContentSource, never written. The handle owns one of
// these and frees it; a clone reads the same source from its own offset.
struct SourceIo {
  ContentSource* source;
  std::uint64_t position = 0;
  bool open = false;

  static SourceIo* of(intptr_t* io) { return reinterpret_cast<SourceIo*>(io); }

  static int free(intptr_t** io, libbfio_error_t**) {
    delete of(*io);
    *io = nullptr;
    return 1;
  }
  static int clone(intptr_t** into, intptr_t* io, libbfio_error_t**) {
    auto* const copy = new (std::nothrow) SourceIo{of(io)->source, 0, false};
    *into = reinterpret_cast<intptr_t*>(copy);
    return copy != nullptr ? 1 : -1;
  }
  static int openFor(intptr_t* io, int flags, libbfio_error_t**) {
    if ((flags & LIBBFIO_ACCESS_FLAG_WRITE) != 0) return -1;  // evidence is never written
    of(io)->open = true;
    of(io)->position = 0;
    return 1;
  }
  static int close(intptr_t* io, libbfio_error_t**) {
    of(io)->open = false;
    return 0;
  }
  static ssize_t read(intptr_t* io, uint8_t* into, size_t size, libbfio_error_t**) {
    SourceIo& self = *of(io);
    const std::int64_t got =
        self.source->readAt(self.position, reinterpret_cast<char*>(into), size);
    if (got < 0) return -1;
    self.position += static_cast<std::uint64_t>(got);
    return static_cast<ssize_t>(got);
  }
  static ssize_t write(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) { return -1; }
  static off64_t seek(intptr_t* io, off64_t offset, int whence, libbfio_error_t**) {
    SourceIo& self = *of(io);
    off64_t to = offset;
    if (whence == SEEK_CUR) to += static_cast<off64_t>(self.position);
    if (whence == SEEK_END) to += static_cast<off64_t>(self.source->size());
    if (to < 0) return -1;
    self.position = static_cast<std::uint64_t>(to);
    return to;
  }
  static int exists(intptr_t*, libbfio_error_t**) { return 1; }
  static int isOpen(intptr_t* io, libbfio_error_t**) { return of(io)->open ? 1 : 0; }
  static int size(intptr_t* io, size64_t* size, libbfio_error_t**) {
    *size = of(io)->source->size();
    return 1;
  }
};

// Walks the mailbox `file` opened, whose chain is `outer`, then closes and
// frees it. `stopped` is set when `visit` stopped the walk.
std::optional<std::string> walkOpened(libpff_file_t* file, const ArchiveWalker& archives,
                                      const std::vector<MemberHop>& outer,
                                      const std::function<bool(Member&)>& visit, bool& stopped) {
  std::optional<std::string> failure;
  PffItem root;
  PffError rootError;
  const int found = libpff_file_get_root_folder(file, root.put(), rootError.get());
  if (found == 0) {
    // The library found no folders, and says so without an error: the
    // mailbox is cut short, or its index damaged.
    failure = "the mailbox's folders cannot be found";
  } else if (found != 1) {
    failure = rootError.text();
  } else {
    Walk walk(archives, outer, visit);
    stopped = !walk.folder(root.get(), "", 0);
    failure = walk.firstFailure();
  }
  libpff_file_close(file, nullptr);
  libpff_file_free(&file, nullptr);
  return failure;
}

}  // namespace

std::optional<std::string> PstWalker::walk(const std::string& path,
                                           const std::function<bool(Member&)>& visit) const {
  libpff_file_t* file = nullptr;
  PffError error;
  if (libpff_file_initialize(&file, error.get()) != 1) return error.text();
  if (libpff_file_open(file, path.c_str(), LIBPFF_OPEN_READ, error.get()) != 1) {
    std::string why = error.text();
    libpff_file_free(&file, nullptr);
    return why;
  }
  bool stopped = false;
  return walkOpened(file, archives_, {}, visit, stopped);
}

std::optional<std::string> PstWalker::walkSource(ContentSource& source,
                                                 const std::function<bool(Member&)>& visit) const {
  bool stopped = false;
  return walkSourceIn(source, {}, visit, stopped);
}

bool PstWalker::walkMember(ContentSource& source, const std::vector<MemberHop>& chain,
                           const std::function<bool(Member&)>& visit) const {
  bool stopped = false;
  const std::optional<std::string> failure = walkSourceIn(source, chain, visit, stopped);
  if (stopped || !failure) return !stopped;
  Member failed;
  failed.chain = chain;
  failed.kind = Member::Kind::kDamaged;
  failed.why = *failure;
  return visit(failed);
}

bool PstWalker::walkStream(ContentSource& source, const std::vector<MemberHop>& chain,
                           const std::function<bool(Member&)>& visit,
                           const std::function<std::string()>& readError) const {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  Member found;
  found.chain = chain;
  std::string held;
  // Room for the stated size and the read that finds the end, so that the
  // last read does not double what is held.
  held.reserve(static_cast<std::size_t>(std::min(source.size(), kStreamedLimit)) + kChunk);
  for (;;) {
    const std::size_t at = held.size();
    held.resize(at + kChunk);
    const std::int64_t got = source.readAt(at, held.data() + at, kChunk);
    held.resize(at + static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
    if (got < 0) {
      found.kind = Member::Kind::kDamaged;
      found.why = "cannot read the mailbox: " + readError();
      return visit(found);
    }
    if (got == 0) break;
    if (held.size() > kStreamedLimit) {
      found.kind = Member::Kind::kMailboxTooLarge;
      return visit(found);
    }
  }
  MemorySource memory(held);
  return walkMember(memory, chain, visit);
}

std::optional<std::string> PstWalker::walkSourceIn(ContentSource& source,
                                                   const std::vector<MemberHop>& chain,
                                                   const std::function<bool(Member&)>& visit,
                                                   bool& stopped) const {
#ifdef QUILLMARK_NO_MAILBOX_IO
  (void)source;
  (void)chain;
  (void)visit;
  (void)stopped;
  return std::string("this build reads Outlook mailboxes from files only (built without libbfio)");
#else
  auto* const io = new (std::nothrow) SourceIo{&source, 0, false};
  if (io == nullptr) return std::string("out of memory");
  libbfio_handle_t* handle = nullptr;
  if (libbfio_handle_initialize(
          &handle, reinterpret_cast<intptr_t*>(io), SourceIo::free, SourceIo::clone,
          SourceIo::openFor, SourceIo::close, SourceIo::read, SourceIo::write, SourceIo::seek,
          SourceIo::exists, SourceIo::isOpen, SourceIo::size,
          LIBBFIO_FLAG_IO_HANDLE_MANAGED | LIBBFIO_FLAG_IO_HANDLE_CLONE_BY_FUNCTION,
          nullptr) != 1) {
    delete io;
    return std::string("the mailbox library cannot take the mailbox's bytes");
  }
  libpff_file_t* file = nullptr;
  PffError error;
  std::optional<std::string> failure;
  if (libpff_file_initialize(&file, error.get()) != 1) {
    failure = error.text();
  } else if (libpff_file_open_file_io_handle(file, handle, LIBPFF_OPEN_READ, error.get()) != 1) {
    failure = error.text();
    libpff_file_free(&file, nullptr);
  } else {
    failure = walkOpened(file, archives_, chain, visit, stopped);
  }
  libbfio_handle_free(&handle, nullptr);
  return failure;
#endif
}

bool mailboxesSupported() { return true; }

std::string pffLibraryVersion() { return libpff_get_version(); }

}  // namespace quillmark::container
