// Reading what the platform sends the demo: which service calls go to the
// SDK, the PTZ command and the property-set request. Pure functions, so the
// rules can be checked without a cloud connection.
#pragma once

#include <string>

// True when the service name begins with one of the names the SDK serves
// (stream, voice, playback, picture and record-query services).
bool cloud_service_is_forwarded(const char* service, int service_len);

// True when the service name is exactly "PTZActionControl".
bool cloud_service_is_ptz(const char* service, int service_len);

// Reads the integers "ActionType" and "Step" of a PTZ payload. 0, or -1 when
// the payload is not JSON or lacks one of them (or it is not a number).
int cloud_parse_ptz(const char* payload, int payload_len, int* action_type, int* step);

// What a property set changes on the camera: the first member of the params
// object. A number is given as its integer text ("%d"), a string as its JSON
// text (quoted and escaped, so that the camera's report stays valid JSON).
// Returns 1 with name and value filled, 0 when nothing is to be changed (no
// members, or a first member of another type), -1 when the request is not a
// JSON object.
int cloud_property_first_member(const char* request, int request_len, std::string* name,
                                std::string* value);
