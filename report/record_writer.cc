#include "report/record_writer.h"

#include "analysis/report.h"
#include "analysis/terminal_text.h"
#include "report/json.h"

namespace quillmark::report {

namespace {

// The header warnings of `record`, joined by "; ".
std::string warningsOf(const ScanRecord& record) {
  std::string warnings;
  if (record.notBmp) warnings += kNotBmpWarning;
  if (record.wrongDepth) {
    if (!warnings.empty()) warnings += "; ";
    warnings += kColourDepthWarning;
  }
  return warnings;
}

void appendCsvField(std::string& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (const char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace

void RecordWriter::appendHeader(std::string& out) const {
  if (format_ == Format::kDfxml) return dfxml_->appendHeader(out);
  if (format_ == Format::kHtml) return html_->appendHeader(out);
  if (format_ == Format::kCsv) {
    out +=
        "path,verdict,name,length,length_text,warnings,error,image,fs_offset,fs,inode,deleted,"
        "carved_at,carved_length,volume";
    for (std::size_t i = 0; i < kDigestAlgorithms; ++i) {
      if (hashes_[i]) out.append(",").append(digestName(static_cast<DigestAlgorithm>(i)));
    }
    out += ",within";
    out += "\r\n";
  }
}

void RecordWriter::append(const ScanRecord& record, std::string& out) {
  switch (format_) {
    case Format::kText:
      return appendText(record, out);
    case Format::kCsv:
      return appendCsv(record, out);
    case Format::kJsonl:
      return appendJson(record, out);
    case Format::kDfxml:
      return dfxml_->append(record, out);
    case Format::kHtml:
      return html_->append(record, out);
  }
}

void RecordWriter::appendFooter(std::string& out, std::string_view stoppedBy) {
  if (format_ == Format::kDfxml) dfxml_->appendFooter(out);
  if (format_ == Format::kHtml) html_->appendFooter(stoppedBy, out);
}

void appendWithin(std::string& out, const std::vector<ContainerHop>& within) {
  out += '[';
  for (const ContainerHop& hop : within) {
    if (&hop != &within.front()) out += ',';
    out += "{\"format\":";
    appendJsonString(out, hop.format);
    out += ",\"member\":";
    appendJsonBytes(out, hop.member);
    out += ",\"index\":" + std::to_string(hop.index);
    out += ",\"locator\":";
    if (hop.locator.empty()) {
      out += "null";
    } else {
      appendJsonBytes(out, hop.locator);
    }
    out += '}';
  }
  out += ']';
}

void appendLocation(const ScanRecord& record, bool escapeText, std::string& out) {
  if (!record.inImage()) {
    TerminalText(record.path, escapeText).appendTo(out);
    appendHops(record, escapeText, out);
    return;
  }
  TerminalText(*record.image, escapeText).appendTo(out);
  if (record.carvedAt) {
    out += " (carved at " + std::to_string(*record.carvedAt) + ")";
  } else if (record.fsOffset) {
    out += " (" + (record.fsType.empty() ? std::string("partition") : record.fsType) + " at " +
           std::to_string(*record.fsOffset);
    if (record.volume) out += ", volume " + std::to_string(*record.volume);
    out += ")";
  }
  if (!record.path.empty()) {
    out += ' ';
    TerminalText(record.path, escapeText).appendTo(out);
  }
  // Unallocated space holds nothing but what was deleted: carving says so.
  if (record.deleted && !record.carvedAt) out += " (deleted)";
  appendHops(record, escapeText, out);
}

void appendHops(const ScanRecord& record, bool escapeText, std::string& out) {
  for (const ContainerHop& hop : record.within) {
    out.append(" [").append(hop.format).append(" #").append(std::to_string(hop.index)).append(" ");
    TerminalText(hop.member, escapeText).appendTo(out);
    if (!hop.locator.empty()) {
      out += " at ";
      TerminalText(hop.locator, escapeText).appendTo(out);
    }
    out += ']';
  }
}

void RecordWriter::appendText(const ScanRecord& record, std::string& out) const {
  if (record.verdict != Verdict::kPayload && !all_) return;
  appendLocation(record, escapeText_, out);
  switch (record.verdict) {
    case Verdict::kPayload:
      out += ": payload FOUND, embedded file name: ";
      TerminalText(record.name, escapeText_).appendTo(out);
      out += ", length of embedded data: ";
      out += record.lengthText;
      break;
    case Verdict::kClean:
      out += ": OK";
      break;
    case Verdict::kSkipped:
      out += ": SKIPPED (";
      TerminalText(record.reason, escapeText_).appendTo(out);
      out += ')';
      break;
    case Verdict::kError:
      out += ": ERROR (";
      TerminalText(record.reason, escapeText_).appendTo(out);
      out += ')';
      break;
  }
  const std::string warnings = warningsOf(record);
  if (!warnings.empty()) out += " (" + warnings + ")";
  out += '\n';
}

void RecordWriter::appendCsv(const ScanRecord& record, std::string& out) const {
  const bool payload = record.verdict == Verdict::kPayload;
  std::string shown;
  TerminalText(record.path, escapeText_).appendTo(shown);
  appendCsvField(out, shown);
  out += ',';
  out += verdictName(record.verdict);
  out += ',';
  if (payload) {
    shown.clear();
    TerminalText(record.name, escapeText_).appendTo(shown);
    appendCsvField(out, shown);
  }
  out += ',';
  if (payload) {
    std::string number;
    appendJsonNumber(number, record.length);
    if (number != "null") out += number;
  }
  out += ',';
  if (payload) appendCsvField(out, record.lengthText);
  out += ',';
  appendCsvField(out, warningsOf(record));
  out += ',';
  shown.clear();
  TerminalText(record.reason, escapeText_).appendTo(shown);
  appendCsvField(out, shown);
  out += ',';
  if (record.image) {
    shown.clear();
    TerminalText(*record.image, escapeText_).appendTo(shown);
    appendCsvField(out, shown);
  }
  out += ',';
  if (record.fsOffset) out += std::to_string(*record.fsOffset);
  out += ',';
  out += record.fsType;
  out += ',';
  if (record.inode) out += std::to_string(*record.inode);
  out += ',';
  out += record.deleted ? "true" : "false";
  out += ',';
  if (record.carvedAt) out += std::to_string(*record.carvedAt);
  out += ',';
  if (record.carvedLength) out += std::to_string(*record.carvedLength);
  out += ',';
  if (record.volume) out += std::to_string(*record.volume);
  for (std::size_t i = 0; i < kDigestAlgorithms; ++i) {
    if (!hashes_[i]) continue;
    out += ',';
    out += record.hashes[i];
  }
  out += ',';
  if (!record.within.empty()) {
    // The chain as its JSON array: quoted, escaped, and read back by any
    // JSON parser, whatever bytes the names hold.
    std::string chain;
    appendWithin(chain, record.within);
    appendCsvField(out, chain);
  }
  out += "\r\n";
}

void RecordWriter::appendJson(const ScanRecord& record, std::string& out) const {
  const bool payload = record.verdict == Verdict::kPayload;
  const bool failed = record.verdict == Verdict::kSkipped || record.verdict == Verdict::kError;
  // The field's value as `append` writes it, or null when it has none.
  const auto field = [&out](const char* name, bool present, const auto& append) {
    out += name;
    if (present) {
      append();
    } else {
      out += "null";
    }
  };
  const bool hasPath = !record.inImage() || !record.path.empty();
  field("{\"path\":", hasPath, [&] { appendJsonBytes(out, record.path); });
  out += ",\"verdict\":\"";
  out += verdictName(record.verdict);
  out += '"';
  field(",\"name\":", payload, [&] { appendJsonBytes(out, record.name); });
  out += ",\"warnings\":[";
  if (record.notBmp) appendJsonString(out, kNotBmpWarning);
  if (record.wrongDepth) {
    if (record.notBmp) out += ',';
    appendJsonString(out, kColourDepthWarning);
  }
  out += ']';
  field(",\"length\":", payload, [&] { appendJsonNumber(out, record.length); });
  field(",\"length_text\":", payload, [&] { appendJsonString(out, record.lengthText); });
  field(",\"error\":", failed, [&] { appendJsonString(out, record.reason); });
  field(",\"image\":", record.inImage(), [&] { appendJsonBytes(out, *record.image); });
  field(",\"fs_offset\":", record.fsOffset.has_value(),
        [&] { out += std::to_string(*record.fsOffset); });
  field(",\"fs\":", !record.fsType.empty(), [&] { appendJsonString(out, record.fsType); });
  field(",\"volume\":", record.volume.has_value(), [&] { out += std::to_string(*record.volume); });
  field(",\"inode\":", record.inode.has_value(), [&] { out += std::to_string(*record.inode); });
  out += record.deleted ? ",\"deleted\":true" : ",\"deleted\":false";
  field(",\"carved_at\":", record.carvedAt.has_value(),
        [&] { out += std::to_string(*record.carvedAt); });
  field(",\"carved_length\":", record.carvedLength.has_value(),
        [&] { out += std::to_string(*record.carvedLength); });
  field(",\"within\":", !record.within.empty(), [&] { appendWithin(out, record.within); });
  const bool hashed = record.hashes != DigestValues{};
  field(",\"hashes\":", hashed, [&] {
    const char* separator = "{";
    for (std::size_t i = 0; i < kDigestAlgorithms; ++i) {
      if (record.hashes[i].empty()) continue;
      out.append(separator).append("\"").append(digestName(static_cast<DigestAlgorithm>(i)));
      out.append("\":\"").append(record.hashes[i]).append("\"");
      separator = ",";
    }
    out += '}';
  });

  out += "}\n";
}

}  // namespace quillmark::report
