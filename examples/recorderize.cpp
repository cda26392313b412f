// recorderize IN OUT: copies an .m4a made by FFmpeg's AAC encoder so that its frames begin the
// way hardware recorders write them, for demonstrations and tests.
//
// FFmpeg's encoder uses the KBD window shape for long windows (frame heads 0x211C, 0x217C);
// recorders use the sine shape (0x210C, 0x216C). The shape bit is the 0x10 bit of the second
// byte of a channel pair element (first byte 0x21); clearing it where the window sequence is
// "only long" or "long stop" keeps the stream valid, only the window changes.
extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IN.m4a OUT.m4a\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
  AVFormatContext* format = nullptr;
  if (bytes.empty() || avformat_open_input(&format, argv[1], nullptr, nullptr) < 0 ||
      avformat_find_stream_info(format, nullptr) < 0) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 1;
  }
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(format, packet) >= 0) {
    const auto at = static_cast<std::size_t>(packet->pos);
    if (packet->pos >= 0 && at + 1 < bytes.size() && bytes[at] == 0x21) {
      const int windowSequence = (bytes[at + 1] >> 5) & 3;
      if (windowSequence == 0 || windowSequence == 3) bytes[at + 1] &= ~0x10;
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&format);
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return out ? 0 : 1;
}
