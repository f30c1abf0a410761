#ifndef QUILLMARK_TESTS_TEMP_FILE_H_
#define QUILLMARK_TESTS_TEMP_FILE_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace quillmark::testing {

// The whole contents of the file at `path`; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios_base::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A file with the given bytes under TMPDIR (or /tmp), removed when the
// object goes away.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    const char* const dir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/quillmark-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0) ::close(fd);
    path_ = pattern;
    std::ofstream(path_, std::ios_base::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace quillmark::testing

#endif  // QUILLMARK_TESTS_TEMP_FILE_H_
