#pragma once
#include <string>

// A folder of one run under <root>/Update, made with a unique name and removed
// with everything in it when the run ends: two runs, of one device or of two,
// never share a download or an unpacked package, and nothing a run fetched
// outlives it. A run that dies without ending (killed, power lost) cannot
// remove its folder, so each folder is held by a lock the kernel drops with
// its process, and a new run removes the folders nobody holds.
class RunFolder {
 public:
  // prefix names the kind of run ("system-", "firmware-"); empty path() when
  // the folder cannot be made.
  explicit RunFolder(const std::string& prefix);
  ~RunFolder();
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  const std::string& path() const { return path_; }

  // Removes the folders of runs that died without ending; a run that claims
  // a device calls it whether or not it makes a folder of its own.
  static void removeAbandoned();

 private:
  std::string path_;
  int fd_ = -1;  // the folder itself, locked while the run lasts
};
