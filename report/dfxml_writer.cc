#include "report/dfxml_writer.h"

#include <sys/utsname.h>
#include <unistd.h>

#include "report/json.h"
#include "report/markup_text.h"

#ifndef QUILLMARK_VERSION
#error "QUILLMARK_VERSION must be defined by the build"
#endif

namespace quillmark::report {

namespace {

// The version of the DFXML schema the document follows.
constexpr const char* kSchemaVersion = "2.0.0-beta.0";

// <name>text</name>, the text escaped; returns whether it was exact.
bool appendElement(std::string& out, const char* name, std::string_view text) {
  out.append("<").append(name).append(">");
  const bool exact = appendXmlText(out, text);
  out.append("</").append(name).append(">");
  return exact;
}

void appendNumber(std::string& out, const char* name, std::uint64_t value) {
  out.append("<").append(name).append(">").append(std::to_string(value));
  out.append("</").append(name).append(">");
}

// The base64 of `bytes` in our namespace's element `name`.
void appendBytes(std::string& out, const char* name, std::string_view bytes) {
  out.append("<qm:").append(name).append(">");
  appendBase64(out, bytes);
  out.append("</qm:").append(name).append(">");
}

void appendTime(std::string& out, const char* name,
                const std::optional<disk_image::Timestamp>& time) {
  if (!time) return;
  const std::optional<std::string> text = isoTime(time->seconds, time->nanoseconds);
  if (text)
    out.append("<").append(name).append(">").append(*text).append("</").append(name).append(">");
}

}  // namespace

void DfxmlWriter::appendHeader(std::string& out) const {
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out.append("<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"")
      .append(" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"")
      .append(" xmlns:qm=\"")
      .append(kNamespace)
      .append("\" version=\"")
      .append(kSchemaVersion)
      .append("\">\n");
  out += "<metadata><dc:type>Steganography scan for Quillmark payloads</dc:type></metadata>\n";
  out += "<creator version=\"1.0\"><program>quillmark-scan</program><version>" QUILLMARK_VERSION
         "</version>";
#if defined(__clang__)
  out += "<build_environment><compiler>clang " __clang_version__ "</compiler></build_environment>";
#elif defined(__GNUC__)
  out += "<build_environment><compiler>GCC " __VERSION__ "</compiler></build_environment>";
#endif
  out += "<execution_environment>";
  utsname system{};
  if (uname(&system) == 0) {
    appendElement(out, "os_sysname", system.sysname);
    appendElement(out, "os_release", system.release);
    appendElement(out, "os_version", system.version);
    appendElement(out, "host", system.nodename);
    appendElement(out, "arch", system.machine);
  }
  appendElement(out, "command_line", shellCommandLine(provenance_.arguments));
  appendElement(out, "uid", std::to_string(getuid()));
  const std::optional<std::string> start = isoTime(provenance_.start);
  if (start) appendElement(out, "start_time", *start);
  out += "</execution_environment>";
  for (const auto& [name, version] : provenance_.libraries) {
    out += "<library name=\"";
    appendXmlText(out, name, true);
    out += "\" version=\"";
    appendXmlText(out, version, true);
    out += "\"/>";
  }
  out += "</creator>\n<source>";
  for (const std::string& image : provenance_.images) {
    out += "<image_filename>";
    const bool exact = appendXmlText(out, image);
    out += "</image_filename>";
    (void)exact;  // the exact bytes are on each volume of the image
  }
  out += "</source>\n";
}

void DfxmlWriter::openVolume(const Volume& volume, std::string& out) {
  if (open_) out += "</volume>\n";
  open_ = volume;
  out += "<volume";
  if (volume.offset) out.append(" offset=\"").append(std::to_string(*volume.offset)).append("\"");
  if (volume.inImage) {
    out += " qm:image=\"";
    std::string name;
    if (!appendXmlText(name, volume.image, true)) {
      out.append(name).append("\" qm:image_bytes=\"");
      appendBase64(out, volume.image);
    } else {
      out += name;
    }
    out += '"';
  }
  if (volume.poolVolume) {
    out.append(" qm:pool_volume=\"").append(std::to_string(*volume.poolVolume)).append("\"");
  }
  out += '>';
  if (volume.offset) appendNumber(out, "partition_offset", *volume.offset);
  if (!volume.type.empty()) appendElement(out, "ftype_str", volume.type);
  out += '\n';
}

void DfxmlWriter::append(const ScanRecord& record, std::string& out) {
  Volume volume;
  volume.inImage = record.inImage();
  if (record.image) volume.image = *record.image;
  volume.offset = record.fsOffset;
  volume.type = record.fsType;
  volume.poolVolume = record.volume;
  if (!open_ || !(*open_ == volume)) openVolume(volume, out);

  out += "<fileobject>";
  bool exactPath = true;
  if (!record.path.empty()) exactPath = appendElement(out, "filename", record.path);
  if (record.verdict == Verdict::kError) appendElement(out, "error", record.reason);
  if (record.partition > 0) appendNumber(out, "partition", record.partition);
  if (!record.path.empty()) out += "<name_type>r</name_type>";
  const std::optional<std::uint64_t> size =
      record.carvedLength ? record.carvedLength : record.fileSize;
  if (size) appendNumber(out, "filesize", *size);
  if (record.carvedAt) {
    out += "<unalloc>1</unalloc>";
  } else if (record.inImage() && record.inode) {
    out.append("<alloc_inode>").append(record.metaUnallocated ? "0" : "1");
    out.append("</alloc_inode><alloc_name>").append(record.nameUnallocated ? "0" : "1");
    out += "</alloc_name>";
  } else if (!record.inImage()) {
    out += "<alloc>1</alloc>";
  }
  if (record.inImage() && record.path.rfind("/$OrphanFiles/", 0) == 0) {
    out += "<orphan>1</orphan>";
  }
  if (record.inode) appendNumber(out, "inode", *record.inode);
  appendTime(out, "mtime", record.times.modified);
  appendTime(out, "ctime", record.times.changed);
  appendTime(out, "atime", record.times.accessed);
  appendTime(out, "crtime", record.times.created);
  if (!record.byteRuns.empty()) {
    out += "<byte_runs>";
    for (const disk_image::ByteRun& run : record.byteRuns) {
      out.append("<byte_run file_offset=\"").append(std::to_string(run.fileOffset)).append("\"");
      if (record.fsOffset && run.imageOffset >= *record.fsOffset && !record.fsType.empty()) {
        out.append(" fs_offset=\"")
            .append(std::to_string(run.imageOffset - *record.fsOffset))
            .append("\"");
      }
      out.append(" img_offset=\"").append(std::to_string(run.imageOffset)).append("\"");
      out.append(" len=\"").append(std::to_string(run.length)).append("\"/>");
    }
    out += "</byte_runs>";
  }
  for (std::size_t i = 0; i < kDigestAlgorithms; ++i) {
    if (record.hashes[i].empty()) continue;
    out.append("<hashdigest type=\"").append(digestName(static_cast<DigestAlgorithm>(i)));
    out.append("\">").append(record.hashes[i]).append("</hashdigest>");
  }

  // Our own findings, in our namespace.
  out.append("<qm:verdict>").append(verdictName(record.verdict)).append("</qm:verdict>");
  if (record.notBmp) out += "<qm:warning>Not a BMP file</qm:warning>";
  if (record.wrongDepth) out += "<qm:warning>Colour depth should be 24 bits</qm:warning>";
  if (record.verdict == Verdict::kPayload) {
    if (!appendElement(out, "qm:embedded_name", record.name)) {
      appendBytes(out, "embedded_name_bytes", record.name);
    }
    appendElement(out, "qm:length", record.lengthText);
  }
  if (record.verdict == Verdict::kSkipped || record.verdict == Verdict::kError) {
    appendElement(out, "qm:error", record.reason);
  }
  if (!exactPath) appendBytes(out, "filename_bytes", record.path);
  if (!record.within.empty()) {
    out += "<qm:within>";
    for (const ContainerHop& hop : record.within) {
      out += "<qm:member format=\"";
      appendXmlText(out, hop.format, true);
      out.append("\" index=\"").append(std::to_string(hop.index)).append("\"");
      if (!hop.locator.empty()) {
        out += " locator=\"";
        appendXmlText(out, hop.locator, true);
        out += '"';
      }
      std::string name;
      if (!appendXmlText(name, hop.member)) {
        out += " bytes=\"";
        appendBase64(out, hop.member);
        out += '"';
      }
      out.append(">").append(name).append("</qm:member>");
    }
    out += "</qm:within>";
  }
  if (record.carvedAt) appendNumber(out, "qm:carved_at", *record.carvedAt);
  out += "</fileobject>\n";
}

void DfxmlWriter::appendFooter(std::string& out) {
  if (open_) out += "</volume>\n";
  open_.reset();
  out += "</dfxml>\n";
}

}  // namespace quillmark::report
