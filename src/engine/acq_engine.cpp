#include "engine/acq_engine.h"

#include <endian.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "core/errors.h"
#include "model/model.h"
#include "net/transport.h"
#include "net/wait.h"

namespace korvel {

namespace {

constexpr uint32_t kMaxRetries = 11;        // the twelfth expiry ends the run
constexpr uint32_t kMaxStatusFailures = 3;  // failed RAM-status queries tolerated
constexpr int kTimeoutUnitMs = 50;          // the data time-out is base x 50 ms
constexpr uint64_t kLongestNapMs = 5000;
// Floor of the pause between RAM-status polls: without it a fast scan
// (expected duration 0) would poll the device's command port flat out.
constexpr uint64_t kMinStatusPollMs = 5;
// After a run that ended while the device may still have been sending, the
// next run waits until the data connection has been quiet this long, so
// bytes trailing the stop are not taken for its first samples.
constexpr int kStaleQuietMs = 10;
constexpr int kStaleLimitMs = 200;

}  // namespace

RunProfile RunProfile::of(RunKind kind) {
  switch (kind) {
    case RunKind::SyncIn:
      return {5000, kStatusTimeout, kStatusEnded, 2, false, false, false, 10, 2, 2, true, false,
              false};
    case RunKind::Log:
      return {3000, kStatusLogTimeout, kStatusLogEnded, 16, true, true, true, 3000, 0, 1, false,
              false, false};
    case RunKind::Download:
      return {3000, kStatusLogTimeout, kStatusLogEnded, 16, true, false, false, 3000, 0, 1, false,
              true, true};
    case RunKind::Scan:
    default:
      return {1000, kStatusTimeout, kStatusEnded, 2, true, true, false, 10, 0, 1, true, false,
              false};
  }
}

bool AcqHooks::data_timeout_applies(const ScanSettings& s, RunKind kind, uint32_t) const {
  return kind != RunKind::Scan || (s.trigger_mode != 1 && s.trigger_mode != 7);
}

AcqEngine::AcqEngine(MODEL& device, AcqHooks& hooks) : device_(device), hooks_(hooks) {}

// The device's release joins the worker before the last reference to the
// device can drop, so this never runs on the worker itself.
AcqEngine::~AcqEngine() { stop(); }

bool AcqEngine::on_worker_thread() const { return device_.on_worker_thread(); }

bool AcqEngine::start(RunKind kind, const ScanSettings& settings, uint32_t timeout_base,
                      int data_socket, RunSink* sink) {
  return start(kind, settings, timeout_base, {DataLink{data_socket, settings.sample_count}}, sink);
}

bool AcqEngine::start(RunKind kind, const ScanSettings& settings, uint32_t timeout_base,
                      std::vector<DataLink> links, RunSink* sink) {
  if (run_exists() || thread_.joinable()) return false;
  if (links.empty() || links.size() > static_cast<std::size_t>(kMaxWaitFds)) return false;
  if (kind != RunKind::Download) drain(links);
  ended_complete_ = false;
  kind_ = kind;
  profile_ = RunProfile::of(kind);
  hooks_.adjust_profile(kind, settings, profile_);
  settings_ = settings;
  sink_ = sink;
  links_.clear();
  for (uint32_t i = 0; i < links.size(); ++i) {
    Link l;
    l.link = links[i];
    l.plan = hooks_.receive_plan(settings, kind, i);
    if (l.plan.block == 0 || l.plan.block > kReceiveBlock) l.plan.block = kReceiveBlock;
    links_.push_back(l);
  }
  first_data_seen_ = false;
  start_time_taken_ = false;
  retry_count_ = 0;
  trigger_index_ = 0;
  received_ = 0;
  timeout_base_ = timeout_base == 0 ? 1 : timeout_base;
  start_timer_.reset_ticks();
  last_data_timer_.reset_ticks();
  if (!recv_buffer_) recv_buffer_.reset(new char[kReceiveBlock]);
  stop_.reset();
  running_ = true;
  device_.sampling_status = true;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    running_ = false;
    device_.sampling_status = false;
    return false;
  }
  run_exists_ = true;
  return true;
}

void AcqEngine::drain(int data_socket) {
  if (run_exists()) return;
  if (ended_complete_)
    discard_pending(data_socket);
  else
    discard_until_quiet(data_socket, stopped_at_ms_, kStaleQuietMs, kStaleLimitMs);
}

void AcqEngine::drain(const std::vector<DataLink>& links) {
  // The quiet period counts from the stop, so the connections after the
  // first rarely wait at all.
  for (const DataLink& l : links) drain(l.socket);
}

void AcqEngine::request_stop() {
  running_ = false;
  stop_.raise();
}

void AcqEngine::stop() {
  request_stop();
  if (thread_.joinable() && !on_worker_thread()) {
    thread_.join();
    device_.worker_thread = std::thread::id();
  }
  device_.sampling_status = false;
  if (run_exists_) stopped_at_ms_ = GetNowMillisecond();
  run_exists_ = false;
}

void AcqEngine::set_events(unsigned short mask, EventFunction function, void* user) {
  std::lock_guard<std::mutex> lock(events_mu_);
  event_mask_ = mask;
  event_user_ = user;
  if (function) event_function_ = function;
}

void AcqEngine::clear_events() {
  std::lock_guard<std::mutex> lock(events_mu_);
  event_mask_ = 0;
  event_function_ = nullptr;
  event_user_ = nullptr;
}

void AcqEngine::raise(unsigned short event, unsigned int value) {
  EventFunction f;
  void* user;
  {
    std::lock_guard<std::mutex> lock(events_mu_);
    if ((event_mask_ & event) == 0) return;
    f = event_function_;
    user = event_user_;
  }
  // Called with no lock held: the function may use the API (but not stop).
  if (f) f(device_.handle.load(), event, value, user);
}

void AcqEngine::run() {
  device_.worker_thread = std::this_thread::get_id();
  {
    // Command exchanges of this thread end as soon as a stop is requested.
    ExchangeAbortScope abort(stop_.fd());
    if (profile_.ram_phase && hooks_.needs_ram_phase(settings_)) ram_phase();
    ended_complete_ = stream();
  }
  // A finite scan whose count is not whole scans ends inside a scan: its
  // last samples are the caller's too.
  if (ended_complete_ && kind_ == RunKind::Scan) ring_.publish_tail(settings_.sample_bytes);
  if (sink_) sink_->finish();
  running_ = false;
  device_.sampling_status = false;
  ring_.add_status(profile_.end_status);
}

// Waits until the device's RAM holds the acquisition, then orders it sent.
void AcqEngine::ram_phase() {
  uint32_t ms_per_sample = settings_.rate ? 1000u / settings_.rate : 1000u;
  const uint64_t expected_ms = static_cast<uint64_t>(settings_.sample_count) * ms_per_sample;
  if (ms_per_sample == 0) ms_per_sample = 1;
  uint32_t previous = 0;
  while (running()) {
    uint32_t count = 0, status = 0;
    if (hooks_.ram_status(&count, &status)) {
      device_count_ = count;
      if (check_trigger_status(status)) {
        last_data_timer_.reset_ticks();
        retry_count_ = 0;
        return;
      }
    } else if (!running()) {
      return;  // the exchange was cut short by a stop request
    } else if (retry_count_ > kMaxStatusFailures) {
      const int error = errno;
      running_ = false;
      ring_.add_status(profile_.timeout_status);
      raise(4);
      set_last_error(static_cast<unsigned int>(error));
      return;
    } else {
      ++retry_count_;
      stop_.sleep_ms(1);
    }
    previous = check_trigger_timeout(ms_per_sample, expected_ms, previous);
  }
}

bool AcqEngine::check_trigger_status(uint32_t status) {
  const uint16_t mode = settings_.trigger_mode;
  const bool triggered_mode = mode == 3 || mode == 4 || mode == 6;
  const bool complete = triggered_mode ? (status & 1) != 0
                                       : device_count_.load() >= settings_.sample_count;
  if (!complete) return false;
  if (triggered_mode && profile_.trigger_marks_data) ring_.add_status(kStatusData);
  if (mode == 6) trigger_index_ = hooks_.trigger_index();
  return hooks_.transmit();
}

uint32_t AcqEngine::check_trigger_timeout(uint32_t ms_per_sample, uint64_t expected_ms,
                                          uint32_t previous) {
  const uint32_t cur = device_count_;
  const bool progress = cur != previous;
  const double elapsed = last_data_timer_.GetGlobalTicks();
  const uint16_t mode = settings_.trigger_mode;
  auto nap = [this](uint64_t ms) {
    stop_.sleep_ms(static_cast<int>(std::clamp(ms, kMinStatusPollMs, kLongestNapMs)));
  };

  if (mode == 0 || mode == 8) {
    if (progress) {
      nap(kMinStatusPollMs);
    } else if (elapsed < timeout_base_ * static_cast<double>(kTimeoutUnitMs)) {
      nap(expected_ms);
    } else if (cur >= settings_.sample_count) {
      running_ = false;
    } else {
      expire();
    }
    return cur;
  }
  if ((mode == 2 || mode == 5) && cur == 0) {
    nap(std::min<uint64_t>(profile_.ram_empty_sleep_cap_ms,
                           kind_ == RunKind::Log ? expected_ms : profile_.ram_empty_sleep_cap_ms));
    return cur;
  }
  if (elapsed < ms_per_sample * 2000.0) {
    nap(expected_ms <= kLongestNapMs ? expected_ms : 2500);
  } else if (progress) {
    last_data_timer_.reset_ticks();
  } else {
    expire();
  }
  return cur;
}

int AcqEngine::data_timeout_left_ms() const {
  const double left =
      timeout_base_ * static_cast<double>(kTimeoutUnitMs) - last_data_timer_.GetGlobalTicks();
  return left < 1.0 ? 1 : static_cast<int>(left + 0.999);
}

bool AcqEngine::stream() {
  // A download of nothing is complete before any data.
  if (profile_.always_counted && settings_.sample_count == 0 && reach_count()) return true;
  const uint32_t nlinks = static_cast<uint32_t>(links_.size());
  int fds[kMaxWaitFds];
  bool ready[kMaxWaitFds];
  for (uint32_t i = 0; i < nlinks; ++i) fds[i] = links_[i].link.socket;
  while (running()) {
    // While data keeps coming, receive straight away; wait (poll) only when
    // every connection's last receive found nothing. Measured: a third
    // fewer system calls per block at full stream rate.
    bool all_idle = true;
    for (const Link& l : links_) all_idle = all_idle && l.idle;
    if (all_idle) {
      const bool timeouts = hooks_.data_timeout_applies(settings_, kind_, received_);
      int wait = profile_.data_wait_ms;
      // Waking when the data time-out expires keeps its period what it says.
      if (timeouts) wait = std::min(wait, data_timeout_left_ms());
      const WaitResult w = wait_any_readable(fds, ready, static_cast<int>(nlinks), wait, stop_.fd());
      if (w == WaitResult::Aborted) break;
      if (w == WaitResult::Error) {
        running_ = false;
        break;
      }
      if (w == WaitResult::Timeout) {
        if (timeouts) receive_timeout();
        continue;
      }
      for (uint32_t i = 0; i < nlinks; ++i) links_[i].idle = !ready[i];
    } else if (nlinks > 1) {
      // A connection that found nothing is looked at again every round:
      // otherwise one that always has data would keep the loop from ever
      // waiting, and the others would starve (and their slots fall a whole
      // ring behind).
      bool any_idle = false;
      for (const Link& l : links_) any_idle = any_idle || l.idle;
      if (any_idle) {
        const WaitResult w = wait_any_readable(fds, ready, static_cast<int>(nlinks), 0, stop_.fd());
        if (w == WaitResult::Aborted) break;
        if (w == WaitResult::Ready)
          for (uint32_t i = 0; i < nlinks; ++i) links_[i].idle = links_[i].idle && !ready[i];
      }
    }
    // One receive per connection in turn, so that no slot's stream waits
    // behind another's.
    for (uint32_t i = 0; i < nlinks && running(); ++i) {
      if (links_[i].idle) continue;
      bool complete = false;
      if (!receive_on(i, &complete)) return complete;
    }
  }
  return false;
}

bool AcqEngine::receive_on(uint32_t i, bool* complete) {
  Link& l = links_[i];
  const uint32_t size = receive_size(i);
  char* direct = sink_ ? sink_->direct_space(i, size) : nullptr;
  const ssize_t n = recv(l.link.socket, direct ? direct : recv_buffer_.get(), size, 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    l.idle = true;
    return true;
  }
  // A failed receive, a connection the device closed, or (sync-in) a
  // block too short to hold a word ends the run.
  if (n <= 0 || static_cast<uint32_t>(n) < profile_.min_block) {
    running_ = false;
    if (profile_.loss_marks_overrun) ring_.add_status(kStatusOverrun);
    raise(1);
    return false;
  }
  if (!first_data_seen_) {
    if (!start_time_taken_) {
      start_time_taken_ = true;
      start_timer_.reset_ticks();
    }
    first_data_seen_ = true;
    if (sink_) sink_->first_data();
  }
  after_receive(i, static_cast<uint32_t>(n), direct != nullptr);
  last_data_timer_.reset_ticks();
  if (kind_ != RunKind::SyncIn && (!settings_.continuous() || profile_.always_counted) &&
      reach_count()) {
    *complete = true;
    return false;
  }
  return true;
}

uint32_t AcqEngine::receive_size(uint32_t i) const {
  const Link& l = links_[i];
  if (!settings_.continuous() && hooks_.limits_receive(settings_, kind_) &&
      l.received < l.link.target) {
    const uint32_t remaining = l.link.target - l.received;
    if (remaining <= l.plan.tail_samples) {
      const uint64_t bytes = uint64_t{remaining} * settings_.sample_bytes - l.partial;
      if (bytes > 0) return static_cast<uint32_t>(std::min<uint64_t>(bytes, kReceiveBlock));
    }
  }
  return l.plan.block;
}

void AcqEngine::after_receive(uint32_t i, uint32_t bytes, bool direct) {
  Link& l = links_[i];
  const uint32_t unit = profile_.ack_unit ? profile_.ack_unit : settings_.sample_bytes;
  // A sample split across two receives is counted (and acknowledged) when
  // its last byte arrives.
  const uint32_t total = l.partial + bytes;
  const uint32_t units = total / unit;
  l.partial = total % unit;
  const uint32_t counted = settings_.trigger_mode == 8 && kind_ != RunKind::SyncIn ? 1 : units;
  l.received += counted;
  received_ += counted;
  const uint32_t ack = htole32(units);
  if (send_all(l.link.socket, &ack, sizeof ack) != static_cast<long>(sizeof ack)) {
    // Without its acknowledgement the device stops sending: end the run now
    // as a receive failure rather than after twelve time-outs.
    running_ = false;
    raise(1);
  }
  if (!sink_) return;
  const bool kept =
      direct ? sink_->commit_direct(i, bytes) : sink_->store(i, recv_buffer_.get(), bytes);
  if (!kept) running_ = false;
}

bool AcqEngine::reach_count() {
  const uint16_t mode = settings_.trigger_mode;
  const uint32_t count = settings_.sample_count;
  const uint32_t received = received_;
  bool complete;
  if (const std::optional<bool> own = hooks_.count_complete(settings_, kind_, received)) {
    complete = *own;
  } else if (mode == 7 && profile_.never_completes_in_mode7) {
    complete = false;
  } else if (mode == 6 && device_count_ < count) {
    // The device stopped at the analog trigger's window.
    complete = received >= trigger_index_ + hooks_.post_trigger_count();
  } else {
    complete = received >= count;
  }
  if (!complete) return false;
  running_ = false;
  ring_.add_status(kStatusCountReached);
  raise(profile_.count_event, received);
  return true;
}

void AcqEngine::receive_timeout() {
  if (last_data_timer_.GetGlobalTicks() < timeout_base_ * static_cast<double>(kTimeoutUnitMs))
    return;
  const bool finite =
      !settings_.continuous() || profile_.always_counted || !profile_.quiet_end_needs_count;
  if (finite && received_ >= settings_.sample_count) {
    running_ = false;  // everything arrived: a quiet end
    hooks_.timed_out(true);
  } else {
    expire();
  }
}

void AcqEngine::expire() {
  if (retry_count_ < kMaxRetries) {
    last_data_timer_.reset_ticks();
    ++retry_count_;
  } else {
    end_with_timeout();
  }
}

void AcqEngine::end_with_timeout() {
  running_ = false;
  hooks_.timed_out(false);
  ring_.add_status(profile_.timeout_status);
  raise(4);
}

}  // namespace korvel
