// RTMP NetConnection / NetStream commands: the AMF0 bodies this client
// sends, the parse of what the server sends back, and the table that turns
// onStatus codes into notifications for the owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// Names and texts longer than this do not fit the connect and publish
// records and are refused rather than cut.
constexpr size_t RTMP_NAME_MAX = 255;

struct rtmp_connect_t {
    std::string app;
    std::string flashver = "LNX 9,0,124,2";
    std::string swf_url;  // omitted when empty, as are tc_url and page_url
    std::string tc_url;
    std::string page_url;
    bool fpad = false;
    double capabilities = 15;
    double audio_codecs = 3191;
    double video_codecs = 252;
    double video_function = 1;
    double object_encoding = 0;
};

// Transaction ids the client uses.
enum { RTMP_TXN_CONNECT = 1, RTMP_TXN_CREATE_STREAM = 2, RTMP_TXN_GET_STREAM_LENGTH = 3 };

// Each writes one command body at p and returns the byte after it, or null
// when it does not fit before end.
uint8_t* rtmp_command_connect(uint8_t* p, const uint8_t* end, const rtmp_connect_t& c);
uint8_t* rtmp_command_release_stream(uint8_t* p, const uint8_t* end, const std::string& stream);
uint8_t* rtmp_command_fcpublish(uint8_t* p, const uint8_t* end, const std::string& stream);
uint8_t* rtmp_command_create_stream(uint8_t* p, const uint8_t* end);
uint8_t* rtmp_command_publish(uint8_t* p, const uint8_t* end, const std::string& stream);
uint8_t* rtmp_command_get_stream_length(uint8_t* p, const uint8_t* end, const std::string& stream);
uint8_t* rtmp_command_play(uint8_t* p, const uint8_t* end, const std::string& stream);
// The client's own onStatus asking the server for an audio type (0..999).
uint8_t* rtmp_command_request_audio_type(uint8_t* p, const uint8_t* end, int type);

enum RtmpCommandResult {
    RTMP_COMMAND_OK = 0,
    RTMP_COMMAND_MALFORMED = -22,  // no name, no transaction id, body does not parse
};

enum RtmpCommandKind {
    RTMP_CMD_UNKNOWN = 0,  // a name this client ignores
    RTMP_CMD_RESULT,
    RTMP_CMD_ERROR,
    RTMP_CMD_ON_STATUS,
    RTMP_CMD_SERVER_REQUEST,  // connect, play, publish, ... sent to a server role
};

struct rtmp_command_t {
    RtmpCommandKind kind = RTMP_CMD_UNKNOWN;
    char name[64] = {};
    double transaction = 0;
    double stream_id = 0;  // _result of createStream
    bool has_stream_id = false;
    // onStatus / _error information; texts that do not fit stay empty.
    char level[16] = {};
    char code[64] = {};
    std::string description;  // raw bytes, may hold NULs (SetPlayParam)
};

// A command message body (type 20; type 17 after its first byte).
int rtmp_command_parse(const uint8_t* body, size_t len, rtmp_command_t* out);

enum rtmp_client_notify_t {
    RTMP_NOTIFY_PLAY_START = 0,  // data: description text
    RTMP_NOTIFY_PUBLISH_START = 1,
    RTMP_NOTIFY_PAUSE = 2,    // data: double from the description
    RTMP_NOTIFY_UNPAUSE = 3,  // data: double
    RTMP_NOTIFY_SEEK = 4,     // data: double
    RTMP_NOTIFY_COMPLETE_RESPONSE = 5,
    RTMP_NOTIFY_STOP = 6,
    RTMP_NOTIFY_PLAY_COMPLETE = 7,
    RTMP_NOTIFY_PRE_COMPLETE = 8,
    RTMP_NOTIFY_FORCE_IFRAME = 9,
    RTMP_NOTIFY_SET_PLAY_PARAM = 10,  // data: text or null
    RTMP_NOTIFY_TALK_READY = 11,
    RTMP_NOTIFY_NONE = -1,
};

enum RtmpStatusEffect {
    RTMP_STATUS_NONE = 0,
    RTMP_STATUS_STARTED,
    RTMP_STATUS_STOPPED,
    RTMP_STATUS_RESPONSE,  // for a response handler; the client has none
    RTMP_STATUS_IGNORED,
    RTMP_STATUS_FAILED,   // the connection fails
    RTMP_STATUS_UNKNOWN,  // not in the table
};

enum RtmpStatusData {
    RTMP_DATA_NONE = 0,
    RTMP_DATA_DESCRIPTION,  // the description text
    RTMP_DATA_NUMBER,       // a double parsed from the description
    RTMP_DATA_PLAY_PARAM,   // the description read as an AMF0 object
};

struct rtmp_status_entry_t {
    const char* code;
    RtmpStatusEffect effect;
    int publish_notify;  // notification in publish mode, RTMP_NOTIFY_NONE for none
    int play_notify;     // in play mode
    RtmpStatusData data;
};

// The entry for a status code, compared case-insensitively; never null (an
// unknown code gets an entry with effect RTMP_STATUS_UNKNOWN).
const rtmp_status_entry_t* rtmp_status_lookup(const char* code);

// "{"onlyKeyFrame":%d, "speed":%lf}" from an AMF0 object with those two
// properties (with or without its leading object marker); false when the
// bytes are not such an object.
bool rtmp_play_param_text(const std::string& description, std::string* text);

}  // namespace kestrel
