#include "proto/rtmp_command.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "proto/amf0.h"

namespace kestrel {

namespace {

uint8_t* Str(uint8_t* p, const uint8_t* end, const std::string& s) {
    return AMFWriteString(p, end, s.data(), s.size());
}

uint8_t* Str(uint8_t* p, const uint8_t* end, const char* s) {
    return AMFWriteString(p, end, s, std::strlen(s));
}

uint8_t* NamedStr(uint8_t* p, const uint8_t* end, const char* name, const std::string& s) {
    return AMFWriteNamedString(p, end, name, std::strlen(name), s.data(), s.size());
}

uint8_t* NamedNum(uint8_t* p, const uint8_t* end, const char* name, double v) {
    return AMFWriteNamedDouble(p, end, name, std::strlen(name), v);
}

// name, transaction id, Null, stream name: the shape of most stream commands.
uint8_t* StreamCommand(uint8_t* p, const uint8_t* end, const char* name, double txn,
                       const std::string& stream) {
    p = Str(p, end, name);
    p = AMFWriteDouble(p, end, txn);
    p = AMFWriteNull(p, end);
    return Str(p, end, stream);
}

const rtmp_status_entry_t kStatus[] = {
    {"NetStream.Play.Start", RTMP_STATUS_STARTED, RTMP_NOTIFY_PLAY_START, RTMP_NOTIFY_PLAY_START,
     RTMP_DATA_DESCRIPTION},
    {"NetStream.Publish.Start", RTMP_STATUS_STARTED, RTMP_NOTIFY_PUBLISH_START, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Record.Start", RTMP_STATUS_STARTED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Pause.Start", RTMP_STATUS_NONE, RTMP_NOTIFY_PAUSE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NUMBER},
    {"NetStream.Unpause.Start", RTMP_STATUS_NONE, RTMP_NOTIFY_UNPAUSE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NUMBER},
    {"NetStream.Seek.Start", RTMP_STATUS_NONE, RTMP_NOTIFY_SEEK, RTMP_NOTIFY_NONE,
     RTMP_DATA_NUMBER},
    {"NetStream.Complete.Response", RTMP_STATUS_NONE, RTMP_NOTIFY_COMPLETE_RESPONSE,
     RTMP_NOTIFY_NONE, RTMP_DATA_NONE},
    {"NetStream.Stop.Start", RTMP_STATUS_NONE, RTMP_NOTIFY_STOP, RTMP_NOTIFY_NONE, RTMP_DATA_NONE},
    {"NetStream.ForceIFrame.Start", RTMP_STATUS_NONE, RTMP_NOTIFY_FORCE_IFRAME, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.SetPlayParam.Start", RTMP_STATUS_NONE, RTMP_NOTIFY_SET_PLAY_PARAM, RTMP_NOTIFY_NONE,
     RTMP_DATA_PLAY_PARAM},
    {"NetStream.TalkReady", RTMP_STATUS_NONE, RTMP_NOTIFY_TALK_READY, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Play.Stop", RTMP_STATUS_STOPPED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Record.Stop", RTMP_STATUS_STOPPED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Play.Complete", RTMP_STATUS_STOPPED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_PLAY_COMPLETE,
     RTMP_DATA_NONE},
    {"NetStream.Pre.Complete", RTMP_STATUS_NONE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_PRE_COMPLETE,
     RTMP_DATA_NONE},
    {"NetStream.Unpause.Notify", RTMP_STATUS_STARTED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Pause.Notify", RTMP_STATUS_NONE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Seek.Notify", RTMP_STATUS_NONE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE, RTMP_DATA_NONE},
    {"NetStream.Play.Response", RTMP_STATUS_RESPONSE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Stop.Response", RTMP_STATUS_RESPONSE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Seek.Response", RTMP_STATUS_RESPONSE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Pause.Response", RTMP_STATUS_RESPONSE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Unpause.Response", RTMP_STATUS_RESPONSE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.VOD.Complete", RTMP_STATUS_RESPONSE, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Play.Reset", RTMP_STATUS_IGNORED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Play.PublishNotify", RTMP_STATUS_IGNORED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Play.UnpublishNotify", RTMP_STATUS_IGNORED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetConnection.Connect.InvalidApp", RTMP_STATUS_FAILED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetConnection.Connect.Rejected", RTMP_STATUS_FAILED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Failed", RTMP_STATUS_FAILED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE, RTMP_DATA_NONE},
    {"NetStream.Play.Failed", RTMP_STATUS_FAILED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
    {"NetStream.Play.StreamNotFound", RTMP_STATUS_FAILED, RTMP_NOTIFY_NONE, RTMP_NOTIFY_NONE,
     RTMP_DATA_NONE},
};

const rtmp_status_entry_t kUnknownStatus = {"", RTMP_STATUS_UNKNOWN, RTMP_NOTIFY_NONE,
                                            RTMP_NOTIFY_NONE, RTMP_DATA_NONE};

const char* const kServerRequests[] = {"connect",      "createStream",   "play",    "deleteStream",
                                       "receiveAudio", "receiveVideo",   "publish", "seek",
                                       "pause",        "getStreamLength"};

// Copies a String property of an object into a fixed buffer when it fits.
void CopyIfFits(const uint8_t* s, size_t len, char* out, size_t capacity) {
    if (len < capacity) {
        std::memcpy(out, s, len);
        out[len] = '\0';
    }
}

// Reads the onStatus / _error information object: level, code and the raw
// description. Returns the byte after the object or null.
const uint8_t* ReadInformation(const uint8_t* p, const uint8_t* end, rtmp_command_t* out) {
    while (p && end - p >= 2) {
        size_t name_len = static_cast<size_t>(p[0]) << 8 | p[1];
        p += 2;
        if (name_len == 0) {
            return p < end && *p == AMF_OBJECT_END ? p + 1 : nullptr;
        }
        if (static_cast<size_t>(end - p) < name_len + 1) {
            return nullptr;
        }
        std::string name(reinterpret_cast<const char*>(p), name_len);
        AMFDataType type = static_cast<AMFDataType>(p[name_len]);
        p += name_len + 1;
        const uint8_t* value = p;
        p = amf_read_item(p, end, type, nullptr);
        if (p && type == AMF_OBJECT && name == "description") {
            // Some relays send the play parameters as a bare object instead
            // of a String holding its bytes: keep it, marker included, so
            // both read the same way.
            out->description.assign(reinterpret_cast<const char*>(value - 1),
                                    static_cast<size_t>(p - (value - 1)));
            continue;
        }
        if (!p || (type != AMF_STRING && type != AMF_LONG_STRING)) {
            continue;
        }
        size_t head = type == AMF_STRING ? 2 : 4;
        const uint8_t* text = value + head;
        size_t len = static_cast<size_t>(p - text);
        if (name == "level") {
            CopyIfFits(text, len, out->level, sizeof out->level);
        } else if (name == "code") {
            CopyIfFits(text, len, out->code, sizeof out->code);
        } else if (name == "description") {
            out->description.assign(reinterpret_cast<const char*>(text), len);
        }
    }
    return nullptr;
}

// Skips the command object (or Null) that follows the transaction id.
const uint8_t* SkipCommandObject(const uint8_t* p, const uint8_t* end) {
    if (p >= end) {
        return nullptr;
    }
    AMFDataType type = static_cast<AMFDataType>(*p);
    if (type != AMF_NULL && type != AMF_OBJECT && type != AMF_UNDEFINED) {
        return nullptr;
    }
    return amf_read_item(p + 1, end, type, nullptr);
}

int ParseResult(const uint8_t* p, const uint8_t* end, rtmp_command_t* out) {
    if (out->transaction == RTMP_TXN_CONNECT) {
        char fms[64] = {};
        double caps = 0;
        char level[16] = {}, code[64] = {}, desc[256] = {};
        amf_object_item_t props[] = {{AMF_STRING, "fmsVer", fms, sizeof fms},
                                     {AMF_NUMBER, "capabilities", &caps, 0}};
        amf_object_item_t info[] = {{AMF_STRING, "level", level, sizeof level},
                                    {AMF_STRING, "code", code, sizeof code},
                                    {AMF_STRING, "description", desc, sizeof desc}};
        amf_object_item_t items[] = {{AMF_OBJECT, "Properties", props, 2},
                                     {AMF_OBJECT, "Information", info, 3}};
        if (!amf_read_items(p, end, items, 2)) {
            return RTMP_COMMAND_MALFORMED;
        }
        std::memcpy(out->level, level, sizeof level);
        std::memcpy(out->code, code, sizeof code);
        out->description = desc;
        return RTMP_COMMAND_OK;
    }
    if (out->transaction == RTMP_TXN_CREATE_STREAM) {
        double id = -1;
        amf_object_item_t items[] = {{AMF_OBJECT, "", nullptr, 0}, {AMF_NUMBER, "", &id, 0}};
        if (!amf_read_items(p, end, items, 2) || !(id >= 0)) {
            return RTMP_COMMAND_MALFORMED;
        }
        out->stream_id = id;
        out->has_stream_id = true;
    }
    return RTMP_COMMAND_OK;
}

}  // namespace

uint8_t* rtmp_command_connect(uint8_t* p, const uint8_t* end, const rtmp_connect_t& c) {
    p = Str(p, end, "connect");
    p = AMFWriteDouble(p, end, RTMP_TXN_CONNECT);
    p = AMFWriteObject(p, end);
    p = NamedStr(p, end, "app", c.app);
    p = NamedStr(p, end, "flashVer", c.flashver);
    if (!c.tc_url.empty()) {
        p = NamedStr(p, end, "tcUrl", c.tc_url);
    }
    if (!c.swf_url.empty()) {
        p = NamedStr(p, end, "swfUrl", c.swf_url);
    }
    if (!c.page_url.empty()) {
        p = NamedStr(p, end, "pageUrl", c.page_url);
    }
    p = AMFWriteNamedBoolean(p, end, "fpad", 4, c.fpad);
    p = NamedNum(p, end, "capabilities", c.capabilities);
    p = NamedNum(p, end, "audioCodecs", c.audio_codecs);
    p = NamedNum(p, end, "videoCodecs", c.video_codecs);
    p = NamedNum(p, end, "videoFunction", c.video_function);
    p = NamedNum(p, end, "objectEncoding", c.object_encoding);
    return AMFWriteObjectEnd(p, end);
}

uint8_t* rtmp_command_release_stream(uint8_t* p, const uint8_t* end, const std::string& stream) {
    return StreamCommand(p, end, "releaseStream", 0, stream);
}

uint8_t* rtmp_command_fcpublish(uint8_t* p, const uint8_t* end, const std::string& stream) {
    return StreamCommand(p, end, "FCPublish", 0, stream);
}

uint8_t* rtmp_command_create_stream(uint8_t* p, const uint8_t* end) {
    p = Str(p, end, "createStream");
    p = AMFWriteDouble(p, end, RTMP_TXN_CREATE_STREAM);
    return AMFWriteNull(p, end);
}

uint8_t* rtmp_command_publish(uint8_t* p, const uint8_t* end, const std::string& stream) {
    return Str(StreamCommand(p, end, "publish", 0, stream), end, "live");
}

uint8_t* rtmp_command_get_stream_length(uint8_t* p, const uint8_t* end, const std::string& stream) {
    return StreamCommand(p, end, "getStreamLength", RTMP_TXN_GET_STREAM_LENGTH, stream);
}

uint8_t* rtmp_command_play(uint8_t* p, const uint8_t* end, const std::string& stream) {
    p = StreamCommand(p, end, "play", 0, stream);
    p = AMFWriteDouble(p, end, -2);
    p = AMFWriteDouble(p, end, -1);
    return AMFWriteBoolean(p, end, 1);
}

uint8_t* rtmp_command_request_audio_type(uint8_t* p, const uint8_t* end, int type) {
    if (type < 0 || type > 999) {
        return nullptr;
    }
    std::string audio = std::to_string(type);
    p = Str(p, end, "onStatus");
    p = AMFWriteDouble(p, end, 0);
    p = AMFWriteNull(p, end);
    p = AMFWriteObject(p, end);
    p = NamedStr(p, end, "level", "status");
    p = NamedStr(p, end, "code", "NetStream.RequestAudioType");
    p = NamedStr(p, end, "description", "Request audio type.");
    p = NamedStr(p, end, "audio_type", audio);
    return AMFWriteObjectEnd(p, end);
}

int rtmp_command_parse(const uint8_t* body, size_t len, rtmp_command_t* out) {
    *out = rtmp_command_t();
    const uint8_t* end = body + len;
    amf_object_item_t head[] = {{AMF_STRING, "", out->name, sizeof out->name},
                                {AMF_NUMBER, "", &out->transaction, 0}};
    if (len < 1 || body[0] != AMF_STRING) {
        return RTMP_COMMAND_MALFORMED;
    }
    const uint8_t* p = amf_read_item(body + 1, end, AMF_STRING, &head[0]);
    if (!p || p >= end || *p != AMF_NUMBER) {
        return RTMP_COMMAND_MALFORMED;
    }
    p = amf_read_item(p + 1, end, AMF_NUMBER, &head[1]);
    if (!p) {
        return RTMP_COMMAND_MALFORMED;
    }
    std::string name = out->name;
    if (name == "_result") {
        out->kind = RTMP_CMD_RESULT;
        return ParseResult(p, end, out);
    }
    if (name == "_error" || name == "onStatus") {
        out->kind = name == "_error" ? RTMP_CMD_ERROR : RTMP_CMD_ON_STATUS;
        p = SkipCommandObject(p, end);
        if (!p || p >= end || *p != AMF_OBJECT || !ReadInformation(p + 1, end, out)) {
            // An _error fails the connection whatever its body says.
            return out->kind == RTMP_CMD_ERROR ? RTMP_COMMAND_OK : RTMP_COMMAND_MALFORMED;
        }
        return RTMP_COMMAND_OK;
    }
    for (const char* request : kServerRequests) {
        if (name == request) {
            out->kind = RTMP_CMD_SERVER_REQUEST;
        }
    }
    return RTMP_COMMAND_OK;
}

const rtmp_status_entry_t* rtmp_status_lookup(const char* code) {
    for (const auto& entry : kStatus) {
        if (code && strcasecmp(entry.code, code) == 0) {
            return &entry;
        }
    }
    return &kUnknownStatus;
}

bool rtmp_play_param_text(const std::string& description, std::string* text) {
    const auto* p = reinterpret_cast<const uint8_t*>(description.data());
    const uint8_t* end = p + description.size();
    if (p < end && *p == AMF_OBJECT) {
        ++p;
    }
    uint8_t only_key = 0;
    double speed = 0;
    amf_object_item_t items[] = {{AMF_BOOLEAN, "onlyKeyFrame", &only_key, 0},
                                 {AMF_NUMBER, "speed", &speed, 0}};
    if (p >= end || !amf_read_object(p, end, items, 2)) {
        return false;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "{\"onlyKeyFrame\":%d, \"speed\":%lf}", only_key ? 1 : 0, speed);
    *text = buf;
    return true;
}

}  // namespace kestrel
