// Log files without a device: a configuration file and a data file written
// from the input and opened as a log (configuration parse, calibration,
// sample totals, text and binary reads), the INI helpers on the same
// configuration file, and the splitting of a log-file name into its parts.
//
// Input: a selector byte, then the configuration text, a NUL, the file name
// to split, a NUL and the data file's bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "logging/file_data.h"
#include "logging/log_reader.h"

using namespace korvel;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

const std::string& work_dir() {
  static const std::string dir = [] {
    char t[] = "/dev/shm/korvel-fuzz-XXXXXX";
    char t2[] = "/tmp/korvel-fuzz-XXXXXX";
    const char* d = mkdtemp(t);
    if (d == nullptr) d = mkdtemp(t2);
    if (d == nullptr) std::abort();
    return std::string(d);
  }();
  return dir;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

// Name helpers on name: every output has the capacity its contract gives,
// and is terminated within it.
void split_name(const std::string& name) {
  char head[64], code[16], stamp[80];
  std::memset(head, 'Z', sizeof head);
  std::memset(code, 'Z', sizeof code);
  std::memset(stamp, 'Z', sizeof stamp);
  checkLogFileFormat(name.c_str(), head, code, stamp);
  check(std::memchr(head, 0, sizeof head) && std::memchr(code, 0, sizeof code) &&
        std::memchr(stamp, 0, sizeof stamp));
  const int type = checklogfiletype(name.c_str());
  check(type >= -1 && type < 14);
  const int last = getLastIndex(name.c_str(), '_');
  check(last >= -1 && last < static_cast<int>(name.size()));

  std::vector<char> dir(name.size() + 1), base(name.size() + 1);
  GetPath(name.c_str(), dir.data(), base.data());
  std::vector<char> copy(name.c_str(), name.c_str() + name.size() + 1);
  BackPreviousDir(copy.data(), 3);
  std::vector<char> copy2(name.c_str(), name.c_str() + name.size() + 1);
  BackslashToSlash(copy2.data());
  RemoveChar(copy2.data());
  (void)Split(name.c_str(), "_.,");

  std::vector<wchar_t> wide(name.size() + 1);
  if (CharToWide(name.c_str(), wide.data(), static_cast<unsigned>(wide.size()))) {
    wchar_t whead[20], wcode[16], wstamp[24];
    checkLogFileFormatW(wide.data(), whead, wcode, wstamp);
    check(checklogfiletypeW(wide.data()) < 7);
  }
}

void open_log(const std::string& config_path, const std::string& data_path, int file_type) {
  std::shared_ptr<ModelLog> log =
      OpenConfigAndOpenLogFile(data_path.c_str(), config_path.c_str(), file_type);
  if (!log) return;
  for (int c = -1; c <= log->channel_count + 1 && c < 70; ++c) {
    int code = 0;
    float volts = 0;
    log->Calibrate_HEX(0x1234, c, log->gain, &code);
    log->Calibrate_Hex2Float(-3, c, log->gain, &volts);
  }
  const uint32_t total = log->sample_total();
  if (log->text) {
    std::vector<float> values(std::min<uint32_t>(total, 4096) + 1);
    const int got = log->read_text_values(static_cast<unsigned>(values.size() - 1), values.data());
    check(got >= 0 && static_cast<std::size_t>(got) <= values.size() - 1);
    // The total it was sized by bounds a read without a count too.
    log->text->GotoFirstLine();
    if (total <= 4096) {
      std::vector<float> all(std::max<uint32_t>(total, 1));
      const int n = log->read_text_values(0, all.data());
      check(n >= 0 && static_cast<uint32_t>(n) <= total);
    }
  }
  if (log->binary) {
    std::vector<int> codes(256);
    const unsigned got = log->binary->ReadFrom(codes.data(), 3, 200);
    check(got <= 200);
  }
}

void ini(const std::string& path, const std::string& name) {
  // Section and key from the name's first two '_' fields.
  const std::size_t a = name.find('_');
  const std::string section = name.substr(0, std::min<std::size_t>(a, 40));
  const std::string key =
      a == std::string::npos ? "Gain" : name.substr(a + 1, std::min<std::size_t>(40, name.size()));
  char out[64];
  std::memset(out, 'Z', sizeof out);
  GetIni(path.c_str(), section.c_str(), key.c_str(), out, sizeof out);
  check(std::memchr(out, 0, sizeof out) != nullptr);
  SetIni(path.c_str(), section.c_str(), key.c_str(), "12");
  std::memset(out, 'Z', sizeof out);
  GetIni(path.c_str(), section.c_str(), key.c_str(), out, 8);
  check(std::memchr(out, 0, 8) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t sel = data[0];
  std::string parts[3];
  int part = 0;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0 && part < 2)
      ++part;
    else
      parts[part].push_back(static_cast<char>(data[i]));
  }
  const std::string& config = parts[0];
  const std::string& name = parts[1];
  const std::string& bytes = parts[2];

  split_name(name);

  const std::string config_path = work_dir() + "/run.config";
  const int file_type = sel % 3;  // binary, text, neither
  const std::string data_path = work_dir() + (file_type == 1 ? "/run.txt" : "/run.bin");
  write_file(config_path, config);
  write_file(data_path, bytes);
  open_log(config_path, data_path, file_type == 2 ? -1 : file_type);
  if (sel & 0x80) ini(config_path, name);
  return 0;
}
