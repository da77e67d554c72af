// What this build of the SDK calls itself in logs and in the version report.
#pragma once

namespace kestrel {

constexpr const char* kSdkVersion = "2.1.2";
constexpr const char* kSdkBuildDate = "20210423023602";
constexpr const char* kSdkBuildIds[3] = {"30d93cc", "ff9e561", "75f80d2f"};
constexpr const char* kSdkBuilder = "tarn.qb";

}  // namespace kestrel
