#ifndef QUILLMARK_SCAN_SCAN_TASK_H_
#define QUILLMARK_SCAN_SCAN_TASK_H_

#include "disk_image/image_entry.h"

namespace quillmark::scan {

// What a worker must do to complete the record the walk produced with it.
struct ScanTask {
  enum class Kind {
    kNone,       // the record is complete as produced (a skip, an error)
    kHostFile,   // open the record's path on the host and analyse it
    kImageFile,  // read the file `file` names out of its disk image and analyse it
  };
  Kind kind = Kind::kNone;
  bool followLink = false;   // kHostFile: follow the path if it is a link
  disk_image::FileRef file;  // kImageFile
};

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_SCAN_TASK_H_
