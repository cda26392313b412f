#pragma once
// What FFmpeg reads back from a file: the check that makes a repair a repair. Our own code
// computes none of it.
#include <cstdint>
#include <string>
#include <vector>

namespace quillmend::api {

struct ReadBack {
  bool opened = false;
  bool hasAudio = false;      // an audio stream whose decoder could be set up
  std::string codec;          // FFmpeg's name of its codec: "aac", "alac", ...
  std::string profile;        // "LC", "HE-AAC", ... where FFmpeg names one
  std::uint64_t packets = 0;  // packets (frames) of the first audio stream
  double seconds = 0;
  std::uint32_t rate = 0;  // the stream's sampling rate, as the decoder will play it
  std::uint32_t channels = 0;
  std::uint64_t decoded = 0;      // packets tried that decoded
  std::uint64_t undecodable = 0;  // packets tried that the decoder refused
  std::string error;              // why it could not be opened
};

// Opens the UTF-8 path with FFmpeg and counts the packets of its first audio stream. Decodes a
// stretch at the start and one in the middle, and the packets around each index in `around`
// (sorted): enough to tell audio from garbage, and to find the frames that damage hit, without
// spending on a long recording the time a full decode takes. decodeAll decodes every packet.
ReadBack ReadBackFile(const std::string& path, bool decodeAll = false,
                      const std::vector<std::uint64_t>& around = {});

// Peak levels in `count` slices of the file's decoded audio.
bool DecodePeaks(const std::string& path, float* peaks, std::size_t count);

}  // namespace quillmend::api
