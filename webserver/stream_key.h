// The key of a live stream: 12 bytes that name the stream among every stream of the node.
#pragma once

#include <array>
#include <cstdint>

namespace qav {

using StreamKey = std::array<uint8_t, 12>;

}  // namespace qav
