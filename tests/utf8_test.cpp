#include "io/utf8.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quillmend {
namespace {

TEST(Utf8ToWideTest, ConvertsWellFormedTextAndRoundTrips) {
  EXPECT_EQ(Utf8ToWide(""), u"");
  EXPECT_EQ(Utf8ToWide("C:\\out\\fixed.m4a"), u"C:\\out\\fixed.m4a");
  EXPECT_EQ(Utf8ToWide("\xC3\xA9"), std::u16string(1, u'\u00E9'));
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x8E\xB5"), (std::u16string{0xD83C, 0xDFB5}));
  EXPECT_EQ(Utf8ToWide("\xEF\xBB\xBF"
                       "a"),
            (std::u16string{0xFEFF, u'a'}));  // BOM kept
  EXPECT_EQ(Utf8ToWide("\xF4\x8F\xBF\xBF"), (std::u16string{0xDBFF, 0xDFFF}));
  const std::string text = "/tmp/\xC3\xA9t\xC3\xA9/\xF0\x9F\x8E\xB5 take 1.m4a";
  EXPECT_EQ(WideToUtf8(Utf8ToWide(text)), text);
}

TEST(Utf8ToWideTest, RejectsMalformedText) {
  for (const char* bad : {"\x80", "\xE2\x82", "a\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF"}) {
    try {
      Utf8ToWide(bad);
      ADD_FAILURE() << "accepted " << testing::PrintToString(std::string(bad));
    } catch (const std::range_error& e) {
      EXPECT_STREQ(e.what(), "bad conversion");
    }
  }
  EXPECT_THROW(WideToUtf8(std::u16string{0xD800}), std::range_error);
  EXPECT_THROW(WideToUtf8(std::u16string{0xDC00, u'a'}), std::range_error);
}

}  // namespace
}  // namespace quillmend
