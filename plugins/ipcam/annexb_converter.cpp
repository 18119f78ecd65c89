#include "ipcam/annexb_converter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
}

namespace ipcam {

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

// H.264 NAL unit types.
constexpr int kH264Idr = 5, kH264Sps = 7, kH264Pps = 8;
// H.265 NAL unit types.
constexpr int kHevcIrapFirst = 16, kHevcIrapLast = 23, kHevcVps = 32, kHevcSps = 33, kHevcPps = 34;

} // namespace

AnnexBConverter::AnnexBConverter() : filtered_(av_packet_alloc()) {}

AnnexBConverter::~AnnexBConverter() {
  av_bsf_free(&filter_);
  av_packet_free(&filtered_);
}

bool AnnexBConverter::Open(const AVCodecParameters* parameters, std::string& error) {
  av_bsf_free(&filter_);
  sets_.clear();
  if (parameters->codec_id != AV_CODEC_ID_H264 && parameters->codec_id != AV_CODEC_ID_HEVC) {
    error = std::string("video codec ") + avcodec_get_name(parameters->codec_id) +
            " is not carried (H.264 and H.265 are)";
    return false;
  }
  hevc_ = parameters->codec_id == AV_CODEC_ID_HEVC;
  const uint8_t* extra = parameters->extradata;
  const int extraSize = parameters->extradata_size;
  // avcC/hvcC extradata starts with version 1; Annex B with a start code.
  const bool lengthPrefixed = extraSize > 3 && extra[0] == 1;
  if (lengthPrefixed) {
    const AVBitStreamFilter* kind =
        av_bsf_get_by_name(hevc_ ? "hevc_mp4toannexb" : "h264_mp4toannexb");
    if (kind == nullptr || av_bsf_alloc(kind, &filter_) < 0 ||
        avcodec_parameters_copy(filter_->par_in, parameters) < 0 || av_bsf_init(filter_) < 0) {
      av_bsf_free(&filter_);
      error = "cannot convert the stream to Annex B";
      return false;
    }
    extra = filter_->par_out->extradata;
    const int size = filter_->par_out->extradata_size;
    if (extra != nullptr && size > 0)
      Remember(extra, Split(extra, static_cast<size_t>(size), hevc_));
  } else if (extra != nullptr && extraSize > 0) {
    Remember(extra, Split(extra, static_cast<size_t>(extraSize), hevc_));
  }
  return true;
}

bool AnnexBConverter::Convert(AVPacket* packet, std::vector<uint8_t>& out, bool& key) {
  AVPacket* unit = packet;
  if (filter_ != nullptr) {
    if (av_bsf_send_packet(filter_, packet) < 0) {
      av_packet_unref(packet);
      return false;
    }
    if (av_bsf_receive_packet(filter_, filtered_) < 0) return false;
    unit = filtered_;
  }
  const uint8_t* data = unit->data;
  const size_t size = static_cast<size_t>(unit->size);
  const std::vector<Nal> nals = Split(data, size, hevc_);
  Remember(data, nals);

  bool keySlice = false;
  std::map<int, bool> present;
  size_t firstSlice = size;
  for (const Nal& nal : nals) {
    keySlice = keySlice || IsKeySlice(nal.type);
    if (IsParameterSet(nal.type)) present[nal.type] = true;
    if (IsSlice(nal.type) && firstSlice == size) firstSlice = nal.start;
  }
  key = keySlice || (unit->flags & AV_PKT_FLAG_KEY) != 0;

  out.clear();
  out.reserve(size + 256);
  out.insert(out.end(), data, data + firstSlice);
  if (key) {
    const std::vector<int> needed = hevc_ ? std::vector<int>{kHevcVps, kHevcSps, kHevcPps}
                                          : std::vector<int>{kH264Sps, kH264Pps};
    for (int type : needed) {
      if (present[type]) continue;
      const auto it = sets_.find(type);
      if (it == sets_.end()) {
        av_packet_unref(unit);
        return false; // a key frame nobody could decode
      }
      out.insert(out.end(), it->second.begin(), it->second.end());
    }
  }
  out.insert(out.end(), data + firstSlice, data + size);
  av_packet_unref(unit);
  return true;
}

std::vector<AnnexBConverter::Nal> AnnexBConverter::Split(const uint8_t* data, size_t size,
                                                         bool hevc) {
  std::vector<Nal> nals;
  size_t i = 0;
  auto startCodeAt = [&](size_t at) {
    return at + 3 <= size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
  };
  while (i + 3 <= size) {
    if (!startCodeAt(i)) {
      ++i;
      continue;
    }
    const size_t start = (i > 0 && data[i - 1] == 0) ? i - 1 : i;
    const size_t payload = i + 3;
    size_t next = payload;
    while (next + 3 <= size && !startCodeAt(next)) ++next;
    size_t end = next + 3 <= size ? next : size;
    if (end < size && end > payload && data[end - 1] == 0) --end; // a four-byte start code follows
    if (payload < size) {
      const int type = hevc ? (data[payload] >> 1) & 0x3F : data[payload] & 0x1F;
      if (!nals.empty() && nals.back().end > start) nals.back().end = start;
      nals.push_back(Nal{start, end, type});
    }
    i = next;
  }
  return nals;
}

bool AnnexBConverter::IsParameterSet(int type) const {
  return hevc_ ? (type == kHevcVps || type == kHevcSps || type == kHevcPps)
               : (type == kH264Sps || type == kH264Pps);
}

bool AnnexBConverter::IsKeySlice(int type) const {
  return hevc_ ? (type >= kHevcIrapFirst && type <= kHevcIrapLast) : type == kH264Idr;
}

bool AnnexBConverter::IsSlice(int type) const {
  return hevc_ ? type < 32 : (type >= 1 && type <= 5);
}

void AnnexBConverter::Remember(const uint8_t* data, const std::vector<Nal>& nals) {
  std::map<int, std::vector<uint8_t>> fresh;
  for (const Nal& nal : nals) {
    if (!IsParameterSet(nal.type)) continue;
    // Stored with a four-byte start code whatever the source used.
    size_t payload = nal.start;
    while (payload < nal.end && data[payload] == 0) ++payload;
    ++payload; // the 0x01
    auto& bytes = fresh[nal.type];
    bytes.insert(bytes.end(), kStartCode, kStartCode + 4);
    bytes.insert(bytes.end(), data + payload, data + nal.end);
  }
  for (auto& [type, bytes] : fresh) sets_[type] = std::move(bytes);
}

} // namespace ipcam
