#include "scan/time_zone.h"

#include <cstdlib>

namespace quillmark::scan {

void nameLocalTimeZone() {
  if (std::getenv("TZ") == nullptr) (void)::setenv("TZ", ":/etc/localtime", 1);
}

}  // namespace quillmark::scan
