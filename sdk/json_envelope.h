// The one way the SDK writes its cloud messages: members in the caller's
// order, string values escaped, raw values (JSON text made by the caller or
// the application) inserted as they are. Byte for byte what the platform has
// always been sent: no spaces, members in order.
#pragma once

#include <string>

struct cJSON;

namespace kestrel {

class JsonObjectWriter {
  public:
    JsonObjectWriter();
    ~JsonObjectWriter();
    JsonObjectWriter(const JsonObjectWriter&) = delete;
    JsonObjectWriter& operator=(const JsonObjectWriter&) = delete;

    JsonObjectWriter& Str(const char* key, const std::string& value);
    JsonObjectWriter& Raw(const char* key, const std::string& json);
    // The object's text; empty when memory ran out on the way.
    std::string Text() const;

  private:
    cJSON* root_;
    bool ok_;
};

// A string as a JSON string literal, quotes included.
std::string JsonQuote(const std::string& value);

// {"id":"<id>","version":"<version>","params":<params>,"method":"<method>"}
std::string JsonEnvelope(const std::string& id, const char* version, const std::string& params,
                         const std::string& method);

}  // namespace kestrel
