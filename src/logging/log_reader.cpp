#include "logging/log_reader.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "model/calibration.h"

namespace korvel {

namespace {

struct Selection {
  const char* prefix;
  int row;
  int data_type;
};

// By the start of the configuration's "Module Name"; anything else reads as
// an LX-3100.
constexpr Selection kSelections[] = {
    {"LX-3100", kRowLX3100, kType16},
    {"LX-3200", kRowLX3200, kType32},
    {"MC610s", kRowMC610s, kType16},
    {"LX-R5000", kRowLXR5000, kType32},
};

std::shared_ptr<ModelLog> fail_open() {
  set_last_error(KV_ERR_FILE_OPEN);
  return nullptr;
}

// Leading decimal number of a configuration value (0 when missing).
long number_of(TextFile& config, const char* key) {
  char value[TextFile::kLineCapacity];
  if (config.ReadValue(key, value) < 0) return 0;
  return std::strtol(value, nullptr, 10);
}

// The number after "<field>," on a line.
long field_of(const char* line, const char* field) {
  const char* p = std::strstr(line, field);
  if (!p) return 0;
  p += std::strlen(field);
  if (*p == ',') ++p;
  return std::strtol(p, nullptr, 10);
}

// Two characters of the start-time text as a number, bounds-checked.
int digits_at(const char* text, std::size_t len, std::size_t pos, std::size_t count) {
  if (pos + count > len) return 0;
  char part[8] = {};
  std::memcpy(part, text + pos, count);
  return std::atoi(part);
}

uint32_t saturated(uint64_t n) { return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n); }

bool blank(const char* s, const char* end) {
  for (; s < end; ++s)
    if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\n') return false;
  return true;
}

// Splits line at ',' and converts the non-blank fields, keeping at most
// `room` of them in out; the number of non-blank fields seen (kept or not).
// No shared tokeniser state: readers of other files may run at the same time.
unsigned parse_line(char* line, float* out, unsigned room) {
  unsigned fields = 0;
  for (char* p = line;;) {
    char* comma = std::strchr(p, ',');
    char* end = comma ? comma : p + std::strlen(p);
    if (!blank(p, end)) {
      if (fields < room) {
        *end = '\0';  // the field alone: no number runs into the next one
        out[fields] = static_cast<float>(std::strtod(p, nullptr));
      }
      ++fields;
    }
    if (!comma) return fields;
    p = comma + 1;
  }
}

}  // namespace

ModelLog::ModelLog(const QLXmodule& module_arg, int data_type_arg)
    : module(module_arg), data_type(data_type_arg) {
  std::memcpy(model_name, module.name, sizeof model_name);
  gains.assign(module.ai_count, 0);
  offsets.assign(module.ai_count, 0);
  ranges.assign(module.ai_count, 0);
}

int ModelLog::Calibrate_HEX(int raw, int channel, int gain_code, int* out) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= gains.size()) {
    set_last_error(KV_ERR_INPUT_CHANNEL);
    return 0;
  }
  int code = 0;
  if (data_type == kType16) {
    code = calibrate16(raw, gains[channel], static_cast<int16_t>(offsets[channel]));
  } else if (module.model_id == kModelIdLX3200) {
    if (gain_code < 0 || gain_code > 9) {
      set_last_error(KV_ERR_GAIN_RANGE);
      return 0;
    }
    if (!calibrate24(raw, gains[channel], static_cast<int16_t>(offsets[channel]),
                     static_cast<float>(ranges[channel]) / 1000.0f, kRange24[gain_code], &code) ||
        raw < 0 || raw > 0xFFFFFF)
      return 1;
  } else if (module.model_id == kModelIdLXR5000) {
    if (!calibrate_channel24(raw, offsets[channel], static_cast<float>(ranges[channel]) / 1000.0f,
                             &code))
      return 1;  // does not fit: nothing stored
  } else {
    return 1;
  }
  if (out) *out = code;
  return 1;
}

int ModelLog::Calibrate_Hex2Float(int raw, int channel, int gain_code, float* out) {
  if (channel < 0 || static_cast<std::size_t>(channel) >= gains.size()) {
    set_last_error(KV_ERR_INPUT_CHANNEL);
    return 0;
  }
  float v = 0.0f;
  if (module.model_id == kModelIdLXR5000) {
    // As the live device converts: full scale in volts, not an integer ratio.
    v = channel24_to_volts(raw, offsets[channel], static_cast<float>(ranges[channel]) / 1000.0f);
  } else if (module.model_id == kModelIdLX3200) {
    int code = 0;
    if (!Calibrate_HEX(raw, channel, gain_code, &code)) return 0;
    v = code24_to_volts(code, kRange24[gain_code]);
  } else {
    int code = 0;
    Calibrate_HEX(raw, channel, gain_code, &code);
    v = gain_code == 0 ? static_cast<float>(code) / 6553.6f
        : gain_code == 1 ? static_cast<float>(code) / 3276.8f
                         : 0.0f;
  }
  if (out) *out = v;
  return 1;
}

uint32_t ModelLog::sample_total() {
  std::lock_guard<std::mutex> lock(read_mu_);
  uint64_t total = 0;
  if (binary) {
    total = binary->Size() / (data_type == kType32 ? 4 : 2);
  } else if (text) {
    total = text->CountLines() * channel_count;
    text->GotoFirstLine();
  }
  reported_total_ = saturated(total);
  total_reported_ = true;
  return reported_total_;
}

int ModelLog::read_text_values(unsigned count, float* values) {
  std::lock_guard<std::mutex> lock(read_mu_);
  if (!text || !values) return 0;
  if (!total_reported_) {
    reported_total_ = saturated(text->CountLines() * channel_count);
    total_reported_ = true;
  }
  uint32_t limit = reported_total_;
  if (count > 0 && count < limit) limit = count;
  // Stored as an int: a larger total is cut where the result still fits.
  if (limit > INT_MAX) limit = INT_MAX;
  uint32_t stored = 0;
  char line[TextFile::kLineCapacity];
  std::vector<float> scan(channel_count);
  while (stored < limit && text->ReadLine(line) > 0) {
    const unsigned fields = parse_line(line, scan.data(), channel_count);
    if (fields == 0) return 0;
    for (unsigned c = fields; c < channel_count; ++c) scan[c] = std::nanf("");
    for (unsigned c = 0; c < channel_count && stored < limit; ++c) values[stored++] = scan[c];
  }
  return static_cast<int>(stored);
}

std::shared_ptr<ModelLog> OpenConfigAndOpenLogFile(const char* data_path, const char* config_path,
                                                   int file_type) {
  if (!data_path || !config_path) return fail_open();
  TextFile config(kModeRead);
  if (!config.Open(config_path) || config.Size() == 0) return fail_open();
  char value[TextFile::kLineCapacity];
  if (config.ReadValue("Module Name", value) < 0) return fail_open();

  const Selection* chosen = nullptr;
  for (const Selection& s : kSelections)
    if (std::strncmp(value, s.prefix, std::strlen(s.prefix)) == 0) chosen = &s;
  const int row = chosen ? chosen->row : kRowLX3100;
  auto log = std::make_shared<ModelLog>(QLXMODULE[row], chosen ? chosen->data_type : kType16);
  log->file_type = file_type;
  log->sdk_version = static_cast<uint8_t>(number_of(config, "SDKVersion"));
  log->gain = static_cast<uint16_t>(number_of(config, "Gain"));
  log->channel_count = static_cast<uint16_t>(number_of(config, "Channel Count"));
  log->sample_rate = static_cast<uint32_t>(number_of(config, "Sample Rate"));
  log->sample_count = static_cast<uint32_t>(number_of(config, "Sample Count"));
  log->external_trigger = static_cast<uint16_t>(number_of(config, "External Trigger"));
  log->transfer_mode = static_cast<uint16_t>(number_of(config, "Transfer Mode"));
  log->sync_mode = static_cast<uint16_t>(number_of(config, "Sync Mode"));
  if (config.ReadValue("Start Sampling Time", value) >= 0) {
    // "YYYY/MM/DD hh:mm:ss.n...": fields at fixed positions.
    const std::size_t len = std::strlen(value);
    log->year = digits_at(value, len, 0, 4);
    log->month = digits_at(value, len, 5, 2);
    log->day = digits_at(value, len, 8, 2);
    log->hour = digits_at(value, len, 11, 2);
    log->minute = digits_at(value, len, 14, 2);
    log->second = digits_at(value, len, 17, 2);
    log->fraction = len > 20 ? static_cast<uint32_t>(std::strtoul(value + 20, nullptr, 10)) : 0;
  }
  const long range_all = number_of(config, "Range");

  // Each channel's line begins with its key and a comma ("CH1," never
  // selects the line of channel 10).
  const std::size_t channels =
      std::min<std::size_t>(log->channel_count, log->gains.size());
  for (std::size_t c = 0; c < channels; ++c) {
    char key[32];
    std::snprintf(key, sizeof key, "CH%zu,", c);
    config.GotoFirstLine();
    char line[TextFile::kLineCapacity];
    while (config.ReadLine(line) > 0) {
      if (std::strncmp(line, key, std::strlen(key)) != 0) continue;
      log->offsets[c] = static_cast<int16_t>(field_of(line, "Offset"));
      if (log->module.model_id == kModelIdLXR5000) {
        log->ranges[c] = static_cast<uint32_t>(field_of(line, "Range"));
      } else {
        log->gains[c] = static_cast<uint16_t>(field_of(line, "Gain"));
        if (log->module.model_id == kModelIdLX3200) log->ranges[c] = static_cast<uint32_t>(range_all);
      }
      break;
    }
  }
  config.Close();

  if (file_type == 1) {
    log->text = std::make_unique<TextFile>(kModeRead);
    if (!log->text->Open(data_path)) return fail_open();
  } else if (file_type == 0) {
    log->binary = std::make_unique<BinaryFile>(kModeRead, log->data_type);
    if (!log->binary->Open(data_path)) return fail_open();
  }
  return log;
}

std::shared_ptr<ModelLog> open_log_file(const char* path) {
  if (!path || !FileExist(path)) return fail_open();
  const std::size_t len = std::strlen(path);
  if (len >= kPathCapacity) return fail_open();
  char folder[kPathCapacity];
  std::memcpy(folder, path, len + 1);
  // Folder and name split at the last separator of either kind.
  char* sep = std::strrchr(folder, '/');
  char* back = std::strrchr(folder, '\\');
  if (back > sep) sep = back;
  if (!sep) return fail_open();
  *sep = '\0';
  const char* name = sep + 1;
  char head[64] = {}, code[16] = {}, stamp[80] = {};
  checkLogFileFormat(name, head, code, stamp);
  if (!head[0] || !code[0]) return fail_open();
  // From the group folder, three levels up is the log root.
  if (!BackPreviousDir(folder, 3) || !folder[0]) return fail_open();
  const char* config = FindConfigFile(folder, head, code, stamp);
  if (!config) return fail_open();
  const std::string config_path = config;
  const int type = checklogfiletype(name);
  return OpenConfigAndOpenLogFile(path, config_path.c_str(), type < 0 ? -1 : type % 7);
}

LogHandles& OpenLogFiles() {
  static LogHandles* handles = new LogHandles;
  return *handles;
}

}  // namespace korvel
