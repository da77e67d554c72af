// Helpers shared by the Linux port-layer sources; not part of the public API.
#ifndef TETHER_PORT_LINUX_HAL_INTERNAL_H
#define TETHER_PORT_LINUX_HAL_INTERNAL_H

#include <string>

namespace tether_port {

// Prints "[QX-PRT] " + message through HAL_Printf when level is enabled.
void prt(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// "<storage dir>/<name>", or just name when no directory is set.
std::string storage_path(const char* name);

// Resolution attempts of HAL_SSL_Establish and the pause between them.
int dns_attempts();
int dns_retry_pause_ms();

// The descriptor behind a HAL waker (-1 for NULL), for waits on several
// inputs at once.
int waker_fd(void* waker);

}  // namespace tether_port

#endif  // TETHER_PORT_LINUX_HAL_INTERNAL_H
