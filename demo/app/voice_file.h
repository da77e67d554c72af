// Received intercom audio kept per voice session in the working directory, so
// a person can play what the cloud said: G.711 as a WAV file (A-law or
// mu-law, the samples exactly as received), AAC as an ADTS stream.
#pragma once

#include <kestrel/ks_api.h>

#include <string>

// Appends one received frame to the session's file, opening it on the first
// frame. 0, or -1 when the file cannot be written (printed once).
int voice_file_write(int service_id, const ks_on_push_streaming_data_param_s* param);
// Closes the session's file; nothing when it has none.
void voice_file_close(int service_id);
// The file a session writes: "voice_<id>.wav" or "voice_<id>.aac".
std::string voice_file_name(int service_id, ks_audio_format_e format);
