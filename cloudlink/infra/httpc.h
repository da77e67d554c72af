// The library's small HTTPS client: one POST per connection, used by
// bootstrap and dynamic registration.
#pragma once

#include <cstddef>
#include <cstdint>

// POSTs body to https://host:port/path with the given content type and extra
// header lines (each ending in "\r\n", may be NULL). The response body is
// copied into resp (cut to resp_cap - 1 bytes, always terminated). Returns the
// HTTP status code, or a negative code when no response could be read.
int nexo_https_post(const char* host, uint16_t port, const char* path, const char* content_type,
                    const char* extra_headers, const char* body, char* resp, size_t resp_cap,
                    int timeout_ms);
