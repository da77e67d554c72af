// HTTP/1.1 request heads as the upload clients write them, and strict parsing
// of response heads. Pure code over strings: the caller logs what the results
// report. Bodies are framed by Content-Length only; anything else is reported
// so that the caller can end the connection instead of misreading the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "proto/url.h"

namespace kestrel {

class HttpProtocolAssistant {
  public:
    enum Method { METHOD_POST = 0, METHOD_GET = 1, METHOD_PUT = 2 };
    enum Version { VERSION_1_0 = 0, VERSION_1_1 = 1, VERSION_2_0 = 2 };

    // "INVALID" for a method outside the table; "HTTP/1.1" for any version
    // other than 0 and 2.
    static const char* MethodString(int method);
    static const char* VersionString(int version);
    static bool CheckVersionString(const std::string& version);
};

// Header names compared without regard to ASCII case, as HTTP treats them.
struct HttpNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
bool http_name_equal(const std::string& a, const std::string& b);

enum HttpRequestResult {
    HTTP_REQUEST_OK = 0,
    HTTP_REQUEST_LINE_MISSED = -1,     // method, target or version is empty
    HTTP_REQUEST_CONTENT_LENGTH = -1,  // SetHeader given Content-Length
    HTTP_REQUEST_BAD_TEXT = -2,        // CR, LF or NUL in a name, value or target; bad name
};

class HttpRequestConstruct {
  public:
    // A method outside the table leaves the request line missing: a request
    // is never sent with "INVALID" as its method.
    void SetRequestLine(int method, const std::string& target, int version);
    // Target = the URL's path (query included); Host = the URL's host. Takes
    // any parsed URL with those two fields (NetUrl, or the SDK's NetUrlParse).
    // The result is SetHost's.
    template <typename Url>
    int SetRequestLineUrl(int method, int version, const Url& url) {
        SetRequestLine(method, url.path, version);
        return SetHost(url.host);
    }
    // As SetHeader("Host", host).
    int SetHost(const std::string& host);
    // An empty name or value is ignored (0). Content-Length in any letter case
    // is refused (HTTP_REQUEST_CONTENT_LENGTH); text that would break the head
    // is refused (HTTP_REQUEST_BAD_TEXT). A name set twice, in any case,
    // keeps the newer spelling and value.
    int SetHeader(const std::string& name, const std::string& value);
    void SetContentLength(uint64_t length) { content_length_ = length; }

    // Request line, "Content-Length", the headers in byte order of their
    // names, then the empty line. HTTP_REQUEST_LINE_MISSED when method, target
    // or version is empty, HTTP_REQUEST_BAD_TEXT when the target holds a
    // space or a line break; out is left empty then.
    int GetHeaderString(std::string& out) const;

    const std::map<std::string, std::string>& Headers() const { return headers_; }

  private:
    std::string method_;
    std::string target_;
    std::string version_;
    std::map<std::string, std::string> headers_;
    uint64_t content_length_ = 0;
};

enum HttpHeadResult {
    HTTP_HEAD_OK = 0,
    HTTP_HEAD_INCOMPLETE = -1,  // no "\r\n\r\n" yet
    HTTP_HEAD_INVALID = -2,     // status line, a header line or Content-Length is malformed
    HTTP_HEAD_TOO_LARGE = -3,   // no end of head within HTTP_MAX_HEAD bytes
};

// The longest head accepted, the closing empty line included.
constexpr size_t HTTP_MAX_HEAD = 16 * 1024;

class HttpResponseParse {
  public:
    using Headers = std::map<std::string, std::string, HttpNameLess>;
    using TraverseFn = void (*)(void* param, const std::string& name, const std::string& value);

    // Takes head bytes; returns how many of the given bytes belong to the
    // head (body bytes behind it are left to the caller). 0 when data is null,
    // len is 0 or the head is already finished (whatever its result).
    size_t AppendData(const char* data, size_t len);

    // One of HttpHeadResult.
    int IsParseFinished() const { return result_; }

    int GetStatusCode() const { return result_ == HTTP_HEAD_OK ? status_code_ : 0; }
    std::string GetVersion() const { return result_ == HTTP_HEAD_OK ? version_ : std::string(); }
    std::string GetReason() const { return result_ == HTTP_HEAD_OK ? reason_ : std::string(); }
    // Any letter case; "" when absent or the head is not valid.
    std::string GetHeaderValue(const std::string& name) const;
    // The Content-Length value; 0 when absent.
    uint64_t GetContentLen() const { return result_ == HTTP_HEAD_OK ? content_length_ : 0; }
    // False when a Transfer-Encoding other than identity frames the body: the
    // reader cannot find the end of such a body, let alone the next response.
    bool IsFramingSupported() const { return !other_coding_; }
    void HeaderTraverse(TraverseFn fn, void* param) const;
    const std::string& HeadText() const { return buffer_; }

    void ClearData();

  private:
    int Parse();
    int ParseStatusLine(const std::string& line);
    int ParseHeaderLine(const std::string& line);
    int ParseFraming();

    std::string buffer_;
    int result_ = HTTP_HEAD_INCOMPLETE;
    int status_code_ = 0;
    std::string version_;
    std::string reason_;
    Headers headers_;
    uint64_t content_length_ = 0;
    bool other_coding_ = false;
};

}  // namespace kestrel
