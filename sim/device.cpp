#include "korvel/sim/device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <thread>

namespace korvel::sim {

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int listen_on(const std::string& address, int port, std::string* error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    if (error)
      *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
               std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

enum class Kind { Id, Cmd, Data };

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Id: return "id";
    case Kind::Cmd: return "cmd";
    case Kind::Data: return "data";
  }
  return "";
}

struct Conn {
  int fd = -1;
  Kind kind = Kind::Cmd;
  int port = -1;  // data connections: index of their port
  std::string in;
  std::string out;
  bool close_after_flush = false;
};

struct Timer {
  int64_t due;
  uint64_t seq;
  uint64_t conn_id;
  std::string bytes;  // written to the connection when due
  bool close = false;
  bool operator>(const Timer& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

}  // namespace

struct Device::Impl {
  Config config;
  std::unique_ptr<Model> model;

  mutable std::mutex mu;
  mutable std::condition_variable cv;  // signalled when a command is recorded
  std::vector<std::string> commands;
  std::vector<Fault> faults;
  // Replies held back by Fault::Late: (connection, bytes).
  std::vector<std::pair<uint64_t, std::string>> held;
  bool silent_id = false;
  std::uint64_t acks = 0;

  int listeners[2] = {-1, -1};  // identification, commands
  int wake[2] = {-1, -1};
  std::map<uint64_t, Conn> conns;
  uint64_t next_conn = 1;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers;
  uint64_t timer_seq = 0;
  std::thread loop;
  std::atomic<bool> running{false};
  std::mt19937 rng{12345};

  struct Stream {
    bool active = false;
    StreamPlan plan;
    std::uint32_t window = 32768;
    int64_t start_ms = 0;
    std::uint64_t generated = 0;      // units put into the connection's buffer
    std::uint64_t flushed_bytes = 0;  // bytes the connection accepted
    std::uint64_t stale_units = 0;    // units of an earlier stream still unacknowledged
    int64_t next_piece_ms = 0;
    // Pieces (StreamPlan::piece_end): the current one, where it ends, and
    // when its last byte went out (0: not yet).
    std::uint64_t piece = 0;
    std::uint64_t piece_end = 0;
    int64_t piece_done_ms = 0;
    std::uint64_t piece_done_acks = 0;  // acknowledgements when it went out
    // Bytes of the pieces a first acknowledgement took (a peer counting
    // records acknowledges far fewer units than it has taken).
    std::uint64_t taken_bytes = 0;
    int64_t wake_at = 0;
    StreamFault fault;
    StreamStats stats;
  };
  // One data port: its listener, the connection its stream goes to (the
  // latest accepted), the stream and its faults.
  struct Port {
    int offset = 0;
    int listener = -1;
    uint64_t conn = 0;
    Stream stream;
    StreamFault fault_setting;  // applies to every stream without its own
    // Bytes of a stopped stream still to reach the peer (StreamFault::Trailing).
    std::string trailing;
    int64_t trailing_due = 0;
    int64_t trailing_since = 0;  // when the stream stopped
    int64_t trailing_delay = -1;  // how late the last trailing bytes went out
  };
  std::vector<Port> ports;
  // A piece not acknowledged within this time is taken as consumed, so that
  // a peer acknowledging differently still gets the whole stream.
  static constexpr int64_t kPieceGraceMs = 20;

  Port* port_at(int offset) {
    for (Port& p : ports)
      if (p.offset == offset) return &p;
    return nullptr;
  }
  const Port* port_at(int offset) const { return const_cast<Impl*>(this)->port_at(offset); }

  int port_of(Kind k) const { return k == Kind::Id ? config.id_port : config.cmd_port; }

  void wakeup() const {
    const char c = 1;
    if (wake[1] >= 0) (void)!write(wake[1], &c, 1);
  }

  // Closes a connection; with reset, by an RST (a zero linger time drops
  // what is still unsent).
  void close_conn(uint64_t id, bool reset = false) {
    auto it = conns.find(id);
    if (it == conns.end()) return;
    close_fd(it->second.fd, reset);
    conns.erase(it);
  }
  static void close_fd(int fd, bool reset) {
    if (reset) {
      const linger abort_now{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
    }
    close(fd);
  }
  static bool cuts_stream(StreamFault::Kind k) {
    return k == StreamFault::Kind::Silence || k == StreamFault::Kind::Close ||
           k == StreamFault::Kind::Reset;
  }
  static bool ends_stream(StreamFault::Kind k) {
    return k == StreamFault::Kind::Close || k == StreamFault::Kind::Reset;
  }

  void queue_bytes(uint64_t id, const std::string& bytes) {
    auto it = conns.find(id);
    if (it == conns.end()) return;
    it->second.out += bytes;
    flush(id);
  }

  void flush(uint64_t id) {
    auto it = conns.find(id);
    if (it == conns.end()) return;
    Conn& c = it->second;
    while (!c.out.empty()) {
      const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      if (n > 0) {
        c.out.erase(0, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      close_conn(id);
      return;
    }
    if (c.close_after_flush) close_conn(id);
  }

  void schedule(int64_t due, uint64_t conn, std::string bytes, bool close_conn_after = false) {
    timers.push(Timer{due, timer_seq++, conn, std::move(bytes), close_conn_after});
  }

  // Identification port: "10" model id, "01" firmware version and date.
  void on_id_line(uint64_t id, const std::string& line) {
    if (silent_id) return;
    if (line == "10") {
      queue_bytes(id, "!0" + (config.id.empty() ? model->id_string() : config.id) + "\r");
    } else if (line == "01") {
      char text[64];
      std::snprintf(text, sizeof text, "!01%X ", config.firmware);
      queue_bytes(id, text + config.firmware_date + "\r");
    }
  }

  void on_cmd_line(uint64_t id, const std::string& line) {
    commands.push_back(line);
    cv.notify_all();
    for (auto& [conn, bytes] : held) queue_bytes(conn, bytes);
    held.clear();
    std::optional<std::string> reply = model->handle(line);

    Fault* fault = nullptr;
    for (Fault& f : faults) {
      if (f.count != 0 && line.compare(0, f.match.size(), f.match) == 0) {
        fault = &f;
        if (f.count > 0) --f.count;
        break;
      }
    }
    if (fault == nullptr) {
      if (reply) queue_bytes(id, *reply + "\r");
      return;
    }
    if (!fault->text.empty()) reply = fault->text;
    const int64_t now = now_ms();
    switch (fault->kind) {
      case Fault::Kind::NoReply:
        break;
      case Fault::Kind::Delay:
        if (reply) schedule(now + fault->delay_ms, id, *reply + "\r");
        break;
      case Fault::Kind::Split: {
        if (!reply) break;
        const std::string whole = *reply + "\r";
        const int pieces = std::max(1, std::min<int>(fault->pieces, static_cast<int>(whole.size())));
        std::size_t pos = 0;
        for (int i = 0; i < pieces; ++i) {
          const std::size_t len = i + 1 == pieces ? whole.size() - pos : whole.size() / pieces;
          schedule(now + static_cast<int64_t>(i) * fault->delay_ms, id, whole.substr(pos, len));
          pos += len;
        }
        break;
      }
      case Fault::Kind::Garbage: {
        std::string junk(24, '\0');
        std::uniform_int_distribution<int> byte(1, 255);
        for (char& c : junk) {
          do c = static_cast<char>(byte(rng));
          while (c == '\r');
        }
        queue_bytes(id, junk + "\r");
        break;
      }
      case Fault::Kind::Overlong:
        queue_bytes(id, "!" + std::string(fault->length, 'A') + "\r");
        break;
      case Fault::Kind::Close:
      case Fault::Kind::Reset:
        close_conn(id, fault->kind == Fault::Kind::Reset);
        break;
      case Fault::Kind::Reply:
        if (reply) schedule(now + fault->delay_ms, id, *reply + "\r");
        break;
      case Fault::Kind::Late:
        if (reply) held.emplace_back(id, *reply + "\r");
        break;
    }
  }

  void on_data_bytes(Conn& c) {
    // Acknowledgements: 4-byte little-endian unit counts, checked against
    // what the connection's port sent.
    Stream* st = c.port >= 0 ? &ports[static_cast<std::size_t>(c.port)].stream : nullptr;
    std::size_t pos = 0;
    while (c.in.size() - pos >= 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(c.in.data() + pos);
      std::uint64_t v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
      pos += 4;
      ++acks;
      if (st == nullptr) continue;
      const std::uint64_t stale = std::min(v, st->stale_units);
      st->stale_units -= stale;
      v -= stale;
      ++st->stats.acks;
      st->stats.acked_units += v;
      if (st->stats.acked_units > st->stats.units_sent) ++st->stats.ack_mismatches;
    }
    c.in.erase(0, pos);
    cv.notify_all();
  }

  // Ends the port's stream after a send error or a Close or Reset fault.
  void drop_stream_conn(Port& p) {
    close_conn(p.conn, p.stream.fault.kind == StreamFault::Kind::Reset);
    p.stream.active = false;
    cv.notify_all();
  }

  // Account for bytes the connection accepted.
  static void note_sent(Stream& st, std::uint64_t bytes) {
    const std::uint32_t unit = st.plan.unit_bytes;
    st.flushed_bytes += bytes;
    st.stats.units_sent = st.flushed_bytes / unit;
    const std::uint64_t unacked = st.flushed_bytes - std::min(st.flushed_bytes, st.stats.acked_units * unit);
    st.stats.max_unacked_bytes = std::max(st.stats.max_unacked_bytes, unacked);
  }

  // Sends what the stream may send now: what is due (pacing), what the send
  // window allows, and what the fault leaves.
  void pump_stream(Port& p) {
    Stream& st = p.stream;
    if (!st.active) return;
    st.wake_at = 0;
    auto it = conns.find(p.conn);
    if (it == conns.end()) return;
    if (st.plan.piece_end && st.fault.kind != StreamFault::Kind::ShortBlocks) {
      pump_pieces(p, it->second);
      return;
    }
    Conn& c = it->second;
    const std::uint32_t unit = st.plan.unit_bytes;
    const int64_t now = now_ms();
    for (;;) {
      if (c.out.empty()) {
        std::uint64_t limit = st.plan.total_units ? st.plan.total_units : UINT64_MAX;
        if (st.plan.units_per_second > 0) {
          const double due = static_cast<double>(now - st.start_ms) * st.plan.units_per_second / 1000.0;
          limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(due));
        }
        if (cuts_stream(st.fault.kind))
          limit = std::min(limit, st.fault.after_units);
        const std::uint64_t unacked_bytes = (st.stats.units_sent - std::min(st.stats.units_sent, st.stats.acked_units)) * unit +
                                            (st.flushed_bytes - st.stats.units_sent * unit);
        const std::uint64_t room = st.window > unacked_bytes ? (st.window - unacked_bytes) / unit : 0;
        const std::uint64_t due = limit > st.generated ? limit - st.generated : 0;
        const std::uint64_t n = std::min<std::uint64_t>({due, room, 16384});
        // Like a TCP stack avoiding silly windows: wait until a quarter of the
        // window is free (or all that is due fits) instead of sending crumbs
        // after every acknowledgement.
        if (n == 0 || (n < due && room * unit < st.window / 4)) break;
        c.out.resize(static_cast<std::size_t>(n) * unit);
        st.plan.fill(st.generated, static_cast<std::size_t>(n), c.out.data());
        st.generated += n;
      }
      std::size_t len = c.out.size();
      if (st.fault.kind == StreamFault::Kind::ShortBlocks) {
        if (now < st.next_piece_ms) break;
        len = std::min(len, st.fault.piece_bytes);
      }
      const ssize_t sent = send(c.fd, c.out.data(), len, MSG_NOSIGNAL);
      if (sent <= 0) {
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          drop_stream_conn(p);  // c is gone with it
          return;
        }
        break;
      }
      c.out.erase(0, static_cast<std::size_t>(sent));
      note_sent(st, static_cast<std::uint64_t>(sent));
      if (st.fault.kind == StreamFault::Kind::ShortBlocks) {
        st.next_piece_ms = now + 1;
        break;
      }
    }
    if (!c.out.empty()) return;
    if (ends_stream(st.fault.kind) && st.generated >= st.fault.after_units) {
      drop_stream_conn(p);
    } else if (st.plan.total_units && st.generated >= st.plan.total_units) {
      st.active = false;
      cv.notify_all();
    }
  }

  // The piece-wise form of pump_stream (StreamPlan::piece_end). Leaves in
  // st.wake_at when it wants to run again without an event (0: on events).
  void pump_pieces(Port& p, Conn& c) {
    Stream& st = p.stream;
    const std::uint64_t unit = st.plan.unit_bytes;
    const int64_t now = now_ms();
    const int64_t begin = st.start_ms + st.plan.start_delay_ms;
    st.wake_at = 0;
    if (now < begin) {
      st.wake_at = begin;
      return;
    }
    std::uint64_t end_bytes = st.plan.total_units ? st.plan.total_units * unit : UINT64_MAX;
    if (cuts_stream(st.fault.kind)) end_bytes = std::min(end_bytes, st.fault.after_units * unit);
    for (;;) {
      if (!c.out.empty()) {
        const ssize_t sent = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (sent <= 0) {
          if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop_stream_conn(p);
          return;
        }
        c.out.erase(0, static_cast<std::size_t>(sent));
        note_sent(st, static_cast<std::uint64_t>(sent));
        if (!c.out.empty()) return;  // the rest when the socket takes it
        st.piece_done_ms = now;
        st.piece_done_acks = st.stats.acks;
      }
      if (st.flushed_bytes >= end_bytes) break;
      if (st.flushed_bytes >= st.piece_end) {
        const bool taken = st.plan.piece_taken_at_first_ack && st.stats.acks > st.piece_done_acks;
        const bool consumed = st.stats.acked_units >= st.flushed_bytes / unit || taken;
        if (taken) st.taken_bytes = st.flushed_bytes;
        if (!consumed && now < st.piece_done_ms + kPieceGraceMs) {
          st.wake_at = st.piece_done_ms + kPieceGraceMs;
          return;
        }
        const std::uint64_t next = st.plan.piece_end(++st.piece);
        st.piece_end = std::max(next, st.piece_end + 1);
      }
      const std::uint64_t to = std::min(st.piece_end, end_bytes);
      const std::uint64_t last = (to + unit - 1) / unit;  // units the piece reaches into
      if (st.plan.units_per_second > 0) {
        const auto due_ms = begin + static_cast<int64_t>(std::ceil(static_cast<double>(last) * 1000.0 /
                                                                   st.plan.units_per_second));
        if (now < due_ms) {
          st.wake_at = due_ms;
          return;
        }
      }
      // The send window bounds what is unacknowledged after this piece,
      // unless everything whole before it was acknowledged.
      const std::uint64_t acked_bytes = std::max(st.stats.acked_units * unit, st.taken_bytes);
      if (to - std::min(to, acked_bytes) > st.window && acked_bytes < st.flushed_bytes / unit * unit)
        return;
      const std::uint64_t first = st.flushed_bytes / unit;
      std::string units(static_cast<std::size_t>((last - first) * unit), '\0');
      st.plan.fill(first, static_cast<std::size_t>(last - first), units.data());
      c.out = units.substr(static_cast<std::size_t>(st.flushed_bytes - first * unit),
                           static_cast<std::size_t>(to - st.flushed_bytes));
      st.generated = std::max(st.generated, last);
    }
    if (ends_stream(st.fault.kind) && st.flushed_bytes >= st.fault.after_units * unit) {
      drop_stream_conn(p);
    } else if (st.plan.total_units && st.flushed_bytes >= st.plan.total_units * unit) {
      st.active = false;
      cv.notify_all();
    }
  }

  // Milliseconds until a stream wants to send again without an event.
  int stream_wake_ms() const {
    int wake_ms = -1;
    auto take = [&wake_ms](int64_t ms) {
      const int v = static_cast<int>(std::clamp<int64_t>(ms, 0, 1000));
      if (wake_ms < 0 || v < wake_ms) wake_ms = v;
    };
    const int64_t now = now_ms();
    for (const Port& p : ports) {
      const Stream& st = p.stream;
      if (!st.active) continue;
      if (st.fault.kind == StreamFault::Kind::ShortBlocks) {
        take(1);
      } else if (st.plan.piece_end) {
        // A stream whose connection has not come yet waits for it.
        if (st.wake_at > 0) take(std::max<int64_t>(1, st.wake_at - now));
        continue;
      }
      if (st.plan.units_per_second > 0) take(2);
    }
    return wake_ms;
  }

  void on_readable(uint64_t id) {
    auto it = conns.find(id);
    if (it == conns.end()) return;
    char buf[4096];
    const ssize_t n = recv(it->second.fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      close_conn(id);
      return;
    }
    if (n < 0) return;
    Conn& c = it->second;
    c.in.append(buf, static_cast<std::size_t>(n));
    if (c.kind == Kind::Data) {
      const int port = c.port;
      on_data_bytes(c);
      if (port >= 0) pump_stream(ports[static_cast<std::size_t>(port)]);
      return;
    }
    std::size_t cr;
    while (conns.count(id) && (cr = conns[id].in.find('\r')) != std::string::npos) {
      std::string line = conns[id].in.substr(0, cr);
      conns[id].in.erase(0, cr + 1);
      if (conns[id].kind == Kind::Id)
        on_id_line(id, line);
      else
        on_cmd_line(id, line);
    }
  }

  // Accepts on listener `which`: 0 identification, 1 commands, 2 + i data
  // port i.
  void on_accept(int which) {
    const bool data = which >= 2;
    const int lfd = data ? ports[static_cast<std::size_t>(which - 2)].listener : listeners[which];
    for (;;) {
      const int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      Conn c;
      c.fd = fd;
      c.kind = data ? Kind::Data : which == 0 ? Kind::Id : Kind::Cmd;
      if (data) {
        c.port = which - 2;
        ports[static_cast<std::size_t>(c.port)].conn = next_conn;
      }
      conns[next_conn++] = std::move(c);
    }
  }

  void run_due_timers() {
    const int64_t now = now_ms();
    while (!timers.empty() && timers.top().due <= now) {
      Timer t = timers.top();
      timers.pop();
      if (!t.bytes.empty()) queue_bytes(t.conn_id, t.bytes);
      if (t.close) close_conn(t.conn_id);
    }
    for (Port& p : ports) {
      if (!p.trailing.empty() && p.trailing_due <= now) {
        queue_bytes(p.conn, p.trailing);
        p.trailing.clear();
        p.trailing_delay = now - p.trailing_since;
      }
    }
  }

  void pump_all() {
    for (Port& p : ports) pump_stream(p);
  }

  void run() {
    std::unique_lock<std::mutex> lock(mu);
    while (running) {
      std::vector<pollfd> fds;
      std::vector<std::pair<int, uint64_t>> who;  // (listener as on_accept's `which`, or -1 / -2; conn id)
      fds.push_back({wake[0], POLLIN, 0});
      who.push_back({-2, 0});
      for (int k = 0; k < 2; ++k) {
        if (listeners[k] < 0) continue;
        fds.push_back({listeners[k], POLLIN, 0});
        who.push_back({k, 0});
      }
      for (std::size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].listener < 0) continue;
        fds.push_back({ports[i].listener, POLLIN, 0});
        who.push_back({static_cast<int>(i) + 2, 0});
      }
      for (auto& [id, c] : conns) {
        short ev = POLLIN;
        if (!c.out.empty()) ev |= POLLOUT;
        fds.push_back({c.fd, ev, 0});
        who.push_back({-1, id});
      }
      int timeout = -1;
      if (!timers.empty()) timeout = static_cast<int>(std::max<int64_t>(0, timers.top().due - now_ms()));
      const int stream_wake = stream_wake_ms();
      if (stream_wake >= 0 && (timeout < 0 || stream_wake < timeout)) timeout = stream_wake;
      lock.unlock();
      const int r = poll(fds.data(), fds.size(), timeout);
      lock.lock();
      if (r < 0 && errno != EINTR) break;
      for (std::size_t i = 0; r > 0 && i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        const auto [k, id] = who[i];
        if (k == -2) {
          char drain[64];
          while (read(wake[0], drain, sizeof drain) > 0) {
          }
        } else if (k >= 0) {
          const int lfd = k >= 2 ? ports[static_cast<std::size_t>(k - 2)].listener : listeners[k];
          if (lfd >= 0) on_accept(k);
        } else {
          auto it = conns.find(id);
          if (it == conns.end()) continue;
          if (fds[i].revents & POLLOUT) {
            const int port = it->second.port;
            Port* p = port >= 0 ? &ports[static_cast<std::size_t>(port)] : nullptr;
            if (p && id == p->conn && p->stream.active)
              pump_stream(*p);
            else
              flush(id);
          }
          if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) on_readable(id);
        }
      }
      run_due_timers();
      pump_all();
    }
  }
};

Device::Device(Config config) : config_(std::move(config)), impl_(std::make_unique<Impl>()) {
  impl_->config = config_;
}

Device::~Device() { stop(); }

bool Device::start(std::string* error) {
  Impl& d = *impl_;
  if (d.running) return true;
  d.model = make_model(config_.model);
  if (!d.model) {
    if (error) *error = "unknown device family: " + config_.model;
    return false;
  }
  d.model->attach(this);
  auto close_listeners = [&d] {
    for (int& fd : d.listeners)
      if (fd >= 0) close(fd), fd = -1;
    for (Impl::Port& p : d.ports)
      if (p.listener >= 0) close(p.listener), p.listener = -1;
  };
  std::vector<int> offsets = d.model->data_ports();
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  d.ports.clear();
  for (int k : offsets) {
    Impl::Port p;
    p.offset = k;
    d.ports.push_back(p);
  }
  for (int k = 0; k < 2; ++k) {
    d.listeners[k] = listen_on(config_.address, d.port_of(static_cast<Kind>(k)), error);
    if (d.listeners[k] < 0) {
      close_listeners();
      return false;
    }
  }
  for (Impl::Port& p : d.ports) {
    p.listener = listen_on(config_.address, config_.data_port + p.offset, error);
    if (p.listener < 0) {
      close_listeners();
      return false;
    }
  }
  if (pipe2(d.wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    if (error) *error = "pipe failed";
    close_listeners();
    return false;
  }
  d.running = true;
  d.loop = std::thread([&d] { d.run(); });
  return true;
}

void Device::stop() {
  Impl& d = *impl_;
  if (!d.running.exchange(false)) return;
  d.wakeup();
  d.loop.join();
  std::lock_guard<std::mutex> lock(d.mu);
  for (auto& [id, c] : d.conns) close(c.fd);
  d.conns.clear();
  for (int& fd : d.listeners)
    if (fd >= 0) close(fd), fd = -1;
  for (Impl::Port& p : d.ports)
    if (p.listener >= 0) close(p.listener), p.listener = -1;
  for (int& fd : d.wake)
    if (fd >= 0) close(fd), fd = -1;
}

std::vector<std::string> Device::commands() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->commands;
}

void Device::clear_commands() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->commands.clear();
}

std::size_t Device::count_commands(const std::string& prefix) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::size_t n = 0;
  for (const std::string& c : impl_->commands)
    if (c.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

bool Device::wait_for_command(const std::string& prefix, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const std::string& c : impl_->commands)
      if (c.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
  });
}

void Device::add_fault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.push_back(fault);
}

void Device::clear_faults() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.clear();
}

void Device::set_silent_identification(bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->silent_id = silent;
}

void Device::set_refuse_connections(bool refuse) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mu);
  auto toggle = [&](int& fd, int port) {
    if (refuse && fd >= 0) {
      close(fd);
      fd = -1;
    } else if (!refuse && fd < 0) {
      fd = listen_on(config_.address, port, nullptr);
    }
  };
  for (int k = 0; k < 2; ++k) toggle(d.listeners[k], d.port_of(static_cast<Kind>(k)));
  for (Impl::Port& p : d.ports) toggle(p.listener, config_.data_port + p.offset);
  d.wakeup();
}

void Device::drop_connections(const std::string& kind, bool reset) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mu);
  for (auto it = d.conns.begin(); it != d.conns.end();) {
    if (kind.empty() || kind == kind_name(it->second.kind)) {
      Impl::close_fd(it->second.fd, reset);
      it = d.conns.erase(it);
    } else {
      ++it;
    }
  }
  d.wakeup();
}

void Device::with_model(const std::function<void(Model&)>& f) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->model) f(*impl_->model);
}

std::uint64_t Device::acks_received() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->acks;
}

void Device::stream_begin(const StreamPlan& plan, std::uint32_t window_bytes, int port) {
  Impl& d = *impl_;
  Impl::Port* p = d.port_at(port);
  if (p == nullptr) return;
  Impl::Stream& st = p->stream;
  const std::uint64_t unacked = st.stats.units_sent - std::min(st.stats.units_sent, st.stats.acked_units);
  st = Impl::Stream{};
  st.fault = plan.fault.value_or(p->fault_setting);
  st.stale_units = unacked;
  st.active = true;
  st.plan = plan;
  st.window = window_bytes == 0 ? 32768 : window_bytes;
  st.start_ms = now_ms();
  st.stats.active = true;
  if (plan.piece_end) st.piece_end = plan.piece_end(0);
  // Bytes an earlier stream left unsent are not part of this one, except
  // those held back past its stop: on the wire they come first.
  auto it = d.conns.find(p->conn);
  if (it != d.conns.end()) {
    it->second.out.clear();
    // Sent with the new stream: the loop came too late to send them on time.
    if (!p->trailing.empty()) d.queue_bytes(p->conn, p->trailing);
  }
  p->trailing.clear();
  d.wakeup();
}

void Device::stream_end(int port) {
  Impl& d = *impl_;
  for (Impl::Port& p : d.ports) {
    if (port >= 0 && p.offset != port) continue;
    p.stream.active = false;
    auto it = d.conns.find(p.conn);
    if (it != d.conns.end()) it->second.out.clear();
    const StreamFault& fault = p.stream.fault;
    if (fault.kind == StreamFault::Kind::Trailing && it != d.conns.end()) {
      p.trailing.assign(fault.piece_bytes, '\x5A');
      p.trailing_since = now_ms();
      p.trailing_due = p.trailing_since + fault.delay_ms;
      p.trailing_delay = -1;
      d.schedule(p.trailing_due, p.conn, "");  // wakes the loop
    }
  }
  d.cv.notify_all();
}

bool Device::stream_active_locked(int port) const {
  for (const Impl::Port& p : impl_->ports)
    if ((port < 0 || p.offset == port) && p.stream.active) return true;
  return false;
}

StreamStats Device::stream_stats_locked(int port) const {
  const Impl::Port* p = impl_->port_at(port);
  if (p == nullptr) return {};
  StreamStats s = p->stream.stats;
  s.active = p->stream.active;
  return s;
}

StreamStats Device::stream_stats(int port) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return stream_stats_locked(port);
}

int64_t Device::trailing_delay_ms(int port) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const Impl::Port* p = impl_->port_at(port);
  return p ? p->trailing_delay : -1;
}

void Device::set_stream_fault(const StreamFault& fault, int port) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (Impl::Port& p : impl_->ports) {
    if (port >= 0 && p.offset != port) continue;
    p.fault_setting = fault;
    p.stream.fault = fault;
  }
  impl_->wakeup();
}

bool Device::wait_stream_done(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const Impl::Port& p : impl_->ports) {
      const auto& st = p.stream;
      if (st.active || st.stats.acked_units < st.stats.units_sent) return false;
    }
    return true;
  });
}

std::vector<int> Device::data_port_offsets() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<int> offsets;
  for (const Impl::Port& p : impl_->ports) offsets.push_back(p.offset);
  return offsets;
}

std::string unique_loopback_address() {
  static std::atomic<unsigned> counter{0};
  // 14 bits of the process id and 10 bits of the counter fill 127.x.y.z;
  // z never becomes 0 or 255.
  const unsigned pid = static_cast<unsigned>(getpid()) % 16381u;
  const unsigned n = counter++ % 1000u;
  const unsigned a = pid >> 6;                          // 0..255
  const unsigned b = ((pid & 0x3Fu) << 2) | (n / 250);  // 0..255
  const unsigned c = n % 250 + 1;                       // 1..250
  return "127." + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

}  // namespace korvel::sim
