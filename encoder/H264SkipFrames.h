// Pictures that repeat the previous one for a desktop that has not changed, made without libx264:
// one P slice whose macroblocks are all skipped, a few dozen bytes in place of a full encode. The
// stream keeps its frame rate, and the pictures libx264 codes afterwards are renumbered to follow
// the inserted ones, so no IDR picture is needed to resume.
//
// Every picture this writes is a reference picture: libx264's sequences use picture order count
// type 2, under which two non-reference pictures may not follow each other, and libx264's next P
// picture must predict from a picture equal to its own last one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

class TH264SkipFrames {
 public:
  // Longest access unit WriteSkipFrame writes, start code included.
  static constexpr size_t kMaxSkipFrameSize = 48;

  // Takes the sequence and picture parameter sets from an access unit of libx264's and, when it
  // holds an IDR picture, counts from there. False when a set is missing or unreadable, or uses a
  // coding tool the skip slice does not write (CABAC, interlace, slice groups, weighted
  // prediction, picture order count type 0 or 1): no skip frames are written until a later call
  // succeeds, and the caller keeps encoding every picture.
  bool LearnParameterSets(std::span<const uint8_t> accessUnit);

  // Writes one Annex B access unit that repeats the last picture and returns its length; 0, with
  // nothing written, before usable parameter sets and an IDR picture were seen, after a
  // non-reference picture, or when capacity is below what the unit needs.
  size_t WriteSkipFrame(uint8_t* dest, size_t capacity);

  // Every access unit libx264 produces passes through here before it is sent: its slices'
  // frame_num move on by the skip frames written since libx264's last IDR picture, and an IDR
  // picture (with its parameter sets, learned as above) starts the count again. The unit to send
  // is returned: the one given when nothing needed rewriting, else a rewritten copy held here until
  // the next call. Nothing when a slice cannot be read or names an unknown picture parameter set:
  // the stream cannot go on from it, so the caller should drop it and ask libx264 for an IDR.
  std::optional<std::span<const uint8_t>> AdjustEncodedFrame(std::span<const uint8_t> accessUnit);

  // Pictures sent since the last IDR picture, that one included, skip frames and libx264's alike:
  // the caller asks libx264 for an IDR picture when this reaches its key-frame interval.
  int picturesSinceIdr() const { return picturesSinceIdr_; }
  // Whether a skip frame was written since the last IDR picture. Without one libx264's own count
  // matches picturesSinceIdr, and it places its IDR pictures itself.
  bool skippedSinceIdr() const { return anySkipSinceIdr_; }
  bool ready() const { return setsKnown_ && idrSeen_; }

 private:
  void StartAtIdr();
  // Reads the slice's frame_num and, when skip frames came before it, appends the slice to out_
  // with its frame_num moved on past them; false if it cannot be read.
  bool RenumberSlice(std::span<const uint8_t> payload, bool& firstSlice);

  // From the parameter sets.
  bool setsKnown_ = false;
  uint32_t ppsId_ = 0;
  unsigned log2MaxFrameNum_ = 4;
  uint32_t picSizeInMbs_ = 0;
  bool overrideRefCount_ = false;
  bool deblockingControl_ = false;

  // Where the stream stands.
  bool idrSeen_ = false;
  bool lastWasReference_ = false;
  uint32_t lastFrameNum_ = 0;
  uint32_t skippedSinceIdr_ = 0;
  int picturesSinceIdr_ = 0;
  bool anySkipSinceIdr_ = false;
  // libx264 marks its P pictures this way; skip frames match them.
  uint8_t refIdc_ = 2;

  // Working buffers, kept so that steady operation does not allocate.
  std::vector<uint8_t> rbsp_;
  std::vector<uint8_t> out_;
};
