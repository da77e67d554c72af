// The camera's property table: names and their JSON value texts, reported to the
// property sink as JSON objects.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace kestrel {
namespace camera {

class PropertyParser {
  public:
    using PropertySink = int (*)(void* user, const char* json);

    PropertyParser(PropertySink sink, void* user);

    // Stores the value when the name is known and reports {"name":value} in any
    // case. Returns the sink's result mapped to 0 / -1.
    int SetProperty(const std::string& name, const std::string& value);
    // Reports every property in name order as one object.
    int GetAllProperty();
    // The stored text, or false for an unknown name.
    bool GetProperty(const std::string& name, std::string* value) const;

    // A name as a JSON string, and a value as is when it is a JSON value, else
    // as a JSON string.
    static std::string JsonMember(const std::string& name, const std::string& value);

  private:
    int Report(const std::string& json);

    PropertySink sink_;
    void* user_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> properties_;
};

}  // namespace camera
}  // namespace kestrel
