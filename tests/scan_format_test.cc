// The scanner's command line and its record formats.

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "report/dfxml_writer.h"
#include "report/json.h"
#include "report/markup_text.h"
#include "report/record_writer.h"
#include "scan/options.h"

namespace quillmark {
namespace {

using report::Format;
using report::RecordWriter;
using report::ScanRecord;
using report::Verdict;
using scan::ParsedCommandLine;

TEST(ScanFormatTest, JsonStringsAndBytes) {
  struct Case {
    const char* what;
    std::string bytes, json;
  };
  const Case cases[] = {
      {"plain", "a.bmp", R"({"text":"a.bmp"})"},
      {"quote and backslash", "a\"b\\c", R"({"text":"a\"b\\c"})"},
      {"newline, tab, ESC", "a\nb\tc\x1b[2J", R"({"text":"a\nb\tc\u001b[2J"})"},
      {"DEL and C1 control", "\x7f\xc2\x9b", R"({"text":"\u007f\u009b"})"},
      {"UTF-8 stays", "r\xc3\xa9sum\xc3\xa9", "{\"text\":\"r\xc3\xa9sum\xc3\xa9\"}"},
      {"invalid UTF-8 goes to base64", "a\xff", R"({"bytes":"Yf8="})"},
      {"base64 of two bytes", "\xff\xfe", R"({"bytes":"//4="})"},
      {"base64 of three", "\xff\xfe\xfd", R"({"bytes":"//79"})"},
      {"base64 of four", "\xff\xfe\xfd\xfc", R"({"bytes":"//79/A=="})"},
      {"empty", "", R"({"text":""})"},
  };
  for (const Case& c : cases) {
    std::string out;
    report::appendJsonBytes(out, c.bytes);
    EXPECT_EQ(out, c.json) << c.what;
  }
}

TEST(ScanFormatTest, JsonNumbersReadBackToTheSameDouble) {
  struct Case {
    double value;
    const char* json;
  };
  const Case cases[] = {
      {1234, "1234"},
      {0.1, "0.1"},
      {1234567, "1234567"},
      {-2.5, "-2.5"},
      {1e300, "1e+300"},
      {5e-324, "5e-324"},
      {0.30000000000000004, "0.30000000000000004"},
      {std::numeric_limits<double>::infinity(), "null"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
  };
  for (const Case& c : cases) {
    std::string out;
    report::appendJsonNumber(out, c.value);
    EXPECT_EQ(out, c.json) << c.json;
  }
}

report::ScanRecord payload(const std::string& path, const std::string& name) {
  report::ScanRecord record;
  record.path = path;
  record.verdict = report::Verdict::kPayload;
  record.name = name;
  record.length = 1234567;
  record.lengthText = "1.23457e+06";
  return record;
}

TEST(ScanFormatTest, LinesPerFormat) {
  struct Case {
    const char* what;
    report::Format format;
    bool all, escape;
    report::ScanRecord record;
    std::string line;
  };
  report::ScanRecord clean;
  clean.path = "c.txt";
  clean.verdict = report::Verdict::kClean;
  clean.notBmp = clean.wrongDepth = true;
  report::ScanRecord error;
  error.path = "locked,\"x\".bmp";
  error.verdict = report::Verdict::kError;
  error.reason = "cannot open: Permission denied";
  report::ScanRecord inImage = payload("/d/a.bmp", "n.txt");
  inImage.image = "disk.E01";
  inImage.fsOffset = 1048576;
  inImage.fsType = "ext4";
  inImage.inode = 12;
  inImage.deleted = true;
  report::ScanRecord inVolume = payload("/a.bmp", "n.txt");
  inVolume.image = "mac.img";
  inVolume.fsOffset = 20480;
  inVolume.fsType = "apfs";
  inVolume.volume = 107;
  inVolume.inode = 18;
  report::ScanRecord partition;
  partition.verdict = report::Verdict::kSkipped;
  partition.reason = "no file system recognised: \x07";
  partition.image = "ev\x1b.img";
  partition.fsOffset = 512;
  // A member two levels down, its name neither text nor safe on a terminal.
  report::ScanRecord member = payload("mail.zip", "n.txt");
  member.within = {{"zip", "in/x.tar.gz", 3, ""}, {"tar.gz", "a\x1b\xff.bmp", 0, ""}};
  const Case cases[] = {
      {"text payload", report::Format::kText, false, false, payload("a.bmp", "n.txt"),
       "a.bmp: payload FOUND, embedded file name: n.txt, length of embedded data: 1.23457e+06\n"},
      {"text leaves clean files out", report::Format::kText, false, false, clean, ""},
      {"text --all with warnings", report::Format::kText, true, false, clean,
       "c.txt: OK (Not a BMP file; Colour depth should be 24 bits)\n"},
      {"text --all error", report::Format::kText, true, false, error,
       "locked,\"x\".bmp: ERROR (cannot open: Permission denied)\n"},
      {"text escaped on a terminal", report::Format::kText, false, true,
       payload("a\nb", "\x1b]0;x\x07"),
       "a\\x0ab: payload FOUND, embedded file name: \\x1b]0;x\\x07, length of embedded data: "
       "1.23457e+06\n"},
      {"csv payload", report::Format::kCsv, false, false, payload("a.bmp", "n,1"),
       "a.bmp,payload,\"n,1\",1234567,1.23457e+06,,,,,,,false,,,,\r\n"},
      {"csv quotes quotes and newlines", report::Format::kCsv, false, false, error,
       "\"locked,\"\"x\"\".bmp\",error,,,,,cannot open: Permission denied,,,,,false,,,,\r\n"},
      {"csv clean with warnings", report::Format::kCsv, false, false, clean,
       "c.txt,clean,,,,Not a BMP file; Colour depth should be 24 bits,,,,,,false,,,,\r\n"},
      {"jsonl payload", report::Format::kJsonl, false, false, payload("a.bmp", "n\xff"),
       R"({"path":{"text":"a.bmp"},"verdict":"payload","name":{"bytes":"bv8="},"warnings":[],)"
       R"("length":1234567,"length_text":"1.23457e+06","error":null,"image":null,"fs_offset":null,)"
       R"("fs":null,"volume":null,"inode":null,"deleted":false,"carved_at":null,"carved_length":null,"within":null,"hashes":null})"
       "\n"},
      {"jsonl error", report::Format::kJsonl, false, false, error,
       R"({"path":{"text":"locked,\"x\".bmp"},"verdict":"error","name":null,"warnings":[],)"
       R"("length":null,"length_text":null,"error":"cannot open: Permission denied","image":null,)"
       R"("fs_offset":null,"fs":null,"volume":null,"inode":null,"deleted":false,"carved_at":null,"carved_length":null,"within":null,"hashes":null})"
       "\n"},
      {"jsonl warnings", report::Format::kJsonl, false, false, clean,
       R"({"path":{"text":"c.txt"},"verdict":"clean","name":null,"warnings":["Not a BMP file",)"
       R"("Colour depth should be 24 bits"],"length":null,"length_text":null,"error":null,)"
       R"("image":null,"fs_offset":null,"fs":null,"volume":null,"inode":null,"deleted":false,"carved_at":null,"carved_length":null,"within":null,"hashes":null})"
       "\n"},
      {"text: a deleted file in a disk image", report::Format::kText, false, false, inImage,
       "disk.E01 (ext4 at 1048576) /d/a.bmp (deleted): payload FOUND, embedded file name: n.txt, "
       "length of embedded data: 1.23457e+06\n"},
      {"text: a partition, escaped on a terminal", report::Format::kText, true, true, partition,
       "ev\\x1b.img (partition at 512): SKIPPED (no file system recognised: \\x07)\n"},
      {"csv: where the bytes came from", report::Format::kCsv, false, false, inImage,
       "/d/a.bmp,payload,n.txt,1234567,1.23457e+06,,,disk.E01,1048576,ext4,12,true,,,,\r\n"},
      {"jsonl: where the bytes came from", report::Format::kJsonl, false, false, inImage,
       R"({"path":{"text":"/d/a.bmp"},"verdict":"payload","name":{"text":"n.txt"},"warnings":[],)"
       R"("length":1234567,"length_text":"1.23457e+06","error":null,"image":{"text":"disk.E01"},)"
       R"("fs_offset":1048576,"fs":"ext4","volume":null,"inode":12,"deleted":true,"carved_at":null,"carved_length":null,"within":null,"hashes":null})"
       "\n"},
      {"text: a file in a volume of an APFS container", report::Format::kText, false, false,
       inVolume,
       "mac.img (apfs at 20480, volume 107) /a.bmp: payload FOUND, embedded file name: n.txt, "
       "length of embedded data: 1.23457e+06\n"},
      {"csv: the volume of an APFS container", report::Format::kCsv, false, false, inVolume,
       "/a.bmp,payload,n.txt,1234567,1.23457e+06,,,mac.img,20480,apfs,18,false,,,107,\r\n"},
      {"jsonl: the volume of an APFS container", report::Format::kJsonl, false, false, inVolume,
       R"({"path":{"text":"/a.bmp"},"verdict":"payload","name":{"text":"n.txt"},"warnings":[],)"
       R"("length":1234567,"length_text":"1.23457e+06","error":null,"image":{"text":"mac.img"},)"
       R"("fs_offset":20480,"fs":"apfs","volume":107,"inode":18,"deleted":false,"carved_at":null,)"
       R"("carved_length":null,"within":null,"hashes":null})"
       "\n"},
      {"jsonl: a part of an image has no path", report::Format::kJsonl, false, false, partition,
       R"({"path":null,"verdict":"skipped","name":null,"warnings":[],"length":null,)"
       R"("length_text":null,"error":"no file system recognised: \u0007",)"
       R"("image":{"text":"ev\u001b.img"},"fs_offset":512,"fs":null,"volume":null,"inode":null,)"
       R"("deleted":false,"carved_at":null,"carved_length":null,"within":null,"hashes":null})"
       "\n"},
      {"text: a member, its chain escaped", report::Format::kText, false, true, member,
       "mail.zip [zip #3 in/x.tar.gz] [tar.gz #0 a\\x1b\\xff.bmp]: payload FOUND, embedded file "
       "name: n.txt, length of embedded data: 1.23457e+06\n"},
      {"csv: the chain as its JSON, quoted", report::Format::kCsv, false, false, member,
       "mail.zip,payload,n.txt,1234567,1.23457e+06,,,,,,,false,,,,\"[{\"\"format\"\":\"\"zip\"\","
       "\"\"member\"\":{\"\"text\"\":\"\"in/x.tar.gz\"\"},\"\"index\"\":3,\"\"locator\"\":null},"
       "{\"\"format\"\":\"\"tar.gz\"\",\"\"member\"\":{\"\"bytes\"\":\"\"YRv/LmJtcA==\"\"},"
       "\"\"index\"\":0,\"\"locator\"\":null}]\"\r\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    report::RecordWriter(c.format, c.all, c.escape).append(c.record, out);
    EXPECT_EQ(out, c.line) << c.what;
  }
}

ParsedCommandLine parse(std::vector<std::string> words) {
  words.insert(words.begin(), "quillmark-scan");
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return scan::parseCommandLine(static_cast<int>(words.size()), argv.data());
}

TEST(ScanFormatTest, CommandLine) {
  using Action = ParsedCommandLine::Action;
  struct Case {
    std::vector<std::string> words;
    Action action;
    std::string error;
  };
  const Case cases[] = {
      {{"dir"}, Action::kScan, ""},
      {{"dir", "--format=csv", "-a"}, Action::kScan, "" /* options after paths */},
      {{"--files-from=-", "-0"}, Action::kScan, ""},
      {{}, Action::kUsageError, "no path given"},
      {{"--format=xml", "d"},
       Action::kUsageError,
       "unknown format 'xml' (use text, csv, jsonl, dfxml or html)"},
      {{"-j", "0", "d"}, Action::kUsageError, "invalid number of jobs '0' (1 to 1024)"},
      {{"-j", "x", "d"}, Action::kUsageError, "invalid number of jobs 'x' (1 to 1024)"},
      {{"d", "-j"}, Action::kUsageError, "option -j needs an argument"},
      {{"--frob", "d"}, Action::kUsageError, "unknown option --frob"},
      {{"-Z", "d"}, Action::kUsageError, "unknown option -Z"},
      {{"--hash=md5,sha999", "d"},
       Action::kUsageError,
       "unknown digest 'sha999' (use md5, sha1 or sha256)"},
      {{"--hash=", "d"}, Action::kUsageError, "unknown digest '' (use md5, sha1 or sha256)"},
      {{"--carve", "d"}, Action::kUsageError, "--carve needs an --image to carve"},
      {{"--image-timeout=0", "--image=i"},
       Action::kUsageError,
       "invalid image timeout '0' (1 to 86400 seconds)"},
      {{"--image=i", "--carve", "--hash=sha1,md5"}, Action::kScan, ""},
      {{"--help"}, Action::kHelp, ""},
      {{"-V"}, Action::kVersion, ""},
      {{"--", "-a"}, Action::kScan, "" /* a path named -a */},
  };
  for (const Case& c : cases) {
    const ParsedCommandLine parsed = parse(c.words);
    std::string words;
    for (const std::string& word : c.words) words += word + " ";
    EXPECT_EQ(parsed.action, c.action) << words;
    EXPECT_EQ(parsed.error, c.error) << words;
  }
  const ParsedCommandLine mixed = parse({"a", "-L", "b", "--bmp-only", "-x", "-q", "-j3"});
  EXPECT_EQ(mixed.options.paths, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(mixed.options.followAll && mixed.options.bmpOnly && mixed.options.oneFileSystem &&
              mixed.options.quiet);
  EXPECT_EQ(mixed.options.jobs, 3U);
  EXPECT_EQ(parse({"--", "-a"}).options.paths, std::vector<std::string>{"-a"});
  EXPECT_EQ(parse({"--hash=sha1,md5", "d"}).options.hashes, (report::DigestSet{true, true, false}));
  EXPECT_EQ(parse({"--hash-all", "d"}).options.hashes, (report::DigestSet{false, false, true}))
      << "--hash-all alone takes SHA-256";
  EXPECT_EQ(parse({"--hash-all", "--hash=md5", "d"}).options.hashes,
            (report::DigestSet{true, false, false}));
}

}  // namespace
}  // namespace quillmark

namespace quillmark {
namespace {

TEST(ScanFormatTest, XmlTextHoldsWhatXmlCanAndSaysWhenItCannot) {
  struct Case {
    const char* what;
    std::string bytes, text, attribute;
    bool exact;
  };
  const Case cases[] = {
      {"plain", "a.bmp", "a.bmp", "a.bmp", true},
      {"markup", "a&<b>\"", "a&amp;&lt;b&gt;\"", "a&amp;&lt;b&gt;&quot;", true},
      {"UTF-8 stays", "r\xc3\xa9sum\xc3\xa9", "r\xc3\xa9sum\xc3\xa9", "r\xc3\xa9sum\xc3\xa9", true},
      {"controls XML cannot hold", std::string("a\0b\x1b", 4), "a\\x00b\\x1b", "a\\x00b\\x1b",
       false},
      {"newline and tab, which a reader would fold", "a\nb\tc", "a\\x0ab\\x09c", "a\\x0ab\\x09c",
       false},
      {"bytes that are not UTF-8", "a\xff\xfe", "a\\xff\\xfe", "a\\xff\\xfe", false},
      {"a C1 control as UTF-8", "\xc2\x9b", "\\xc2\\x9b", "\\xc2\\x9b", false},
      {"U+FFFE, not a character of XML", "\xef\xbf\xbe", "\\xef\\xbf\\xbe", "\\xef\\xbf\\xbe",
       false},
      {"a backslash is doubled", "a\\b", "a\\\\b", "a\\\\b", false},
  };
  for (const Case& c : cases) {
    std::string text;
    std::string attribute;
    EXPECT_EQ(report::appendXmlText(text, c.bytes), c.exact) << c.what;
    report::appendXmlText(attribute, c.bytes, true);
    EXPECT_EQ(text, c.text) << c.what;
    EXPECT_EQ(attribute, c.attribute) << c.what;
  }
}

TEST(ScanFormatTest, TimesAsXmlDateTimes) {
  struct Case {
    std::int64_t seconds;
    std::uint32_t nanoseconds;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {0, 0, "1970-01-01T00:00:00Z"},
      {1765256400, 0, "2025-12-09T05:00:00Z"},
      {1765256400, 500000000, "2025-12-09T05:00:00.5Z"},
      {1765256400, 123456789, "2025-12-09T05:00:00.123456789Z"},
      {-1, 0, "1969-12-31T23:59:59Z"},
      {253402300799LL, 0, "9999-12-31T23:59:59Z"},
      {253402300800LL, 0, std::nullopt},  // year 10000: past what the format holds
      {-62135596801LL, 0, std::nullopt},  // before year 1
      {0, 1000000000, std::nullopt},      // not a nanosecond count
  };
  for (const Case& c : cases)
    EXPECT_EQ(report::isoTime(c.seconds, c.nanoseconds), c.text) << c.seconds;
}

}  // namespace
}  // namespace quillmark
