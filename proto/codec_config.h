// What a muxer needs to know about the camera's elementary streams: Annex-B
// NAL units, the H.264 and H.265 parameter sets behind the decoder
// configuration records (ISO/IEC 14496-15), and ADTS headers in front of AAC
// frames. Pure functions over byte buffers; every reader says how it ended
// and how far it got, and the caller logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel {

enum CodecResult {
    CODEC_OK = 0,
    CODEC_NO_START_CODE = -1,  // no 00 00 01 in the access unit
    CODEC_TRUNCATED = -2,      // the unit or header ended before a field it needs
    CODEC_BAD_VALUE = -3,      // a field holds a value the standard does not allow
    CODEC_NOT_ADTS = -4,       // no ADTS sync word
    CODEC_UNSUPPORTED = -5,    // valid, but nothing a camera stream would carry
};

const char* codec_result_text(int result);

struct NalUnit {
    const uint8_t* data = nullptr;  // NAL header first, start code excluded
    size_t len = 0;
};

// Splits an Annex-B access unit at its 3- and 4-byte start codes. Zero bytes
// in front of a start code belong to no unit, so a 4-byte code leaves the
// previous unit whole and nothing more. Empty units are skipped. Returns
// CODEC_OK with at least one unit or CODEC_NO_START_CODE; *stop receives the
// offset of the first start code (len when there is none).
int nal_split(const uint8_t* data, size_t len, std::vector<NalUnit>* units, size_t* stop = nullptr);

// The payload of a NAL unit with its emulation-prevention bytes (the 03 of
// 00 00 03) removed and the NAL header of header_len bytes skipped.
void nal_to_rbsp(const uint8_t* nal, size_t len, size_t header_len, std::vector<uint8_t>* rbsp);

inline int h264_nal_type(const NalUnit& u) {
    return u.len ? u.data[0] & 0x1F : -1;
}
inline int h265_nal_type(const NalUnit& u) {
    return u.len ? (u.data[0] >> 1) & 0x3F : -1;
}

struct H264Sps {
    uint8_t profile_idc = 0;
    uint8_t constraint_flags = 0;
    uint8_t level_idc = 0;
    uint32_t chroma_format_idc = 1;
    uint32_t bit_depth_luma = 8;
    uint32_t bit_depth_chroma = 8;
    uint32_t width = 0;  // after cropping
    uint32_t height = 0;
};

// Reads an SPS NAL unit (header byte included) up to its cropping window.
// *stop receives the RBSP byte offset reached, or where it failed.
int h264_parse_sps(const uint8_t* nal, size_t len, H264Sps* sps, size_t* stop = nullptr);

// AVCDecoderConfigurationRecord with one SPS and one PPS and 4-byte NAL
// lengths. The SPS is parsed first so a broken one is refused, not sent.
int avc_decoder_config(const NalUnit& sps, const NalUnit& pps, std::vector<uint8_t>* record);

// The general profile_tier_level fields a record combines.
struct HevcPtl {
    uint8_t profile_space = 0;
    uint8_t tier = 0;
    uint8_t profile_idc = 0;
    uint32_t compatibility = 0;
    uint64_t constraints = 0;  // 48 bits
    uint8_t level_idc = 0;
};

struct HevcVps {
    uint32_t max_sub_layers = 0;
    HevcPtl ptl;
};

struct HevcSps {
    uint32_t max_sub_layers = 0;
    bool temporal_id_nesting = false;
    HevcPtl ptl;
    uint32_t chroma_format_idc = 0;
    uint32_t bit_depth_luma = 0;
    uint32_t bit_depth_chroma = 0;
    uint32_t width = 0;  // coded size, before the conformance window
    uint32_t height = 0;
    uint32_t min_spatial_segmentation_idc = 0;
};

struct HevcPps {
    bool tiles = false;
    bool entropy_coding_sync = false;
};

// Each reads a NAL unit whose 2-byte header is included; *stop as above.
int h265_parse_vps(const uint8_t* nal, size_t len, HevcVps* vps, size_t* stop = nullptr);
int h265_parse_sps(const uint8_t* nal, size_t len, HevcSps* sps, size_t* stop = nullptr);
int h265_parse_pps(const uint8_t* nal, size_t len, HevcPps* pps, size_t* stop = nullptr);

// HEVCDecoderConfigurationRecord with the arrays VPS, SPS, PPS of one unit each.
int hevc_decoder_config(const NalUnit& vps, const NalUnit& sps, const NalUnit& pps,
                        std::vector<uint8_t>* record);

struct AdtsHeader {
    uint8_t object_type = 0;  // profile + 1: 2 for AAC LC
    uint8_t sampling_index = 0;
    uint8_t channel_config = 0;
    bool protection_absent = true;
    uint32_t header_len = 0;  // 7, or 9 with a CRC
    uint32_t frame_len = 0;   // header included
};

// True when the frame starts with the 12-bit ADTS sync word.
bool adts_sync(const uint8_t* data, size_t len);

// Reads the ADTS header of one frame. The frame must hold exactly the length
// the header announces, or the payload would be cut or run into the next
// frame. *stop receives header_len on success.
int adts_parse(const uint8_t* data, size_t len, AdtsHeader* hdr, size_t* stop = nullptr);

// AudioSpecificConfig: object type, sampling-frequency index and channel
// configuration, followed by the explicit no-SBR extension (sync 0x2B7, type 5,
// flag 0) the cloud's players expect. Always 5 bytes.
void aac_audio_specific_config(uint8_t object_type, uint8_t sampling_index, uint8_t channel_config,
                               uint8_t out[5]);

}  // namespace kestrel
