#ifndef QUILLMARK_SCAN_TIME_ZONE_H_
#define QUILLMARK_SCAN_TIME_ZONE_H_

namespace quillmark::scan {

// Names the local time zone in TZ (":/etc/localtime", the zone the C
// library reads when TZ is unset), unless TZ is set already. The libraries
// that read file systems and archives turn times into time_t with mktime
// (The Sleuth Kit for each FAT time, libarchive for each zip member's); with
// TZ unset, each call has the C library look at /etc/localtime again, under
// a lock of its own that the threads of a scan queue on. Named, the zone is
// read once. Called first thing in main, before any thread starts; the
// children a scan starts inherit it.
void nameLocalTimeZone();

}  // namespace quillmark::scan

#endif  // QUILLMARK_SCAN_TIME_ZONE_H_
