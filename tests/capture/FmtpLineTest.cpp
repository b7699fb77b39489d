#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/Base64.h"
#include "capture/FmtpLine.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

const Bytes kCode4 = {0, 0, 0, 1};
const Bytes kCode3 = {0, 0, 1};
const Bytes kSps = {0x67, 0x42, 0xC0, 0x1F, 0xDA, 0x01, 0x40};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kSei = {0x06, 0x05, 0x11, 0x22, 0x33};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xFF, 0x12};

TEST(Base64, MatchesTheStandardVectors) {
  const std::pair<std::string, std::string> cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : cases) {
    const Bytes bytes(plain.begin(), plain.end());
    EXPECT_EQ(Base64Encode(bytes), encoded) << plain;
  }
  EXPECT_EQ(Base64Encode(Bytes{0xFB, 0xFF}), "+/8=");
}

TEST(FindParameterSets, TakesEachUnitUpToTheNextStartCode) {
  struct Case {
    const char* name;
    Bytes frame;
    bool found;
    size_t spsCodeLength;
    size_t ppsCodeLength;
  };
  const Case cases[] = {
      {"four-byte codes, SEI after", Concat({kCode4, kSps, kCode4, kPps, kCode4, kSei}), true, 4,
       4},
      {"three-byte codes, IDR after", Concat({kCode3, kSps, kCode3, kPps, kCode3, kIdr}), true, 3,
       3},
      {"mixed codes", Concat({kCode4, kSps, kCode3, kPps, kCode4, kIdr}), true, 4, 3},
      {"PPS before SPS", Concat({kCode4, kPps, kCode4, kSps, kCode4, kIdr}), true, 4, 4},
      {"PPS is the last unit", Concat({kCode4, kSps, kCode4, kPps}), false, 0, 0},
      {"no SPS", Concat({kCode4, kPps, kCode4, kIdr}), false, 0, 0},
      {"P slice only", Concat({kCode4, Bytes{0x41, 0x9A, 0x02, 0x04}}), false, 0, 0},
      {"too short", Bytes{0, 0, 1, 0x67}, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto sets = FindParameterSets(c.frame);
    ASSERT_EQ(sets.has_value(), c.found);
    if (!c.found) continue;
    EXPECT_EQ(Bytes(sets->sps.begin(), sets->sps.end()), kSps);
    EXPECT_EQ(Bytes(sets->pps.begin(), sets->pps.end()), kPps);
    EXPECT_EQ(sets->spsWithStartCode.size(), kSps.size() + c.spsCodeLength);
    EXPECT_EQ(sets->ppsWithStartCode.size(), kPps.size() + c.ppsCodeLength);
  }
}

TEST(FindParameterSets, LaterParameterSetsDoNotReplaceFinishedOnes) {
  const Bytes otherSps = {0x67, 0x64, 0x00, 0x28};
  const Bytes otherPps = {0x68, 0xEE, 0x06, 0xE2};
  const Bytes frames[] = {
      Concat({kCode4, kSps, kCode4, kPps, kCode4, otherSps, kCode4, kIdr}),
      // The first set of each kind counts even while the other kind has not come yet.
      Concat({kCode4, kSps, kCode4, otherSps, kCode4, kPps, kCode4, kIdr}),
      Concat({kCode4, kPps, kCode3, otherPps, kCode4, kSps, kCode4, kIdr}),
  };
  for (const Bytes& frame : frames) {
    const auto sets = FindParameterSets(frame);
    ASSERT_TRUE(sets);
    EXPECT_EQ(Bytes(sets->sps.begin(), sets->sps.end()), kSps);
    EXPECT_EQ(Bytes(sets->pps.begin(), sets->pps.end()), kPps);
  }
}

TEST(MakeFmtpLine, CarriesTheSpsProfileAndBothSetsInBase64) {
  const struct {
    Bytes sps;
    const char* profileLevelId;
  } cases[] = {
      {kSps, "42C01F"},
      {{0x67, 0x64, 0x00, 0x28, 0xAC}, "640028"},
      {{0x67, 0x42, 0xC0}, "420029"},  // too short to say: what was announced before
  };
  for (const auto& c : cases) {
    const Bytes frame = Concat({kCode4, c.sps, kCode4, kPps, kCode4, kSei});
    const auto sets = FindParameterSets(frame);
    ASSERT_TRUE(sets);
    EXPECT_EQ(MakeFmtpLine(*sets), std::string("a=fmtp:96 profile-level-id=") + c.profileLevelId +
                                       "; packetization-mode=1; sprop-parameter-sets=" +
                                       Base64Encode(c.sps) + "," + Base64Encode(kPps));
  }
}

TEST(Mpeg4Config, IsWhatComesBeforeTheFirstPicture) {
  const Bytes vos = {0, 0, 1, 0xB0, 0x03}, vo = {0, 0, 1, 0xB5, 0x09}, vol = {0, 0, 1, 0x20, 0x08};
  const Bytes vop = {0, 0, 1, 0xB6, 0x10, 0x20};
  const struct {
    Bytes frame;
    const char* fmtp;  // null: no configuration
  } cases[] = {
      {Concat({vos, vo, vol, vop}),
       "a=fmtp:96 profile-level-id=3; config=000001B003000001B5090000012008"},
      {Concat({vol, vop}), "a=fmtp:96 profile-level-id=1; config=0000012008"},  // no VOS: level 1
      {vop, nullptr},                    // a picture without headers
      {Concat({vos, vo, vol}), nullptr},  // no picture: the headers may go on
      {Concat({{7}, vol, vop}), nullptr},
  };
  for (const auto& c : cases) {
    const auto config = FindMpeg4Config(c.frame);
    ASSERT_EQ(config.has_value(), c.fmtp != nullptr);
    if (config) {
      EXPECT_EQ(MakeMpeg4FmtpLine(*config), c.fmtp);
    }
  }
}

}  // namespace
