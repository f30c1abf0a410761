// zlib's crc32 and crc32_z for the program that walks containers, computed
// by libdeflate.
//
// libarchive takes the CRC-32 of every byte of every zip member it reads,
// to check it against the zip's, through zlib's crc32, which works through a
// table a few bytes at a time: over a zip of bitmaps that was a third of
// the walk's time. libdeflate takes the same CRC with the processor's
// carry-less multiplication where it has one, several times as fast.
// Defined in the program itself, these are the ones every library it loads
// calls (the dynamic linker looks in the program first), so libarchive's
// check is unchanged but for its speed. They keep zlib's contract: the
// same CRC, a running value carried from call to call, and the initial
// value, 0, for a null buffer.

#include <libdeflate.h>

#include <cstddef>
#include <cstdint>

extern "C" {

unsigned long crc32(unsigned long crc, const unsigned char* buffer, unsigned int length) {
  if (buffer == nullptr) return 0;
  return libdeflate_crc32(static_cast<std::uint32_t>(crc), buffer, length);
}

unsigned long crc32_z(unsigned long crc, const unsigned char* buffer, std::size_t length) {
  if (buffer == nullptr) return 0;
  return libdeflate_crc32(static_cast<std::uint32_t>(crc), buffer, length);
}

}  // extern "C"
