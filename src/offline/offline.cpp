#include "offline/offline.h"

#include "offline/upload.h"
#include "server/connection.h"

namespace corvan {

std::unique_ptr<UploadSession> BeginUpload(ServerCore& core, const std::string& header, std::size_t bodySize) {
  return MakeUploadSession(core, header, bodySize);
}

}  // namespace corvan
