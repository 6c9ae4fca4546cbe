#include "logging/file_data.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace korvel {

const char* const Logfiletype[14] = {".bin", ".txt", ".csv", ".tdm", ".xls", ".md", ".kvd",
                                     ".BIN", ".TXT", ".CSV", ".TDM", ".XLS", ".MD", ".KVD"};
const wchar_t* const tcLogfiletype[14] = {L".bin", L".txt", L".csv", L".tdm", L".xls",
                                          L".md",  L".kvd", L".BIN", L".TXT", L".CSV",
                                          L".TDM", L".XLS", L".MD",  L".KVD"};

namespace {

// Folder searches do not follow symbolic links, so a link cycle cannot trap
// them; the depth cap bounds the open directory streams of one search.
constexpr int kMaxSearchDepth = 64;
// Longest INI line value and section header the profile functions handle.
constexpr std::size_t kIniLineCapacity = kPathCapacity;
// An INI file is rebuilt in memory; anything this large is not a profile.
constexpr long kMaxIniFileSize = 16L * 1024 * 1024;

const char* const kBinaryModes[] = {"rb", "wb", "r+b", "w+b", "a+b"};
const char* const kTextModes[] = {"r", "w", "r+", "w+", "a+"};

const char* binary_mode_text(int mode) {
  return mode >= kModeRead && mode <= kModeAppend ? kBinaryModes[mode] : nullptr;
}

const char* text_mode_text(int mode) {
  if (mode < kModeRead) return nullptr;
  return mode <= kModeAppend ? kTextModes[mode] : "w+";
}

int clamp_mode(int mode) { return mode > kModeAppend ? kModeCreateReadWrite : mode; }

// Copies at most cap - 1 characters and terminates; the length copied.
template <typename C>
std::size_t copy_bounded(C* dst, std::size_t cap, const C* src) {
  if (dst == nullptr || cap == 0) return 0;
  std::size_t i = 0;
  if (src != nullptr) {
    for (; i + 1 < cap && src[i] != C(0); ++i) dst[i] = src[i];
  }
  dst[i] = C(0);
  return i;
}

template <typename C>
std::size_t text_length(const C* s) {
  std::size_t n = 0;
  while (s[n] != C(0)) ++n;
  return n;
}

// True when snprintf's result fit its buffer; otherwise the buffer is emptied
// so a truncated path is never used.
bool formatted(int r, char* buf, std::size_t cap) {
  if (r >= 0 && static_cast<std::size_t>(r) < cap) return true;
  if (cap > 0) buf[0] = '\0';
  return false;
}

// Wide argument to a narrow path buffer of kWideCapacity bytes. An empty
// string converts to an empty one (WideToChar reports 0 for both cases).
bool to_narrow(const wchar_t* src, char (&dst)[kWideCapacity]) {
  if (src == nullptr) return false;
  if (src[0] == L'\0') {
    dst[0] = '\0';
    return true;
  }
  return WideToChar(src, dst, kWideCapacity) != 0;
}

std::wstring widen_limited(const char* s, std::size_t max_chars) {
  wchar_t buf[kWideCapacity];
  if (s == nullptr || CharToWide(s, buf, kWideCapacity) == 0) return std::wstring();
  std::wstring out(buf);
  if (out.size() > max_chars) out.resize(max_chars);
  return out;
}

std::string narrow_of(const std::wstring& w) {
  const std::size_t need = std::wcstombs(nullptr, w.c_str(), 0);
  if (need == static_cast<std::size_t>(-1)) return std::string();
  std::string out(need + 1, '\0');
  std::wcstombs(out.data(), w.c_str(), need + 1);
  out.resize(need);
  return out;
}

uint64_t stream_size(std::FILE* f) {
  if (f == nullptr) return 0;
  uint64_t size = 0;
  if (fseeko(f, 0, SEEK_END) == 0) {
    const off_t end = ftello(f);
    if (end > 0) size = static_cast<uint64_t>(end);
  }
  fseeko(f, 0, SEEK_SET);
  return size;
}

// Opens path for reading only when it is a regular file (or a link to one):
// opening a FIFO waits for a writer that may never come, and a device never
// ends. The descriptor is checked before any blocking open or read.
std::FILE* open_regular(const char* path, const char* mode) {
  if (path == nullptr) return nullptr;
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  const int flags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, mode);
  if (f == nullptr) ::close(fd);
  return f;
}

// Real folders only: a symbolic link counts as an entry, not as a folder.
bool is_folder(const char* path, const dirent* e) {
  if (e->d_type == DT_DIR) return true;
  if (e->d_type != DT_UNKNOWN) return false;
  struct stat st;
  return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_dot_entry(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Splits at '_' with empty tokens dropped, at most 11 tokens of at most 15
// characters (longer ones are cut); the number of tokens.
constexpr int kMaxTokens = 11;
constexpr std::size_t kTokenCapacity = 16;

template <typename C>
int split_name(const C* name, C (&tokens)[kMaxTokens][kTokenCapacity]) {
  for (auto& t : tokens) t[0] = C(0);
  if (name == nullptr) return 0;
  int count = 0;
  std::size_t len = 0;
  for (const C* p = name;; ++p) {
    const bool end = *p == C(0);
    if (end || *p == C('_')) {
      if (len > 0) {
        tokens[count][len] = C(0);
        ++count;
        len = 0;
        if (count == kMaxTokens) break;
      }
      if (end) break;
    } else if (len + 1 < kTokenCapacity) {
      tokens[count][len++] = *p;
    }
  }
  return count;
}

// Joins tokens [first, first + n) with '_' into out; false (out emptied) when
// the result does not fit cap.
template <typename C>
bool join_tokens(const C (&tokens)[kMaxTokens][kTokenCapacity], int first, int n, C* out,
                 std::size_t cap) {
  std::size_t pos = 0;
  bool fits = true;
  auto put = [&](C c) {
    if (pos + 1 < cap)
      out[pos++] = c;
    else
      fits = false;
  };
  for (int i = first; i < first + n; ++i) {
    if (i > first) put(C('_'));
    for (const C* p = tokens[i]; *p != C(0); ++p) put(*p);
  }
  out[fits ? pos : 0] = C(0);
  return fits;
}

bool find_config(const char* dir, const char* head, const char* code, char* result, int depth) {
  if (depth > kMaxSearchDepth) return false;
  DIR* d = opendir(dir);
  if (d == nullptr) return false;
  bool found = false;
  char path[kPathCapacity];
  while (!found) {
    const dirent* e = readdir(d);
    if (e == nullptr) break;
    if (is_dot_entry(e->d_name)) continue;
    if (!formatted(std::snprintf(path, sizeof path, "%s/%s", dir, e->d_name), path, sizeof path))
      continue;
    if (is_folder(path, e)) {
      found = find_config(path, head, code, result, depth + 1);
    } else if (std::strstr(path, code) && std::strstr(path, head) &&
               std::strstr(path, ".config")) {
      copy_bounded(result, kPathCapacity, path);
      found = true;
    }
  }
  closedir(d);
  return found;
}

// Appends to found every file below folder whose type matches; false when
// folder cannot be opened.
bool find_files(const char* folder, int type, int depth, std::vector<Modellogpath>& found) {
  if (depth > kMaxSearchDepth) return true;
  DIR* d = opendir(folder);
  if (d == nullptr) return false;
  bool have_search_folder = false;
  char search_folder[kPathCapacity] = "";
  const char* search_root = nullptr;
  char path[kPathCapacity];
  for (;;) {
    const dirent* e = readdir(d);
    if (e == nullptr) break;
    if (is_dot_entry(e->d_name)) continue;
    // An entry whose path does not fit is skipped rather than listed cut.
    if (!formatted(std::snprintf(path, sizeof path, "%s/%s", folder, e->d_name), path,
                   sizeof path))
      continue;
    if (is_folder(path, e)) {
      find_files(path, type, depth + 1, found);
      continue;
    }
    if (checklogfiletype(e->d_name) != type) continue;
    char head[64], code[16], stamp[80];
    checkLogFileFormat(e->d_name, head, code, stamp);
    if (!have_search_folder) {
      // Log files lie three folders below the log root; the configuration
      // folder is a sibling of "log", so search from one level above the root.
      copy_bounded(search_folder, sizeof search_folder, folder);
      search_root = BackPreviousDir(search_folder, 4);
      have_search_folder = true;
    }
    Modellogpath record{};
    const char* config = search_root ? FindConfigFile(search_root, head, code, stamp) : nullptr;
    copy_bounded(record.config_path, kPathCapacity, config ? config : "");
    copy_bounded(record.data_path, kPathCapacity, path);
    try {
      found.push_back(record);
    } catch (...) {
      // Out of memory: the record is lost, the others are kept.
    }
  }
  closedir(d);
  return true;
}

// Reads one whitespace-separated token; false at the end of the file.
bool read_token(std::FILE* f, std::string& token) {
  token.clear();
  int c;
  do {
    c = std::fgetc(f);
  } while (c != EOF && std::isspace(c));
  while (c != EOF && !std::isspace(c)) {
    token.push_back(static_cast<char>(c));
    c = std::fgetc(f);
  }
  return !token.empty();
}

int use_default(const char* default_value, char* out, unsigned size) {
  if (default_value == nullptr || default_value[0] == '\0') return -1;
  return static_cast<int>(copy_bounded(out, size, default_value));
}

bool starts_with(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool write_whole_file(const char* path, const std::string& text) {
  std::FILE* f = std::fopen(path, "w");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

// ---------------------------------------------------------------- BinaryFile

BinaryFile::BinaryFile() = default;

BinaryFile::BinaryFile(int mode) : mode_(clamp_mode(mode)) {}

BinaryFile::BinaryFile(int mode, int type) : mode_(clamp_mode(mode)), type_(type) {}

BinaryFile::~BinaryFile() { Close(); }

int BinaryFile::Open(const char* folder, const char* subfolder, const char* name) {
  if (folder == nullptr || subfolder == nullptr || name == nullptr) return 0;
  Close();
  try {
    folder_ = widen_limited(folder, 256);
    subfolder_ = widen_limited(subfolder, 256);
    name_ = widen_limited(name, 128);
  } catch (...) {
    folder_.clear();
    subfolder_.clear();
    name_.clear();
  }
  bytes_written_ = 0;
  failed_ = false;
  error_text_.clear();
  const char* mode = binary_mode_text(mode_);
  char path[kPathCapacity];
  if (mode == nullptr ||
      !formatted(std::snprintf(path, sizeof path, "%s/%s/%s", folder, subfolder, name), path,
                 sizeof path))
    return 0;
  CreateFolder(folder, subfolder);  // usually exists already
  file_ = mode_ == kModeRead ? open_regular(path, mode) : std::fopen(path, mode);
  is_open_ = file_ != nullptr;
  return is_open_ ? 1 : 0;
}

int BinaryFile::Open(const char* path) {
  if (mode_ != kModeRead || path == nullptr) return 0;
  Close();
  file_ = open_regular(path, "rb");
  is_open_ = file_ != nullptr;
  return is_open_ ? 1 : 0;
}

int BinaryFile::Open(const wchar_t* path) {
  char p[kWideCapacity];
  if (mode_ != kModeRead || !to_narrow(path, p)) return 0;
  return Open(p);
}

int BinaryFile::Open(const wchar_t* folder, const wchar_t* subfolder, const wchar_t* name) {
  char f[kWideCapacity], s[kWideCapacity], n[kWideCapacity];
  if (!to_narrow(folder, f) || !to_narrow(subfolder, s) || !to_narrow(name, n)) return 0;
  return Open(f, s, n);
}

int BinaryFile::Close() {
  int r = 0;
  if (file_ != nullptr) r = std::fclose(file_);
  file_ = nullptr;
  is_open_ = false;
  return r;
}

uint64_t BinaryFile::Size() { return stream_size(file_); }

namespace {

// Writes n elements; a flush failure counts as a failed write, since the
// bytes did not reach the file.
bool write_elements(std::FILE* f, const void* buf, std::size_t size, unsigned n, bool flush) {
  if (n == 0) return true;
  if (buf == nullptr) return false;
  if (std::fwrite(buf, size, n, f) != n) return false;
  return !flush || std::fflush(f) == 0;
}

// WriteShort and WriteLong report with one text (the element count, whatever
// the width): the logger only needs to know which file failed.
void set_write_failure(std::string& text, const std::wstring& folder,
                       const std::wstring& subfolder, unsigned n) {
  try {
    text = narrow_of(folder) + narrow_of(subfolder) + " write I16 " + std::to_string(n) + " failed";
  } catch (...) {
    text.clear();
  }
}

}  // namespace

unsigned BinaryFile::WriteChar(const char* buf, unsigned n) {
  if (file_ == nullptr) return bytes_written_;
  if (write_elements(file_, buf, 1, n, true))
    bytes_written_ += n;
  else
    failed_ = true;
  return bytes_written_;
}

unsigned BinaryFile::WriteShort(const short* buf, unsigned n) {
  if (file_ == nullptr || !is_open_) return bytes_written_;
  if (write_elements(file_, buf, sizeof(short), n, false)) {
    bytes_written_ += n * 2u;
  } else {
    failed_ = true;
    set_write_failure(error_text_, folder_, subfolder_, n);
  }
  return bytes_written_;
}

unsigned BinaryFile::WriteFloat(const float* buf, unsigned n) {
  if (file_ == nullptr) return bytes_written_;
  if (write_elements(file_, buf, sizeof(float), n, true))
    bytes_written_ += n * 4u;
  else
    failed_ = true;
  return bytes_written_;
}

unsigned BinaryFile::WriteLong(const int* buf, unsigned n) {
  if (file_ == nullptr || !is_open_) return bytes_written_;
  if (write_elements(file_, buf, sizeof(int), n, false)) {
    bytes_written_ += n * 4u;
  } else {
    failed_ = true;
    set_write_failure(error_text_, folder_, subfolder_, n);
  }
  return bytes_written_;
}

namespace {

// The elements from `offset` on that the file holds, at most n: their count
// and the byte position of the first (0 when there are none).
unsigned elements_at(std::FILE* f, std::size_t size, unsigned offset, unsigned n, off_t* at) {
  struct stat st {};
  if (fstat(fileno(f), &st) != 0 || st.st_size <= 0) return 0;
  const uint64_t total = static_cast<uint64_t>(st.st_size) / size;
  if (offset >= total) return 0;
  *at = static_cast<off_t>(static_cast<uint64_t>(offset) * size);
  return static_cast<unsigned>(std::min<uint64_t>(n, total - offset));
}

// Whole elements read at byte position `at`, in as few reads as the system
// allows. Positioned reads: no seek, no stream buffer to pass through, and
// two threads reading one file never move each other's position.
unsigned read_at(std::FILE* f, void* buf, std::size_t size, off_t at, unsigned count) {
  const int fd = fileno(f);
  auto* p = static_cast<char*>(buf);
  const std::size_t bytes = static_cast<std::size_t>(count) * size;
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t got = pread(fd, p + done, bytes - done, at + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<unsigned>(done / size);
}

unsigned read_elements(std::FILE* f, void* buf, std::size_t size, unsigned offset, unsigned n) {
  if (f == nullptr || buf == nullptr || n == 0) return 0;
  off_t at = 0;
  const unsigned count = elements_at(f, size, offset, n, &at);
  return count == 0 ? 0 : read_at(f, buf, size, at, count);
}

}  // namespace

unsigned BinaryFile::ReadCharFrom(char* buf, unsigned offset, unsigned n) {
  return read_elements(file_, buf, 1, offset, n);
}

unsigned BinaryFile::ReadShortFrom(unsigned short* buf, unsigned offset, unsigned n) {
  return read_elements(file_, buf, 2, offset, n);
}

unsigned BinaryFile::ReadFloatFrom(float* buf, unsigned offset, unsigned n) {
  return read_elements(file_, buf, 4, offset, n);
}

unsigned BinaryFile::ReadLongFrom(int* buf, unsigned offset, unsigned n) {
  return read_elements(file_, buf, 4, offset, n);
}

unsigned BinaryFile::ReadFrom(void* buf, unsigned offset, unsigned n) {
  switch (type_) {
    case kTypeBytes:
      return ReadCharFrom(static_cast<char*>(buf), offset, n);
    case kType16: {
      if (file_ == nullptr || buf == nullptr || n == 0) return 0;
      // Read in large chunks, then place each element in the low half of its
      // slot; the caller may keep data in the upper halves.
      off_t at = 0;
      const unsigned count = elements_at(file_, 2, offset, n, &at);
      auto* slots = static_cast<unsigned char*>(buf);
      constexpr unsigned kChunk = 16384;
      uint16_t chunk[kChunk];
      unsigned done = 0;
      while (done < count) {
        const unsigned want = std::min(count - done, kChunk);
        const unsigned got = read_at(file_, chunk, 2, at + static_cast<off_t>(done) * 2, want);
        unsigned char* out = slots + 4 * static_cast<std::size_t>(done);
        for (std::size_t i = 0; i < got; ++i) {  // 64-bit index: vectorised
          uint32_t slot;
          std::memcpy(&slot, out + 4 * i, 4);
          slot = (slot & 0xFFFF0000u) | chunk[i];
          std::memcpy(out + 4 * i, &slot, 4);
        }
        done += got;
        if (got < want) break;
      }
      return done;
    }
    case kTypeFloat:
      return ReadFloatFrom(static_cast<float*>(buf), offset, n);
    case kType32:
      return ReadLongFrom(static_cast<int*>(buf), offset, n);
    default:
      return 0;
  }
}

// ------------------------------------------------------------------ TextFile

TextFile::TextFile(int mode) : mode_(clamp_mode(mode)) {}

TextFile::~TextFile() { Close(); }

int TextFile::Open(const char* folder, const char* name) {
  char path[kPathCapacity];
  if (name == nullptr) return Open("log.txt");
  if (folder == nullptr) return Open(name);
  if (!formatted(std::snprintf(path, sizeof path, "%s/%s", folder, name), path, sizeof path)) {
    Close();
    lines_read_ = 0;
    return 0;
  }
  return Open(path);
}

int TextFile::Open(const char* path) {
  Close();
  lines_read_ = 0;
  const char* mode = text_mode_text(mode_);
  if (mode == nullptr) return 0;
  if (path == nullptr) path = "~/log.txt";
  file_ = mode_ == kModeRead ? open_regular(path, mode) : std::fopen(path, mode);
  is_open_ = file_ != nullptr;
  return is_open_ ? 1 : 0;
}

int TextFile::Open(const wchar_t* folder, const wchar_t* name) {
  char f[kWideCapacity], n[kWideCapacity];
  if (folder != nullptr && !to_narrow(folder, f)) return 0;
  if (name != nullptr && !to_narrow(name, n)) return 0;
  return Open(folder ? f : nullptr, name ? n : nullptr);
}

int TextFile::Open(const wchar_t* path) {
  char p[kWideCapacity];
  if (path == nullptr) return Open(static_cast<const char*>(nullptr));
  if (!to_narrow(path, p)) return 0;
  return Open(p);
}

int TextFile::Close() {
  int r = 0;
  if (file_ != nullptr) r = std::fclose(file_);
  file_ = nullptr;
  is_open_ = false;
  return r;
}

uint64_t TextFile::Size() { return stream_size(file_); }

int TextFile::Write(const char* text) {
  if (file_ == nullptr || text == nullptr) return 0;
  return std::fputs(text, file_) >= 0 ? 1 : 0;
}

int TextFile::WriteLine(const char* text) {
  if (file_ == nullptr || text == nullptr) return 0;
  if (std::fputs(text, file_) < 0) return 0;
  return std::fputc('\n', file_) != EOF ? 1 : 0;
}

unsigned TextFile::ReadLine(char* buf) {
  if (file_ == nullptr || buf == nullptr) return 0;
  if (std::fgets(buf, static_cast<int>(kLineCapacity), file_) == nullptr) {
    buf[0] = '\0';
    return 0;
  }
  return ++lines_read_;
}

uint64_t TextFile::CountLines() {
  if (file_ == nullptr) return 0;
  const off_t at = ftello(file_);
  std::rewind(file_);
  uint64_t lines = 0;
  char buf[kLineCapacity];
  while (std::fgets(buf, sizeof buf, file_) != nullptr) ++lines;
  if (at >= 0) fseeko(file_, at, SEEK_SET);
  return lines;
}

int TextFile::ReadValue(const char* key, char* value) {
  if (value != nullptr) value[0] = '\0';
  if (file_ == nullptr || key == nullptr || value == nullptr) return -1;
  std::rewind(file_);
  char line[kLineCapacity];
  const std::size_t skip = std::strlen(key) + 1;  // the key and its separator
  while (std::fgets(line, sizeof line, file_) != nullptr) {
    if (std::strstr(line, key) == nullptr) continue;
    const std::size_t len = std::strlen(line);
    const char* rest = skip <= len ? line + skip : line + len;
    return static_cast<int>(copy_bounded(value, kLineCapacity, rest));
  }
  return -1;
}

int TextFile::ReadValue(const char* key1, const char* key2, char* value) {
  if (value != nullptr) value[0] = '\0';
  if (file_ == nullptr || key1 == nullptr || key2 == nullptr || value == nullptr) return -1;
  std::rewind(file_);
  char line[kLineCapacity];
  while (std::fgets(line, sizeof line, file_) != nullptr) {
    if (std::strstr(line, key1) == nullptr) continue;
    const char* at = std::strstr(line, key2);
    if (at == nullptr) continue;
    const char* rest = at + std::strlen(key2);
    if (*rest != '\0') ++rest;  // the separator after key2
    const char* comma = std::strchr(rest, ',');
    if (comma == nullptr) continue;
    const std::size_t n = static_cast<std::size_t>(comma - rest);
    std::memcpy(value, rest, n);
    value[n] = '\0';
    return static_cast<int>(n);
  }
  return -1;
}

void TextFile::GotoFirstLine() {
  if (file_ != nullptr) std::rewind(file_);
}

// --------------------------------------------------------- folders and paths

int CreateFolder(const char* parent, const char* name) {
  if (parent == nullptr || name == nullptr) return -1;
  char path[kPathCapacity];
  if (!formatted(std::snprintf(path, sizeof path, "%s/%s/", parent, name), path, sizeof path))
    return -1;
  return mkdir(path, 0777) == 0 ? 0 : -1;
}

int CreateFolderW(const wchar_t* parent, const wchar_t* name) {
  char p[kWideCapacity], n[kWideCapacity];
  if (!to_narrow(parent, p) || !to_narrow(name, n)) return -1;
  return CreateFolder(p, n);
}

int DirectoryExists(const char* path) {
  if (path == nullptr) return 0;
  DIR* d = opendir(path);
  if (d == nullptr) return 0;
  closedir(d);
  return 1;
}

int DirectoryExistsW(const wchar_t* path) {
  char p[kWideCapacity];
  return to_narrow(path, p) ? DirectoryExists(p) : 0;
}

int FileExist(const char* path) {
  std::FILE* f = open_regular(path, "r");
  if (f == nullptr) return 0;
  std::fclose(f);
  return 1;
}

int FileExistW(const wchar_t* path) {
  char p[kWideCapacity];
  return to_narrow(path, p) ? FileExist(p) : 0;
}

namespace {

template <typename C>
int last_index(const C* s, C c) {
  if (s == nullptr) return -1;
  int last = -1;
  for (int i = 0; s[i] != C(0) && i < INT_MAX; ++i)
    if (s[i] == c) last = i;
  return last;
}

template <typename C>
void get_path(const C* full, C* dir, C* name) {
  if (full == nullptr || dir == nullptr || name == nullptr) return;
  const std::size_t len = text_length(full);
  // Outputs are path buffers; an over-long path is not split at all.
  if (len >= kPathCapacity) return;
  const int at = last_index(full, C('\\'));
  if (at <= 0) return;
  std::memcpy(dir, full, static_cast<std::size_t>(at) * sizeof(C));
  dir[at] = C(0);
  copy_bounded(name, kPathCapacity, full + at + 1);
}

template <typename C>
C* back_dir(C* path, int levels, C sep) {
  if (path == nullptr) return nullptr;
  for (int i = 0; i < levels; ++i) {
    if (path[0] == C(0)) return nullptr;
    const int at = last_index(path, sep);
    if (at >= 0) path[at] = C(0);
  }
  return path;
}

}  // namespace

int getLastIndex(const char* s, char c) { return last_index(s, c); }
int getLastIndexW(const wchar_t* s, wchar_t c) { return last_index(s, c); }

void GetPath(const char* full, char* dir, char* name) { get_path(full, dir, name); }
void GetPathW(const wchar_t* full, wchar_t* dir, wchar_t* name) { get_path(full, dir, name); }

char* BackPreviousDir(char* path, int levels) { return back_dir(path, levels, '/'); }
wchar_t* BackPreviousDirW(wchar_t* path, int levels) { return back_dir(path, levels, L'\\'); }

int checklogfiletype(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < 14; ++i)
    if (std::strstr(name, Logfiletype[i]) != nullptr) return i;
  return -1;
}

int checklogfiletypeW(const wchar_t* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < 14; ++i)
    if (std::wcsstr(name, tcLogfiletype[i]) != nullptr) return i % 7;
  return -1;
}

int checkLogFileFormat(const char* name, char* head, char* code, char* stamp) {
  char tokens[kMaxTokens][kTokenCapacity];
  split_name(name, tokens);
  // Tokens are at most 15 characters, so every join fits its capacity.
  if (head != nullptr) join_tokens(tokens, 0, 4, head, 64);
  if (code != nullptr) copy_bounded(code, 16, tokens[4]);
  if (stamp != nullptr) join_tokens(tokens, 5, 5, stamp, 80);
  return 0;
}

int checkLogFileFormatW(const wchar_t* name, wchar_t* head, wchar_t* code, wchar_t* stamp) {
  if (head == nullptr || code == nullptr || stamp == nullptr) return -1;
  head[0] = code[0] = stamp[0] = L'\0';
  wchar_t tokens[kMaxTokens][kTokenCapacity];
  const int count = split_name(name, tokens);
  if (count >= 4) join_tokens(tokens, 0, 4, head, 20);
  copy_bounded(code, 16, tokens[4]);
  // A stamp needs at least its first token; one that does not fit is empty.
  if (count >= 6) join_tokens(tokens, 5, 5, stamp, 24);
  if (count < 4 || head[0] == L'\0') return -1;
  if (code[0] == L'\0') return -2;
  if (stamp[0] == L'\0') return -3;
  return 0;
}

const char* FindConfigFile(const char* dir, const char* head, const char* code,
                           const char* /*stamp*/) {
  thread_local char result[kPathCapacity];
  if (dir == nullptr || head == nullptr || code == nullptr) return nullptr;
  char found[kPathCapacity];
  if (!find_config(dir, head, code, found, 0)) return nullptr;
  copy_bounded(result, sizeof result, found);
  return result;
}

const wchar_t* FindConfigFileW(const wchar_t* dir, const wchar_t* head, const wchar_t* code,
                               const wchar_t* stamp) {
  thread_local wchar_t result[kPathCapacity];
  char d[kWideCapacity], h[kWideCapacity], c[kWideCapacity], s[kWideCapacity];
  if (!to_narrow(dir, d) || !to_narrow(head, h) || !to_narrow(code, c)) return nullptr;
  if (stamp != nullptr && !to_narrow(stamp, s)) return nullptr;
  const char* found = FindConfigFile(d, h, c, stamp ? s : "");
  if (found == nullptr) return nullptr;
  return CharToWide(found, result, kPathCapacity) != 0 ? result : nullptr;
}

char* ReadFileLine(char* buf, std::FILE* f) {
  if (buf == nullptr) return buf;
  std::size_t n = 0;
  if (f != nullptr) {
    // A longer line is consumed whole so the next read starts on a new line.
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
      if (c == '\r') continue;
      if (n + 1 < kPathCapacity) buf[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
  }
  buf[n] = '\0';
  return buf;
}

void RemoveChar(char* s) {
  if (s == nullptr) return;
  char* out = s;
  for (const char* p = s; *p != '\0'; ++p)
    if (*p != ' ' && *p != '\t') *out++ = *p;
  *out = '\0';
}

void RemoveChar(char* s, char c) {
  if (s == nullptr) return;
  char* out = s;
  for (const char* p = s; *p != '\0'; ++p)
    if (*p != c) *out++ = *p;
  *out = '\0';
}

int replacechar(char* s, char from, char to) {
  if (s == nullptr || from == '\0') return 0;
  int count = 0;
  for (char* p = s; *p != '\0'; ++p) {
    if (*p == from) {
      *p = to;
      ++count;
      if (to == '\0') break;  // the string ends here now
    }
  }
  return count;
}

void BackslashToSlash(char* s) { replacechar(s, '\\', '/'); }

std::vector<std::string> Split(const char* text, const char* delimiters) {
  std::vector<std::string> out;
  if (text == nullptr) return out;
  if (delimiters == nullptr) delimiters = "";
  try {
    const char* p = text;
    while (*p != '\0') {
      while (*p != '\0' && std::strchr(delimiters, *p) != nullptr) ++p;
      if (*p == '\0') break;
      const char* start = p;
      while (*p != '\0' && std::strchr(delimiters, *p) == nullptr) ++p;
      out.emplace_back(start, static_cast<std::size_t>(p - start));
    }
  } catch (...) {
    out.clear();
  }
  return out;
}

// -------------------------------------------------------------- wide strings

unsigned WideToChar(const wchar_t* src, char* dst, unsigned capacity) {
  if (src == nullptr || dst == nullptr) return 0;
  const std::size_t len = std::wcslen(src);
  if (len * 4 > capacity) return 0;
  const std::size_t need = std::wcstombs(nullptr, src, 0);
  // Unconvertible in this locale, or no room for the terminator.
  if (need == static_cast<std::size_t>(-1) || need >= capacity) return 0;
  std::wcstombs(dst, src, need + 1);
  dst[need] = '\0';
  return static_cast<unsigned>(len * 4);
}

unsigned CharToWide(const char* src, wchar_t* dst, unsigned capacity) {
  if (src == nullptr || dst == nullptr) return 0;
  if (std::strlen(src) >= capacity) return 0;  // the terminator needs a place too
  const std::size_t n = std::mbstowcs(nullptr, src, 0);
  if (n == static_cast<std::size_t>(-1) || n >= capacity) return 0;
  std::mbstowcs(dst, src, n + 1);
  dst[n] = L'\0';
  return static_cast<unsigned>(n);
}

std::FILE* _wfopen(const wchar_t* path, const wchar_t* mode) {
  char p[kWideCapacity], m[kWideCapacity];
  if (!to_narrow(path, p) || !to_narrow(mode, m)) return nullptr;
  return std::fopen(p, m);
}

// ----------------------------------------------------------------------- INI

int ini_read(const char* section, const char* key, const char* default_value,
                              char* out, unsigned size, const char* path) {
  if (out == nullptr || size == 0) return -1;
  out[0] = '\0';
  if (!FileExist(path)) return use_default(default_value, out, size);
  if (section == nullptr || key == nullptr) return use_default(default_value, out, size);
  char header[kIniLineCapacity], prefix[kIniLineCapacity];
  if (!formatted(std::snprintf(header, sizeof header, "[%s]", section), header, sizeof header) ||
      !formatted(std::snprintf(prefix, sizeof prefix, "%s=", key), prefix, sizeof prefix))
    return use_default(default_value, out, size);
  std::FILE* f = open_regular(path, "r");
  if (f == nullptr) return use_default(default_value, out, size);

  bool found = false;
  char line[kIniLineCapacity];
  try {
    std::string token;
    bool in_section = false;
    while (!in_section && read_token(f, token)) in_section = token == header;
    while (in_section && !std::feof(f) && !std::ferror(f)) {
      ReadFileLine(line, f);
      RemoveChar(line);
      if (starts_with(line, prefix)) {
        found = true;
        break;
      }
      if (line[0] == '[') break;
    }
  } catch (...) {
    found = false;
  }
  std::fclose(f);
  if (!found) return use_default(default_value, out, size);

  char* value = line + std::strlen(prefix);
  RemoveChar(value, '\n');
  RemoveChar(value, '\r');
  // The value is cut to fit out with its terminator.
  return static_cast<int>(copy_bounded(out, size, value));
}

int ini_write(const char* section, const char* key, const char* value,
                                const char* path) {
  if (section == nullptr || key == nullptr || value == nullptr || path == nullptr) return 0;
  try {
    const std::string header = std::string("[") + section + "]";
    const std::string prefix = std::string(key) + "=";
    const std::string entry = prefix + value + "\n";

    if (!FileExist(path)) return write_whole_file(path, header + "\n" + entry) ? 1 : 0;

    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    long file_size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) file_size = std::ftell(f);
    std::rewind(f);
    if (file_size < 0 || file_size > kMaxIniFileSize) {
      std::fclose(f);
      return 0;
    }

    std::string text, token;
    bool section_seen = false, in_section = false, key_written = false;
    std::size_t after_header = 0;
    while (read_token(f, token)) {
      if (!section_seen && starts_with(token, header.c_str())) {
        text += header + "\n";
        after_header = text.size();
        section_seen = in_section = true;
        continue;
      }
      // The key is looked for in its own section only: the next header ends it.
      if (in_section && token[0] == '[') in_section = false;
      if (in_section && !key_written && starts_with(token, prefix.c_str())) {
        text += entry;
        key_written = true;
        continue;
      }
      text += token + "\n";
    }
    const bool read_ok = !std::ferror(f);
    std::fclose(f);
    if (!read_ok) return 0;

    if (!section_seen)
      text += header + "\n" + entry;
    else if (!key_written)
      text.insert(after_header, entry);
    return write_whole_file(path, text) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int GetIni(const char* path, const char* section, const char* key, char* out, unsigned size) {
  return ini_read(section, key, "", out, size, path);
}

int SetIni(const char* path, const char* section, const char* key, const char* value) {
  return ini_write(section, key, value, path);
}

// ------------------------------------------------------------ found log files

int LogList::add_log_Obj(const Modellogpath& record) {
  std::lock_guard<std::mutex> lock(mu_);
  try {
    records_.push_back(record);
  } catch (...) {
    // Out of memory: the record is lost, the list stays as it was.
  }
  return static_cast<int>(records_.size());
}

int LogList::add_all(const std::vector<Modellogpath>& records) {
  std::lock_guard<std::mutex> lock(mu_);
  try {
    records_.insert(records_.end(), records.begin(), records.end());
  } catch (...) {
    // Out of memory: the list stays as it was.
  }
  return static_cast<int>(records_.size());
}

int LogList::replace(std::vector<Modellogpath> records) {
  std::lock_guard<std::mutex> lock(mu_);
  records_.swap(records);
  return static_cast<int>(records_.size());
}

bool LogList::find_log_Obj(int index, Modellogpath* out) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (index < 0 || static_cast<std::size_t>(index) >= records_.size()) return false;
  if (out != nullptr) *out = records_[static_cast<std::size_t>(index)];
  return true;
}

int LogList::length() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(records_.size());
}

void LogList::clearAll() {
  std::vector<Modellogpath> old;
  std::lock_guard<std::mutex> lock(mu_);
  records_.swap(old);
}

LogList& LogFileList() {
  // Never destroyed: callers may still list files while statics are torn down.
  static LogList* list = new LogList;
  return *list;
}

int FindFilesFromfolder(const char* folder, int type) {
  std::vector<Modellogpath> found;
  if (folder == nullptr || !find_files(folder, type, 0, found)) return 0;
  return LogFileList().add_all(found);
}

int ListLogFiles(const char* folder, int type) {
  std::vector<Modellogpath> found;
  if (folder != nullptr && !find_files(folder, type, 0, found)) found.clear();
  return LogFileList().replace(std::move(found));
}

int FindFilename(int index, char* data_path, char* config_path) {
  Modellogpath record;
  if (!LogFileList().find_log_Obj(index, &record)) return -1;
  if (data_path != nullptr) copy_bounded(data_path, kPathCapacity, record.data_path);
  if (config_path != nullptr) copy_bounded(config_path, kPathCapacity, record.config_path);
  return 0;
}

}  // namespace korvel
