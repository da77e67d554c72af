// The SDK's internal message service keeps the publish record C callers use.
#include <type_traits>

#include "sdk/message_service.h"

static_assert(std::is_same<kestrel::MessageService::MessagePublishParam,
                           ks_message_publish_param_s>::value,
              "one publish record for C and C++ callers");

int internal_cxx_use();
int internal_cxx_use() { return 0; }
