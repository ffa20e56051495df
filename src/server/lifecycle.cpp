#include "server/lifecycle.h"

#include <malloc.h>
#include <system_error>

#include <cerrno>
#include <cstring>

#include <future>

#include "base/quiet_failure.h"
#include "server/server_core.h"
#include "storage/schema.h"

namespace corvan {

// The TCP listener: accepts connections and starts their intake.
class ServerLifecycle::TcpServer {
 public:
  TcpServer(ServerCore& core)
      : core_(core), strand_(asio::make_strand(core.Run().Io())), acceptor_(strand_), pause_(strand_) {}

  // Binds all local addresses on `port` and starts accepting.
  // On failure `error` holds the system's message.
  bool Open(std::uint16_t port, std::string& error) {
    asio::error_code ec;
    asio::ip::tcp::endpoint ep(asio::ip::tcp::v4(), port);
    acceptor_.open(ep.protocol(), ec);
    if (ec) return Fail(ec, error);
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    acceptor_.bind(ep, ec);
    if (ec) return Fail(ec, error);
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return Fail(ec, error);
    listening_ = true;
    accepting_ = true;
    Accept();
    return true;
  }

  // Stops accepting and closes every client connection.
  void Close() {
    // The acceptor is used only on strand_ (io_ runs on several threads), so
    // the close cannot overlap an accept handler. The last handler, which
    // sees the close, is waited for: none may run once this object is gone.
    std::promise<void> done;
    asio::post(strand_, [this, &done] {
      asio::error_code ec;
      acceptor_.close(ec);
      pause_.cancel();
      done.set_value();
    });
    done.get_future().wait();
    if (accepting_) acceptEnded_.get_future().wait();
    accepting_ = false;
    core_.Connections().CloseAll();
    listening_ = false;
  }

  bool Listening() const { return listening_; }
  std::uint16_t Port() const {
    asio::error_code ec;
    auto ep = acceptor_.local_endpoint(ec);
    return ec ? 0 : ep.port();
  }

 private:
  bool Fail(const asio::error_code& why, std::string& error) {
    error = why.message();
    asio::error_code ec;
    acceptor_.close(ec);
    return false;
  }

  void Accept() {
    // Accepted sockets run on io_ itself, not on the acceptor's strand.
    acceptor_.async_accept(core_.Run().Io(), [this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
        acceptEnded_.set_value();
        return;
      }
      if (!ec) {
        auto c = std::make_shared<Connection>(std::move(socket), core_, core_.Connections());
        if (core_.Connections().Add(c)) {
          c->Start();
        } else {
          // Too many connections from this address: closing is the answer,
          // the client sees the connection end before any reply.
          c->Close();
        }
      } else if (OutOfResources(ec)) {
        // The pending connection stays in the backlog and the acceptor stays
        // readable, so accepting again at once would spin. Wait for
        // connections to end and free descriptors or memory.
        pause_.expires_after(std::chrono::milliseconds(100));
        // After a stop the accept fails at once and its handler ends the
        // accepting.
        pause_.async_wait([this](const asio::error_code&) { Accept(); });
        return;
      }
      Accept();
    });
  }

  static bool OutOfResources(const asio::error_code& ec) {
    return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory ||
           ec == asio::error_code(ENFILE, asio::system_category());
  }

  ServerCore& core_;
  asio::strand<asio::io_context::executor_type> strand_;
  asio::ip::tcp::acceptor acceptor_;  // used on strand_ only
  asio::steady_timer pause_;          // the wait after running out of descriptors (strand_ only)
  std::atomic<bool> listening_{false};
  bool accepting_ = false;          // an accept is pending (set by Open, cleared by Close)
  std::promise<void> acceptEnded_;  // set by the handler that stops accepting
};

ServerLifecycle::ServerLifecycle(ServerCore& core)
    : core_(core),
      timerStrand_(asio::make_strand(core.Run().Io())),
      statusTimer_(timerStrand_),
      trimTimer_(timerStrand_) {
  ScheduleTrimTimer();
}

ServerLifecycle::~ServerLifecycle() = default;

void ServerLifecycle::CancelTimers() {
  asio::post(timerStrand_, [this] {
    statusTimerOn_ = false;
    statusTimer_.cancel();
    trimTimer_.cancel();
  });
}

Status ServerLifecycle::OpenDatabase() {
  Status opened = corvan::OpenDatabase(core_.Db(), core_.DatabasePath().string());
  if (!opened.IsOk()) core_.Log().Append("数据库连接失败");
  return opened;
}

void ServerLifecycle::LoadConfiguration() {
  std::function<void()> createAutoStart;
  if (core_.Options().autoStartOnFirstRun)
    createAutoStart = [this] { CreateAutoStartShortcut(core_.Options().executable); };
  core_.Settings().Load(core_.Options().home, createAutoStart, core_.Log());
}

bool ServerLifecycle::LoadDirectory() {
  Status loaded = corvan::LoadDirectory(core_.Db(), core_.Dir());
  // The callers report the failure in their own words.
  if (!loaded.IsOk()) NoteQuietFailure("directory load", loaded.Message());
  return loaded.IsOk();
}

bool ServerLifecycle::FirstShow(bool startServer) {
  LoadConfiguration();
  if (!LoadDirectory()) return false;
  NotifyStatusPage();
  if (startServer) StartServer();
  return true;
}

void ServerLifecycle::StartServer() {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  const SettingsStore::StartValues start = core_.Settings().ForStart();
  const std::int32_t port = start.port;
  const int days = start.offlineInfoDays;
  const std::string portText = std::to_string(port);
  bool ok = true;
  try {
    if (core_.Modules().StartPurges) core_.Modules().StartPurges(core_, days);
    if (core_.Modules().DirectoryStarted) core_.Modules().DirectoryStarted(core_);
    if (tcpServer_) {
      core_.Log().AppendEvent("服务器已经启动，请先停止后重新启动!");
      return;
    }
    startFailure_.clear();
    // The listener is recorded before it opens: after a failed open, a
    // further start only reports that the server runs, until a stop.
    tcpServer_ = std::make_unique<TcpServer>(core_);
    std::string tcpError = "port out of range";
    if (port < 0 || port > 65535 || !tcpServer_->Open(static_cast<std::uint16_t>(port), tcpError)) {
      ok = false;
      startFailure_ = "TCP: " + tcpError;
    } else {
      core_.Log().AppendEvent("TCP服务器在" + portText + "端口启动成功!");
      bool udpOpen;
      {
        MutexLock lock(udpSendMutex_);
        udpOpen = udpServer_ != nullptr;
      }
      if (!udpOpen) {
        auto udp = std::make_unique<UdpListener>();
        bool opened = udp->Open(static_cast<std::uint16_t>(port),
                                [this](std::string_view payload, const std::string& ip, std::uint16_t from) {
                                  if (core_.Modules().UdpRead) core_.Modules().UdpRead(core_, payload, ip, from);
                                });
        if (!opened) startFailure_ = std::string("UDP: ") + std::generic_category().message(errno);
        {
          MutexLock lock(udpSendMutex_);
          udpServer_ = std::move(udp);
        }
        if (opened) {
          core_.Log().AppendEvent("UDP服务器在" + portText + "端口启动成功!");
        } else {
          ok = false;
        }
      }
      if (ok) {
        asio::post(timerStrand_, [this] {
          statusTimerOn_ = true;
          ScheduleStatusTimer();
        });
        NotifyState(true);
      }
    }
  } catch (const std::exception& e) {
    ok = false;
    startFailure_ = e.what();
  }
  if (!ok) core_.Log().AppendEvent("服务器在" + portText + "端口启动失败!");
  NotifyStatusPage();
}

void ServerLifecycle::StopServer() {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  try {
    if (tcpServer_) {
      tcpServer_->Close();
      tcpServer_.reset();
      core_.Log().AppendEvent("TCP服务器停止监听");
    }
    {
      // The stop notice is queued behind every notice before it and the
      // list emptied in one step: later events find nobody to tell.
      OnlineRegistry& online = core_.Online();
      MutexLock lock(online.OnlineLock);
      if (online.OnlineUsers.Size() > 0 && core_.Modules().SendServerStop) {
        core_.Modules().SendServerStop(core_, online.OnlineUsers.Recipients());
      }
      online.OnlineUsers.Clear();
    }
    // Every notice, the stop notice last, leaves before the listener closes
    // (some leave from its socket). A full queue takes seconds to empty; the
    // bound only keeps a stop from waiting for ever on a lane that is stuck.
    if (!core_.Fanout().Flush(std::chrono::minutes(1)))
      NoteQuietFailure("server stop", "notices still queued after a minute; the UDP listener closes anyway");
    std::unique_ptr<UdpListener> udp;
    {
      MutexLock lock(udpSendMutex_);
      udp = std::move(udpServer_);
    }
    if (udp) {
      udp->Close();
      udp.reset();
      core_.Log().AppendEvent("Udp服务器停止监听");
    }
    asio::post(timerStrand_, [this] {
      statusTimerOn_ = false;
      statusTimer_.cancel();
    });
    NotifyState(false);
  } catch (const std::exception&) {
    core_.Log().AppendEvent("服务器停止监听失败");
  }
  NotifyStatusPage();
}

std::string ServerLifecycle::StartFailure() const {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  return startFailure_;
}

bool ServerLifecycle::TcpServerExists() const {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  return tcpServer_ != nullptr;
}

std::uint16_t ServerLifecycle::ListeningPort() const {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  return tcpServer_ && tcpServer_->Listening() ? tcpServer_->Port() : 0;
}

void ServerLifecycle::SetObserver(CoreObserver* observer) { observer_.store(observer); }

void ServerLifecycle::NotifyState(bool running) {
  if (CoreObserver* o = observer_.load()) o->ServerStateChanged(running);
}

void ServerLifecycle::NotifyStatusPage() {
  if (CoreObserver* o = observer_.load()) o->ShowStatusPage();
}

bool ServerLifecycle::SendFromListener(const std::string& ip, std::uint16_t port, std::string_view bytes) {
  MutexLock lock(udpSendMutex_);
  return udpServer_ && udpServer_->SendTo(ip, port, bytes);
}

std::shared_ptr<const UniqueFd> ServerLifecycle::ListenerSocket() {
  MutexLock lock(udpSendMutex_);
  return udpServer_ && udpServer_->IsOpen() ? udpServer_->Socket() : nullptr;
}

void ServerLifecycle::ScheduleStatusTimer() {
  statusTimer_.expires_after(core_.Options().statusInterval);
  statusTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec || !statusTimerOn_) return;
    if (core_.Modules().StatusTick) {
      try {
        core_.Modules().StatusTick(core_);
      } catch (...) {
        // A failed tick ends its scan quietly; the next tick runs as usual.
        NoteQuietFailure("status tick");
      }
    }
    ScheduleStatusTimer();
  });
}

void ServerLifecycle::ScheduleTrimTimer() {
  // Returns freed memory to the system every minute; a tick runs on one io
  // thread at a time, so a slow trim delays the next tick instead of
  // overlapping it.
  trimTimer_.expires_after(core_.Options().trimInterval);
  trimTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec) return;
    malloc_trim(0);
    ScheduleTrimTimer();
  });
}

}  // namespace corvan
