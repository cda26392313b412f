// Bad input through the exported calls: each row's code and exact log lines, with every input
// unchanged afterwards and nothing written but the row's own files in its output directory.
#include <sys/fsuid.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "support/support.h"

namespace quillmend {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

enum Leaves { kNothing = 0, kOutput = 1, kPcm = 2 };  // what a row leaves in its output directory

struct Row {
  const char* name;
  bool advanced;
  // Paths, null for a null argument; <in> and <out> stand for the input and output directories.
  const char *damaged, *sample, *output;
  int32_t code;
  std::vector<std::string> lines;  // after the entry line
  int leaves = kNothing;
  bool withoutTranscoder = false;  // runs in the test program that has no ffmpeg beside it
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

Row General(const char* name, const char* damaged, const char* output, int32_t code,
            std::vector<std::string> lines, int leaves = kNothing) {
  return {name, false, damaged, nullptr, output, code, std::move(lines), leaves};
}

Row Advance(const char* name, const char* damaged, const char* sample, const char* output,
            int32_t code, std::vector<std::string> lines, int leaves = kNothing,
            bool withoutTranscoder = false) {
  return {name, true, damaged, sample, output, code, std::move(lines), leaves, withoutTranscoder};
}

const char *kCut = "<in>/cut.m4a", *kSample = "<in>/sample.m4a", *kOut = "<out>/fixed.m4a";
const std::vector<std::string> kMapFailed = {">>[!] The file Mapping filed", "map failed! -4042"};
const std::vector<std::string> kMapCorrupt = {"map corrupt failed!"};

const std::vector<Row> kRows = {
    General("GeneralNullOutput", kCut, nullptr, ORVM4A_ERR_ARGUMENT, {}),
    General("GeneralNullDamaged", nullptr, kOut, ORVM4A_ERR_ARGUMENT, {}),
    Advance("AdvanceNullSample", kCut, nullptr, kOut, ORVM4A_ERR_ARGUMENT, {}),
    General("GeneralEmptyPath", "", kOut, ORVM4A_ERR_MAP, kMapFailed),
    Advance("AdvanceEmptyDamagedPath", "", kSample, kOut, ORVM4A_ERR_ALLOC, kMapCorrupt),
    General("GeneralZeroBytes", "<in>/empty.m4a", kOut, ORVM4A_ERR_MAP, kMapFailed),
    Advance("AdvanceZeroBytesDamaged", "<in>/empty.m4a", kSample, kOut, ORVM4A_ERR_ALLOC,
            kMapCorrupt),
    Advance("AdvanceZeroBytesSample", kCut, "<in>/empty.m4a", kOut, ORVM4A_ERR_MAP, kMapFailed),
    General("GeneralDirectory", "<in>", kOut, ORVM4A_ERR_MAP, kMapFailed),
    Advance("AdvanceDirectoryDamaged", "<in>", kSample, kOut, ORVM4A_ERR_ALLOC, kMapCorrupt),
    Advance("AdvanceDirectorySample", kCut, "<in>", kOut, ORVM4A_ERR_MAP, kMapFailed),
    General("GeneralRemoved", "<in>/removed.m4a", kOut, ORVM4A_ERR_MAP, kMapFailed),
    Advance("AdvanceRemovedDamaged", "<in>/removed.m4a", kSample, kOut, ORVM4A_ERR_ALLOC,
            kMapCorrupt),
    Advance("AdvanceRemovedSample", kCut, "<in>/removed.m4a", kOut, ORVM4A_ERR_MAP, kMapFailed),
    General("GeneralUnreadable", "<in>/unreadable.m4a", kOut, ORVM4A_ERR_MAP, kMapFailed),
    Advance("AdvanceUnreadableDamaged", "<in>/unreadable.m4a", kSample, kOut, ORVM4A_ERR_ALLOC,
            kMapCorrupt),
    Advance("AdvanceUnreadableSample", kCut, "<in>/unreadable.m4a", kOut, ORVM4A_ERR_MAP,
            kMapFailed),
    General("GeneralDamagedNotUtf8", "<in>/x\xC3", kOut, ORVM4A_ERR_PATH_ENCODING,
            {">>[!] A path is not valid UTF-8", "map failed! -4049"}),
    Advance("AdvanceDamagedNotUtf8", "\x80", kSample, kOut, ORVM4A_ERR_PATH_ENCODING,
            {">>[!] A path is not valid UTF-8", "map corrupt failed!"}),
    Advance("AdvanceSampleNotUtf8", kCut, "<in>/x\xF5", kOut, ORVM4A_ERR_PATH_ENCODING,
            {">>[!] A path is not valid UTF-8", "map failed! -4049"}),
    General("GeneralTooLarge", "<in>/4gib.m4a", kOut, ORVM4A_ERR_TOO_LARGE,
            {">>[!] The file is too large: 4 GiB or more", "map failed! -4051"}),
    Advance("AdvanceDamagedTooLarge", "<in>/2gib.m4a", kSample, kOut, ORVM4A_ERR_TOO_LARGE,
            {">>[!] The damaged file is too large: 2 GiB or more", "map corrupt failed!"}),
    Advance("AdvanceSampleTooLarge", kCut, "<in>/4gib.m4a", kOut, ORVM4A_ERR_TOO_LARGE,
            {">>[!] The file is too large: 4 GiB or more", "map failed! -4051"}),
    General("GeneralIsom", "<in>/isom.mp4", kOut, ORVM4A_ERR_NOT_M4A,
            {">>[!] This file is not an M4A file", "verify failed! -4043"}),
    Advance("AdvanceIsomSample", kCut, "<in>/isom.mp4", kOut, ORVM4A_ERR_NOT_M4A,
            {">>[!] This file is not an M4A file", "prepare failed! -4043"}),
    General("GeneralNoMdat", "<in>/nomdat.m4a", kOut, ORVM4A_ERR_NO_MDAT,
            {">>[!] Can't find the mdat box", "verify failed! -4044"}),
    Advance("AdvanceSampleWithoutTables", kCut, "<in>/nomdat.m4a", kOut, ORVM4A_ERR_NO_SAMPLE_TABLE,
            {">>[!] Can't find \"stco\" box", "prepare failed! -4045"}),
    // "mdat" in the last bytes ends the media data before it; the region after it is empty.
    General("GeneralMdatInTheLastByte", "<in>/mdat-1.m4a", kOut, ORVM4A_OK, {}, kOutput),
    General("GeneralMdatInTheLast2Bytes", "<in>/mdat-2.m4a", kOut, ORVM4A_OK, {}, kOutput),
    General("GeneralMdatInTheLast3Bytes", "<in>/mdat-3.m4a", kOut, ORVM4A_OK, {}, kOutput),
    General("GeneralFrameLongerThan8184Bytes", "<in>/long-frame.m4a", kOut, ORVM4A_OK,
            {">>[!] Skip a frame of <long> bytes at offset <at>: too long for an ADTS frame"},
            kOutput),
    // Tables of the sample that do not describe it: an accidental box after the real one, or
    // one that replaces it (the last occurrence wins). The walk keeps the heads found before
    // the first sample it cannot read, and the repair goes on with them.
    Advance("AdvanceStcoCountFFFFFFFF", kCut, "<in>/stco-count.m4a", kOut, ORVM4A_OK, {}, kOutput),
    Advance("AdvanceChunkOffsetPastTheEnd", kCut, "<in>/stco-past.m4a", kOut, ORVM4A_OK, {},
            kOutput),
    Advance("AdvanceSampleSizePastTheEnd", kCut, "<in>/stsz-past.m4a", kOut, ORVM4A_OK, {},
            kOutput),
    Advance("AdvanceSampleShorterThan2Bytes", kCut, "<in>/stsz-short.m4a", kOut, ORVM4A_OK, {},
            kOutput),
    Advance("AdvanceStscMoreChunksThanStco", kCut, "<in>/stsc-more.m4a", kOut, ORVM4A_OK, {},
            kOutput),
    Advance("AdvanceSampleFfmpegCannotOpen", kCut, "<in>/tables-only.m4a", kOut, ORVM4A_ERR_MEDIA,
            {">>[!] The file cant't open :Invalid data found when processing input",
             "fix failed! -4046"}),
    Advance("AdvanceSampleWithOnlyVideo", kCut, "<in>/video.m4a", kOut, ORVM4A_ERR_MEDIA,
            {">>[!] Could not find audio stream in the input file", "fix failed! -4046"}),
    General(
        "GeneralOutputDirectoryMissing", kCut, "<out>/missing/fixed.m4a", ORVM4A_ERR_INTERMEDIATE,
        {">>[!] Can't create the intermediate file <out>/missing/tmp.adts", "fix failed! -4050"}),
    Advance(
        "AdvanceOutputDirectoryMissing", kCut, kSample, "<out>/missing/fixed.m4a",
        ORVM4A_ERR_INTERMEDIATE,
        {">>[!] Can't create the intermediate file: <out>/missing/tmp.pcm", "fix failed! -4050"}),
    General("GeneralOutputDirectoryReadOnly", kCut, "<out>/ro/fixed.m4a", ORVM4A_ERR_INTERMEDIATE,
            {">>[!] Can't create the intermediate file <out>/ro/tmp.adts", "fix failed! -4050"}),
    Advance("AdvanceOutputDirectoryReadOnly", kCut, kSample, "<out>/ro/fixed.m4a",
            ORVM4A_ERR_INTERMEDIATE,
            {">>[!] Can't create the intermediate file: <out>/ro/tmp.pcm", "fix failed! -4050"}),
    General("GeneralOutputIsADirectory", kCut, "<out>/taken.m4a", ORVM4A_ERR_MEDIA,
            {"[ffmpeg_remux](176): ffmpeg err: Is a directory", "adts -> m4a ffmpeg error: -21",
             "fix failed! -4046"}),
    Advance("AdvanceOutputIsADirectory", kCut, kSample, "<out>/taken.m4a", ORVM4A_OK,
            {"ffmpeg exited with code 1"}),
    // A stale "tmp.adts" that cannot be removed: a directory with something in it.
    General("GeneralStaleIntermediateUnremovable", kCut, "<out>/blocked/fixed.m4a",
            ORVM4A_ERR_INTERMEDIATE,
            {">>[!] filesystem error: cannot remove: Directory not empty [<out>/blocked/tmp.adts]",
             "fix failed! -4050"}),
    General("GeneralOutputUnknownContainer", kCut, "<out>/fixed.unknownext", ORVM4A_ERR_MEDIA,
            {"[ffmpeg_remux](114): ffmpeg err: Invalid argument", "adts -> m4a ffmpeg error: -22",
             "fix failed! -4046"}),
    // The tool's own failure does not change the result: it was started and has ended.
    Advance("AdvanceTranscoderFails", kCut, kSample, "<out>/fixed.unknownext", ORVM4A_OK,
            {"ffmpeg exited with code 1"}),
    General("GeneralOutputNotUtf8", kCut, "<out>/out\xFF.m4a", ORVM4A_ERR_PATH_ENCODING,
            {">>[!] A path is not valid UTF-8", "fix failed! -4049"}),
    Advance("AdvanceOutputNotUtf8", kCut, kSample, "<out>/\xC3.m4a", ORVM4A_ERR_PATH_ENCODING,
            {">>[!] A path is not valid UTF-8", "fix failed! -4049"}),
    // Only the transcoder's command line cannot carry a double quote.
    General("GeneralOutputWithAQuote", "<in>/say \"hi\".m4a", "<out>/say \"hi\".m4a", ORVM4A_OK, {},
            kOutput),
    Advance(
        "AdvanceOutputWithAQuote", kCut, kSample, "<out>/say \"hi\".m4a",
        ORVM4A_ERR_TRANSCODER_ARGS,
        {">>[!] The path cannot be passed to ffmpeg: <out>/say \"hi\".m4a", "fix failed! -4052"}),
    Advance("AdvanceOutputEndingInABackslash", kCut, kSample, "<out>/fixed\\",
            ORVM4A_ERR_TRANSCODER_ARGS,
            {">>[!] The path cannot be passed to ffmpeg: <out>/fixed\\", "fix failed! -4052"}),
    Advance(
        "AdvanceOutputTooLongForTheTool", kCut, kSample, "<out>/<240 o>/<200 o>",
        ORVM4A_ERR_TRANSCODER_ARGS,
        {">>[!] The ffmpeg parameters are too long: <units> UTF-16 units", "fix failed! -4052"}),
    // The decoded audio stays in "tmp.pcm" for another try.
    Advance("AdvanceWithoutTheTranscoder", kCut, kSample, kOut, ORVM4A_ERR_TRANSCODER,
            {"fix failed! -4048"}, kPcm, true),
};

// Root reads and writes whatever it likes; the calls run with the file-system rights of an
// ordinary user, so that unreadable files and read-only directories refuse them too.
struct AsOrdinaryUser {
  AsOrdinaryUser() {
    if (::geteuid() == 0) ::setfsuid(65534);
  }
  ~AsOrdinaryUser() {
    if (::geteuid() == 0) ::setfsuid(0);
  }
};

class BadInputTest : public test::LogTest, public testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    fs::create_directories(out_ / "blocked" / "tmp.adts" / "keep");
    fs::create_directory(out_ / "ro");
    fs::create_directory(out_ / "taken.m4a");
    fs::create_directory(in_);
    for (const fs::path& dir : {root_.path(), in_}) fs::permissions(dir, fs::perms(0755));
    for (const fs::path& dir : {out_, out_ / "blocked"}) fs::permissions(dir, fs::perms::all);
    fs::permissions(out_ / "ro", fs::perms(0555));

    const test::ByteVector cut = test::ReadFile(test::Media("recorder-cut.m4a"));
    const test::ByteVector sample = test::ReadFile(test::Media("recorder-sample.m4a"));
    const Bytes m4a = Bytes::Box("ftyp", Bytes{}.Text("M4A ").U32(0).Text("M4A mp42isom"));
    const auto write = [&](const char* name, const Bytes& bytes) { WriteFile(in_ / name, bytes); };
    write("cut.m4a", Bytes{}.Raw(cut));
    write("say \"hi\".m4a", Bytes{}.Raw(cut));
    write("sample.m4a", Bytes{}.Raw(sample));
    write("empty.m4a", Bytes{});
    write("isom.mp4", Bytes{}.U32(0x20).Text("ftypisom").Fill(20, 0).U32(8).Text("mdat"));
    write("nomdat.m4a", Bytes(m4a).Fill(64, 0x21));
    write("removed.m4a", Bytes{}.Raw(cut));
    fs::remove(in_ / "removed.m4a");
    write("unreadable.m4a", Bytes{}.Raw(cut));
    fs::permissions(in_ / "unreadable.m4a", fs::perms::none);
    for (auto [name, size] : {std::pair{"4gib.m4a", 32}, std::pair{"2gib.m4a", 31}}) {
      write(name, Bytes{}.Raw(cut));
      fs::resize_file(in_ / name, std::uintmax_t{1} << size);  // sparse
    }
    for (int tail : {1, 2, 3}) {
      write(("mdat-" + std::to_string(tail) + ".m4a").c_str(),
            Bytes{}.Raw(cut).Text("mdat").Fill(tail, 0x21));
    }
    // Zeros after a frame that has a recorder head at its start and nowhere else: that frame's
    // span outgrows an ADTS frame.
    const auto frames = test::ReadMedia(test::Media("recorder.m4a")).packets;
    for (std::size_t i = frames.size() / 2; i + 1 < frames.size(); ++i) {
      const auto& bytes = frames[i].data;
      const auto isHead = [](const test::ByteVector& b, std::size_t k) {
        const int v = b[k] << 8 | b[k + 1];
        return v == 0x210C || v == 0x212C || v == 0x214E || v == 0x216C;
      };
      bool clean = isHead(bytes, 0) && isHead(frames[i + 1].data, 0);
      for (std::size_t k = 1; k + 1 < bytes.size(); ++k) clean = clean && !isHead(bytes, k);
      if (!clean) continue;
      auto at = cut.begin() + frames[i + 1].position;
      write("long-frame.m4a", Bytes{}.Raw({cut.begin(), at}).Fill(9000, 0).Raw({at, cut.end()}));
      tokens_["<at>"] = std::to_string(frames[i].position);
      tokens_["<long>"] = std::to_string(bytes.size() + 9000);
      break;
    }
    // The sample's own tables, with an accidental or replacing one appended in a free box.
    const auto packets = test::ReadMedia(test::Media("recorder-sample.m4a")).packets;
    const auto n = static_cast<std::uint32_t>(packets.size());
    std::vector<std::uint32_t> sizes;
    for (const auto& packet : packets) sizes.push_back(std::uint32_t(packet.data.size()));
    const auto withTable = [&](const char* name, const Bytes& table) {
      write(name, Bytes{}.Raw(sample).Append(Bytes::Box("free", table)));
    };
    withTable("stco-count.m4a", Bytes::Table("stco", {}, 0xFFFFFFFF, {0x11, 0x22}));
    withTable("stco-past.m4a",
              Bytes::Table("stco", {}, 2, {std::uint32_t(packets[0].position), 0xFFFFFF00}));
    withTable("stsc-more.m4a", Bytes::Table("stsc", {}, 2, {1, n, 1, 3, 1, 1}));
    for (auto [name, size] :
         {std::pair{"stsz-past.m4a", 0xFFFFFFF0u}, std::pair{"stsz-short.m4a", 1u}}) {
      std::vector<std::uint32_t> broken = sizes;
      broken[n / 2] = size;
      withTable(name, Bytes::Table("stsz", {0}, n, broken));
    }
    write("tables-only.m4a",
          Bytes(m4a).Append(Bytes::Box("mdat", Bytes::Table("stco", {}, 0, {})
                                                   .Append(Bytes::Table("stsc", {}, 0, {}))
                                                   .Append(Bytes::Table("stsz", {0}, 0, {})))));
    fs::copy_file(test::Media("video.m4a"), in_ / "video.m4a");
    if (GetParam().leaves & kPcm) WriteFile(out_ / "tmp.pcm", Bytes{}.Text("stale").Fill(995, 0));
  }

  // The row's text with its placeholders filled in; null stays null.
  std::optional<std::string> Fill(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::string filled = text;
    for (const auto& [token, value] : tokens_) {
      for (std::size_t at; (at = filled.find(token)) != std::string::npos;) {
        filled.replace(at, token.size(), value);
      }
    }
    return filled;
  }

  test::TempDir root_;
  const fs::path in_ = root_.path() / "in", out_ = root_.path() / "out";
  std::map<std::string, std::string> tokens_ = {{"<in>", in_.string()},
                                                {"<out>", out_.string()},
                                                {"<240 o>", std::string(240, 'o')},
                                                {"<200 o>", std::string(200, 'o')}};
};

const char* CString(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

TEST_P(BadInputTest, ReturnsItsCodeAndLinesAndWritesOnlyItsOwnFiles) {
  const Row& row = GetParam();
  const auto damaged = Fill(row.damaged), sample = Fill(row.sample), output = Fill(row.output);
  const fs::path outputDir = output ? fs::path(*output).parent_path() : out_;
  // Everything but the paths takes 55 units at a five-digit rate.
  if (output)
    tokens_["<units>"] = std::to_string(55 + outputDir.string().size() + 8 + output->size());
  auto before = test::Snapshot(root_.path());
  int32_t code;
  {
    AsOrdinaryUser user;
    code = row.advanced ? OrvM4aAdvanceRepair(CString(damaged), CString(sample), CString(output))
                        : OrvM4aGeneralRepair(CString(damaged), CString(output));
  }
  EXPECT_EQ(code, row.code);
  std::vector<std::string> lines = {"corrupt: " + damaged.value_or("(null)")};
  if (row.advanced) lines[0] += ", sample: " + sample.value_or("(null)");
  for (const std::string& line : row.lines) lines.push_back(*Fill(line.c_str()));
  EXPECT_EQ(Messages(), lines);

  auto after = test::Snapshot(root_.path());
  for (auto [leaf, path] : {std::pair{kOutput, output.value_or("")},
                            std::pair{kPcm, (outputDir / "tmp.pcm").string()}}) {
    if (row.leaves & leaf) {
      const std::string key = fs::relative(path, root_.path()).string();
      EXPECT_EQ(after.erase(key), 1u) << key;
      before.erase(key);
    }
  }
  EXPECT_EQ(after, before) << "an input changed, or a file was left behind";
  if (row.leaves & kOutput) {
    // The damaged recording's 8 s, re-encoded without a flaw by the advanced repair.
    const auto media = test::ReadMedia(*output);
    EXPECT_EQ(media.streams, std::vector<std::string>{"audio:aac"});
    EXPECT_NEAR(media.seconds, 8.0, 0.1);
    EXPECT_TRUE(!row.advanced || test::CountDecodeErrors(*output) == 0);
  }
  if (row.leaves & kPcm) {  // replaced, not appended to: the recording's 8 s as 16-bit stereo
    const auto pcm = test::ReadFile(outputDir / "tmp.pcm");
    EXPECT_NE(std::string(pcm.begin(), pcm.begin() + 5), "stale");
    EXPECT_NEAR(static_cast<double>(pcm.size()) / (44100 * 4), 8.0, 0.2);
  }
}

#ifdef QUILLMEND_NO_TRANSCODER
constexpr bool kWithoutTranscoder = true;
#else
constexpr bool kWithoutTranscoder = false;
#endif

std::vector<Row> RowsOfThisHost() {
  std::vector<Row> rows;
  std::copy_if(kRows.begin(), kRows.end(), std::back_inserter(rows),
               [](const Row& row) { return row.withoutTranscoder == kWithoutTranscoder; });
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, BadInputTest, testing::ValuesIn(RowsOfThisHost()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmend
