// Reads the bits of an ALAC frame, first bit most significant, from a register that holds the
// next 32 to 64 bits, so that a residual code is decoded from one peek. Never touches a byte
// outside the buffer: bits past its end read as zero, and the caller compares Position() with
// the buffer's size to tell a frame that needs more bytes.
#ifndef QUILLMEND_ALAC_BIT_STREAM_H
#define QUILLMEND_ALAC_BIT_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillmend::alac {

class BitStream {
 public:
  BitStream(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) { Seek(0); }

  // At least 32 bits ready for Peek32 and Skip.
  void Fill() {
    if (available_ < 32) Refill();
  }
  // Fill, for loops that read from the buffer's end: false, and nothing read, once the position
  // has reached `end`. Checked only when the register runs low, so a loop that takes at least
  // one bit a turn goes at most 32 turns past the end.
  bool FillBefore(std::uint64_t end) {
    if (available_ >= 32) [[likely]] {
      return true;
    }
    if (Position() >= end) return false;
    Refill();
    return true;
  }
  std::uint32_t Peek32() const { return static_cast<std::uint32_t>(cache_ >> 32); }
  // `count` is at most the bits ready (32 after Fill), and below 64.
  void Skip(int count) {
    cache_ <<= count;
    available_ -= count;
  }
  // `count` is 1 ... 32.
  std::uint32_t Read(int count) {
    Fill();
    const std::uint32_t value = Peek32() >> (32 - count);
    Skip(count);
    return value;
  }
  // Any number of bits, such as a verbatim element's samples.
  void SkipLong(std::uint64_t count) {
    if (count < 32) {
      Fill();
      Skip(static_cast<int>(count));
    } else {
      Seek(Position() + count);
    }
  }

  std::uint64_t Position() const { return next_ * 8 - static_cast<std::uint64_t>(available_); }
  std::uint64_t SizeInBits() const { return std::uint64_t{size_} * 8; }
  bool Overrun() const { return Position() > SizeInBits(); }

 private:
  void Seek(std::uint64_t position) {
    next_ = position >> 3;
    cache_ = 0;
    available_ = 0;
    Refill();
    Refill();
    Skip(static_cast<int>(position & 7));
  }
  void Refill() {
    std::uint32_t word = 0;
    if (next_ + 4 <= size_) [[likely]] {
      std::memcpy(&word, data_ + next_, sizeof word);
      word = __builtin_bswap32(word);  // every target we build for is little-endian
    } else {
      for (std::uint64_t byte = next_; byte < next_ + 4; ++byte) {
        word = word << 8 | (byte < size_ ? data_[byte] : 0);
      }
    }
    cache_ |= std::uint64_t{word} << (32 - available_);
    next_ += 4;
    available_ += 32;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::uint64_t next_ = 0;  // the byte the next refill reads
  std::uint64_t cache_ = 0;
  int available_ = 0;
};

}  // namespace quillmend::alac

#endif  // QUILLMEND_ALAC_BIT_STREAM_H
