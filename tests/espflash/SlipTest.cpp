#include "espflash/slip.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> pieces(const Bytes& in) {
    std::vector<Bytes> out;
    SLIP_encode(in.data(), in.size(), [&](const std::uint8_t* p, std::size_t n) {
        out.emplace_back(p, p + n);
        return LOADER_OK;
    });
    return out;
}

struct EncodeCase {
    const char* name;
    Bytes in;
    std::vector<Bytes> pieces;
};

TEST(SlipEncode, SplitsIntoPlainRunsAndReplacements) {
    const EncodeCase cases[] = {
        {"empty", {}, {}},
        {"plain", {1, 2, 3}, {{1, 2, 3}}},
        {"both specials", {0xC0, 0xDB}, {{0xDB, 0xDC}, {0xDB, 0xDD}}},
        {"special inside", {1, 0xC0, 2, 3}, {{1}, {0xDB, 0xDC}, {2, 3}}},
        {"special at end", {7, 0xDB}, {{7}, {0xDB, 0xDD}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pieces(c.in), c.pieces) << c.name;
}

TEST(SlipEncode, StopsAtTheFirstFailingPiece) {
    const Bytes in{1, 0xC0, 2};
    int calls = 0;
    const LoaderResult r = SLIP_encode(in.data(), in.size(), [&](const std::uint8_t*, std::size_t) {
        return ++calls == 2 ? LOADER_FAIL : LOADER_OK;
    });
    EXPECT_EQ(r, LOADER_FAIL);
    EXPECT_EQ(calls, 2);
}

struct DecodeCase {
    const char* name;
    Bytes wire;
    std::size_t capacity;
    SlipDecoder::Status status;
    Bytes frame;          // when DONE
    std::size_t consumed; // bytes fed until the decoder finished
};

TEST(SlipDecode, Frames) {
    const DecodeCase cases[] = {
        {"plain", {0xC0, 1, 2, 0xC0}, 8, SlipDecoder::DONE, {1, 2}, 4},
        {"noise and repeated delimiters skipped",
         {9, 9, 0xC0, 0xC0, 0xC0, 5, 0xC0},
         8,
         SlipDecoder::DONE,
         {5},
         7},
        {"escapes decoded", {0xC0, 0xDB, 0xDC, 0xDB, 0xDD, 0xC0}, 8, SlipDecoder::DONE, {0xC0, 0xDB}, 6},
        {"escape in the first byte", {0xC0, 0xDB, 0xDD, 4, 0xC0}, 8, SlipDecoder::DONE, {0xDB, 4}, 5},
        {"bad escape", {0xC0, 1, 0xDB, 0x41, 0xC0}, 8, SlipDecoder::BAD_ESCAPE, {}, 4},
        {"bad escape in the first byte", {0xC0, 0xDB, 0x00}, 8, SlipDecoder::BAD_ESCAPE, {}, 3},
        {"long frame cut, rest discarded raw",
         {0xC0, 1, 2, 3, 0xDB, 0x41, 4, 0xC0, 7},
         2,
         SlipDecoder::DONE,
         {1, 2},
         8},
        {"exactly the capacity", {0xC0, 1, 2, 0xC0}, 2, SlipDecoder::DONE, {1, 2}, 4},
        {"unfinished", {0xC0, 1, 2}, 8, SlipDecoder::MORE, {}, 3},
    };
    for (const auto& c : cases) {
        Bytes buffer(c.capacity, 0xEE);
        SlipDecoder d(buffer.data(), buffer.size());
        SlipDecoder::Status s = SlipDecoder::MORE;
        std::size_t fed = 0;
        while (fed < c.wire.size() && s == SlipDecoder::MORE)
            s = d.feed(c.wire[fed++]);
        EXPECT_EQ(s, c.status) << c.name;
        EXPECT_EQ(fed, c.consumed) << c.name;
        if (c.status == SlipDecoder::DONE) {
            buffer.resize(d.length());
            EXPECT_EQ(buffer, c.frame) << c.name;
        }
    }
}

TEST(SlipDecode, EncodedFramesComeBackWhole) {
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<std::uint8_t>(i));
    Bytes wire{0xC0};
    for (const Bytes& p : pieces(all))
        wire.insert(wire.end(), p.begin(), p.end());
    wire.push_back(0xC0);
    Bytes buffer(300);
    SlipDecoder d(buffer.data(), buffer.size());
    SlipDecoder::Status s = SlipDecoder::MORE;
    for (std::uint8_t b : wire)
        s = d.feed(b);
    ASSERT_EQ(s, SlipDecoder::DONE);
    buffer.resize(d.length());
    EXPECT_EQ(buffer, all);
}
} // namespace
