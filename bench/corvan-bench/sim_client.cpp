#include "sim_client.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "base/text.h"
#include "server/envelope.h"
#include "server/frame.h"

namespace corvan::bench {

asio::ip::address_v4 ClientAddress(int i) {
  // 253 usable last bytes (1..254) per /24; machine 0 is 127.0.0.2.
  const std::uint32_t slot = static_cast<std::uint32_t>(i) + 1;
  const std::uint32_t net = slot / 254, host = slot % 254 + 1;
  return asio::ip::address_v4((127u << 24) | (net << 8) | host);
}

std::string LoginRequest(std::string_view name, std::string_view pwd, std::string_view mac) {
  return EnvelopeWriter("Loginin").Field("username", name).Field("pwd", pwd).Field("Mac", mac).Finish();
}

std::string TypeOnlyRequest(std::string_view type) { return EnvelopeWriter(type).Finish(); }

std::string UserInfoRequest(std::string_view name) {
  return EnvelopeWriter("GetUserInfo").Field("username", name).Finish();
}

std::string HeartbeatDatagram(std::string_view name) {
  return EnvelopeWriter("Online").Field("username", name).Finish();
}

std::string LogoutDatagram(std::string_view name) {
  return EnvelopeWriter("Loginout").Field("username", name).Finish();
}

std::string OnlineNotice(std::string_view name, std::string_view ip) {
  return EnvelopeWriter("Online").Field("username", name).Field("ip", ip).Finish();
}

std::string StatusAnswer(std::string_view name) { return EnvelopeWriter("GetStatus").Field("username", name).Finish(); }

std::string OfflineMessageBody(std::string_view to, std::string_view from, std::string_view text) {
  std::string body(83, '\0');
  std::memcpy(body.data(), "OfflineInfo", 11);
  std::memcpy(body.data() + 21, to.data(), std::min<std::size_t>(to.size(), 31));
  std::memcpy(body.data() + 52, from.data(), std::min<std::size_t>(from.size(), 31));
  body += Utf8ToGbkLenient(text);
  return body;
}

std::string UploadHeader(std::string_view from, std::string_view fromNick, std::string_view to,
                         std::string_view fileName, std::uint64_t size) {
  constexpr std::string_view sep = "\xA1\xEF";
  std::string h = "OfflineFiles";
  for (std::string_view f : {from, fromNick, to, fileName}) {
    h += sep;
    h += Utf8ToGbkLenient(f);
  }
  h += sep;
  h += "1";
  h += sep;
  h += std::to_string(size);
  h += sep;
  return h;
}

std::string Framed(std::string_view body) {
  std::string out = EncodeFrame(body);
  out += body;
  return out;
}

std::string_view ElementText(std::string_view doc, std::string_view element) {
  std::string open = "<" + std::string(element) + ">";
  auto b = doc.find(open);
  if (b == std::string_view::npos) return {};
  b += open.size();
  auto e = doc.find('<', b);
  if (e == std::string_view::npos) return {};
  return doc.substr(b, e - b);
}

// --- FrameStream ------------------------------------------------------------------

awaitable<void> FrameStream::Send(std::string_view body) {
  std::string frame = Framed(body);
  co_await asio::async_write(socket_, asio::buffer(frame), use_awaitable);
}

awaitable<void> FrameStream::SendRaw(std::string_view bytes) {
  co_await asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()), use_awaitable);
}

void FrameStream::StampArrivals() {
  const int flags = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
  stamped_ = ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0;
}

awaitable<std::size_t> FrameStream::ReadSome(char* into, std::size_t size) {
  if (!stamped_) {
    const std::size_t got = co_await socket_.async_read_some(asio::buffer(into, size), use_awaitable);
    lastArrival_ = SteadyClock::now();
    co_return got;
  }
  for (;;) {
    iovec iov{into, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(scm_timestamping))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(socket_.native_handle(), &msg, MSG_DONTWAIT);
    if (got == 0) throw std::system_error(asio::error::eof);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) throw std::system_error(errno, std::generic_category());
      co_await socket_.async_wait(tcp::socket::wait_read, use_awaitable);
      continue;
    }
    // The kernel's stamp is on the wall clock; it is carried over to the
    // steady clock by its distance from now.
    const auto steadyNow = SteadyClock::now();
    const auto wallNow = std::chrono::system_clock::now();
    lastArrival_ = steadyNow;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMPING) continue;
      scm_timestamping stamp{};
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      const auto wallArrival =
          std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::seconds(stamp.ts[0].tv_sec) + std::chrono::nanoseconds(stamp.ts[0].tv_nsec)));
      if (stamp.ts[0].tv_sec != 0 && wallArrival <= wallNow)
        lastArrival_ = steadyNow - std::chrono::duration_cast<SteadyClock::duration>(wallNow - wallArrival);
    }
    co_return static_cast<std::size_t>(got);
  }
}

awaitable<std::string> FrameStream::Read() {
  char chunk[65536];
  std::size_t scanned = 0;
  for (;;) {
    auto nl = buffer_.find('\n', scanned);
    if (nl != std::string::npos) {
      std::string_view line(buffer_.data(), nl);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      auto n = ParseInt64(line);
      if (!n || *n < 0) throw std::runtime_error("bad count line");
      const std::size_t need = nl + 1 + static_cast<std::size_t>(*n);
      if (buffer_.capacity() < need) buffer_.reserve(need);
      while (buffer_.size() < need) {
        std::size_t got = co_await ReadSome(chunk, sizeof chunk);
        buffer_.append(chunk, got);
      }
      std::string body = buffer_.substr(nl + 1, static_cast<std::size_t>(*n));
      buffer_.erase(0, need);
      co_return body;
    }
    scanned = buffer_.size();
    std::size_t got = co_await ReadSome(chunk, sizeof chunk);
    buffer_.append(chunk, got);
  }
}

// --- SimClient ------------------------------------------------------------------

SimClient::SimClient(asio::io_context& io, int index, NoticeBoard& board, int account, asio::io_context* noticeIo)
    : index(index),
      name(AccountName((account < 0 ? index : account) + 1)),
      address(ClientAddress(index)),
      io_(io),
      board_(board),
      notices_(noticeIo ? *noticeIo : io),
      messages_(io),
      files_(io),
      heartbeat_(HeartbeatDatagram(name)) {}

bool SimClient::Bind(bool messages, bool files, std::string& error) {
  asio::error_code ec;
  auto fail = [&](const char* what) {
    error = std::string(what) + " on " + address.to_string() + ": " + ec.message();
    return false;
  };
  notices_.open(udp::v4(), ec);
  if (!ec) notices_.set_option(asio::socket_base::receive_buffer_size(2 << 20), ec);
  if (!ec) notices_.bind(udp::endpoint(address, kNoticePort), ec);
  if (ec) return fail("UDP 1875");
  asio::co_spawn(notices_.get_executor(), NoticeLoop(), asio::detached);
  if (messages) {
    messages_.open(udp::v4(), ec);
    if (!ec) messages_.bind(udp::endpoint(address, kMessagePort), ec);
    if (ec) return fail("UDP 1872");
    asio::co_spawn(io_, MessageLoop(), asio::detached);
  }
  if (files) {
    files_.open(tcp::v4(), ec);
    if (!ec) files_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) files_.bind(tcp::endpoint(address, kFilePort), ec);
    if (!ec) files_.listen(64, ec);
    if (ec) return fail("TCP 1871");
    asio::co_spawn(io_, FileLoop(), asio::detached);
  }
  return true;
}

awaitable<void> SimClient::Connect(std::uint16_t serverPort) {
  tcp::socket socket(io_);
  socket.open(tcp::v4());
  socket.set_option(asio::socket_base::reuse_address(true));
  socket.bind(tcp::endpoint(address, 0));
  co_await socket.async_connect(tcp::endpoint(kServerAddress, serverPort), use_awaitable);
  socket.set_option(tcp::no_delay(true));
  conn = std::make_unique<FrameStream>(std::move(socket));
  conn->StampArrivals();
}

awaitable<std::string> SimClient::Request(std::string_view body) {
  co_await conn->Send(body);
  co_return co_await conn->Read();
}

awaitable<bool> SimClient::Login() {
  char mac[32];
  std::snprintf(mac, sizeof mac, "02-00-%02X-%02X-%02X-%02X", (index >> 24) & 0xFF, (index >> 16) & 0xFF,
                (index >> 8) & 0xFF, index & 0xFF);
  const std::string request = LoginRequest(name, AccountPassword(index + 1), mac);
  loginSent = SteadyClock::now();
  std::string reply = co_await Request(request);
  loginReplied = conn->LastArrival();
  loginRead = SteadyClock::now();
  co_return ElementText(reply, "BackType") == "Loginin" && ElementText(reply, "status") == "success";
}

void SimClient::SendDatagram(std::uint16_t serverPort, std::string_view bytes) {
  asio::error_code ec;
  if (!notices_.is_open()) {
    udp::socket passing(io_);
    passing.open(udp::v4(), ec);
    if (!ec) passing.bind(udp::endpoint(address, 0), ec);
    if (!ec)
      passing.send_to(asio::buffer(bytes.data(), bytes.size()), udp::endpoint(kServerAddress, serverPort), 0, ec);
    return;
  }
  notices_.send_to(asio::buffer(bytes.data(), bytes.size()), udp::endpoint(kServerAddress, serverPort), 0, ec);
}

void SimClient::Disconnect() {
  if (!conn) return;
  asio::error_code ec;
  conn->Socket().close(ec);
}

namespace {

// The receive batch of this thread's notice loops: headers, addresses and
// slots set up once and shared by every client, so a wake-up touches the
// same few cache lines whichever client it is for. Looked up after every
// resumption and never used across a suspension.
struct NoticeBatch {
  static constexpr std::size_t kSize = 64;
  static constexpr std::size_t kSlot = 16384;
  std::vector<char> storage = std::vector<char>(kSize * kSlot);
  std::array<mmsghdr, kSize> msgs{};
  std::array<iovec, kSize> iovs{};
  std::array<sockaddr_in, kSize> froms{};
  NoticeBatch() {
    for (std::size_t i = 0; i < kSize; ++i) {
      iovs[i] = iovec{storage.data() + i * kSlot, kSlot};
      msgs[i].msg_hdr.msg_iov = &iovs[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_name = &froms[i];
      msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
  }
};

[[gnu::noinline]] NoticeBatch& ThisThreadsNoticeBatch() {
  thread_local NoticeBatch batch;
  return batch;
}

}  // namespace

awaitable<void> SimClient::NoticeLoop() {
  // Notices come in bursts (a login storm sends two million), and the
  // generator shares the cores with the server: one wake-up per burst, then
  // recvmmsg drains the socket up to 64 datagrams per call.
  for (;;) {
    asio::error_code ec;
    co_await notices_.async_wait(udp::socket::wait_read, asio::redirect_error(use_awaitable, ec));
    if (ec == asio::error::operation_aborted || !notices_.is_open()) co_return;
    if (ec) continue;
    NoticeBatch& batch = ThisThreadsNoticeBatch();
    for (;;) {
      const int n = ::recvmmsg(notices_.native_handle(), batch.msgs.data(), NoticeBatch::kSize, MSG_DONTWAIT, nullptr);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // drained (EAGAIN) or failed: wait for the next burst
      for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++k) {
        const sockaddr_in& sender = batch.froms[k];
        const udp::endpoint from(asio::ip::address_v4(ntohl(sender.sin_addr.s_addr)), ntohs(sender.sin_port));
        HandleNotice(std::string_view(batch.storage.data() + k * NoticeBatch::kSlot, batch.msgs[k].msg_len), from);
        batch.msgs[k].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      }
      if (static_cast<std::size_t>(n) < NoticeBatch::kSize) break;
    }
  }
}

void SimClient::HandleNotice(std::string_view doc, const udp::endpoint& from) {
  asio::error_code ec;
  std::string_view type = ElementText(doc, "Type");
  const auto now = SteadyClock::now();
  if (type == "Online") {
    ++onlineNotices;
    ++board_.online;
    board_.lastOnline = now;
    if (ElementText(doc, "username") == name) ownOnline = true;
  } else if (type == "Offline") {
    ++board_.offline;
    board_.offlineSeen.try_emplace(std::string(ElementText(doc, "username")), now);
  } else if (type == "GetStatus") {
    ++board_.polls;
    if (now >= board_.pollWatchFrom && !board_.firstPoll) board_.firstPoll = now;
    if (answerPolls && ElementText(doc, "username") == name) {
      ++board_.pollsAnswered;
      const std::string answer = StatusAnswer(name);
      notices_.send_to(asio::buffer(answer), from, 0, ec);
    }
  } else {
    ++board_.other;
  }
}

awaitable<void> SimClient::MessageLoop() {
  std::string buffer(81920, '\0');
  udp::endpoint from;
  for (;;) {
    asio::error_code ec;
    co_await messages_.async_receive_from(asio::buffer(buffer), from, asio::redirect_error(use_awaitable, ec));
    if (ec == asio::error::operation_aborted || !messages_.is_open()) co_return;
    if (ec) continue;
    if (!messageAt) messageAt = SteadyClock::now();
    ++messages;
  }
}

awaitable<void> SimClient::FileLoop() {
  for (;;) {
    asio::error_code ec;
    tcp::socket socket = co_await files_.async_accept(asio::redirect_error(use_awaitable, ec));
    if (ec == asio::error::operation_aborted || !files_.is_open()) co_return;
    if (ec) continue;
    asio::co_spawn(io_, ReceiveFile(std::move(socket)), asio::detached);
  }
}

awaitable<void> SimClient::ReceiveFile(tcp::socket socket) {
  try {
    std::string buffer;
    std::size_t n = co_await asio::async_read_until(socket, asio::dynamic_buffer(buffer), '\n', use_awaitable);
    fileHeaderAt = SteadyClock::now();
    std::string header = buffer.substr(0, n);
    buffer.erase(0, n);
    // The sixth field after the tag is the size.
    std::size_t pos = 0;
    std::string size;
    for (int field = 0; field <= 6; ++field) {
      auto sep = header.find("\xA1\xEF", pos);
      if (sep == std::string::npos) break;
      if (field == 6) size = header.substr(pos, sep - pos);
      pos = sep + 2;
    }
    const std::uint64_t expected = std::strtoull(size.c_str(), nullptr, 10);
    fileExpected += expected;
    co_await asio::async_write(socket, asio::buffer(std::string_view("OK\r\n")), use_awaitable);
    n = co_await asio::async_read_until(socket, asio::dynamic_buffer(buffer), '\n', use_awaitable);
    buffer.erase(0, n);  // "START"
    std::uint64_t got = std::min<std::uint64_t>(buffer.size(), expected);
    std::vector<char> chunk(1 << 20);
    while (got < expected) {
      asio::error_code ec;
      std::size_t r = co_await socket.async_read_some(asio::buffer(chunk), asio::redirect_error(use_awaitable, ec));
      if (ec) break;
      got += r;
    }
    fileBytes += got;
    if (got == expected) {
      ++filesDone;
      fileDoneAt = SteadyClock::now();
    }
  } catch (const std::exception&) {
  }
}

}  // namespace corvan::bench
