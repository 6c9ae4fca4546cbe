// A simulated acquisition device on a loopback address.
//
// It listens on the identification port (10000), the command port and the
// data port or ports of its own address (data_port + k for each offset k
// the model names; each port carries a stream of its own), answers exactly as the devices do, records
// every command it receives, and can be told to misbehave (silence, late or
// split replies, garbage, dropped or refused connections) so that the
// library's failure paths can be exercised without hardware.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvel::sim {

struct Config {
  std::string model = "LX3100";  // device family whose command set is served
  std::string id;                // id string reported on port 10000 (default: the family's)
  std::string address = "127.0.0.2";
  int id_port = 10000;
  int cmd_port = 9999;
  int data_port = 10010;
  unsigned firmware = 0x312;
  std::string firmware_date = "2026/11/20";
  bool fast = false;  // stream scans as fast as TCP allows instead of in real time
  // Slot controllers: MC610s one presence character per physical slot 0..7
  // ('1' = a card; empty: "11010000"), MC620Ws one card code per populated
  // slot in ordinal order (empty: "193"). Reported as given.
  std::string slots;
  // Slot controllers: the slots' streams go out in odd-sized pieces at
  // different paces, so that receives end mid-sample and mid-scan and slots
  // run ahead of each other (deterministic). Ignored by the LX models.
  bool out_of_step = true;
};

// A misbehaviour applied to commands whose text starts with match.
struct Fault {
  enum class Kind {
    NoReply,   // swallow the reply
    Delay,     // reply after delay_ms
    Split,     // reply in `pieces` parts, delay_ms apart
    Garbage,   // random non-CR bytes, then CR
    Overlong,  // `length` printable bytes, then CR
    Close,     // close the command connection instead of replying
    Reset,     // reset the command connection (RST) instead of replying
    Reply,     // answer (after delay_ms) with `text` instead of the device's reply
    Late,      // hold the reply back until the device receives its next command
               // (on any connection), then send it, on its own connection, first
  };
  Kind kind = Kind::NoReply;
  std::string match;  // command prefix; empty matches every command
  int count = 1;      // commands it applies to; -1 until cleared
  int delay_ms = 0;
  int pieces = 2;
  std::size_t length = 300;
  std::string text;  // when set, replaces the device's reply for every kind

  static Fault no_reply(std::string match) { return make(Kind::NoReply, std::move(match)); }
  static Fault delay(std::string match, int ms) {
    Fault f = make(Kind::Delay, std::move(match));
    f.delay_ms = ms;
    return f;
  }
  static Fault split(std::string match, int pieces, int gap_ms) {
    Fault f = make(Kind::Split, std::move(match));
    f.pieces = pieces;
    f.delay_ms = gap_ms;
    return f;
  }
  static Fault garbage(std::string match) { return make(Kind::Garbage, std::move(match)); }
  static Fault overlong(std::string match, std::size_t n) {
    Fault f = make(Kind::Overlong, std::move(match));
    f.length = n;
    return f;
  }
  static Fault close(std::string match) { return make(Kind::Close, std::move(match)); }
  static Fault reset(std::string match) { return make(Kind::Reset, std::move(match)); }
  static Fault late(std::string match) { return make(Kind::Late, std::move(match)); }
  static Fault reply(std::string match, std::string text) {
    Fault f = make(Kind::Reply, std::move(match));
    f.text = std::move(text);
    return f;
  }
  Fault& with_text(std::string t) {
    text = std::move(t);
    return *this;
  }
  Fault& times(int n) {
    count = n;
    return *this;
  }

 private:
  static Fault make(Kind k, std::string match) {
    Fault f;
    f.kind = k;
    f.match = std::move(match);
    return f;
  }
};

// Misbehaviour of the data stream.
struct StreamFault {
  enum class Kind {
    None,
    Silence,      // stop sending after `after_units`, keep the connection
    Close,        // close the data connection after `after_units`
    Reset,        // reset the data connection (RST) after `after_units`: bytes
                  // the peer has not received yet are lost
    ShortBlocks,  // send in pieces of `piece_bytes`, 1 ms apart
    Trailing,     // `piece_bytes` bytes follow a stop, `delay_ms` after its reply
  };
  Kind kind = Kind::None;
  std::uint64_t after_units = 0;
  std::size_t piece_bytes = 3;
  int delay_ms = 0;
};

// A stream of samples on the data port.
struct StreamPlan {
  std::uint64_t total_units = 0;  // 0: until stopped
  double units_per_second = 0;    // 0: as fast as the send window allows
  std::uint32_t unit_bytes = 2;   // acknowledgements count these units
  // Writes units [first, first + n) into out (n * unit_bytes bytes).
  std::function<void(std::uint64_t first, std::size_t n, char* out)> fill;
  // Misbehaviour of this stream alone; unset: the device's (set_stream_fault).
  std::optional<StreamFault> fault;
  // When set, the stream goes out in pieces ending at the byte offsets
  // piece_end(0) < piece_end(1) < ...; a piece is sent once the peer has
  // acknowledged every whole unit of the pieces before it (or after a grace
  // period without), so that the receiver's blocks end where the pieces do.
  // Pacing (a piece goes when its last unit is due) and the send window
  // still apply; a ShortBlocks fault replaces the pieces.
  std::function<std::uint64_t(std::uint64_t piece)> piece_end;
  // A piece counts as taken at its first acknowledgement, whatever it
  // counts (for peers that acknowledge records, not units).
  bool piece_taken_at_first_ack = false;
  int start_delay_ms = 0;  // nothing goes out before this
};

struct StreamStats {
  bool active = false;
  std::uint64_t units_sent = 0;      // whole units handed to the connection
  std::uint64_t acks = 0;            // acknowledgements received
  std::uint64_t acked_units = 0;     // units they acknowledged
  std::uint64_t ack_mismatches = 0;  // acknowledgements of units never sent
  std::uint64_t max_unacked_bytes = 0;
};

class Device;

// The command set and state of one device family. Handlers run on the
// device's loop thread with the device lock held.
class Model {
 public:
  virtual ~Model() = default;
  // Id string reported on "10".
  virtual std::string id_string() const = 0;
  // Answers one command line (without CR). No value: the device stays silent.
  virtual std::optional<std::string> handle(const std::string& line) = 0;
  // Called once when the device starts, before any connection.
  virtual void attach(Device* device) { device_ = device; }
  // Offsets k of the data ports (data_port + k), called after attach.
  virtual std::vector<int> data_ports() const { return {0}; }

 protected:
  Device* device_ = nullptr;
};

// Creates the model for a family name ("LX3100", "LX3200", "LXR5000",
// "MC610s", "MC620Ws"); null when unknown.
std::unique_ptr<Model> make_model(const std::string& family);

class Device {
 public:
  explicit Device(Config config);
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Binds the ports and starts serving. False (with a reason) when a
  // port cannot be bound or the family is unknown.
  bool start(std::string* error = nullptr);
  // Stops serving and closes every connection. Idempotent.
  void stop();
  const Config& config() const { return config_; }

  // Commands received on the command port, in order, without their CR.
  std::vector<std::string> commands() const;
  void clear_commands();
  // Number of received commands that start with prefix.
  std::size_t count_commands(const std::string& prefix) const;
  // Waits (at most timeout_ms) until a command starting with prefix arrives.
  bool wait_for_command(const std::string& prefix, int timeout_ms) const;

  void add_fault(const Fault& fault);
  void clear_faults();
  // Accepts identification connections but never answers them.
  void set_silent_identification(bool silent);
  // Closes (true) or reopens (false) the listening sockets, so that new
  // connections are refused.
  void set_refuse_connections(bool refuse);
  // Closes every accepted connection of the given kind ("id", "cmd", "data",
  // or "" for all); with reset, by an RST instead of an orderly close.
  void drop_connections(const std::string& kind = "", bool reset = false);

  // Runs f with the family model under the device lock.
  void with_model(const std::function<void(Model&)>& f);

  // Acknowledgements read on the data ports (4-byte little-endian counts).
  std::uint64_t acks_received() const;

  // Data streams, one per data port; `port` is the offset k of data_port + k.
  // stream_begin/stream_end/..._locked are for model handlers only (they
  // run with the device lock held); the others take the lock. A port the
  // device does not serve has no stream (begin ignored, stats empty).
  void stream_begin(const StreamPlan& plan, std::uint32_t window_bytes, int port = 0);
  // Ends the stream of one port, or of every port (-1).
  void stream_end(int port = -1);
  // Whether the port's stream (any stream: -1) is active.
  bool stream_active_locked(int port = -1) const;
  StreamStats stream_stats_locked(int port = 0) const;
  StreamStats stream_stats(int port = 0) const;
  // Misbehaviour of the streams of one port, or of every port (-1).
  void set_stream_fault(const StreamFault& fault, int port = -1);
  // Milliseconds between the last stop and its trailing bytes going out on
  // time (StreamFault::Trailing); -1 when they went out late, with the next
  // stream, or not at all.
  std::int64_t trailing_delay_ms(int port = 0) const;
  // Waits (bounded) until every port's stream has ended and every unit was
  // acknowledged.
  bool wait_stream_done(int timeout_ms) const;
  // Offsets of the data ports served, in ascending order.
  std::vector<int> data_port_offsets() const;

  struct Impl;

 private:
  Config config_;
  std::unique_ptr<Impl> impl_;
};

// A loopback address of its own for every call in this process, derived from
// the process id and a counter, so that tests may run in parallel.
std::string unique_loopback_address();

}  // namespace korvel::sim
