#pragma once
#include <cstdio>
#include <mutex>
#include <string>

#include "Cli.h"

// Progress of a long operation on stderr, so stdout carries only the result:
// a bar with the window's texts on a terminal (one line per change
// elsewhere), or with --json one JSON object per line.
namespace cli {

class Progress {
 public:
  explicit Progress(const Args& args);
  // Draws on out, as on a terminal when terminal.
  Progress(const Args& args, std::FILE* out, bool terminal);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // A step of the operation: always shown. fields are extra JSON members
  // (",\"part\":\"j2534\"" and so on).
  void step(int percent, const std::string& text, const std::string& fields);
  // A transfer's advance: shown when it moved by a few percent.
  void transfer(int percent, const std::string& text, const std::string& fields);
  // A line of its own for the user, between bar updates.
  void note(const std::string& text);
  void finish();

 private:
  void draw(int percent, const std::string& text, const std::string& fields, const char* event);
  void endLine();

  // The console's thread draws, the signal watch adds notes, the command ends it.
  std::mutex lock_;  // guards drawn_ and lastTransferPercent_
  std::FILE* out_;
  bool json_;
  bool quiet_;
  bool tty_;
  bool drawn_ = false;
  int lastTransferPercent_ = -100;
};

}  // namespace cli
