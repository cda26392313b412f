#pragma once

#include <cstdint>

#include "core/repair_context.h"

namespace quillmend {

// The heads (first two bytes, big-endian) that the general repair accepts: AAC LC channel pair
// elements of the common window shapes, as hardware recorders write them.
inline constexpr std::uint16_t kDefaultFrameHeads[] = {0x210C, 0x212C, 0x214E, 0x216C};

// Installs the default frame-head profile. Always returns kOk.
ResultCode SetDefaultFrameHeads(RepairContext& context);

// Learns the frame-head profile from the sample file's tables: the distinct heads of all its
// samples whose second byte is not 0x00. Releases the three sample tables. The walk trusts the
// tables only as far as they stay inside themselves and the file: it ends at the first chunk
// or sample they cannot describe (more chunks than offsets, more samples than sizes, a sample
// shorter than two bytes, a sample head outside the file) and keeps what it collected. Always
// returns kOk; the profile may be empty.
ResultCode LearnFrameHeads(RepairContext& context);

}  // namespace quillmend
