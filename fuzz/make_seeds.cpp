// make_seeds DIR: writes the seeds built in code, one directory per fuzz target: box and frame
// layouts that recordings made with the ffmpeg tool never show, at the edges the repairs must
// survive. scripts/fuzz-corpus.sh adds the recordings.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

class Bytes {
 public:
  Bytes& Raw(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  Bytes& U8(std::initializer_list<std::uint8_t> values) {
    bytes_.insert(bytes_.end(), values);
    return *this;
  }
  Bytes& U32(std::uint32_t value) {
    return U8({static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
               static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
  }
  Bytes& Fill(std::size_t count, std::uint8_t value) {
    bytes_.insert(bytes_.end(), count, value);
    return *this;
  }
  Bytes& Append(const Bytes& other) {
    bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
    return *this;
  }
  // A box: size, type, payload.
  static Bytes Box(const char* type, const Bytes& payload) {
    Bytes box;
    box.U32(static_cast<std::uint32_t>(8 + payload.Size())).Raw(type).Append(payload);
    return box;
  }
  std::size_t Size() const { return bytes_.size(); }
  const std::vector<std::uint8_t>& Data() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

std::filesystem::path gRoot;

void Write(const char* target, const std::string& name, const Bytes& bytes) {
  const std::filesystem::path directory = gRoot / target;
  std::filesystem::create_directories(directory);
  std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.Data().data()),
            static_cast<std::streamsize>(bytes.Size()));
}

Bytes Ftyp(const char* brand) {
  return Bytes::Box("ftyp", Bytes().Raw(brand).U32(0).Raw(brand).Raw("mp42"));
}

// Frames that open with the given heads, each `length` bytes long.
Bytes Frames(std::initializer_list<std::uint16_t> heads, std::size_t length) {
  Bytes frames;
  for (std::uint16_t head : heads) {
    frames.U8({static_cast<std::uint8_t>(head >> 8), static_cast<std::uint8_t>(head)});
    frames.Fill(length - 2, 0x5A);
  }
  return frames;
}

Bytes Table(const char* type, std::initializer_list<std::uint32_t> words) {
  Bytes payload;
  payload.U32(0);  // version and flags
  for (std::uint32_t word : words) payload.U32(word);
  return Bytes::Box(type, payload);
}

void GeneralSeeds() {
  const Bytes frames = Frames({0x210C, 0x212C, 0x214E, 0x216C, 0x210C}, 40);
  Write("general_repair", "recorder-layout",
        Ftyp("M4A ").Append(Bytes::Box("mdat", frames)).Append(Bytes::Box("moov", Bytes())));
  Write("general_repair", "foreign-brand", Ftyp("isom").Append(Bytes::Box("mdat", frames)));
  Write("general_repair", "no-header", Bytes().Fill(32, 0).Raw("mdat").Append(frames));
  // "mdat" in the last one to three bytes of the file leaves no room for the mode test.
  Write("general_repair", "mdat-at-end-0", Bytes().Append(frames).Raw("mdat"));
  Write("general_repair", "mdat-at-end-1", Bytes().Append(frames).Raw("mdat").U8({0x21}));
  Write("general_repair", "mdat-at-end-3", Bytes().Raw("mdat").U8({0x21, 0x0C, 0x21}));
  Write("general_repair", "marker-layout",
        Bytes()
            .Raw("mdat")
            .U32(0)
            .U8({0x01, 0x05, 0x14})
            .Fill(30, 0x33)
            .U8({0x01, 0x07, 0x14})
            .Fill(30, 0x44)
            .U8({0x01, 0x01, 0x14, 0x14})
            .Fill(8, 0));
  Write("general_repair", "mdat-twice-in-a-row", Bytes().Raw("mdatmdat").Append(frames));
  Write("general_repair", "mdat-inside-a-frame",
        Bytes().Raw("mdat").Append(Frames({0x210C}, 20)).Raw("mdat").Append(frames));
  // A frame longer than the 13-bit ADTS length field can describe.
  Write("general_repair", "frame-too-long",
        Bytes().Raw("mdat").Append(Frames({0x210C}, 9000)).Append(frames));
}

void PrepareSeeds() {
  // A sample whose tables describe two chunks of two samples each, in the file itself.
  const Bytes frames = Frames({0x211C, 0x217C, 0x2110, 0x2100}, 24);
  const std::uint32_t first = 8 + 24 + 8;  // after ftyp and the mdat header
  const Bytes tables = Table("stco", {2, first, first + 48})
                           .Append(Table("stsc", {1, 1, 2, 1}))
                           .Append(Table("stsz", {0, 4, 24, 24, 24, 24}));
  const Bytes head = Ftyp("M4A ").Append(Bytes::Box("mdat", frames));
  Write("prepare_sample", "healthy", Bytes().Append(head).Append(tables));
  Write("prepare_sample", "stco-count-all-ones",
        Bytes()
            .Append(head)
            .Append(Table("stco", {0xFFFFFFFF, first}))
            .Append(Table("stsc", {1, 1, 1, 1}))
            .Append(Table("stsz", {0, 1, 24})));
  Write("prepare_sample", "offsets-past-the-end",
        Bytes()
            .Append(head)
            .Append(Table("stco", {2, 0xFFFFFFF0, 0x7FFFFFFF}))
            .Append(Table("stsc", {1, 1, 1, 1}))
            .Append(Table("stsz", {0, 2, 24, 24})));
  Write("prepare_sample", "sizes-past-the-end",
        Bytes()
            .Append(head)
            .Append(Table("stco", {1, first}))
            .Append(Table("stsc", {1, 1, 3, 1}))
            .Append(Table("stsz", {0, 3, 24, 0x7FFFFFFF, 24})));
  Write("prepare_sample", "samples-below-two-bytes",
        Bytes()
            .Append(head)
            .Append(Table("stco", {1, first}))
            .Append(Table("stsc", {1, 1, 3, 1}))
            .Append(Table("stsz", {0, 3, 1, 0, 24})));
  Write("prepare_sample", "stsc-beyond-stco",
        Bytes()
            .Append(head)
            .Append(Table("stco", {1, first}))
            .Append(Table("stsc", {2, 1, 1, 1, 9, 0x80000000, 1}))
            .Append(Table("stsz", {0, 2, 24, 24})));
  Write("prepare_sample", "stsc-repeated-first-chunk",
        Bytes()
            .Append(head)
            .Append(Table("stco", {2, first, first + 48}))
            .Append(Table("stsc", {3, 1, 2, 1, 1, 5, 1, 0, 2, 1}))
            .Append(Table("stsz", {24, 0})));
  Write("prepare_sample", "stco-twice",
        Bytes().Append(head).Append(Table("stco", {1, 0})).Append(tables));
  Write("prepare_sample", "no-stsz",
        Bytes().Append(head).Append(Table("stco", {1, first})).Append(Table("stsc", {1, 1, 1, 1})));
  Write("prepare_sample", "stsz-at-the-end",
        Bytes()
            .Append(head)
            .Append(Table("stco", {1, first}))
            .Append(Table("stsc", {1, 1, 1, 1}))
            .Raw("stsz"));
}

void DecodeSeeds() {
  Write("decode_frames", "one-byte", Bytes().U8({0x21}));
  Write("decode_frames", "heads-everywhere", Bytes().Fill(600, 0x21));
  Write("decode_frames", "head-at-zero", Bytes().U8({0x21, 0x1C}).Fill(200, 0).U8({0x21, 0x1C}));
}

void TextSeeds() {
  const std::initializer_list<std::string_view> texts = {
      "C:\\music\\fixed.m4a",
      "\xC3\xA9t\xC3\xA9.m4a",
      "\xF0\x9F\x8E\xB5",
      "\xEF\xBB\xBF"
      "bom",
      "\x80",
      "\xE2\x82",
      "\xC0\x80",
      "\xED\xA0\x80",
      "\xF4\x90\x80\x80",
      "-f s16le -ar 44100 -ac 2 -y -i \"C:\\out\\tmp.pcm\" -c:a aac -b:a 128k \"C:\\out\\x.m4a\"",
      "a\\\\\\\"b \"c\"\"d\" \\\\\"e f\" \t \"\"",
      std::string_view("/tmp/out/tmp.pcm\0/tmp/out/fixed.m4a", 35),
      std::string_view("dir with blanks\\\0out\"quoted\".m4a", 33),
  };
  int index = 0;
  for (std::string_view text : texts) {
    Write("text", "text-" + std::to_string(index++), Bytes().Raw(text));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  gRoot = argv[1];
  GeneralSeeds();
  PrepareSeeds();
  DecodeSeeds();
  TextSeeds();
  return 0;
}
