// C++ callers keep every name they had, and the C record and the SDK's own
// publish record are one type, so a callback written against either fits.
#include <kestrel/ks_api.h>

#include <type_traits>

static_assert(std::is_same<std::underlying_type<ks_video_format_e>::type, int>::value,
              "enumerations keep int as their type in C++");
static_assert(std::is_same<ks_push_stream_cmd_s, ks_push_stream_cmd_e>::value,
              "the old name of the stream command names the same type");
static_assert(std::is_same<decltype(&ks_stream_send_cmd), int (*)(int, ks_push_stream_cmd_s)>::value,
              "ks_stream_send_cmd keeps its signature");

int header_cxx_use();
int header_cxx_use() {
    ks_init_callback_s cb{};
    cb.message_publish_cb = [](const ks_message_publish_param_s*) {};
    return cb.message_publish_cb != nullptr;
}
