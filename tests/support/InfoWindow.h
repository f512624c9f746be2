#pragma once
#include "support/WindowRecorder.h"

namespace infotest {
using InfoWindow = testsupport::WindowRecorder;
}  // namespace infotest
