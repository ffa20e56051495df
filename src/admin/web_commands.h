// The web console's commands:
//
//   web enable [--port 9480] [--bind ADDRESS] | web disable | web status
//   web admin add NAME | web admin passwd NAME | web admin del NAME | web admin list
//
// Their operations are typed functions below; the command table's rows
// (command_table.cpp) run them and turn their results into replies. They work inside the
// running server and on the data folder alike: the settings file and the
// administrators' table are the state, and a running server's console,
// attached with AttachWebConsole, is told to follow the settings file at
// once. A password never travels on a command line: the tool reads it from
// the terminal or standard input and passes it as the request's input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "admin/admin_codec.h"
#include "admin/web_settings.h"
#include "base/status.h"

namespace corvan {

class ServerCore;
struct AdminContext;

// What the running console reports of its listener.
struct WebListenerState {
  bool listening = false;
  std::string failure;  // why the last start failed; empty otherwise
};

// The running server's web console, as the commands see it.
class WebConsoleControl {
 public:
  virtual ~WebConsoleControl() = default;
  // Reads the settings file again and starts, stops or restarts the listener
  // as it says. Never called from one of the console's own threads.
  virtual WebListenerState Reload() = 0;
  virtual WebListenerState State() const = 0;
};

// Attaches the console running beside `core` (nullptr detaches it). The
// caller keeps `control` alive until it detaches it.
void AttachWebConsole(const ServerCore& core, WebConsoleControl* control);

struct WebConsoleState {
  bool configured = false;  // a settings file exists
  WebSettings settings;
  std::string url;
  std::string fingerprint;  // of the certificate served; empty when none
  bool inServer = false;    // the state below is the running server's
  WebListenerState listener;
};

// Enables the console (the port and the address to listen on when given),
// making the self-signed certificate when there is neither one of the
// administrator's nor one made before.
Result<WebConsoleState> EnableWebConsole(ServerCore& core, const AdminContext& ctx, std::optional<std::uint16_t> port,
                                         std::optional<std::string> bind);
Result<WebConsoleState> DisableWebConsole(ServerCore& core, const AdminContext& ctx);
Result<WebConsoleState> GetWebConsoleState(ServerCore& core, const AdminContext& ctx);

}  // namespace corvan
