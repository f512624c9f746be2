#pragma once
#include <string>

#include "viewmodel/FirmwareProgressView.h"

// What a system upgrade's progress report (stage, result, value) shows, the
// same in the window and on the command line.
struct SystemStageView {
  bool shown = true;  // false: the report changes nothing on screen
  int percent = 0;
  std::string text;
  bool withPercent = true;  // the window prints the figure beside the text
  ProgressState state = ProgressState::Running;
  bool ended = false;         // the run reports nothing more
  bool asksForPackage = false;  // the task waits for the user's package choice
};

SystemStageView systemStageView(int stage, int result, int value);

// Machine-readable names of a stage and a result.
const char* systemStageName(int stage);
const char* systemResultName(int result);
