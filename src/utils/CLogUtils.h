#pragma once
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include <cstddef>
#include <string>
#include <string_view>

// Sets up the logging back end once at start-up and keeps the log folder
// tidy: rolled-over log files are zipped one per archive and only the newest
// archives are kept.
class CLogUtils {
 public:
  static constexpr size_t kKeptArchives = 5;

  static CLogUtils& instance();

  // Configures log4cplus from "log4cplus.properties" in the working folder,
  // else from <root>/log4cplus.properties, which is first written with the
  // shipped default when missing; then tidies <root>/log and logs the start.
  void Install();

  // Archives each rolled-over file of folder and prunes the archives to the
  // newest kKeptArchives. Returns how many files were archived.
  static int tidyLogFolder(const std::string& folder);
  // The same with a fixed time stamp for every archive name.
  static int tidyLogFolder(const std::string& folder, const std::string& stamp);

  // Local time as YYYYMMDDhhmmss.
  static std::string timeStamp();

  // The shipped default properties (the text of config/log4cplus.properties).
  static std::string_view defaultProperties();

  CLogUtils(const CLogUtils&) = delete;
  CLogUtils& operator=(const CLogUtils&) = delete;

 private:
  CLogUtils();

  // The instance is never destroyed, so neither is the library: threads may
  // still log while the process exits.
  log4cplus::Initializer library_;
  log4cplus::Logger logger_;  // the root logger once installed
};
