// Reading what the platform sends the demo: which service calls go to the
// SDK, the PTZ command and the property-set request. Pure functions, so the
// rules can be checked without a cloud connection.
#pragma once

#include <string>
#include <vector>

// True when the service name begins with one of the names the SDK serves
// (stream, voice, playback, picture and record-query services).
bool cloud_service_is_forwarded(const char* service, int service_len);

// True when the service name is exactly "PTZActionControl".
bool cloud_service_is_ptz(const char* service, int service_len);

// Reads the integers "ActionType" and "Step" of a PTZ payload. 0, or -1 when
// the payload is not JSON or lacks one of them (or it is not a number).
int cloud_parse_ptz(const char* payload, int payload_len, int* action_type, int* step);

// One member of a property set as the camera takes it: a number as its integer
// text ("%d"), a string as its JSON text (quoted and escaped, so that the
// camera's report stays valid JSON). `error` says why a member cannot be
// applied (another JSON type, a property the camera does not have); `value`
// is then empty.
struct cloud_property_member_s {
    std::string name;
    std::string value;
    std::string error;
};

// Reads every member of a property-set request, in order. 0 (members may be
// empty for "{}"), or -1 when the request is not a JSON object.
int cloud_property_members(const char* request, int request_len,
                           std::vector<cloud_property_member_s>* members);

// True for a property of the camera's thing model.
bool cloud_property_known(const std::string& name);
