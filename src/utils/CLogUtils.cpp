#include "utils/CLogUtils.h"

#include "platform/FileUtils.h"
#include "platform/Paths.h"
#include "utils/LogFacade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <minizip/zip.h>

#include <log4cplus/configurator.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPropertiesName = "log4cplus.properties";
constexpr std::string_view kRolledMark = "Tarnfield.log.";
constexpr std::string_view kZipMark = ".zip";
// Enough for every backup of one roll-over within one second.
constexpr int kMaxArchiveSuffix = 99;
constexpr size_t kCopyChunk = 64 * 1024;

// Kept identical to config/log4cplus.properties; a test compares the two.
constexpr std::string_view kDefaultProperties =
    "# Default logging set-up: one rolling file under the working root's log folder.\n"
    "log4cplus.rootLogger=INFO, FILE\n"
    "log4cplus.appender.FILE=log4cplus::RollingFileAppender\n"
    "log4cplus.appender.FILE.File=${TARNFIELD_LOG_DIR}/Tarnfield.log\n"
    "log4cplus.appender.FILE.MaxFileSize=5MB\n"
    "log4cplus.appender.FILE.MaxBackupIndex=5\n"
    "log4cplus.appender.FILE.CreateDirs=true\n"
    "log4cplus.appender.FILE.layout=log4cplus::PatternLayout\n"
    "log4cplus.appender.FILE.layout.ConversionPattern=%D{%Y-%m-%d %H:%M:%S.%q} [%t] %-5p %b:%L %M - %m%n\n";

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool isReadableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

struct RolledFile {
  std::string name;
  fs::file_time_type modified;
  unsigned long backupIndex = 0;  // the n of "Tarnfield.log.n"; larger is older
};

unsigned long backupIndexOf(const std::string& name) {
  size_t at = name.rfind(kRolledMark);
  const char* digits = name.c_str() + at + kRolledMark.size();
  char* end = nullptr;
  unsigned long n = std::strtoul(digits, &end, 10);
  return end == digits ? 0 : n;
}

// Oldest first, so that archives made in one second get ascending names in
// the order the files were written and pruning keeps the newest.
std::vector<RolledFile> rolledFiles(const std::string& folder) {
  std::vector<RolledFile> out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!contains(name, kRolledMark) || contains(name, kZipMark)) continue;
    std::error_code sec;
    if (!it->is_regular_file(sec) || it->is_symlink(sec)) continue;
    out.push_back({name, it->last_write_time(sec), backupIndexOf(name)});
  }
  std::sort(out.begin(), out.end(), [](const RolledFile& a, const RolledFile& b) {
    if (a.modified != b.modified) return a.modified < b.modified;
    return a.backupIndex > b.backupIndex;
  });
  return out;
}

// Claims a fresh archive name: "Tarnfield_<stamp>.log.zip", then
// "Tarnfield_<stamp>_01.log.zip" and on, so no archive ever replaces another.
// Returns the base name without ".zip", or empty when every name is taken.
std::string claimArchive(const std::string& folder, const std::string& stamp) {
  for (int i = 0; i <= kMaxArchiveSuffix; ++i) {
    char suffix[8] = "";
    if (i > 0) std::snprintf(suffix, sizeof suffix, "_%02d", i);
    std::string base = "Tarnfield_" + stamp + suffix + ".log";
    std::string path = platform::joinPath(folder, base + std::string(kZipMark));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return base;
    }
    if (errno != EEXIST) return {};
  }
  return {};
}

tm_zip zipTime(const std::string& path) {
  tm_zip out{};
  struct stat st {};
  std::tm local{};
  time_t when = (::stat(path.c_str(), &st) == 0) ? st.st_mtime : std::time(nullptr);
  if (localtime_r(&when, &local)) {
    out.tm_sec = static_cast<uInt>(local.tm_sec);
    out.tm_min = static_cast<uInt>(local.tm_min);
    out.tm_hour = static_cast<uInt>(local.tm_hour);
    out.tm_mday = static_cast<uInt>(local.tm_mday);
    out.tm_mon = static_cast<uInt>(local.tm_mon);
    out.tm_year = static_cast<uInt>(local.tm_year + 1900);
  }
  return out;
}

// One-entry archive of source.
bool writeArchive(const std::string& archivePath, const std::string& entryName, const std::string& source) {
  std::FILE* in = std::fopen(source.c_str(), "rb");
  if (!in) return false;
  std::error_code ec;
  const auto size = fs::file_size(source, ec);
  zipFile zf = zipOpen64(archivePath.c_str(), APPEND_STATUS_CREATE);
  bool ok = zf != nullptr;
  if (ok) {
    zip_fileinfo info{};
    info.tmz_date = zipTime(source);
    const int zip64 = (!ec && size >= 0xFFFFFFFFull) ? 1 : 0;
    ok = zipOpenNewFileInZip64(zf, entryName.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                               Z_DEFAULT_COMPRESSION, zip64) == ZIP_OK;
    if (ok) {
      std::vector<char> buf(kCopyChunk);
      size_t n;
      while (ok && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
        ok = zipWriteInFileInZip(zf, buf.data(), static_cast<unsigned>(n)) == ZIP_OK;
      }
      ok = ok && !std::ferror(in);
      ok = (zipCloseFileInZip(zf) == ZIP_OK) && ok;
    }
    ok = (zipClose(zf, nullptr) == ZIP_OK) && ok;
  }
  std::fclose(in);
  return ok;
}

void pruneArchives(const std::string& folder) {
  std::vector<std::string> archives;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (contains(name, kZipMark)) archives.push_back(std::move(name));
  }
  if (archives.size() <= CLogUtils::kKeptArchives) return;
  std::sort(archives.begin(), archives.end());
  for (size_t i = 0; i + CLogUtils::kKeptArchives < archives.size(); ++i) {
    std::error_code rec;
    fs::remove(platform::joinPath(folder, archives[i]), rec);
  }
}

int tidy(const std::string& folder, const std::function<std::string()>& stamp) {
  int archived = 0;
  for (const RolledFile& file : rolledFiles(folder)) {
    std::string base = claimArchive(folder, stamp());
    if (base.empty()) continue;
    std::string archivePath = platform::joinPath(folder, base + std::string(kZipMark));
    std::string source = platform::joinPath(folder, file.name);
    // A file that could not be archived stays for the next start, and no
    // half-written archive is left to be mistaken for a good one.
    if (!writeArchive(archivePath, base, source)) {
      ::unlink(archivePath.c_str());
      continue;
    }
    ++archived;
    std::error_code ec;
    fs::remove(source, ec);
  }
  pruneArchives(folder);
  return archived;
}

// The shipped default beside the other working files, written when missing.
std::string defaultPropertiesFile() {
  std::string path = platform::joinPath(platform::workRoot(), kPropertiesName);
  if (isReadableFile(path)) return path;
  std::error_code ec;
  fs::create_directories(platform::workRoot(), ec);
  if (!platform::writeFileAtomically(path, kDefaultProperties)) return {};
  return path;
}

}  // namespace

CLogUtils::CLogUtils() = default;

CLogUtils& CLogUtils::instance() {
  // Holds no state of its own, so ending with the process is harmless.
  static CLogUtils utils;
  return utils;
}

void CLogUtils::Install() {
  const std::string logFolder = platform::logDir();
  std::error_code ec;
  fs::create_directories(logFolder, ec);
  // The properties name the log file as ${TARNFIELD_LOG_DIR}/Tarnfield.log, so
  // the appender writes where the tidying looks.
  ::setenv("TARNFIELD_LOG_DIR", logFolder.c_str(), 1);

  std::string properties(kPropertiesName);
  if (!isReadableFile(properties)) properties = defaultPropertiesFile();
  if (!properties.empty()) {
    log4cplus::PropertyConfigurator configurator(properties);
    configurator.configure();
  } else {
    std::istringstream text{std::string(kDefaultProperties)};
    log4cplus::PropertyConfigurator configurator(text);
    configurator.configure();
  }
  logger_ = log4cplus::Logger::getRoot();

  tidyLogFolder(logFolder);
  LOG_INFO("start log time : %s", timeStamp().c_str());
}

int CLogUtils::tidyLogFolder(const std::string& folder) { return tidy(folder, &CLogUtils::timeStamp); }

int CLogUtils::tidyLogFolder(const std::string& folder, const std::string& stamp) {
  return tidy(folder, [&stamp] { return stamp; });
}

std::string CLogUtils::timeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string_view CLogUtils::defaultProperties() { return kDefaultProperties; }
