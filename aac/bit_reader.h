// Reads the bits of one AAC frame, first bit most significant, without ever touching a byte
// outside the frame's buffer.
#ifndef QUILLMEND_AAC_BIT_READER_H
#define QUILLMEND_AAC_BIT_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillmend::aac {

// The position may run past the end: bits there read as zero and Overrun() tells. Syntax that is
// read from those zeros is thrown away by the caller, which then knows the frame needs more
// bytes. Every loop over such bits ends, because the syntax bounds it, not the data.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::uint32_t size) : data_(data), size_(size) {}

  // The next 32 bits, zeros past the end.
  std::uint32_t Peek32() const {
    const std::uint32_t byte = position_ >> 3;
    if (byte + 8 <= size_) [[likely]] {
      std::uint64_t word;
      std::memcpy(&word, data_ + byte, sizeof word);
      return static_cast<std::uint32_t>((ToBigEndian(word) << (position_ & 7)) >> 32);
    }
    return PeekNearEnd();
  }

  // `count` is 1 ... 32.
  std::uint32_t Read(int count) {
    const std::uint32_t value = Peek32() >> (32 - count);
    position_ += static_cast<std::uint32_t>(count);
    return value;
  }
  bool ReadBit() { return Read(1) != 0; }
  void Skip(std::uint32_t count) { position_ += count; }
  void AlignToByte() { position_ = (position_ + 7) & ~std::uint32_t{7}; }

  std::uint32_t Position() const { return position_; }
  const std::uint8_t* Data() const { return data_; }
  std::uint32_t Size() const { return size_; }
  void SetPosition(std::uint32_t position) { position_ = position; }
  std::uint32_t SizeInBits() const { return size_ * 8; }
  bool Overrun() const { return position_ > size_ * 8; }

 private:
  static std::uint64_t ToBigEndian(std::uint64_t word) {
    // Every target we build for is little-endian.
    return __builtin_bswap64(word);
  }
  std::uint32_t PeekNearEnd() const {
    std::uint64_t word = 0;
    for (std::uint32_t i = 0, byte = position_ >> 3; i < 8; ++i, ++byte) {
      word = word << 8 | (byte < size_ ? data_[byte] : 0);
    }
    return static_cast<std::uint32_t>((word << (position_ & 7)) >> 32);
  }

  const std::uint8_t* data_;
  std::uint32_t size_;
  std::uint32_t position_ = 0;
};

// A faster reader for long runs of codewords: the next 32 to 64 bits stay in a register, refilled
// four bytes at a time, so the next codeword's lookup waits only for the previous one's length.
// Like BitReader it reads zeros past the end and never touches a byte outside the buffer.
class BitCache {
 public:
  BitCache(const std::uint8_t* data, std::uint32_t size, std::uint32_t position)
      : data_(data), size_(size), next_(position >> 3) {
    Refill();
    Refill();
    Skip(static_cast<int>(position & 7));
  }

  // At least 32 bits ready for Peek32.
  void Fill() {
    if (available_ < 32) Refill();
  }
  std::uint32_t Peek32() const { return static_cast<std::uint32_t>(cache_ >> 32); }
  // `count` is 1 ... 32.
  std::uint32_t Read(int count) {
    Fill();
    const std::uint32_t value = Peek32() >> (32 - count);
    Skip(count);
    return value;
  }
  // `count` is at most the bits ready, and below 64.
  void Skip(int count) {
    cache_ <<= count;
    available_ -= count;
  }
  std::uint32_t Position() const { return next_ * 8 - static_cast<std::uint32_t>(available_); }

 private:
  void Refill() {
    std::uint32_t word = 0;
    if (next_ + 4 <= size_) [[likely]] {
      std::memcpy(&word, data_ + next_, sizeof word);
      word = __builtin_bswap32(word);  // little-endian targets only, as above
    } else {
      for (std::uint32_t byte = next_; byte < next_ + 4; ++byte) {
        word = word << 8 | (byte < size_ ? data_[byte] : 0);
      }
    }
    cache_ |= std::uint64_t{word} << (32 - available_);
    next_ += 4;
    available_ += 32;
  }

  const std::uint8_t* data_;
  std::uint32_t size_;
  std::uint32_t next_;  // the byte the next refill reads
  std::uint64_t cache_ = 0;
  int available_ = 0;
};

}  // namespace quillmend::aac

#endif  // QUILLMEND_AAC_BIT_READER_H
