// The cloud's file download and upload invocations, handed to the
// application as cloud events; the application performs the transfer.
#pragma once

#include <string>

namespace kestrel {

class FileTransformService {
  public:
    enum Kind { kDownload = 0, kUpload = 1 };

    // Registers both invoke topics; the flags suppress the notices of a kind.
    void Init(bool no_download, bool no_upload);
    // Entries handed to the application before the first bad one; -1 (logged)
    // when the message or an entry is malformed.
    int FileParse(const std::string& payload, int dev_id, Kind kind);

    static void downloadFileHandler(void* user, int dev_id, const std::string& topic,
                                    const std::string& payload);
    static void uploadFileHandler(void* user, int dev_id, const std::string& topic,
                                  const std::string& payload);

  private:
    bool no_download_ = false;
    bool no_upload_ = false;
};

}  // namespace kestrel
