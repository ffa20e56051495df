#include "web/web_console.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <system_error>

#include "admin/web_certificate.h"
#include "base/quiet_failure.h"
#include "server/server_core.h"
#include "web/api.h"
#include "web/http_policy.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

// Threads that serve requests; a live log stream holds one.
constexpr std::size_t kServerThreads = 8;

int NoPassphrase(char*, int, int, void*) { return 0; }

}  // namespace

std::optional<fs::path> FindWebAssets(const fs::path& programFolder) {
  const fs::path candidates[] = {programFolder / "web", programFolder / ".." / "share" / "corvan" / "web"};
  for (const fs::path& dir : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(dir / "index.html", ec)) return dir.lexically_normal();
  }
  return std::nullopt;
}

// One running HTTP(S) server and the thread that accepts for it.
class WebConsole::Listener {
 public:
  // Binds and starts accepting; the reason when it cannot.
  static Result<std::unique_ptr<Listener>> Start(const fs::path& home, const WebSettings& settings, WebApi& api) {
    auto listener =
        std::unique_ptr<Listener>(new Listener());  // NOLINT(cppcoreguidelines-owning-memory): private constructor
    const bool https = !settings.allowPlainHttp;
    if (https) {
      const fs::path cert = WebCertificatePath(home, settings);
      const fs::path key = WebKeyPath(home, settings);
      if (Status pair = CheckCertificatePair(cert, key); !pair.IsOk()) return pair;
      listener->server_ = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
        SSL_CTX_set_default_passwd_cb(&ctx, &NoPassphrase);
        return SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION) == 1 &&
               SSL_CTX_use_certificate_chain_file(&ctx, cert.c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&ctx, key.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_check_private_key(&ctx) == 1;
      });
    } else {
      listener->server_ = std::make_unique<httplib::Server>();
    }
    httplib::Server& server = *listener->server_;
    if (!server.is_valid()) return Status(StatusCode::kInvalidInput, "证书或私钥无法使用");
    // The library takes the queue it is handed and deletes it at shutdown.
    server.new_task_queue = [] { return std::make_unique<httplib::ThreadPool>(kServerThreads).release(); };
    // The restore's upload is the largest body; every other route is held to
    // kMaxWebBodyBytes before its body is read (BodyRefusal).
    server.set_payload_max_length(kMaxRestoreBytes);
    server.set_read_timeout(std::chrono::seconds(10));
    server.set_write_timeout(std::chrono::seconds(10));
    server.set_keep_alive_timeout(2);
    server.set_keep_alive_max_count(100);
    // A response leaves in more than one write (headers, then the body); with
    // Nagle's algorithm the second waited for the browser's delayed ACK,
    // about 40 ms on every call.
    server.set_tcp_nodelay(true);
    httplib::Headers headers;
    for (const auto& [name, value] : SecurityHeaders(https)) headers.emplace(name, value);
    server.set_default_headers(headers);
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, const std::exception_ptr&) {
      // The request ends with a 500; the administrator sees the failure in
      // the page and the trace goes to standard error.
      NoteQuietFailure("web console request");
      res.status = 500;
      res.set_content(R"({"ok":false,"message":"服务器内部错误"})", "application/json; charset=utf-8");
    });
    api.Configure(settings, https);
    api.AllowStreams();
    api.Install(server);
    if (!server.bind_to_port(settings.bind, settings.port)) {
      int error = errno;
      return Status(StatusCode::kIoFailed, settings.bind + ":" + std::to_string(settings.port) + ": " +
                                               (error != 0 ? std::generic_category().message(error) : "cannot listen"));
    }
    listener->thread_ = std::thread([server = &server] { server->listen_after_bind(); });
    return listener;
  }

  ~Listener() { Stop(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  void Stop() {
    if (!server_) return;
    server_->stop();
    if (thread_.joinable()) thread_.join();
    server_.reset();
  }

 private:
  Listener() = default;

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
};

WebConsole::WebConsole(ServerCore& core, WebConsoleOptions options)
    : core_(core), options_(std::move(options)), api_(std::make_shared<WebApi>(core, options_.assets)) {}

WebConsole::~WebConsole() { Stop(); }

WebListenerState WebConsole::Start() {
  {
    MutexLock lock(samplerMutex_);
    samplerStop_ = false;
  }
  if (!sampler_.joinable()) sampler_ = std::thread([this] { SampleLoop(); });
  // Attached and detached without lifecycle_ held: a command holds the
  // registry's lock while it reloads, which takes lifecycle_.
  AttachWebConsole(core_, this);
  return Reload();
}

void WebConsole::Stop() {
  AttachWebConsole(core_, nullptr);
  {
    MutexLock lock(lifecycle_);
    StopListener();
  }
  {
    MutexLock lock(samplerMutex_);
    samplerStop_ = true;
  }
  samplerWake_.notify_all();
  if (sampler_.joinable()) sampler_.join();
}

WebListenerState WebConsole::Reload() {
  MutexLock lock(lifecycle_);
  StopListener();
  Result<std::optional<WebSettings>> settings = LoadWebSettings(core_.Home());
  if (!settings.IsOk()) {
    SetState({false, settings.GetStatus().Message()}, 0);
    core_.Log().AppendEvent("网页控制台未启动：" + settings.GetStatus().Message());
  } else if (settings.Value() && settings.Value()->enabled) {
    StartListener(*settings.Value());
  } else {
    SetState({}, 0);
  }
  return State();
}

void WebConsole::SetState(WebListenerState state, int port) {
  MutexLock lock(stateMutex_);
  state_ = std::move(state);
  port_ = port;
}

void WebConsole::StartListener(const WebSettings& settings) {
  Result<std::unique_ptr<Listener>> started = Listener::Start(core_.Home(), settings, *api_);
  const std::string port = std::to_string(settings.port);
  if (!started.IsOk()) {
    SetState({false, started.GetStatus().Message()}, 0);
    core_.Log().AppendEvent("网页控制台在" + port + "端口启动失败：" + started.GetStatus().Message());
    return;
  }
  listener_ = std::move(started).Value();
  SetState({true, ""}, settings.port);
  core_.Log().AppendEvent("网页控制台在" + port + "端口启动成功!");
}

void WebConsole::StopListener() {
  if (!listener_) return;
  api_->EndStreams();
  listener_->Stop();
  listener_.reset();
  SetState({}, 0);
  core_.Log().AppendEvent("网页控制台已停止!");
}

WebListenerState WebConsole::State() const {
  MutexLock state(stateMutex_);
  return state_;
}

int WebConsole::Port() const {
  MutexLock state(stateMutex_);
  return port_;
}

void WebConsole::SampleLoop() {
  while (true) {
    api_->TakeSample();
    MutexLock lock(samplerMutex_);
    const auto until = std::chrono::steady_clock::now() + options_.sampleInterval;
    while (!samplerStop_ && std::chrono::steady_clock::now() < until) samplerWake_.wait_until(samplerMutex_, until);
    if (samplerStop_) return;
  }
}

}  // namespace corvan
