#pragma once
// Turns demultiplexed H.264/H.265 packets into the form every receiver may
// rely on: one access unit in Annex B byte-stream form, and every key frame
// carrying its parameter sets (VPS/SPS/PPS) in-band.
//
// Sources in MP4/Matroska form (length-prefixed NAL units, avcC/hvcC extradata)
// go through FFmpeg's h264_mp4toannexb / hevc_mp4toannexb filters. RTSP and
// MPEG-TS already deliver Annex B, but often keep the parameter sets only in
// the session description: those are put in front of key frames lacking them.
// Used by one camera thread only.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct AVBSFContext;
struct AVCodecParameters;
struct AVPacket;

namespace ipcam {

class AnnexBConverter {
public:
  AnnexBConverter();
  ~AnnexBConverter();
  AnnexBConverter(const AnnexBConverter&) = delete;
  AnnexBConverter& operator=(const AnnexBConverter&) = delete;

  // Prepares for a stream of H.264 or H.265; false with the reason otherwise.
  bool Open(const AVCodecParameters* parameters, std::string& error);

  // Converts `packet` (consumed). `out` receives the access unit; `key` tells
  // whether it starts a decodable stream. False when there is nothing to post:
  // the filter holds the packet back, or a key frame came before any
  // parameter sets were known.
  bool Convert(AVPacket* packet, std::vector<uint8_t>& out, bool& key);

private:
  struct Nal {
    size_t start; // offset of the start code
    size_t end;   // one past the last byte
    int type;
  };
  static std::vector<Nal> Split(const uint8_t* data, size_t size, bool hevc);
  bool IsParameterSet(int type) const;
  bool IsKeySlice(int type) const;
  bool IsSlice(int type) const;
  void Remember(const uint8_t* data, const std::vector<Nal>& nals);

  bool hevc_ = false;
  AVBSFContext* filter_ = nullptr; // null: packets are Annex B already
  AVPacket* filtered_ = nullptr;
  std::map<int, std::vector<uint8_t>> sets_; // NAL type -> latest sets of it, start codes included
};

} // namespace ipcam
