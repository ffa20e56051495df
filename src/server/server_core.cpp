#include "server/server_core.h"

#include <malloc.h>
#include <system_error>

#include <cerrno>
#include <cstring>

#include <future>

#include "base/quiet_failure.h"
#include "server/counters.h"
#include "storage/schema.h"

namespace corvan {

// The TCP listener: accepts connections and starts their intake.
class ServerCore::TcpServer {
 public:
  TcpServer(ServerCore& core)
      : core_(core), strand_(asio::make_strand(core.Io())), acceptor_(strand_), pause_(strand_) {}

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
    core_.connections_.CloseAll();
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
    acceptor_.async_accept(core_.Io(), [this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor_.is_open()) {
        acceptEnded_.set_value();
        return;
      }
      if (!ec) {
        auto c = std::make_shared<Connection>(std::move(socket), core_, core_.connections_);
        if (core_.connections_.Add(c)) {
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

ServerCore::ServerCore(CoreOptions options)
    : options_(std::move(options)),
      modules_(options_.modules),
      offlineFilesDir_(options_.home / "OfflineFiles"),
      connections_(options_.limits.connectionsPerAddress),
      work_(asio::make_work_guard(io_)),
      requests_(static_cast<std::size_t>(options_.requestThreads)),
      lanes_(2),
      onlineLane_(asio::make_strand(lanes_.get_executor())),
      accountLane_(asio::make_strand(lanes_.get_executor())),
      jobs_(static_cast<std::size_t>(options_.jobThreads)),
      offlineInfoLane_(asio::make_strand(jobs_.get_executor())),
      offlineFilesLane_(asio::make_strand(jobs_.get_executor())),
      outbound_(static_cast<std::size_t>(options_.outboundThreads)),
      fanout_(options_.noticeQueueBytes, [this] { return ListenerSocket(); }),
      timerStrand_(asio::make_strand(io_)),
      statusTimer_(timerStrand_),
      trimTimer_(timerStrand_) {
  for (int i = 0; i < options_.ioThreads; ++i) ioThreads_.emplace_back([this] { io_.run(); });
  ScheduleTrimTimer();
}

// A failure to post or join here ends the process, which is what a destructor
// that cannot finish its stop should do.
ServerCore::~ServerCore() {  // NOLINT(bugprone-exception-escape)
  StopServer();
  asio::post(timerStrand_, [this] {
    statusTimer_.cancel();
    trimTimer_.cancel();
  });
  // Let running jobs end before the state they use goes away. Outbound
  // calls first: they end by posting to the lanes and jobs.
  outbound_.join();
  requests_.join();
  lanes_.join();
  jobs_.join();
  fanout_.Stop();
  work_.reset();
  io_.stop();
  for (auto& t : ioThreads_) t.join();
  // Connections not yet closed when the loop stopped still hold sockets and
  // strands of io_: release them while io_ exists (the set is declared before
  // io_ and would otherwise be destroyed after it).
  connections_.Clear();
}

std::filesystem::path ServerCore::DatabasePath() const { return options_.home / kDatabaseFileName; }
std::filesystem::path ServerCore::ConfigPath() const { return options_.home / kConfigFileName; }

Status ServerCore::OpenDatabase() {
  Status opened = corvan::OpenDatabase(database_, DatabasePath().string());
  if (!opened.IsOk()) log_.Append("数据库连接失败");
  return opened;
}

void ServerCore::LoadConfiguration() {
  std::function<void()> createAutoStart;
  if (options_.autoStartOnFirstRun) createAutoStart = [this] { CreateAutoStartShortcut(options_.executable); };
  settings_.Load(options_.home, createAutoStart, log_);
}

bool ServerCore::LoadDirectory() {
  Status loaded = corvan::LoadDirectory(database_, directory_);
  // The callers report the failure in their own words.
  if (!loaded.IsOk()) NoteQuietFailure("directory load", loaded.Message());
  return loaded.IsOk();
}

bool ServerCore::FirstShow(bool startServer) {
  LoadConfiguration();
  if (!LoadDirectory()) return false;
  NotifyStatusPage();
  if (startServer) StartServer();
  return true;
}

void ServerCore::StartServer() {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  const SettingsStore::StartValues start = settings_.ForStart();
  const std::int32_t port = start.port;
  const int days = start.offlineInfoDays;
  const std::string portText = std::to_string(port);
  bool ok = true;
  try {
    if (modules_.StartPurges) modules_.StartPurges(*this, days);
    if (modules_.DirectoryStarted) modules_.DirectoryStarted(*this);
    if (tcpServer_) {
      log_.AppendEvent("服务器已经启动，请先停止后重新启动!");
      return;
    }
    startFailure_.clear();
    // The listener is recorded before it opens: after a failed open, a
    // further start only reports that the server runs, until a stop.
    tcpServer_ = std::make_unique<TcpServer>(*this);
    std::string tcpError = "port out of range";
    if (port < 0 || port > 65535 || !tcpServer_->Open(static_cast<std::uint16_t>(port), tcpError)) {
      ok = false;
      startFailure_ = "TCP: " + tcpError;
    } else {
      log_.AppendEvent("TCP服务器在" + portText + "端口启动成功!");
      bool udpOpen;
      {
        MutexLock lock(udpSendMutex_);
        udpOpen = udpServer_ != nullptr;
      }
      if (!udpOpen) {
        auto udp = std::make_unique<UdpListener>();
        bool opened = udp->Open(static_cast<std::uint16_t>(port),
                                [this](std::string_view payload, const std::string& ip, std::uint16_t from) {
                                  if (modules_.UdpRead) modules_.UdpRead(*this, payload, ip, from);
                                });
        if (!opened) startFailure_ = std::string("UDP: ") + std::generic_category().message(errno);
        {
          MutexLock lock(udpSendMutex_);
          udpServer_ = std::move(udp);
        }
        if (opened) {
          log_.AppendEvent("UDP服务器在" + portText + "端口启动成功!");
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
  if (!ok) log_.AppendEvent("服务器在" + portText + "端口启动失败!");
  NotifyStatusPage();
}

void ServerCore::StopServer() {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  try {
    if (tcpServer_) {
      tcpServer_->Close();
      tcpServer_.reset();
      log_.AppendEvent("TCP服务器停止监听");
    }
    {
      // The stop notice is queued behind every notice before it and the
      // list emptied in one step: later events find nobody to tell.
      MutexLock lock(online_.OnlineLock);
      if (online_.OnlineUsers.Size() > 0 && modules_.SendServerStop) {
        modules_.SendServerStop(*this, online_.OnlineUsers.Recipients());
      }
      online_.OnlineUsers.Clear();
    }
    // Every notice, the stop notice last, leaves before the listener closes
    // (some leave from its socket). A full queue takes seconds to empty; the
    // bound only keeps a stop from waiting for ever on a lane that is stuck.
    if (!fanout_.Flush(std::chrono::minutes(1)))
      NoteQuietFailure("server stop", "notices still queued after a minute; the UDP listener closes anyway");
    std::unique_ptr<UdpListener> udp;
    {
      MutexLock lock(udpSendMutex_);
      udp = std::move(udpServer_);
    }
    if (udp) {
      udp->Close();
      udp.reset();
      log_.AppendEvent("Udp服务器停止监听");
    }
    asio::post(timerStrand_, [this] {
      statusTimerOn_ = false;
      statusTimer_.cancel();
    });
    NotifyState(false);
  } catch (const std::exception&) {
    log_.AppendEvent("服务器停止监听失败");
  }
  NotifyStatusPage();
}

std::string ServerCore::StartFailure() const {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  return startFailure_;
}

bool ServerCore::TcpServerExists() const {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  return tcpServer_ != nullptr;
}

std::uint16_t ServerCore::ListeningPort() const {
  RecursiveMutexLock lifecycle(lifecycleMutex_);
  return tcpServer_ && tcpServer_->Listening() ? tcpServer_->Port() : 0;
}

void ServerCore::SetObserver(CoreObserver* observer) { observer_.store(observer); }

void ServerCore::NotifyState(bool running) {
  if (CoreObserver* o = observer_.load()) o->ServerStateChanged(running);
}

void ServerCore::NotifyStatusPage() {
  if (CoreObserver* o = observer_.load()) o->ShowStatusPage();
}

void ServerCore::PostJob(std::function<void()> job) {
  ++Counters().Queue(CountedQueue::kJobs);
  asio::post(jobs_, [job = std::move(job)] {
    --Counters().Queue(CountedQueue::kJobs);
    try {
      job();
    } catch (...) {
      // A failed job stops quietly; nothing is retried.
      NoteQuietFailure("background job");
    }
  });
}

void ServerCore::PostJobAfter(std::chrono::milliseconds delay, std::function<void()> job) {
  auto timer = std::make_shared<asio::steady_timer>(io_, delay);
  timer->async_wait([this, timer, job = std::move(job)](const asio::error_code&) mutable { PostJob(std::move(job)); });
}

bool ServerCore::PostOutboundCall(std::function<void()> job) {
  const int limit = options_.outboundThreads + options_.outboundQueue;
  if (outboundPending_.fetch_add(1) >= limit) {
    --outboundPending_;
    return false;
  }
  asio::post(outbound_, [this, job = std::move(job)] {
    try {
      job();
    } catch (...) {
      // A failed call ends quietly; its caller's time limit answers for it.
      NoteQuietFailure("outbound call");
    }
    --outboundPending_;
  });
  return true;
}

void ServerCore::PostRequest(std::function<void()> job) {
  ++Counters().Queue(CountedQueue::kRequests);
  asio::post(requests_, [job = std::move(job)] {
    --Counters().Queue(CountedQueue::kRequests);
    try {
      job();
    } catch (...) {
      // A failed request ends quietly, as in the dispatcher.
      NoteQuietFailure("request job");
    }
  });
}

void ServerCore::PostOnlineLane(std::function<void()> job) {
  ++Counters().Queue(CountedQueue::kOnlineLane);
  asio::post(onlineLane_, [job = std::move(job)] {
    --Counters().Queue(CountedQueue::kOnlineLane);
    job();
  });
}

namespace {
// A lane job that fails stops; the lane goes on with the next.
std::function<void()> Guarded(std::function<void()> job) {
  return [job = std::move(job)] {
    try {
      job();
    } catch (...) {
      // Quiet by design: the failed job's work ends, the lane goes on.
      NoteQuietFailure("lane job");
    }
  };
}
}  // namespace

void ServerCore::PostOfflineInfoLane(std::function<void()> job) {
  asio::post(offlineInfoLane_, Guarded(std::move(job)));
}
void ServerCore::PostOfflineFilesLane(std::function<void()> job) {
  asio::post(offlineFilesLane_, Guarded(std::move(job)));
}
void ServerCore::PostAccountLane(std::function<void()> job) {
  ++Counters().Queue(CountedQueue::kAccountLane);
  asio::post(accountLane_, [job = std::move(job)] {
    --Counters().Queue(CountedQueue::kAccountLane);
    job();
  });
}

bool ServerCore::SendFromListener(const std::string& ip, std::uint16_t port, std::string_view bytes) {
  MutexLock lock(udpSendMutex_);
  return udpServer_ && udpServer_->SendTo(ip, port, bytes);
}

std::shared_ptr<const UniqueFd> ServerCore::ListenerSocket() {
  MutexLock lock(udpSendMutex_);
  return udpServer_ && udpServer_->IsOpen() ? udpServer_->Socket() : nullptr;
}

void ServerCore::ScheduleStatusTimer() {
  statusTimer_.expires_after(options_.statusInterval);
  statusTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec || !statusTimerOn_) return;
    if (modules_.StatusTick) {
      try {
        modules_.StatusTick(*this);
      } catch (...) {
        // A failed tick ends its scan quietly; the next tick runs as usual.
        NoteQuietFailure("status tick");
      }
    }
    ScheduleStatusTimer();
  });
}

void ServerCore::ScheduleTrimTimer() {
  // Returns freed memory to the system every minute; a tick runs on one io
  // thread at a time, so a slow trim delays the next tick instead of
  // overlapping it.
  trimTimer_.expires_after(options_.trimInterval);
  trimTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec) return;
    malloc_trim(0);
    ScheduleTrimTimer();
  });
}

}  // namespace corvan
