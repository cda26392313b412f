#include "aac/sbr.h"

#include <algorithm>
#include <cmath>

#include "aac/huffman.h"
#include "aac/raw_data_block.h"
#include "aac/tables.h"

namespace quillmend::aac {
namespace {

constexpr int kMaxMasterBands = 48;  // SBR works on 64 QMF subbands, at most 48 of them its own
constexpr int kMaxNoiseBands = 5;
constexpr int kMaxEnvelopes = 5;
constexpr int kTimeSlots = 16;  // of a 1024-sample core frame
constexpr int kExtensionPs = 2;

// Splits [start, stop) into `count` bands of geometrically growing width, rounded as the decoder
// rounds them (in single precision, so that borderline headers split the same way).
void GeometricBands(int start, int stop, int count, int* widths) {
  const float base = std::pow(static_cast<float>(stop) / static_cast<float>(start), 1.0f / count);
  float product = static_cast<float>(start);
  int previous = start;
  for (int k = 0; k < count - 1; ++k) {
    product *= base;
    const int present = static_cast<int>(std::lrint(product));
    widths[k] = present - previous;
    previous = present;
  }
  widths[count - 1] = stop - previous;
}

int RoundedLog2Times(float factor, int numerator, int denominator) {
  return static_cast<int>(std::lrint(
      factor * std::log2(static_cast<float>(numerator) / static_cast<float>(denominator))));
}

// The master frequency table: band borders in QMF subbands from k0 up to k2. False for a header
// that gives no usable table.
bool MasterBands(const SbrHeader& header, int sbrRate, int master[kMaxMasterBands + 1], int* count,
                 int* k2Out) {
  const std::span<const std::int8_t> offsets = SbrStartOffsets(sbrRate);
  if (offsets.empty()) return false;
  const int lowest = sbrRate < 32000 ? 3000 : sbrRate < 64000 ? 4000 : 5000;
  const int startMin = ((lowest << 7) + (sbrRate >> 1)) / sbrRate;
  const int stopMin = ((lowest << 8) + (sbrRate >> 1)) / sbrRate;
  const int k0 = startMin + offsets[static_cast<std::size_t>(header.startFreq)];
  int k2;
  if (header.stopFreq < 14) {
    int steps[13];
    GeometricBands(stopMin, 64, 13, steps);
    std::sort(steps, steps + 13);
    k2 = stopMin;
    for (int k = 0; k < header.stopFreq; ++k) k2 += steps[k];
  } else {
    k2 = (header.stopFreq == 14 ? 2 : 3) * k0;
  }
  k2 = std::min(64, k2);
  const int maxSubbands = sbrRate <= 32000 ? 48 : sbrRate == 44100 ? 35 : 32;
  if (k2 - k0 > maxSubbands) return false;
  *k2Out = k2;

  if (header.freqScale == 0) {  // bands of equal width
    const int width = header.alterScale + 1;
    const int n = ((k2 - k0 + (width & 2)) >> width) << 1;
    if (n <= 0 || n > kMaxMasterBands) return false;
    int widths[kMaxMasterBands + 1];
    std::fill(widths, widths + n + 1, width);
    const int rest = k2 - k0 - n * width;
    if (rest < 0) {
      --widths[1];
      widths[2] -= rest < -1 ? 1 : 0;
    } else if (rest > 0) {
      ++widths[n];
    }
    master[0] = k0;
    for (int k = 1; k <= n; ++k) master[k] = master[k - 1] + widths[k];
    *count = n;
    return true;
  }

  // Bands per octave, in one region up to k2 or, when k2 is far above k0, in a second one above
  // 2 * k0 that may be warped wider.
  const int halfBands = 7 - header.freqScale;
  const bool twoRegions = 49 * k2 > 110 * k0;
  const int k1 = twoRegions ? 2 * k0 : k2;
  const int n0 = RoundedLog2Times(static_cast<float>(halfBands), k1, k0) * 2;
  if (n0 <= 0 || n0 > kMaxMasterBands) return false;
  int widths0[kMaxMasterBands];
  GeometricBands(k0, k1, n0, widths0);
  std::sort(widths0, widths0 + n0);
  master[0] = k0;
  for (int k = 0; k < n0; ++k) {
    if (widths0[k] <= 0) return false;
    master[k + 1] = master[k] + widths0[k];
  }
  if (!twoRegions) {
    *count = n0;
    return true;
  }
  const float warp = header.alterScale != 0 ? 0.76923076923076923077f : 1.0f;  // 1 / 1.3
  const int n1 = RoundedLog2Times(static_cast<float>(halfBands) * warp, k2, k1) * 2;
  if (n1 <= 0 || n0 + n1 > kMaxMasterBands) return false;
  int widths1[kMaxMasterBands];
  GeometricBands(k1, k2, n1, widths1);
  // The upper region's narrowest band is kept at least as wide as the lower region's widest.
  if (*std::min_element(widths1, widths1 + n1) < widths0[n0 - 1]) {
    std::sort(widths1, widths1 + n1);
    const int change = std::min(widths0[n0 - 1] - widths1[0], (widths1[n1 - 1] - widths1[0]) >> 1);
    widths1[0] += change;
    widths1[n1 - 1] -= change;
  }
  std::sort(widths1, widths1 + n1);
  for (int k = 0; k < n1; ++k) {
    if (widths1[k] <= 0) return false;
    master[n0 + k + 1] = master[n0 + k] + widths1[k];
  }
  *count = n0 + n1;
  return true;
}

// The high band is rebuilt from copies ("patches") of the low band's subbands. A decoder refuses a
// header whose bands cannot be covered by at most five of them, so the frames that carry it are
// read no further than their header either.
bool PatchesFit(const int* master, int count, int k0, int kx, int sbrRate) {
  constexpr int kMaxPatches = 5;
  const int top = master[count];
  const int goal = ((1000 << 11) + (sbrRate >> 1)) / sbrRate;
  int k = count;
  if (goal < top) {
    for (k = 0; master[k] < goal; ++k) {
    }
  }
  int patches = 0, lastK = -1, lastMsb = -1, msb = k0, usb = kx, sb = 0;
  do {
    if (k == lastK && msb == lastMsb) return false;  // no progress
    lastK = k;
    lastMsb = msb;
    int odd = 0;
    for (int i = k; i >= 0 && (i == k || sb > k0 - 1 + msb - odd); --i) {
      sb = master[i];
      odd = (sb + k0) & 1;
    }
    if (patches > kMaxPatches) return false;
    if (sb - usb > 0) {
      usb = msb = sb;
      ++patches;
    } else {
      msb = kx;
    }
    if (master[k] - sb < 3) k = count;
  } while (sb != top);
  return true;
}

// The time and frequency grid of one channel's envelopes.
struct Grid {
  int envelopes = 1;
  int noiseFloors = 1;
  int ampRes = 0;
  bool highResolution[kMaxEnvelopes] = {};  // by envelope, in the order their data comes
};

class PayloadReader {
 public:
  PayloadReader(BitReader reader, const SbrBands& bands, int ampRes)
      : reader_(reader), bands_(bands), ampRes_(ampRes), books_(TheSbrCodebooks()) {}

  bool ReadSingle();
  bool ReadPair();
  BitReader& reader() { return reader_; }

 private:
  bool ReadGrid(Grid& grid);
  void SkipDeltaDirections(const Grid& grid, bool time[], bool noiseTime[]);
  bool ReadEnvelopes(const Grid& grid, const bool time[], bool balance);
  bool ReadNoiseFloors(const Grid& grid, const bool time[], bool balance);
  bool SkipCodewords(int codebook, int count);
  void SkipHarmonics() {
    if (reader_.ReadBit()) reader_.Skip(static_cast<std::uint32_t>(bands_.high));
  }

  BitReader reader_;
  const SbrBands& bands_;
  int ampRes_;
  const SbrCodebooks& books_;
};

bool PayloadReader::SkipCodewords(int codebook, int count) {
  const ScaleFactorTable& table = books_.tables[codebook];
  for (int i = 0; i < count; ++i) {
    const DecodeEntry entry = table.Lookup(reader_.Peek32());
    if (entry.Length() == 0) return false;
    reader_.Skip(static_cast<std::uint32_t>(entry.Length()));
  }
  return true;
}

// The four frame classes place the envelope borders at fixed or variable (coded) times at the
// frame's start and end; the borders must rise strictly, as a decoder requires.
bool PayloadReader::ReadGrid(Grid& grid) {
  constexpr int kPointerBits[kMaxEnvelopes + 1] = {0, 1, 2, 2, 3, 3};
  int borders[kMaxEnvelopes + 1] = {};
  int pointer = 0;
  grid.ampRes = ampRes_;
  bool* resolution = grid.highResolution;
  switch (reader_.Read(2)) {
    case 0: {  // fixed start and end, envelopes of equal length
      const int n = 1 << reader_.Read(2);
      if (n > 4) return false;
      grid.envelopes = n;
      if (n == 1) grid.ampRes = 0;  // one envelope per frame always comes at 1.5 dB steps
      std::fill(resolution, resolution + n, reader_.ReadBit());
      grid.noiseFloors = n > 1 ? 2 : 1;
      return true;
    }
    case 1: {  // fixed start, variable end
      const int trail = kTimeSlots + static_cast<int>(reader_.Read(2));
      const int n = static_cast<int>(reader_.Read(2)) + 1;
      grid.envelopes = n;
      borders[n] = trail;
      for (int i = 0; i < n - 1; ++i) {
        borders[n - 1 - i] = borders[n - i] - 2 * static_cast<int>(reader_.Read(2)) - 2;
      }
      pointer = static_cast<int>(reader_.Read(kPointerBits[n]));
      for (int i = 0; i < n; ++i) resolution[n - 1 - i] = reader_.ReadBit();
      break;
    }
    case 2: {  // variable start, fixed end
      borders[0] = static_cast<int>(reader_.Read(2));
      const int n = static_cast<int>(reader_.Read(2)) + 1;
      grid.envelopes = n;
      borders[n] = kTimeSlots;
      for (int i = 0; i < n - 1; ++i) {
        borders[i + 1] = borders[i] + 2 * static_cast<int>(reader_.Read(2)) + 2;
      }
      pointer = static_cast<int>(reader_.Read(kPointerBits[n]));
      for (int i = 0; i < n; ++i) resolution[i] = reader_.ReadBit();
      break;
    }
    default: {  // variable start and end
      borders[0] = static_cast<int>(reader_.Read(2));
      const int trail = kTimeSlots + static_cast<int>(reader_.Read(2));
      const int lead = static_cast<int>(reader_.Read(2));
      const int trailing = static_cast<int>(reader_.Read(2));
      const int n = lead + trailing + 1;
      if (n > kMaxEnvelopes) return false;
      grid.envelopes = n;
      borders[n] = trail;
      for (int i = 0; i < lead; ++i) {
        borders[i + 1] = borders[i] + 2 * static_cast<int>(reader_.Read(2)) + 2;
      }
      for (int i = 0; i < trailing; ++i) {
        borders[n - 1 - i] = borders[n - i] - 2 * static_cast<int>(reader_.Read(2)) - 2;
      }
      pointer = static_cast<int>(reader_.Read(kPointerBits[n]));
      for (int i = 0; i < n; ++i) resolution[i] = reader_.ReadBit();
      break;
    }
  }
  const int n = grid.envelopes;
  if (pointer > n + 1) return false;
  for (int i = 1; i <= n; ++i) {
    if (borders[i - 1] >= borders[i]) return false;
  }
  grid.noiseFloors = n > 1 ? 2 : 1;
  return true;
}

void PayloadReader::SkipDeltaDirections(const Grid& grid, bool time[], bool noiseTime[]) {
  for (int i = 0; i < grid.envelopes; ++i) time[i] = reader_.ReadBit();
  for (int i = 0; i < grid.noiseFloors; ++i) noiseTime[i] = reader_.ReadBit();
}

// Each envelope codes one value per band: a first value in plain bits and differences across
// frequency, or only differences across time from the previous envelope.
bool PayloadReader::ReadEnvelopes(const Grid& grid, const bool time[], bool balance) {
  const bool coarse = grid.ampRes != 0;
  const int startBits = (coarse ? 6 : 7) - (balance ? 1 : 0);
  const int book = balance ? (coarse ? kSbrBalanceTime30 : kSbrBalanceTime15)
                           : (coarse ? kSbrEnvelopeTime30 : kSbrEnvelopeTime15);
  for (int i = 0; i < grid.envelopes; ++i) {
    const int values = grid.highResolution[i] ? bands_.high : bands_.low;
    if (time[i]) {
      if (!SkipCodewords(book, values)) return false;
    } else {
      reader_.Skip(static_cast<std::uint32_t>(startBits));
      if (!SkipCodewords(book + 1, values - 1)) return false;  // the frequency codebook
    }
  }
  return true;
}

bool PayloadReader::ReadNoiseFloors(const Grid& grid, const bool time[], bool balance) {
  for (int i = 0; i < grid.noiseFloors; ++i) {
    if (time[i]) {
      if (!SkipCodewords(balance ? kSbrNoiseBalanceTime : kSbrNoiseTime, bands_.noise)) {
        return false;
      }
    } else {
      reader_.Skip(5);
      const int book = balance ? kSbrBalanceFrequency30 : kSbrEnvelopeFrequency30;
      if (!SkipCodewords(book, bands_.noise - 1)) return false;
    }
  }
  return true;
}

bool PayloadReader::ReadSingle() {
  if (reader_.ReadBit()) reader_.Skip(4);  // bs_data_extra: reserved bits
  Grid grid;
  if (!ReadGrid(grid)) return false;
  bool time[kMaxEnvelopes], noiseTime[2];
  SkipDeltaDirections(grid, time, noiseTime);
  reader_.Skip(static_cast<std::uint32_t>(2 * bands_.noise));  // inverse filtering modes
  if (!ReadEnvelopes(grid, time, false) || !ReadNoiseFloors(grid, noiseTime, false)) return false;
  SkipHarmonics();
  return true;
}

// A coupled pair shares one grid and codes its second channel as a balance to the first.
bool PayloadReader::ReadPair() {
  if (reader_.ReadBit()) reader_.Skip(8);  // bs_data_extra: reserved bits
  const bool coupled = reader_.ReadBit();
  Grid grids[2];
  if (!ReadGrid(grids[0])) return false;
  if (coupled) {
    grids[1] = grids[0];
  } else if (!ReadGrid(grids[1])) {
    return false;
  }
  bool time[2][kMaxEnvelopes], noiseTime[2][2];
  SkipDeltaDirections(grids[0], time[0], noiseTime[0]);
  SkipDeltaDirections(grids[1], time[1], noiseTime[1]);
  const auto invf = static_cast<std::uint32_t>(2 * bands_.noise);
  reader_.Skip(coupled ? invf : 2 * invf);
  if (coupled) {
    if (!ReadEnvelopes(grids[0], time[0], false) ||
        !ReadNoiseFloors(grids[0], noiseTime[0], false) ||
        !ReadEnvelopes(grids[1], time[1], true) || !ReadNoiseFloors(grids[1], noiseTime[1], true)) {
      return false;
    }
  } else if (!ReadEnvelopes(grids[0], time[0], false) || !ReadEnvelopes(grids[1], time[1], false) ||
             !ReadNoiseFloors(grids[0], noiseTime[0], false) ||
             !ReadNoiseFloors(grids[1], noiseTime[1], false)) {
    return false;
  }
  SkipHarmonics();
  SkipHarmonics();
  return true;
}

}  // namespace

bool SbrBandsFor(const SbrHeader& header, int sbrRate, SbrBands* bands) {
  int master[kMaxMasterBands + 1];
  int count = 0, k2 = 0;
  if (!MasterBands(header, sbrRate, master, &count, &k2) || header.xoverBand >= count) {
    return false;
  }
  const int high = count - header.xoverBand;
  const int kx = master[header.xoverBand];
  if (kx > 32 || master[count] > 64) return false;
  const int noise = std::max(1, RoundedLog2Times(static_cast<float>(header.noiseBands), k2, kx));
  if (noise > kMaxNoiseBands || !PatchesFit(master, count, master[0], kx, sbrRate)) return false;
  *bands = {high, (high + 1) >> 1, noise};
  return true;
}

SbrPayload ReadSbrPayload(BitReader reader, std::uint32_t end, bool crc, int elementId,
                          int samplingIndex) {
  SbrPayload payload;
  if (crc) reader.Skip(10);
  if (!reader.ReadBit()) return payload;  // bs_header_flag
  SbrHeader header;
  header.ampRes = static_cast<int>(reader.Read(1));
  header.startFreq = static_cast<int>(reader.Read(4));
  header.stopFreq = static_cast<int>(reader.Read(4));
  header.xoverBand = static_cast<int>(reader.Read(3));
  reader.Skip(2);  // reserved
  const bool extra1 = reader.ReadBit();
  const bool extra2 = reader.ReadBit();
  if (extra1) {
    header.freqScale = static_cast<int>(reader.Read(2));
    header.alterScale = static_cast<int>(reader.Read(1));
    header.noiseBands = static_cast<int>(reader.Read(2));
  }
  if (extra2) reader.Skip(6);  // limiter and smoothing: no bearing on the data's layout
  // Whatever is read past the payload's end belongs to other elements or other frames.
  payload.header = reader.Position() <= end;
  SbrBands bands;
  if (!payload.header || !SbrBandsFor(header, 2 * SamplingRateFromIndex(samplingIndex), &bands)) {
    return payload;
  }

  PayloadReader data(reader, bands, header.ampRes);
  const bool read = elementId == kSce ? data.ReadSingle() : elementId == kCpe && data.ReadPair();
  BitReader& r = data.reader();
  if (!read || !r.ReadBit()) return payload;  // bs_extended_data
  std::uint32_t size = r.Read(4);
  if (size == 15) size += r.Read(8);
  // The extension must fit the payload, and its first two bits say what it is.
  const std::uint32_t extensionEnd = r.Position() + 8 * size;
  payload.ps = size > 0 && extensionEnd <= end && r.Read(2) == kExtensionPs;
  return payload;
}

}  // namespace quillmend::aac
