// Audio bodies received from the relay on the intercom downlink, in clear and
// encrypted: whatever the peer sends, the parser either refuses it or hands
// back a G.711 or AAC body inside what was received, and a configuration
// only with values the codec record can hold. Encrypting any body and
// decrypting it again gives it back.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "proto/flv_mux.h"
#include "proto/media_crypto.h"

namespace {

void Check(bool ok) {
    if (!ok)
        abort();
}

const uint8_t kKey[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                          '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
const uint8_t kIv[16] = {'f', 'e', 'd', 'c', 'b', 'a', '9', '8',
                         '7', '6', '5', '4', '3', '2', '1', '0'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // First byte: bit 0 chooses encrypted input.
    bool encrypted = data[0] & 1;
    std::vector<uint8_t> body(data + 1, data + size);
    kestrel::FlvTagBodyAudioDataParse p;
    int r = p.AddData(reinterpret_cast<const char*>(body.data()), body.size(),
                      encrypted ? kKey : nullptr, encrypted ? kIv : nullptr);
    if (r == kestrel::FLV_OK) {
        Check(p.GetLen() + 2 <= body.size());
        Check(p.GetLen() >= 2);
        Check(p.GetType() == 0 || p.GetType() == 1);
        if (p.GetType() == 0) {
            int f = p.GetFormat();
            Check(f == kestrel::AUDIO_FORMAT_G711A || f == kestrel::AUDIO_FORMAT_G711U ||
                  f == kestrel::AUDIO_FORMAT_AAC);
            Check(p.GetAddRate() >= 0 && p.GetAddRate() <= kestrel::AUDIO_ADD_RATE_MAX);
            Check(p.GetBit() >= 0 && p.GetBit() <= 1);
            Check(p.GetChannel() >= 0 && p.GetChannel() <= 1);
        }
    } else {
        Check(r == kestrel::FLV_AUDIO_PARSE_FAILED && p.LastDetail() != 0);
    }

    kestrel::MediaKey key;
    for (int i = 0; i < 16; ++i) {
        key.key[i] = kKey[i];
        key.iv[i] = kIv[i];
    }
    std::vector<uint8_t> cipher = body;
    size_t pad = 0;
    Check(kestrel::media_encrypt(key, &cipher, 0, &pad) == kestrel::CRYPTO_OK);
    Check(cipher.size() % 16 == 0 && pad >= 1 && pad <= 16 && cipher.size() == body.size() + pad);
    std::vector<uint8_t> clear;
    Check(kestrel::media_decrypt(key, cipher.data(), cipher.size(), &clear) == kestrel::CRYPTO_OK);
    Check(clear == body);
    return 0;
}
