#include "proto/codec_config.h"

#include <algorithm>

namespace kestrel {

const char* codec_result_text(int result) {
    switch (result) {
        case CODEC_OK:
            return "ok";
        case CODEC_NO_START_CODE:
            return "no start code";
        case CODEC_TRUNCATED:
            return "truncated";
        case CODEC_BAD_VALUE:
            return "value out of range";
        case CODEC_NOT_ADTS:
            return "no ADTS sync word";
        case CODEC_UNSUPPORTED:
            return "unsupported";
        default:
            return "unknown result";
    }
}

// ---------------------------------------------------------------- Annex B

namespace {

// Offset of the next 00 00 01 at or after from, or len.
size_t find_start_code(const uint8_t* data, size_t len, size_t from) {
    for (size_t i = from; i + 3 <= len;) {
        if (data[i + 2] > 1) {
            i += 3;
        } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            return i;
        } else {
            ++i;
        }
    }
    return len;
}

}  // namespace

int nal_split(const uint8_t* data, size_t len, std::vector<NalUnit>* units, size_t* stop) {
    units->clear();
    size_t sc = data ? find_start_code(data, len, 0) : len;
    if (stop) {
        *stop = sc;
    }
    if (sc == len) {
        return CODEC_NO_START_CODE;
    }
    while (sc < len) {
        size_t begin = sc + 3;
        size_t next = find_start_code(data, len, begin);
        size_t end = next;
        // Zeros in front of the next start code (its fourth byte, or stuffing
        // at the end of the access unit) are not part of this unit.
        while (end > begin && data[end - 1] == 0) {
            --end;
        }
        if (end > begin) {
            units->push_back({data + begin, end - begin});
        }
        sc = next;
    }
    return units->empty() ? CODEC_NO_START_CODE : CODEC_OK;
}

void nal_to_rbsp(const uint8_t* nal, size_t len, size_t header_len, std::vector<uint8_t>* rbsp) {
    rbsp->clear();
    rbsp->reserve(len);
    int zeros = 0;
    for (size_t i = header_len; i < len; ++i) {
        uint8_t b = nal[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        rbsp->push_back(b);
    }
}

// ---------------------------------------------------------------- bit reader

namespace {

// Most-significant bit first over an RBSP. Reading past the end yields zeros
// and marks the reader, so a parser checks once per stage instead of per field.
class BitReader {
  public:
    explicit BitReader(const std::vector<uint8_t>& rbsp)
        : data_(rbsp.data()), bits_(rbsp.size() * 8) {}

    uint32_t Bits(unsigned n) {
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) {
            v = (v << 1) | Bit();
        }
        return v;
    }
    uint32_t Bit() {
        if (pos_ >= bits_) {
            overrun_ = true;
            return 0;
        }
        uint32_t b = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1;
        ++pos_;
        return b;
    }
    void Skip(size_t n) {
        if (bits_ - std::min(pos_, bits_) < n) {
            overrun_ = true;
            pos_ = bits_;
        } else {
            pos_ += n;
        }
    }
    // Exp-Golomb; codes longer than 32 bits are never valid in a parameter set.
    uint32_t Ue() {
        unsigned zeros = 0;
        while (Bit() == 0) {
            if (overrun_ || ++zeros > 31) {
                bad_ = true;
                return 0;
            }
        }
        return static_cast<uint32_t>((1ull << zeros) - 1 + Bits(zeros));
    }
    int32_t Se() {
        uint32_t k = Ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }
    // Reads ue(v) and marks the reader bad when it exceeds max.
    uint32_t UeMax(uint32_t max) {
        uint32_t v = Ue();
        if (v > max) {
            bad_ = true;
        }
        return v;
    }

    int Result() const {
        if (overrun_) {
            return CODEC_TRUNCATED;
        }
        return bad_ ? CODEC_BAD_VALUE : CODEC_OK;
    }
    bool Ok() const { return !overrun_ && !bad_; }
    void MarkBad() { bad_ = true; }
    size_t BytePos() const { return (std::min(pos_, bits_) + 7) / 8; }

  private:
    const uint8_t* data_;
    size_t bits_;
    size_t pos_ = 0;
    bool overrun_ = false;
    bool bad_ = false;
};

int finish(const BitReader& br, size_t* stop) {
    if (stop) {
        *stop = br.BytePos();
    }
    return br.Result();
}

void put16(std::vector<uint8_t>* out, size_t v) {
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}

}  // namespace

// ---------------------------------------------------------------- H.264

namespace {

bool h264_high_profile(uint8_t p) {
    switch (p) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
            return true;
        default:
            return false;
    }
}

void h264_skip_scaling_list(BitReader& br, int size) {
    int last = 8;
    int next = 8;
    for (int j = 0; j < size && br.Ok(); ++j) {
        if (next != 0) {
            int32_t delta = br.Se();
            // Refused before any arithmetic: a delta near 2^31 would overflow the sum.
            if (delta < -128 || delta > 127) {
                br.MarkBad();
                return;
            }
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

void h264_read_chroma(BitReader& br, H264Sps* sps, bool* separate_planes) {
    sps->chroma_format_idc = br.UeMax(3);
    if (sps->chroma_format_idc == 3) {
        *separate_planes = br.Bit();
    }
    sps->bit_depth_luma = br.UeMax(6) + 8;
    sps->bit_depth_chroma = br.UeMax(6) + 8;
    br.Bit();  // qpprime_y_zero_transform_bypass_flag
    if (br.Bit()) {
        int lists = sps->chroma_format_idc != 3 ? 8 : 12;
        for (int i = 0; i < lists && br.Ok(); ++i) {
            if (br.Bit()) {
                h264_skip_scaling_list(br, i < 6 ? 16 : 64);
            }
        }
    }
}

void h264_skip_poc(BitReader& br) {
    br.UeMax(12);  // log2_max_frame_num_minus4
    uint32_t poc_type = br.UeMax(2);
    if (poc_type == 0) {
        br.UeMax(12);
    } else if (poc_type == 1) {
        br.Bit();
        br.Se();
        br.Se();
        uint32_t cycle = br.UeMax(255);
        for (uint32_t i = 0; i < cycle && br.Ok(); ++i) {
            br.Se();
        }
    }
}

}  // namespace

int h264_parse_sps(const uint8_t* nal, size_t len, H264Sps* sps, size_t* stop) {
    if (stop) {
        *stop = 0;
    }
    if (!nal || len < 4) {
        return CODEC_TRUNCATED;
    }
    std::vector<uint8_t> rbsp;
    nal_to_rbsp(nal, len, 1, &rbsp);
    BitReader br(rbsp);
    H264Sps s;
    s.profile_idc = static_cast<uint8_t>(br.Bits(8));
    s.constraint_flags = static_cast<uint8_t>(br.Bits(8));
    s.level_idc = static_cast<uint8_t>(br.Bits(8));
    br.UeMax(31);  // seq_parameter_set_id
    bool separate_planes = false;
    if (h264_high_profile(s.profile_idc)) {
        h264_read_chroma(br, &s, &separate_planes);
    }
    h264_skip_poc(br);
    br.Ue();   // max_num_ref_frames
    br.Bit();  // gaps_in_frame_num_value_allowed_flag
    uint64_t width_mbs = br.UeMax(1023) + 1ull;
    uint64_t height_units = br.UeMax(1023) + 1ull;
    uint32_t frame_mbs_only = br.Bit();
    if (!frame_mbs_only) {
        br.Bit();
    }
    br.Bit();  // direct_8x8_inference_flag
    uint64_t crop[4] = {0, 0, 0, 0};
    if (br.Bit()) {
        for (auto& c : crop) {
            c = br.Ue();
        }
    }
    if (!br.Ok()) {
        return finish(br, stop);
    }
    uint32_t cf = separate_planes ? 0 : s.chroma_format_idc;
    uint64_t crop_x = cf == 0 || cf == 3 ? 1 : 2;
    uint64_t crop_y = (cf == 1 ? 2 : 1) * (2 - frame_mbs_only);
    uint64_t w = width_mbs * 16;
    uint64_t h = height_units * 16 * (2 - frame_mbs_only);
    if (crop_x * (crop[0] + crop[1]) >= w || crop_y * (crop[2] + crop[3]) >= h) {
        br.MarkBad();
        return finish(br, stop);
    }
    s.width = static_cast<uint32_t>(w - crop_x * (crop[0] + crop[1]));
    s.height = static_cast<uint32_t>(h - crop_y * (crop[2] + crop[3]));
    *sps = s;
    return finish(br, stop);
}

int avc_decoder_config(const NalUnit& sps, const NalUnit& pps, std::vector<uint8_t>* record) {
    H264Sps parsed;
    int r = h264_parse_sps(sps.data, sps.len, &parsed);
    if (r != CODEC_OK) {
        return r;
    }
    if (pps.len < 2 || sps.len > 0xFFFF || pps.len > 0xFFFF) {
        return pps.len < 2 ? CODEC_TRUNCATED : CODEC_UNSUPPORTED;
    }
    record->clear();
    record->reserve(sps.len + pps.len + 11);
    record->push_back(1);
    record->push_back(parsed.profile_idc);
    record->push_back(parsed.constraint_flags);
    record->push_back(parsed.level_idc);
    record->push_back(0xFF);  // 4-byte NAL lengths
    record->push_back(0xE1);  // one SPS
    put16(record, sps.len);
    record->insert(record->end(), sps.data, sps.data + sps.len);
    record->push_back(1);  // one PPS
    put16(record, pps.len);
    record->insert(record->end(), pps.data, pps.data + pps.len);
    return CODEC_OK;
}

// ---------------------------------------------------------------- H.265

namespace {

void h265_read_ptl(BitReader& br, uint32_t max_sub_layers_minus1, HevcPtl* ptl) {
    ptl->profile_space = static_cast<uint8_t>(br.Bits(2));
    ptl->tier = static_cast<uint8_t>(br.Bit());
    ptl->profile_idc = static_cast<uint8_t>(br.Bits(5));
    ptl->compatibility = br.Bits(32);
    ptl->constraints = (static_cast<uint64_t>(br.Bits(16)) << 32) | br.Bits(32);
    ptl->level_idc = static_cast<uint8_t>(br.Bits(8));
    bool profile_present[8] = {};
    bool level_present[8] = {};
    for (uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
        profile_present[i] = br.Bit();
        level_present[i] = br.Bit();
    }
    if (max_sub_layers_minus1 > 0) {
        br.Skip(2 * (8 - max_sub_layers_minus1));
    }
    for (uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
        br.Skip((profile_present[i] ? 88 : 0) + (level_present[i] ? 8 : 0));
    }
}

void h265_skip_scaling_list_data(BitReader& br) {
    for (int size_id = 0; size_id < 4; ++size_id) {
        for (int matrix_id = 0; matrix_id < 6; matrix_id += size_id == 3 ? 3 : 1) {
            if (!br.Bit()) {
                br.UeMax(5);  // scaling_list_pred_matrix_id_delta
                continue;
            }
            int coefs = std::min(64, 1 << (4 + (size_id << 1)));
            if (size_id > 1) {
                br.Se();
            }
            for (int i = 0; i < coefs && br.Ok(); ++i) {
                br.Se();
            }
        }
    }
}

constexpr uint32_t kMaxShortTermSets = 64;

// Returns the set's NumDeltaPocs; inter-predicted sets refer to the one before.
uint32_t h265_skip_st_rps(BitReader& br, uint32_t idx, const uint32_t* num_delta_pocs) {
    if (idx != 0 && br.Bit()) {  // inter_ref_pic_set_prediction_flag
        br.Bit();                // delta_rps_sign
        br.UeMax(32767);         // abs_delta_rps_minus1
        uint32_t count = 0;
        for (uint32_t j = 0; j <= num_delta_pocs[idx - 1] && br.Ok(); ++j) {
            bool used = br.Bit();
            bool use_delta = used ? true : br.Bit();
            count += use_delta ? 1 : 0;
        }
        return count;
    }
    uint32_t negative = br.UeMax(16);
    uint32_t positive = br.UeMax(16);
    for (uint32_t i = 0; i < negative + positive && br.Ok(); ++i) {
        br.UeMax(32767);  // delta_poc_minus1
        br.Bit();         // used_by_curr_pic_flag
    }
    if (negative + positive > 16) {
        br.MarkBad();
    }
    return negative + positive;
}

void h265_skip_sub_layer_hrd(BitReader& br, uint32_t cpb_count, bool sub_pic) {
    for (uint32_t i = 0; i < cpb_count && br.Ok(); ++i) {
        br.Ue();
        br.Ue();
        if (sub_pic) {
            br.Ue();
            br.Ue();
        }
        br.Bit();
    }
}

void h265_skip_hrd(BitReader& br, uint32_t max_sub_layers_minus1) {
    bool nal = br.Bit();
    bool vcl = br.Bit();
    bool sub_pic = false;
    if (nal || vcl) {
        sub_pic = br.Bit();
        if (sub_pic) {
            br.Skip(8 + 5 + 1 + 5);
        }
        br.Skip(4 + 4);
        if (sub_pic) {
            br.Skip(4);
        }
        br.Skip(5 + 5 + 5);
    }
    for (uint32_t i = 0; i <= max_sub_layers_minus1 && br.Ok(); ++i) {
        bool fixed_general = br.Bit();
        bool fixed_within_cvs = fixed_general ? true : br.Bit();
        bool low_delay = false;
        if (fixed_within_cvs) {
            br.Ue();  // elemental_duration_in_tc_minus1
        } else {
            low_delay = br.Bit();
        }
        uint32_t cpb_count = low_delay ? 1 : br.UeMax(31) + 1;
        if (nal) {
            h265_skip_sub_layer_hrd(br, cpb_count, sub_pic);
        }
        if (vcl) {
            h265_skip_sub_layer_hrd(br, cpb_count, sub_pic);
        }
    }
}

// Reads the VUI up to min_spatial_segmentation_idc, which is all a record uses.
void h265_read_vui(BitReader& br, uint32_t max_sub_layers_minus1, HevcSps* sps) {
    if (br.Bit() && br.Bits(8) == 255) {  // aspect_ratio_info_present_flag, idc
        br.Skip(32);
    }
    if (br.Bit()) {  // overscan_info_present_flag
        br.Bit();
    }
    if (br.Bit()) {  // video_signal_type_present_flag
        br.Skip(4);
        if (br.Bit()) {
            br.Skip(24);
        }
    }
    if (br.Bit()) {  // chroma_loc_info_present_flag
        br.Ue();
        br.Ue();
    }
    br.Skip(3);      // neutral_chroma, field_seq, frame_field_info
    if (br.Bit()) {  // default_display_window_flag
        for (int i = 0; i < 4; ++i) {
            br.Ue();
        }
    }
    if (br.Bit()) {  // vui_timing_info_present_flag
        br.Skip(64);
        if (br.Bit()) {
            br.Ue();
        }
        if (br.Bit()) {
            h265_skip_hrd(br, max_sub_layers_minus1);
        }
    }
    if (br.Bit()) {  // bitstream_restriction_flag
        br.Skip(3);
        sps->min_spatial_segmentation_idc = br.UeMax(4095);
    }
}

// Everything between the picture size and the VUI.
void h265_skip_sps_middle(BitReader& br, uint32_t max_sub_layers_minus1) {
    uint32_t log2_poc_lsb = br.UeMax(12) + 4;
    bool ordering_all = br.Bit();
    for (uint32_t i = ordering_all ? 0 : max_sub_layers_minus1; i <= max_sub_layers_minus1; ++i) {
        br.Ue();
        br.Ue();
        br.Ue();
    }
    for (int i = 0; i < 6; ++i) {
        br.UeMax(32);  // block sizes and transform depths
    }
    if (br.Bit() && br.Bit()) {  // scaling_list_enabled, sps_scaling_list_data_present
        h265_skip_scaling_list_data(br);
    }
    br.Skip(2);      // amp, sample_adaptive_offset
    if (br.Bit()) {  // pcm_enabled_flag
        br.Skip(8);
        br.Ue();
        br.Ue();
        br.Bit();
    }
    uint32_t sets = br.UeMax(kMaxShortTermSets);
    uint32_t num_delta_pocs[kMaxShortTermSets] = {};
    for (uint32_t i = 0; i < sets && i < kMaxShortTermSets && br.Ok(); ++i) {
        num_delta_pocs[i] = h265_skip_st_rps(br, i, num_delta_pocs);
    }
    if (br.Bit()) {  // long_term_ref_pics_present_flag
        uint32_t n = br.UeMax(32);
        for (uint32_t i = 0; i < n && br.Ok(); ++i) {
            br.Skip(log2_poc_lsb + 1);
        }
    }
    br.Skip(2);  // temporal_mvp, strong_intra_smoothing
}

}  // namespace

int h265_parse_vps(const uint8_t* nal, size_t len, HevcVps* vps, size_t* stop) {
    if (stop) {
        *stop = 0;
    }
    if (!nal || len < 3) {
        return CODEC_TRUNCATED;
    }
    std::vector<uint8_t> rbsp;
    nal_to_rbsp(nal, len, 2, &rbsp);
    BitReader br(rbsp);
    HevcVps v;
    br.Skip(4 + 1 + 1 + 6);  // id, base layer flags, max_layers_minus1
    uint32_t max_sub_layers_minus1 = br.Bits(3);
    br.Skip(1 + 16);
    if (max_sub_layers_minus1 > 6) {
        br.MarkBad();
        return finish(br, stop);
    }
    h265_read_ptl(br, max_sub_layers_minus1, &v.ptl);
    v.max_sub_layers = max_sub_layers_minus1 + 1;
    if (br.Ok()) {
        *vps = v;
    }
    return finish(br, stop);
}

int h265_parse_sps(const uint8_t* nal, size_t len, HevcSps* sps, size_t* stop) {
    if (stop) {
        *stop = 0;
    }
    if (!nal || len < 3) {
        return CODEC_TRUNCATED;
    }
    std::vector<uint8_t> rbsp;
    nal_to_rbsp(nal, len, 2, &rbsp);
    BitReader br(rbsp);
    HevcSps s;
    br.Skip(4);
    uint32_t max_sub_layers_minus1 = br.Bits(3);
    s.temporal_id_nesting = br.Bit();
    if (max_sub_layers_minus1 > 6) {
        br.MarkBad();
        return finish(br, stop);
    }
    s.max_sub_layers = max_sub_layers_minus1 + 1;
    h265_read_ptl(br, max_sub_layers_minus1, &s.ptl);
    br.UeMax(15);  // sps_seq_parameter_set_id
    s.chroma_format_idc = br.UeMax(3);
    if (s.chroma_format_idc == 3) {
        br.Bit();
    }
    s.width = br.Ue();
    s.height = br.Ue();
    if (br.Bit()) {  // conformance_window_flag
        for (int i = 0; i < 4; ++i) {
            br.Ue();
        }
    }
    s.bit_depth_luma = br.UeMax(8) + 8;
    s.bit_depth_chroma = br.UeMax(8) + 8;
    h265_skip_sps_middle(br, max_sub_layers_minus1);
    if (br.Ok() && br.Bit()) {  // vui_parameters_present_flag
        h265_read_vui(br, max_sub_layers_minus1, &s);
    }
    if (br.Ok() && (s.width == 0 || s.height == 0)) {
        br.MarkBad();
    }
    if (br.Ok()) {
        *sps = s;
    }
    return finish(br, stop);
}

int h265_parse_pps(const uint8_t* nal, size_t len, HevcPps* pps, size_t* stop) {
    if (stop) {
        *stop = 0;
    }
    if (!nal || len < 3) {
        return CODEC_TRUNCATED;
    }
    std::vector<uint8_t> rbsp;
    nal_to_rbsp(nal, len, 2, &rbsp);
    BitReader br(rbsp);
    br.UeMax(63);  // pps_pic_parameter_set_id
    br.UeMax(15);  // pps_seq_parameter_set_id
    br.Skip(1 + 1 + 3 + 1 + 1);
    br.UeMax(14);
    br.UeMax(14);
    br.Se();         // init_qp_minus26
    br.Skip(2);      // constrained_intra_pred, transform_skip_enabled
    if (br.Bit()) {  // cu_qp_delta_enabled_flag
        br.Ue();
    }
    br.Se();
    br.Se();
    br.Skip(4);  // chroma qp offsets present, weighted pred/bipred, transquant bypass
    HevcPps p;
    p.tiles = br.Bit();
    p.entropy_coding_sync = br.Bit();
    if (br.Ok()) {
        *pps = p;
    }
    return finish(br, stop);
}

namespace {

void combine_ptl(const HevcPtl& in, HevcPtl* acc) {
    acc->profile_space = in.profile_space;
    acc->tier = std::max(acc->tier, in.tier);
    acc->profile_idc = std::max(acc->profile_idc, in.profile_idc);
    acc->compatibility &= in.compatibility;
    acc->constraints &= in.constraints;
    acc->level_idc = std::max(acc->level_idc, in.level_idc);
}

void put_array(std::vector<uint8_t>* out, uint8_t type, const NalUnit& u) {
    out->push_back(type & 0x3F);  // array_completeness 0
    put16(out, 1);
    put16(out, u.len);
    out->insert(out->end(), u.data, u.data + u.len);
}

uint8_t parallelism_type(const HevcPps& pps, uint32_t min_segmentation) {
    if (min_segmentation == 0 || (pps.tiles && pps.entropy_coding_sync)) {
        return 0;
    }
    if (pps.entropy_coding_sync) {
        return 3;
    }
    return pps.tiles ? 2 : 1;
}

}  // namespace

int hevc_decoder_config(const NalUnit& vps, const NalUnit& sps, const NalUnit& pps,
                        std::vector<uint8_t>* record) {
    HevcVps v;
    HevcSps s;
    HevcPps p;
    int r = h265_parse_vps(vps.data, vps.len, &v);
    if (r == CODEC_OK) {
        r = h265_parse_sps(sps.data, sps.len, &s);
    }
    if (r == CODEC_OK) {
        r = h265_parse_pps(pps.data, pps.len, &p);
    }
    if (r != CODEC_OK) {
        return r;
    }
    if (vps.len > 0xFFFF || sps.len > 0xFFFF || pps.len > 0xFFFF) {
        return CODEC_UNSUPPORTED;
    }
    HevcPtl ptl;
    ptl.compatibility = 0xFFFFFFFFu;
    ptl.constraints = 0xFFFFFFFFFFFFull;
    combine_ptl(v.ptl, &ptl);
    combine_ptl(s.ptl, &ptl);
    // Unknown without the VUI's bitstream restrictions, which reads as 0.
    uint32_t min_seg = s.min_spatial_segmentation_idc;
    uint32_t sub_layers = std::max(v.max_sub_layers, s.max_sub_layers);

    record->clear();
    record->reserve(vps.len + sps.len + pps.len + 64);
    record->push_back(1);
    record->push_back(
        static_cast<uint8_t>(ptl.profile_space << 6 | ptl.tier << 5 | ptl.profile_idc));
    for (int shift = 24; shift >= 0; shift -= 8) {
        record->push_back(static_cast<uint8_t>(ptl.compatibility >> shift));
    }
    for (int shift = 40; shift >= 0; shift -= 8) {
        record->push_back(static_cast<uint8_t>(ptl.constraints >> shift));
    }
    record->push_back(ptl.level_idc);
    put16(record, 0xF000 | min_seg);
    record->push_back(0xFC | parallelism_type(p, min_seg));
    record->push_back(static_cast<uint8_t>(0xFC | s.chroma_format_idc));
    record->push_back(static_cast<uint8_t>(0xF8 | (s.bit_depth_luma - 8)));
    record->push_back(static_cast<uint8_t>(0xF8 | (s.bit_depth_chroma - 8)));
    put16(record, 0);  // avgFrameRate unknown
    record->push_back(static_cast<uint8_t>(sub_layers << 3 | (s.temporal_id_nesting ? 4 : 0) | 3));
    record->push_back(3);
    put_array(record, 32, vps);
    put_array(record, 33, sps);
    put_array(record, 34, pps);
    return CODEC_OK;
}

// ---------------------------------------------------------------- AAC

bool adts_sync(const uint8_t* data, size_t len) {
    return data && len >= 2 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0;
}

int adts_parse(const uint8_t* data, size_t len, AdtsHeader* hdr, size_t* stop) {
    if (stop) {
        *stop = 0;
    }
    if (!adts_sync(data, len)) {
        return CODEC_NOT_ADTS;
    }
    if (len < 7) {
        return CODEC_TRUNCATED;
    }
    AdtsHeader h;
    h.protection_absent = data[1] & 1;
    h.header_len = h.protection_absent ? 7 : 9;
    h.object_type = static_cast<uint8_t>((data[2] >> 6) + 1);
    h.sampling_index = (data[2] >> 2) & 0x0F;
    h.channel_config = static_cast<uint8_t>(((data[2] & 1) << 2) | (data[3] >> 6));
    h.frame_len = ((data[3] & 3u) << 11) | (static_cast<uint32_t>(data[4]) << 3) | (data[5] >> 5);
    if ((data[1] & 0x06) != 0 || h.sampling_index > 12) {
        return CODEC_BAD_VALUE;
    }
    if (len < h.header_len) {
        return CODEC_TRUNCATED;
    }
    if (h.frame_len < h.header_len) {
        return CODEC_BAD_VALUE;
    }
    if (h.frame_len != len) {
        return h.frame_len > len ? CODEC_TRUNCATED : CODEC_UNSUPPORTED;
    }
    *hdr = h;
    if (stop) {
        *stop = h.header_len;
    }
    return CODEC_OK;
}

void aac_audio_specific_config(uint8_t object_type, uint8_t sampling_index, uint8_t channel_config,
                               uint8_t out[5]) {
    out[0] = static_cast<uint8_t>((object_type & 0x1F) << 3 | (sampling_index & 0x0F) >> 1);
    out[1] = static_cast<uint8_t>((sampling_index & 1) << 7 | (channel_config & 0x0F) << 3);
    out[2] = 0x56;
    out[3] = 0xE5;
    out[4] = 0x00;
}

}  // namespace kestrel
