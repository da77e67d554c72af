// Trust for storage connections: the storage service's pinned public root,
// plus one anchor the application may add (a private cloud's CA).
#pragma once

#include <cstddef>
#include <string>

namespace kestrel {

class KivCa {
  public:
    // The pinned root, PEM with CR LF line ends.
    static const char* GetCa();
    static size_t GetCaLen();
    static unsigned short GetPort() { return 443; }

    // PEM text trusted besides the pinned root; empty removes it. -1 (logged)
    // when it holds no certificate.
    static int SetExtraAnchor(const std::string& pem);
    // The pinned root followed by the extra anchor: what every storage
    // connection verifies its server against.
    static std::string Bundle();
};

}  // namespace kestrel
