// Deep copies of device identities for the demo's device list. The SDK hands
// its callbacks identities it owns only for the duration of the call, so the
// demo keeps its own copies to recognise which camera a request is for.
#pragma once

#include <kestrel/ks_api.h>

// Copies `count` identities with their three strings. Null for a null list,
// a count of 0, or when any allocation fails (nothing is leaked then).
ks_device_auth_s* ksDeviceAuthCopy(const ks_device_auth_s* list, unsigned count);

// Frees a list made by ksDeviceAuthCopy; a null list does nothing.
void ksDeviceAuthDelete(ks_device_auth_s* list, unsigned count);

// Index of the first entry equal to `auth` (same dev_id, and the same product
// key, device name and device secret, none of them null). Any result not
// below `count` means "not in the list", which is also the answer for a null
// argument or an empty list.
unsigned ksDeviceAuthCompares(const ks_device_auth_s* auth, unsigned count,
                              const ks_device_auth_s* list);
