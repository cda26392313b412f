// The exported calls, through the public header only, against the shared library.
#include <gtest/gtest.h>

#include <functional>

#include "quillmend_sdk.h"
#include "support/test_support.h"

namespace quillmend {
namespace {

using test::Bytes;
using test::TempDir;

int gOwner;

class ApiTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(OrvM4aInit(logDir_.path().c_str(), &gOwner), ORVM4A_OK); }
  // Messages logged since the banner.
  std::vector<std::string> Messages() const {
    auto messages = test::LogMessages(logDir_.File("quillmend_sdk.log"));
    if (!messages.empty()) messages.erase(messages.begin());
    return messages;
  }
  TempDir logDir_;
  TempDir work_;
};

TEST_F(ApiTest, InitWritesTheBannerIntoTheLogDirectory) {
  const auto lines = test::ReadLog(logDir_.File("quillmend_sdk.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, "info");
  EXPECT_EQ(lines[0].message, "Quillmend Sdk: 1, 0, 0, 25-d-4f7fc416");

  // The separator is added even after a trailing one; the doubled separator names the same file.
  ASSERT_EQ(OrvM4aInit((work_.path().string() + "/").c_str(), &gOwner), ORVM4A_OK);
  EXPECT_EQ(test::LogMessages(work_.File("quillmend_sdk.log")),
            std::vector<std::string>{"Quillmend Sdk: 1, 0, 0, 25-d-4f7fc416"});
}

TEST_F(ApiTest, InitRefusesNullArgumentsWithoutLogging) {
  TempDir other;
  EXPECT_EQ(OrvM4aInit(nullptr, &gOwner), ORVM4A_ERR_ARGUMENT);
  EXPECT_EQ(OrvM4aInit(other.path().c_str(), nullptr), ORVM4A_ERR_ARGUMENT);
  EXPECT_FALSE(std::filesystem::exists(other.File("quillmend_sdk.log")));
  OrvM4aDestroy();
  EXPECT_TRUE(Messages().empty());
}

// One row: a repair call over files made in a scratch directory, its code and its log lines.
struct Row {
  const char* name;
  std::function<int32_t(const TempDir&)> call;
  int32_t expected;
  std::vector<std::string> lines;
};

const Bytes kM4aHeader = Bytes{}.U32(0x1C).Text("ftypM4A ").U32(0).Text("M4A mp42isom");
const Bytes kHealthyish = Bytes{}.Append(kM4aHeader).U32(100).Text("mdat").Fill(92, 0x21);
const Bytes kIsom = Bytes{}.U32(0x20).Text("ftypisom").Fill(20, 0).U32(8).Text("mdat");

void Files(const TempDir& dir) {
  test::WriteFile(dir.File("empty.m4a"), Bytes{});
  test::WriteFile(dir.File("good.m4a"), kHealthyish);
  test::WriteFile(dir.File("isom.mp4"), kIsom);
  test::WriteFile(dir.File("nomdat.m4a"), Bytes{}.Append(kM4aHeader).Fill(64, 0));
}

std::string P(const TempDir& dir, const char* name) { return dir.File(name); }

const std::vector<Row> kRows = {
    {"GeneralNullOutput",
     [](auto& d) { return OrvM4aGeneralRepair(P(d, "good.m4a").c_str(), nullptr); },
     ORVM4A_ERR_ARGUMENT,
     {"corrupt: <dir>/good.m4a"}},
    {"GeneralNullDamaged",
     [](auto& d) { return OrvM4aGeneralRepair(nullptr, P(d, "o.m4a").c_str()); },
     ORVM4A_ERR_ARGUMENT,
     {"corrupt: (null)"}},
    {"GeneralMissing",
     [](auto& d) { return OrvM4aGeneralRepair(P(d, "none.m4a").c_str(), P(d, "o.m4a").c_str()); },
     ORVM4A_ERR_MAP,
     {"corrupt: <dir>/none.m4a", ">>[!] The file Mapping filed", "map failed! -4042"}},
    {"GeneralEmptyPath",
     [](auto& d) { return OrvM4aGeneralRepair("", P(d, "o.m4a").c_str()); },
     ORVM4A_ERR_MAP,
     {"corrupt: ", ">>[!] The file Mapping filed", "map failed! -4042"}},
    {"GeneralDirectory",
     [](auto& d) { return OrvM4aGeneralRepair(d.path().c_str(), P(d, "o.m4a").c_str()); },
     ORVM4A_ERR_MAP,
     {"corrupt: <dir>", ">>[!] The file Mapping filed", "map failed! -4042"}},
    {"GeneralEmptyFile",
     [](auto& d) { return OrvM4aGeneralRepair(P(d, "empty.m4a").c_str(), P(d, "o.m4a").c_str()); },
     ORVM4A_ERR_MAP,
     {"corrupt: <dir>/empty.m4a", ">>[!] The file Mapping filed", "map failed! -4042"}},
    {"GeneralNotUtf8",
     [](auto& d) {
       return OrvM4aGeneralRepair((P(d, "x") + "\xC3").c_str(), P(d, "o.m4a").c_str());
     },
     ORVM4A_ERR_PATH_ENCODING,
     {"corrupt: <dir>/x\xC3", ">>[!] A path is not valid UTF-8", "map failed! -4049"}},
    {"GeneralIsom",
     [](auto& d) { return OrvM4aGeneralRepair(P(d, "isom.mp4").c_str(), P(d, "o.m4a").c_str()); },
     ORVM4A_ERR_NOT_M4A,
     {"corrupt: <dir>/isom.mp4", ">>[!] This file is not an M4A file", "verify failed! -4043"}},
    {"GeneralNoMdat",
     [](auto& d) { return OrvM4aGeneralRepair(P(d, "nomdat.m4a").c_str(), P(d, "o.m4a").c_str()); },
     ORVM4A_ERR_NO_MDAT,
     {"corrupt: <dir>/nomdat.m4a", ">>[!] Can't find the mdat box", "verify failed! -4044"}},
    {"AdvanceNullSample",
     [](auto& d) {
       return OrvM4aAdvanceRepair(P(d, "good.m4a").c_str(), nullptr, P(d, "o.m4a").c_str());
     },
     ORVM4A_ERR_ARGUMENT,
     {"corrupt: <dir>/good.m4a, sample: (null)"}},
    {"AdvanceEmptyDamaged",
     [](auto& d) {
       return OrvM4aAdvanceRepair(P(d, "empty.m4a").c_str(), P(d, "good.m4a").c_str(),
                                  P(d, "o.m4a").c_str());
     },
     ORVM4A_ERR_ALLOC,
     {"corrupt: <dir>/empty.m4a, sample: <dir>/good.m4a", "map corrupt failed!"}},
    {"AdvanceEmptyDamagedPath",
     [](auto& d) {
       return OrvM4aAdvanceRepair("", P(d, "good.m4a").c_str(), P(d, "o.m4a").c_str());
     },
     ORVM4A_ERR_ALLOC,
     {"corrupt: , sample: <dir>/good.m4a", "map corrupt failed!"}},
    {"AdvanceDamagedNotUtf8",
     [](auto& d) {
       return OrvM4aAdvanceRepair("\x80", P(d, "good.m4a").c_str(), P(d, "o.m4a").c_str());
     },
     ORVM4A_ERR_PATH_ENCODING,
     {"corrupt: \x80, sample: <dir>/good.m4a", ">>[!] A path is not valid UTF-8",
      "map corrupt failed!"}},
    {"AdvanceEmptySample",
     [](auto& d) {
       return OrvM4aAdvanceRepair(P(d, "good.m4a").c_str(), P(d, "empty.m4a").c_str(),
                                  P(d, "o.m4a").c_str());
     },
     ORVM4A_ERR_MAP,
     {"corrupt: <dir>/good.m4a, sample: <dir>/empty.m4a", ">>[!] The file Mapping filed",
      "map failed! -4042"}},
    {"AdvanceIsomSample",
     [](auto& d) {
       return OrvM4aAdvanceRepair(P(d, "good.m4a").c_str(), P(d, "isom.mp4").c_str(),
                                  P(d, "o.m4a").c_str());
     },
     ORVM4A_ERR_NOT_M4A,
     {"corrupt: <dir>/good.m4a, sample: <dir>/isom.mp4", ">>[!] This file is not an M4A file",
      "prepare failed! -4043"}},
    {"AdvanceSampleWithoutTables",
     [](auto& d) {
       return OrvM4aAdvanceRepair(P(d, "good.m4a").c_str(), P(d, "good.m4a").c_str(),
                                  P(d, "o.m4a").c_str());
     },
     ORVM4A_ERR_NO_SAMPLE_TABLE,
     {"corrupt: <dir>/good.m4a, sample: <dir>/good.m4a", ">>[!] Can't find \"stco\" box",
      "prepare failed! -4045"}},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class ApiRowTest : public ApiTest, public testing::WithParamInterface<Row> {};

TEST_P(ApiRowTest, ReturnsTheCodeAndLogsTheLinesWithoutTouchingInputs) {
  Files(work_);
  std::map<std::string, std::uint64_t> hashes;
  for (const auto& entry : std::filesystem::directory_iterator(work_.path())) {
    hashes[entry.path().string()] = test::HashFile(entry.path());
  }
  EXPECT_EQ(GetParam().call(work_), GetParam().expected);
  std::vector<std::string> expected;
  for (std::string line : GetParam().lines) {
    for (size_t at; (at = line.find("<dir>")) != std::string::npos;) {
      line.replace(at, 5, work_.path().string());
    }
    expected.push_back(line);
  }
  EXPECT_EQ(Messages(), expected);
  // Nothing was written: the inputs are unchanged and nothing new appeared.
  std::map<std::string, std::uint64_t> after;
  for (const auto& entry : std::filesystem::directory_iterator(work_.path())) {
    after[entry.path().string()] = test::HashFile(entry.path());
  }
  EXPECT_EQ(after, hashes);
}

INSTANTIATE_TEST_SUITE_P(Failures, ApiRowTest, testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Positions are 32-bit; sparse files make the sizes without using the disk.
TEST_F(ApiTest, InputsTooLargeForThePositionsAreRefused) {
  const std::string huge = work_.File("huge.m4a"), big = work_.File("big.m4a");
  test::WriteFile(huge, kHealthyish);
  test::WriteFile(big, kHealthyish);
  std::filesystem::resize_file(huge, std::uintmax_t{1} << 32);
  std::filesystem::resize_file(big, std::uintmax_t{1} << 31);
  const std::string out = work_.File("o.m4a");
  EXPECT_EQ(OrvM4aGeneralRepair(huge.c_str(), out.c_str()), ORVM4A_ERR_TOO_LARGE);
  EXPECT_EQ(OrvM4aAdvanceRepair(big.c_str(), huge.c_str(), out.c_str()), ORVM4A_ERR_TOO_LARGE);
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{
                "corrupt: " + huge, ">>[!] The file is too large: 4 GiB or more",
                "map failed! -4051", "corrupt: " + big + ", sample: " + huge,
                ">>[!] The damaged file is too large: 2 GiB or more", "map corrupt failed!"}));
}

TEST_F(ApiTest, CallsWithoutInitDoNotCrash) {
  // The log may point anywhere by now; the call must simply work.
  EXPECT_EQ(OrvM4aGeneralRepair(work_.File("none").c_str(), work_.File("o.m4a").c_str()),
            ORVM4A_ERR_MAP);
}

}  // namespace
}  // namespace quillmend
