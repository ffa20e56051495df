// The API's JSON replies, shared by the files of the web console's routes.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "admin/admin_codec.h"

namespace corvan {

inline void SendJson(httplib::Response& res, int status, const JsonValue& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(WriteJson(body), "application/json; charset=utf-8");
}

// {"ok": false, "message": MESSAGE}
inline void SendError(httplib::Response& res, int status, const std::string& message) {
  JsonValue body;
  body.Set("ok", false);
  body.Set("message", message);
  SendJson(res, status, body);
}

inline std::int64_t EpochSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace corvan
