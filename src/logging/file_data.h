// File, folder and path helpers under the logger, the log-file reader and
// the SD download: the two file classes, the log-file extension table, the
// search for log files and their configuration files, narrow/wide string
// conversion for the wide entry points, and INI-style profile files.
//
// Paths are narrow strings in the locale's multibyte encoding; a wide variant
// converts (capacity 260 bytes, so at most 65 wide characters) and then does
// what its narrow twin does; a refused conversion opens, creates or finds
// nothing. Every text output has the capacity stated with it; nothing is
// written beyond it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

namespace korvel {

// Open modes shared by both file classes; a constructor argument above 4 is
// stored as 3.
enum FileMode : int {
  kModeRead = 0,             // "rb" / "r"
  kModeWrite = 1,            // "wb" / "w"  (create or truncate)
  kModeReadWrite = 2,        // "r+b" / "r+"
  kModeCreateReadWrite = 3,  // "w+b" / "w+" (create or truncate)
  kModeAppend = 4,           // "a+b" / "a+"
};

// Element types of BinaryFile::ReadFrom.
enum DataType : int { kTypeBytes = 0, kType16 = 1, kTypeFloat = 2, kType32 = 3 };

// Conversion capacity of the wide helpers, in bytes.
inline constexpr unsigned kWideCapacity = 260;
// Longest path the helpers form (259 characters and a NUL).
inline constexpr std::size_t kPathCapacity = 260;

class BinaryFile {
 public:
  BinaryFile();
  explicit BinaryFile(int mode);
  BinaryFile(int mode, int type);
  ~BinaryFile();  // closes
  BinaryFile(const BinaryFile&) = delete;
  BinaryFile& operator=(const BinaryFile&) = delete;

  // Creates the single folder "folder/subfolder" (CreateFolder, result
  // ignored) and opens "folder/subfolder/name" in the stored mode; resets
  // bytes written. 1 opened, 0 otherwise (also for a null argument or a path
  // longer than kPathCapacity - 1).
  int Open(const char* folder, const char* subfolder, const char* name);
  // Mode 0 only: opens path with "rb". Opening for reading (here and in the
  // three-part open in mode 0) takes regular files only, never a FIFO or a
  // device, which could block the caller forever.
  int Open(const char* path);
  int Open(const wchar_t* path);
  int Open(const wchar_t* folder, const wchar_t* subfolder, const wchar_t* name);
  // Closes the stream if any; returns fclose's result (0 without a stream).
  int Close();
  void FileUpdate() {}
  // File length in bytes (0 without a file); the position goes to the start.
  uint64_t Size();

  // n bytes, then flush. Needs only an open stream.
  unsigned WriteChar(const char* buf, unsigned n);
  // n 16-bit elements, no flush. Needs the file open (is_open set).
  unsigned WriteShort(const short* buf, unsigned n);
  // n 4-byte floats, flushed. Needs only an open stream.
  unsigned WriteFloat(const float* buf, unsigned n);
  // n 4-byte integers, no flush. Needs the file open (is_open set).
  unsigned WriteLong(const int* buf, unsigned n);
  // Each Write* adds n * element size to bytes written when all n elements
  // were written and returns the new total. When fewer were written the
  // total stays and failed() turns true; WriteShort and WriteLong then also
  // keep the message "<folder><subfolder> write I16 <n> failed" (the same
  // text for both, with n the element count) in error_text().
  unsigned WriteCharFrom(const char*, unsigned, unsigned) { return 0; }
  unsigned WriteShortFrom(const short*, unsigned, unsigned) { return 0; }
  unsigned WriteFloatFrom(const float*, unsigned, unsigned) { return 0; }
  unsigned WriteLongFrom(const int*, unsigned, unsigned) { return 0; }

  // Reads n elements from element offset `offset` (or those that remain
  // before the end); the number read; 0 without a file.
  unsigned ReadCharFrom(char* buf, unsigned offset, unsigned n);
  unsigned ReadShortFrom(unsigned short* buf, unsigned offset, unsigned n);
  unsigned ReadFloatFrom(float* buf, unsigned offset, unsigned n);
  unsigned ReadLongFrom(int* buf, unsigned offset, unsigned n);
  // By data type: 0 bytes; 1 16-bit elements one at a time into the LOW 16
  // bits of consecutive 32-bit slots of buf (upper halves untouched); 2
  // floats; 3 32-bit integers; other types 0.
  unsigned ReadFrom(void* buf, unsigned offset, unsigned n);

  bool is_open() const { return is_open_; }
  bool failed() const { return failed_; }
  const std::string& error_text() const { return error_text_; }
  unsigned bytes_written() const { return bytes_written_; }
  int mode() const { return mode_; }
  int data_type() const { return type_; }

 private:
  std::FILE* file_ = nullptr;
  int mode_ = kModeCreateReadWrite;
  int type_ = kType16;
  std::wstring folder_, subfolder_, name_;
  unsigned bytes_written_ = 0;
  bool is_open_ = false;
  bool failed_ = false;
  std::string error_text_;
};

class TextFile {
 public:
  static constexpr std::size_t kLineCapacity = 1024;  // lines of at most 1023 characters

  explicit TextFile(int mode);
  ~TextFile();  // closes
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // "folder/name"; only a name: that name; neither: "log.txt". Resets lines
  // read. Modes as BinaryFile; a code of 5 or more opens as "w+".
  int Open(const char* folder, const char* name);
  // The path, or "~/log.txt" taken literally when null. Mode 0 opens regular
  // files only.
  int Open(const char* path);
  int Open(const wchar_t* folder, const wchar_t* name);
  int Open(const wchar_t* path);
  int Close();
  uint64_t Size();

  // The text unchanged; 0 without a file, else 1 (0 also when the write fails).
  int Write(const char* text);
  // The text and "\n"; 0 or 1.
  int WriteLine(const char* text);
  // One line (line end kept) into buf (kLineCapacity bytes); the new
  // lines-read count, or 0 at the end of the file.
  unsigned ReadLine(char* buf);
  // Lines of the whole file as ReadLine splits them (a longer line counts
  // once per kLineCapacity - 1 characters); the position is kept.
  uint64_t CountLines();
  // Rewinds; the first line containing key anywhere: copies the text that
  // starts strlen(key) + 1 characters after the line's start (line end
  // included) into value (kLineCapacity bytes); its length, or -1.
  int ReadValue(const char* key, char* value);
  // Rewinds; the first line containing both keys whose text after the first
  // key2 and one separator character has a ',': that text cut at the ','
  // goes into value (kLineCapacity bytes); its length, or -1.
  int ReadValue(const char* key1, const char* key2, char* value);
  void GotoFirstLine();
  bool is_open() const { return is_open_; }

 private:
  std::FILE* file_ = nullptr;
  int mode_ = kModeRead;
  unsigned lines_read_ = 0;
  bool is_open_ = false;
};

// ".bin", ".txt", ".csv", ".tdm", ".xls", ".md", ".kvd", then the same in
// upper case; index 0..6 is the file type.
extern const char* const Logfiletype[14];
extern const wchar_t* const tcLogfiletype[14];

// Creates the one folder "parent/name/" (permissions 0777): 0, or -1 when it
// fails or exists already.
int CreateFolder(const char* parent, const char* name);
int CreateFolderW(const wchar_t* parent, const wchar_t* name);
// 1 when path opens as a directory (0 for null).
int DirectoryExists(const char* path);
int DirectoryExistsW(const wchar_t* path);
// 1 when path names a regular file (or a link to one) that opens for reading.
int FileExist(const char* path);
int FileExistW(const wchar_t* path);
// Index of the last c in s, or -1.
int getLastIndex(const char* s, char c);
int getLastIndexW(const wchar_t* s, wchar_t c);
// Splits full at its last backslash into dir and name (both terminated);
// writes neither when there is none or it is the first character.
void GetPath(const char* full, char* dir, char* name);
void GetPathW(const wchar_t* full, wchar_t* dir, wchar_t* name);
// Cuts path in place `levels` times at its last '/' (a pass without '/'
// cuts nothing); returns path, or null when it is empty at a pass.
char* BackPreviousDir(char* path, int levels);
// The same at backslashes; null for a null path.
wchar_t* BackPreviousDirW(wchar_t* path, int levels);
// Index (0..13) of the first table entry occurring anywhere in name, or -1.
int checklogfiletype(const char* name);
// The same in the wide table, modulo 7 (both spellings give 0..6), or -1.
int checklogfiletypeW(const wchar_t* name);
// Splits a file name at '_' into at most 11 tokens of at most 15 characters:
// head = tokens 1..4 joined by '_' (capacity 64), code = token 5 (16),
// stamp = tokens 6..10 joined by '_' (80). Returns 0.
int checkLogFileFormat(const char* name, char* head, char* code, char* stamp);
// Wide: capacities 20, 16 and 24 wide characters; -1 when the name has fewer
// than 4 tokens or head is empty, -2 when code is empty, -3 when stamp is
// empty, else 0.
int checkLogFileFormatW(const wchar_t* name, wchar_t* head, wchar_t* code, wchar_t* stamp);
// Depth-first search of dir and its subfolders (listing order, "." and ".."
// skipped) for the first non-folder entry whose path "<folder>/<entry>"
// contains code, head and ".config". The path found (valid until the next
// search on the same thread), or null.
const char* FindConfigFile(const char* dir, const char* head, const char* code, const char* stamp);
const wchar_t* FindConfigFileW(const wchar_t* dir, const wchar_t* head, const wchar_t* code,
                               const wchar_t* stamp);
// Reads bytes up to a line feed or the end of the file into buf (260 bytes,
// at most 259 characters kept), dropping every CR; returns buf.
char* ReadFileLine(char* buf, std::FILE* f);
// Removes every blank (or every c) in place.
void RemoveChar(char* s);
void RemoveChar(char* s, char c);
// Replaces every `from` by `to`; how many.
int replacechar(char* s, char from, char to);
void BackslashToSlash(char* s);
// Tokenises a copy of text at any of the delimiters.
std::vector<std::string> Split(const char* text, const char* delimiters);

// 0 for null src; when 4 x the wide length exceeds capacity writes nothing
// and returns 0; else converts (terminated) and returns 4 x the wide length.
unsigned WideToChar(const wchar_t* src, char* dst, unsigned capacity);
// 0 for null src or when the narrow length exceeds capacity (in wide
// characters, terminator included); else the wide characters written.
unsigned CharToWide(const char* src, wchar_t* dst, unsigned capacity);
std::FILE* _wfopen(const wchar_t* path, const wchar_t* mode);

// INI profile files.
int ini_read(const char* section, const char* key, const char* default_value,
                              char* out, unsigned size, const char* path);
int ini_write(const char* section, const char* key, const char* value,
                                const char* path);
// out holds `size` bytes (the caller's buffer size).
int GetIni(const char* path, const char* section, const char* key, char* out, unsigned size);
int SetIni(const char* path, const char* section, const char* key, const char* value);

// One found log file: its configuration file and its data file.
struct Modellogpath {
  char config_path[kPathCapacity];
  char data_path[kPathCapacity];
};

// The files found by the last KV_GetAllLogFiles (LogFileList). Any thread
// may list and look up at once: every operation takes the list's lock, and
// lookups copy the entry out.
class LogList {
 public:
  int add_log_Obj(const Modellogpath& record);  // new length
  int add_all(const std::vector<Modellogpath>& records);  // new length
  // The listing becomes records at once (a lookup sees the old or the new
  // one, never a part); the new length.
  int replace(std::vector<Modellogpath> records);
  // Copies entry index into out (when not null); false when there is none.
  bool find_log_Obj(int index, Modellogpath* out) const;
  int length() const;
  void clearAll();

 private:
  mutable std::mutex mu_;
  std::vector<Modellogpath> records_;
};

LogList& LogFileList();

// Appends to LogFileList every file below folder (recursively) whose
// checklogfiletype equals type, paired with its configuration file (searched
// from four folder levels above the first match); returns the list's length
// (0 when folder cannot be opened).
int FindFilesFromfolder(const char* folder, int type);
// As FindFilesFromfolder, but the files found replace LogFileList in one
// step; an unusable folder leaves it empty. The new length.
int ListLogFiles(const char* folder, int type);
// Entry index of LogFileList: copies its data and configuration paths
// (kPathCapacity each); 0, or -1 when there is no such entry.
int FindFilename(int index, char* data_path, char* config_path);

}  // namespace korvel
