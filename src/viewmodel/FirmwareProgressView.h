#pragma once
#include <string>

// What a firmware upgrade's progress report (part, step) shows, the same in
// the window and on the command line.
enum class ProgressState { Running, Failed, Succeeded };

struct FirmwareStepView {
  std::string text;
  int percent = 0;  // of the whole run: the download part fills 0-50, the J2534 part 50-100
  ProgressState state = ProgressState::Running;
  bool ended = false;  // the run reports nothing more
};

FirmwareStepView firmwareStepView(int part, int step);

// Machine-readable names of a part and a step.
const char* firmwarePartName(int part);
const char* firmwareStepName(int step);
