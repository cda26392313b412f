// Bad input through the exported calls, on real files: each row's code and exact log lines,
// with every input unchanged afterwards and nothing written but the row's own files in its
// output directory. Faults of the file system itself are made through the Env
// (fault_injection_test).
#include <algorithm>

#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Lines;

enum Leaves { kNothing = 0, kOutput = 1, kPcm = 2 };  // what a row leaves in its output directory

struct Row {
  // Paths with <in> and <out> for the input and output directories; "(null)" for a null one.
  std::string name, damaged, sample, output;
  int32_t code;
  Lines lines;  // after the entry line
  int leaves = kNothing;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const std::string kCut = "<in>/cut.m4a", kSample = "<in>/sample.m4a", kOut = "<out>/fixed.m4a";
const Lines kMapFailed = {">>[!] The file Mapping filed", "map failed! -4042"};
const Lines kNotUtf8 = {">>[!] A path is not valid UTF-8", "map failed! -4049"};

Row G(const std::string& name, const std::string& damaged, const std::string& output, int32_t code,
      Lines lines, int leaves = kNothing) {
  return {"General" + name, damaged, "", output, code, std::move(lines), leaves};
}
Row A(const std::string& name, const std::string& damaged, const std::string& sample,
      const std::string& output, int32_t code, Lines lines, int leaves = kNothing) {
  return {"Advance" + name, damaged, sample, output, code, std::move(lines), leaves};
}

std::vector<Row> Rows() {
  std::vector<Row> rows = {
      G("NullOutput", kCut, "(null)", ORVM4A_ERR_ARGUMENT, {}),
      G("NullDamaged", "(null)", kOut, ORVM4A_ERR_ARGUMENT, {}),
      A("NullSample", kCut, "(null)", kOut, ORVM4A_ERR_ARGUMENT, {}),
      G("DamagedNotUtf8", "<in>/x\xC3", kOut, ORVM4A_ERR_PATH_ENCODING, kNotUtf8),
      A("DamagedNotUtf8", "\x80", kSample, kOut, ORVM4A_ERR_PATH_ENCODING,
        {">>[!] A path is not valid UTF-8", "map corrupt failed!"}),
      G("Isom", "<in>/isom.mp4", kOut, ORVM4A_ERR_NOT_M4A,
        {">>[!] This file is not an M4A file", "verify failed! -4043"}),
      A("IsomSample", kCut, "<in>/isom.mp4", kOut, ORVM4A_ERR_NOT_M4A,
        {">>[!] This file is not an M4A file", "prepare failed! -4043"}),
      G("NoMdat", "<in>/nomdat.m4a", kOut, ORVM4A_ERR_NO_MDAT,
        {">>[!] Can't find the mdat box", "verify failed! -4044"}),
      A("SampleWithoutTables", kCut, "<in>/nomdat.m4a", kOut, ORVM4A_ERR_NO_SAMPLE_TABLE,
        {">>[!] Can't find \"stco\" box", "prepare failed! -4045"}),
      G("FrameLongerThan8184Bytes", "<in>/long-frame.m4a", kOut, ORVM4A_OK,
        {">>[!] Skip a frame of 9002 bytes at offset <cut>: too long for an ADTS frame"}, kOutput),
      A("SampleFfmpegCannotOpen", kCut, "<in>/tables-only.m4a", kOut, ORVM4A_ERR_MEDIA,
        {">>[!] The file cant't open :Invalid data found when processing input",
         "fix failed! -4046"}),
      A("SampleWithOnlyVideo", kCut, "<in>/video.m4a", kOut, ORVM4A_ERR_MEDIA,
        {">>[!] Could not find audio stream in the input file", "fix failed! -4046"}),
      G("OutputDirectoryMissing", kCut, "<out>/missing/fixed.m4a", ORVM4A_ERR_INTERMEDIATE,
        {">>[!] Can't lock the output directory: <out>/missing (<not found>)",
         "fix failed! -4050"}),
      A("OutputDirectoryMissing", kCut, kSample, "<out>/missing/fixed.m4a", ORVM4A_ERR_INTERMEDIATE,
        {">>[!] Can't lock the output directory: <out>/missing (<not found>)",
         "fix failed! -4050"}),
      G("OutputUnknownContainer", kCut, "<out>/fixed.unknownext", ORVM4A_ERR_MEDIA,
        {"[ffmpeg_remux](114): ffmpeg err: Invalid argument", "adts -> m4a ffmpeg error: -22",
         "fix failed! -4046"}),
      // The tool ran and failed: its decoded audio stays for another try.
      A("OutputUnknownContainer", kCut, kSample, "<out>/fixed.unknownext",
        ORVM4A_ERR_TRANSCODER_FAILED, {"ffmpeg exited with code 1", "fix failed! -4056"}, kPcm),
      G("OutputNotUtf8", kCut, "<out>/out\xFF.m4a", ORVM4A_ERR_PATH_ENCODING,
        {">>[!] A path is not valid UTF-8", "fix failed! -4049"}),
      A("OutputNotUtf8", kCut, kSample, "<out>/\xC3.m4a", ORVM4A_ERR_PATH_ENCODING,
        {">>[!] A path is not valid UTF-8", "fix failed! -4049"}),
      // Only the transcoder's command line cannot carry a double quote.
      G("PathsWithAQuote", "<in>/say \"hi\".m4a", "<out>/say \"hi\".m4a", ORVM4A_OK, {}, kOutput),
      A("OutputWithAQuote", kCut, kSample, "<out>/say \"hi\".m4a", ORVM4A_ERR_TRANSCODER_ARGS,
        {">>[!] The path cannot be passed to ffmpeg: <out>/say \"hi\".m4a", "fix failed! -4052"}),
  };
  // Inputs that cannot be mapped: the general repair's damaged file, and the advanced repair's
  // damaged file (mapped apart from the context) and sample.
  const std::vector<std::string> unmappable = {"EmptyPath", "ZeroBytes", "Directory", "Removed"};
  for (const std::string& name : unmappable) {
    const std::string path = name == "EmptyPath" ? "" : "<in>/" + name;
    rows.push_back(G(name, path, kOut, ORVM4A_ERR_MAP, kMapFailed));
    rows.push_back(
        A("Damaged" + name, path, kSample, kOut, ORVM4A_ERR_ALLOC, {"map corrupt failed!"}));
    rows.push_back(A("Sample" + name, kCut, path, kOut, ORVM4A_ERR_MAP, kMapFailed));
  }
  // Output paths that would write over an input, directly, through a hard link or through the
  // intermediate file, and an output named like the intermediate file: nothing is touched.
  const auto clash = [](const std::string& path) {
    return Lines{">>[!] The repair would write over its input file: " + path, "fix failed! -4054"};
  };
  const std::string kClash = "<in>/clash/";
  rows.push_back(G("DamagedAtTheIntermediatePath", kClash + "tmp.adts", kClash + "fixed.m4a",
                   ORVM4A_ERR_OUTPUT_CLASH, clash(kClash + "tmp.adts")));
  rows.push_back(G("OutputIsTheDamagedFile", kClash + "in.m4a", kClash + "in.m4a",
                   ORVM4A_ERR_OUTPUT_CLASH, clash(kClash + "in.m4a")));
  rows.push_back(G("OutputIsALinkToTheDamagedFile", kClash + "in.m4a", kClash + "link.m4a",
                   ORVM4A_ERR_OUTPUT_CLASH, clash(kClash + "link.m4a")));
  rows.push_back(A("SampleAtTheIntermediatePath", kCut, kClash + "tmp.pcm", kClash + "fixed.m4a",
                   ORVM4A_ERR_OUTPUT_CLASH, clash(kClash + "tmp.pcm")));
  rows.push_back(
      A("OutputIsTheSample", kCut, kSample, kSample, ORVM4A_ERR_OUTPUT_CLASH, clash(kSample)));
  rows.push_back(G("OutputNamedLikeTheIntermediateFile", kCut, kClash + "tmp.adts",
                   ORVM4A_ERR_OUTPUT_CLASH,
                   {">>[!] The output is named like the intermediate file: " + kClash + "tmp.adts",
                    "fix failed! -4054"}));
#ifdef _WIN32
  std::erase_if(rows, [](const Row& row) { return row.name == "GeneralPathsWithAQuote"; });
#endif
  return rows;
}

class BadInputTest : public test::LogTest, public testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    fs::create_directories(in_ / "Directory");
    fs::create_directories(out_);
    const Bytes cut = Bytes{}.Raw(test::ReadFile(test::Media("recorder-cut.m4a")));
    const Bytes sample = Bytes{}.Raw(test::ReadFile(test::Media("recorder-sample.m4a")));
    const Bytes m4a = Bytes::Box("ftyp", Bytes{}.Text("M4A ").U32(0).Text("M4A mp42isom"));
    const auto put = [&](const std::string& name, const Bytes& bytes) {
      test::WriteFile(in_ / name, bytes);
    };
    for (const char* name : {"cut.m4a", "Removed"}) put(name, cut);
#ifndef _WIN32
    put("say \"hi\".m4a", cut);
#endif
    fs::create_directories(in_ / "clash");
    for (const char* name : {"clash/tmp.adts", "clash/in.m4a"}) put(name, cut);
    fs::create_hard_link(in_ / "clash" / "in.m4a", in_ / "clash" / "link.m4a");
    fs::remove(in_ / "Removed");
    // After the last frame, a head followed by more bytes than an ADTS frame can hold.
    put("long-frame.m4a", Bytes(cut).U16(0x210C).Fill(9000, 0).U16(0x210C).U16(0));
    tokens_["<cut>"] = std::to_string(cut.size());
#ifdef _WIN32
    tokens_["<not found>"] = std::system_category().message(2);  // ERROR_FILE_NOT_FOUND
#else
    tokens_["<not found>"] = std::generic_category().message(ENOENT);
#endif
    put("ZeroBytes", Bytes{});
    put("isom.mp4", Bytes{}.U32(0x20).Text("ftypisom").Fill(20, 0).U32(8).Text("mdat"));
    put("nomdat.m4a", Bytes(m4a).Fill(64, 0x21));
    // Sample tables without entries in a file that FFmpeg cannot read.
    const Bytes empty = Bytes::Box("stco", Bytes{}.Fill(8, 0))
                            .Raw(Bytes::Box("stsc", Bytes{}.Fill(8, 0)).data)
                            .Raw(Bytes::Box("stsz", Bytes{}.Fill(12, 0)).data);
    put("tables-only.m4a", Bytes(m4a).Raw(Bytes::Box("mdat", empty).data));
    put("video.m4a", Bytes{}.Raw(test::ReadFile(test::Media("video.m4a"))));
    put("sample.m4a", sample);
    put("clash/tmp.pcm", sample);
    if (GetParam().leaves & kPcm) {
      test::WriteFile(out_ / "tmp.pcm", Bytes{}.Text("stale").Fill(995, 0));
    }
  }

  // The row's text with its placeholders filled in, and on Windows with its separators.
  std::string Fill(std::string text) {
#ifdef _WIN32
    std::replace(text.begin(), text.end(), '/', '\\');
#endif
    for (const auto& [token, value] : tokens_) {
      for (std::size_t at; (at = text.find(token)) != std::string::npos;) {
        text.replace(at, token.size(), value);
      }
    }
    return text;
  }

  test::TempDir root_;
  const fs::path in_ = root_.path() / "in", out_ = root_.path() / "out";
  std::map<std::string, std::string> tokens_ = {{"<in>", test::U8(in_)}, {"<out>", test::U8(out_)}};
};

TEST_P(BadInputTest, ReturnsItsCodeAndLinesAndWritesOnlyItsOwnFiles) {
  const Row& row = GetParam();
  const bool advanced = row.name.starts_with("Advance");
  const std::string damaged = Fill(row.damaged), sample = Fill(row.sample),
                    output = Fill(row.output);
  const auto arg = [](const std::string& path) {
    return path == "(null)" ? nullptr : path.c_str();
  };
  const fs::path outputDir = fs::path(output).parent_path();
  auto before = test::Snapshot(root_.path());
  const int32_t code = advanced ? OrvM4aAdvanceRepair(arg(damaged), arg(sample), arg(output))
                                : OrvM4aGeneralRepair(arg(damaged), arg(output));
  EXPECT_EQ(code, row.code);
  Lines lines = {"corrupt: " + damaged + (advanced ? ", sample: " + sample : "")};
  for (const std::string& line : row.lines) lines.push_back(Fill(line));
  EXPECT_EQ(Messages(), lines);

  auto after = test::Snapshot(root_.path());
  for (auto [leaf, path] :
       {std::pair{kOutput, fs::path(output)}, std::pair{kPcm, outputDir / "tmp.pcm"}}) {
    if (row.leaves & leaf) {
      const std::string key = fs::relative(path, root_.path()).generic_string();
      EXPECT_EQ(after.erase(key), 1u) << key;
      before.erase(key);
    }
  }
  EXPECT_EQ(after, before) << "an input changed, or a file was left behind";
  if (row.leaves & kOutput) {  // the damaged recording's 8 s; the advanced repair's re-encoded
    const auto media = test::ReadMedia(output);
    EXPECT_EQ(media.streams, Lines{"audio:aac"});
    EXPECT_NEAR(media.seconds, 8.0, 0.1);
    EXPECT_TRUE(!advanced || test::CountDecodeErrors(output) == 0);
  }
  if (row.leaves & kPcm) {  // replaced, not appended to: the recording as 16-bit stereo
    const auto pcm = test::ReadFile(outputDir / "tmp.pcm");
    EXPECT_NE(std::string(pcm.begin(), pcm.begin() + 5), "stale");
    EXPECT_NEAR(double(pcm.size()) / (44100 * 4), 8.0, 0.1);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, BadInputTest, testing::ValuesIn(Rows()),
                         [](const auto& info) { return info.param.name; });

// A file name cannot forge a log line: the control characters in a path are written out.
class LogLineTest : public test::LogTest {};

TEST_F(LogLineTest, ControlCharactersInPathsAreWrittenOut) {
  EXPECT_EQ(OrvM4aGeneralRepair("/no/a\n2026 [error] x\r\t\x7F\xC2\x85\xE2\x80\xA8.m4a", "/o.m4a"),
            ORVM4A_ERR_MAP);
  EXPECT_EQ(Messages(), (Lines{"corrupt: /no/a<0A>2026 [error] x<0D><09><7F><U+0085><U+2028>.m4a",
                               ">>[!] The file Mapping filed", "map failed! -4042"}));
}

}  // namespace
}  // namespace quillmend
