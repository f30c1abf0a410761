#include "report/html_writer.h"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>

#include "analysis/report.h"
#include "report/html/assets.h"
#include "report/json.h"
#include "report/markup_text.h"

#ifndef QUILLMARK_VERSION
#error "QUILLMARK_VERSION must be defined by the build"
#endif

namespace quillmark::report {

namespace {

// Text from anywhere, evidence included, as HTML text or attribute value.
void appendText(std::string& out, std::string_view text) { (void)appendXmlText(out, text); }
void appendAttribute(std::string& out, std::string_view text) {
  (void)appendXmlText(out, text, true);
}

// A base64 digest in hex, as a CSP source ('sha256-...').
std::string hashSource(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    bytes += static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1]));
  }
  std::string source = "'sha256-";
  appendBase64(source, bytes);
  return source + "'";
}

void appendFact(std::string& out, const char* term, std::string_view text, bool code = false) {
  out.append("<dt>").append(term).append("</dt><dd>");
  if (code) out += "<code>";
  appendText(out, text);
  if (code) out += "</code>";
  out += "</dd>\n";
}

// A piece of evidence named on the command line: what it is and its size.
void appendEvidence(std::string& out, const char* kind, const std::string& path) {
  out.append("<tr><td>").append(kind).append("</td><td class=\"path\">");
  appendText(out, path);
  out += "</td><td>";
  struct stat status {};
  if (path != "-" && ::stat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) {
      out += "folder";
    } else {
      out += groupDigits(static_cast<std::uint64_t>(status.st_size)) + " bytes";
    }
  } else {
    out += path == "-" ? "standard input" : "cannot be examined";
  }
  out += "</td></tr>\n";
}

// The size of a PNG picture, from its header; zero where it has none.
void pngSize(std::string_view png, std::uint32_t& width, std::uint32_t& height) {
  width = height = 0;
  if (png.size() < 24 || png.substr(12, 4) != "IHDR") return;
  const auto be32 = [&](std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
      value = value << 8 | static_cast<unsigned char>(png[at + i]);
    return value;
  };
  width = be32(16);
  height = be32(20);
}

// One picture of a carrier: the PNG in an <img>, or a placeholder saying
// why there is none.
void appendPicture(std::string& out, std::string_view png, std::string_view why,
                   std::string_view alt, const char* caption, const ScanRecord& record) {
  out += "<figure>";
  if (!png.empty()) {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    pngSize(png, width, height);
    // Pictures load as they come into view: a long report opens at once.
    out.append("<img loading=\"lazy\" decoding=\"async\" width=\"").append(std::to_string(width));
    out.append("\" height=\"").append(std::to_string(height));
    out += "\" alt=\"";
    appendAttribute(out, alt);
    appendAttribute(out, record.path.empty() ? std::string_view("carved bitmap") : record.path);
    out += "\" src=\"data:image/png;base64,";
    appendBase64(out, png);
    out += "\">";
  } else {
    out += "<div class=\"placeholder\">No picture: ";
    appendText(out, why.empty() ? std::string_view("not drawn") : why);
    out += "</div>";
  }
  out.append("<figcaption>").append(caption).append("</figcaption></figure>");
}

void appendTime(std::string& out, const char* what,
                const std::optional<disk_image::Timestamp>& time) {
  if (!time) return;
  const std::optional<std::string> text = isoTime(time->seconds, time->nanoseconds);
  if (text)
    out.append("<span class=\"note\">").append(what).append(" ").append(*text).append("</span>");
}

}  // namespace

std::string HtmlWriter::contentSecurityPolicy() {
  return "default-src 'none'; img-src data:; style-src " + hashSource(html::kStyleSha256) +
         "; script-src " + hashSource(html::kScriptSha256) +
         "; base-uri 'none'; form-action 'none'";
}

void HtmlWriter::appendHeader(std::string& out) const {
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out +=
      "<meta http-equiv=\"Content-Security-Policy\" content=\"" + contentSecurityPolicy() + "\">\n";
  out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  out += "<meta name=\"generator\" content=\"quillmark-scan " QUILLMARK_VERSION "\">\n";
  out += "<title>Quillmark scan report</title>\n<style>";
  out += html::kStyle;
  out += "</style>\n</head>\n<body>\n";

  out += "<section id=\"about\">\n<h1>Quillmark scan report</h1>\n<dl class=\"facts\">\n";
  appendFact(out, "Tool", "quillmark-scan " QUILLMARK_VERSION);
  std::string libraries;
  for (const auto& [name, version] : provenance_.libraries) {
    if (!libraries.empty()) libraries += ", ";
    libraries.append(name).append(" ").append(version);
  }
  if (!libraries.empty()) appendFact(out, "Libraries", libraries);
  appendFact(out, "Command line", shellCommandLine(provenance_.arguments), true);
  const std::optional<std::string> start = isoTime(provenance_.start);
  if (start) appendFact(out, "Started", *start);
  utsname system{};
  if (uname(&system) == 0) {
    appendFact(out, "Host",
               std::string(system.nodename) + " (" + system.sysname + " " + system.release + ", " +
                   system.machine + ")");
  }
  appendFact(out, "User ID", std::to_string(getuid()));
  out +=
      "</dl>\n<h2>Evidence</h2>\n<table class=\"evidence\"><thead><tr><th>Kind</th>"
      "<th>Path</th><th>Size</th></tr></thead><tbody>\n";
  for (const std::string& path : provenance_.paths) appendEvidence(out, "file or folder", path);
  if (!provenance_.filesFrom.empty()) {
    appendEvidence(out, "list of paths", provenance_.filesFrom);
  }
  for (const std::string& image : provenance_.images) appendEvidence(out, "disk image", image);
  out += "</tbody></table>\n</section>\n";

  out +=
      "<div id=\"controls\" hidden><label>Verdict <select id=\"filter-verdict\">"
      "<option value=\"\">all</option><option value=\"payload\">payload</option>"
      "<option value=\"error\">error</option><option value=\"skipped\">skipped</option>"
      "<option value=\"clean\">clean</option></select></label> <label>Text "
      "<input id=\"filter-text\" type=\"search\"></label> <output id=\"filter-shown\">"
      "</output></div>\n";
  out += "<section id=\"files\">\n<h2>";
  out += all_ ? "Files, payloads first, then errors" : "Payloads, then errors";
  out +=
      "</h2>\n<table id=\"records\"><thead><tr><th>Verdict</th><th>Location</th>"
      "<th>Hidden name</th><th>Length</th><th>Notes</th><th>Digests</th>"
      "<th class=\"pics\">Pictures</th></tr></thead>\n<tbody>\n";
}

void HtmlWriter::append(const ScanRecord& record, std::string& out) {
  ++verdicts_[static_cast<std::size_t>(record.verdict)];
  if (record.verdict == Verdict::kSkipped) ++skips_[static_cast<std::size_t>(record.skip)];
  if (all_ || record.verdict == Verdict::kPayload || record.verdict == Verdict::kError) {
    appendRow(record, out);
  }
}

void HtmlWriter::appendRow(const ScanRecord& record, std::string& out) const {
  const char* const verdict = verdictName(record.verdict);
  out.append("<tr class=\"").append(verdict).append("\"><td class=\"verdict\">");
  out.append(verdict).append("</td><td>");
  if (!record.path.empty()) {
    out += "<span class=\"path\">";
    appendText(out, record.path);
    out += "</span>";
  }
  for (const ContainerHop& hop : record.within) {
    out += "<span class=\"where hop\">";
    appendText(out, hop.format);
    out.append(" member #").append(std::to_string(hop.index)).append(" <span class=\"member\">");
    appendText(out, hop.member);
    out += "</span>";
    if (!hop.locator.empty()) {
      out += " at <span class=\"locator\">";
      appendText(out, hop.locator);
      out += "</span>";
    }
    out += "</span>";
  }
  if (record.inImage()) {
    out += "<span class=\"where\">in <span class=\"image\">";
    appendText(out, *record.image);
    out += "</span>";
    if (record.carvedAt) {
      out += ", carved at " + std::to_string(*record.carvedAt);
      if (record.carvedLength) out += ", " + std::to_string(*record.carvedLength) + " bytes";
    } else if (record.fsOffset) {
      out += ", ";
      appendText(out, record.fsType.empty() ? std::string_view("partition") : record.fsType);
      out += " at " + std::to_string(*record.fsOffset);
      if (record.volume) out += ", volume " + std::to_string(*record.volume);
    }
    if (record.inode) out += ", inode " + std::to_string(*record.inode);
    if (record.deleted && !record.carvedAt) out += ", deleted";
    out += "</span>";
  }
  out += "</td><td class=\"name\">";
  if (record.verdict == Verdict::kPayload) appendText(out, record.name);
  out += "</td><td class=\"length\">";
  if (record.verdict == Verdict::kPayload) appendText(out, record.lengthText);
  out += "</td><td>";
  if (record.notBmp) out.append("<span class=\"note\">").append(kNotBmpWarning).append("</span>");
  if (record.wrongDepth) {
    out.append("<span class=\"note\">").append(kColourDepthWarning).append("</span>");
  }
  if (record.verdict == Verdict::kSkipped || record.verdict == Verdict::kError) {
    out += "<span class=\"note reason\">";
    appendText(out, record.reason);
    out += "</span>";
  }
  if (record.verdict == Verdict::kPayload) {
    appendTime(out, "modified", record.times.modified);
    appendTime(out, "accessed", record.times.accessed);
    appendTime(out, "changed", record.times.changed);
    appendTime(out, "created", record.times.created);
  }
  out += "</td><td>";
  for (std::size_t i = 0; i < kDigestAlgorithms; ++i) {
    if (record.hashes[i].empty()) continue;
    out.append("<span class=\"digest\">").append(digestName(static_cast<DigestAlgorithm>(i)));
    out.append(" ").append(record.hashes[i]).append("</span>");
  }
  out += "</td><td class=\"pics\">";
  if (record.verdict == Verdict::kPayload) {
    const CarrierPictures& pictures = record.pictures;
    appendPicture(out, pictures.thumbnail, pictures.thumbnailWhy, "Thumbnail of ", "The carrier",
                  record);
    appendPicture(out, pictures.lowBits, pictures.lowBitsWhy,
                  "Low bits where the walk reads them, the hidden record outlined, of ",
                  "Its low bits where the walk reads them, enlarged: red, green and blue lit "
                  "where that colour's lowest bit is 1; the hidden record is outlined in orange, "
                  "and hidden data reads as noise",
                  record);
  }
  out += "</td></tr>\n";
}

void HtmlWriter::appendFooter(std::string_view stoppedBy, std::string& out) {
  out += "</tbody></table>\n</section>\n<section id=\"summary\">\n<h2>Summary</h2>\n";
  std::uint64_t files = 0;
  for (const std::uint64_t count : verdicts_) files += count;
  if (stoppedBy.empty()) {
    out += "<p class=\"state ended\">Complete: the scan ran to its end.</p>\n";
  } else {
    out += "<p class=\"state stopped\">Incomplete: the scan was interrupted (";
    appendText(out, stoppedBy);
    out += ") after " + groupDigits(files) +
           " files; this report holds only what was read before it stopped.</p>\n";
  }
  const auto item = [&](std::uint64_t count, const char* what) {
    out.append("<li><span class=\"count\">").append(groupDigits(count)).append("</span> ");
    out.append(what).append("</li>\n");
  };
  out += "<ul class=\"counts\">\n";
  item(files, files == 1 ? "file" : "files");
  item(verdicts_[static_cast<std::size_t>(Verdict::kPayload)], "payloads");
  item(verdicts_[static_cast<std::size_t>(Verdict::kClean)], "clean");
  item(verdicts_[static_cast<std::size_t>(Verdict::kSkipped)], "skipped");
  item(verdicts_[static_cast<std::size_t>(Verdict::kError)], "errors");
  out += "</ul>\n";
  std::string skipped;
  for (std::size_t i = 0; i < kSkipReasonCount; ++i) {
    if (skips_[i] == 0) continue;
    skipped += "<li>";
    appendText(skipped, describeSkips(static_cast<SkipReason>(i), skips_[i]));
    skipped += "</li>\n";
  }
  if (!skipped.empty()) out += "<p>Skipped:</p>\n<ul class=\"skips\">\n" + skipped + "</ul>\n";
  out += "<dl class=\"facts\">\n";
  const std::optional<std::string> end = isoTime(std::time(nullptr));
  if (end) appendFact(out, "Ended", *end);
  out += "</dl>\n</section>\n<script>";
  out += html::kScript;
  out += "</script>\n</body>\n</html>\n";
}

}  // namespace quillmark::report
