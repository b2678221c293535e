#include "link/PayloadFrame.h"

#include "link/FastCrc8.h"

#include <cstring>

std::size_t PayloadFrame::build(const void* payload, std::size_t length, std::uint8_t* out) {
    if (length < kMinPayload || length > kMaxPayload)
        return 0;
    out[0] = kStart;
    out[1] = static_cast<std::uint8_t>(length - 1);
    std::memcpy(out + 2, payload, length);
    out[2 + length] = FastCrc8::update(0, payload, length);
    return length + kOverhead;
}
