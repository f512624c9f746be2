#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Paths.h"
#include "ui/DlgUpg.h"
#include "ui/UiServices.h"
#include "utils/CLogUtils.h"
#include "utils/LogFacade.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: kestrel [--skin-dir DIR] [Qt options]\n"
               "The desktop program: finds the device, shows its versions and upgrades it.\n"
               "  --skin-dir DIR  folder of the skin files (default: skin/ beside the program)\n"
               "  -h, --help      this text\n"
               "Qt's own options (-platform offscreen, -style ...) are passed on.\n"
               "The device's endpoints and the simulated USB and WLAN lists come from the\n"
               "KESTREL_* environment variables that kestrel-sim prints (see README).\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string skinDir = platform::joinPath(platform::programDir(), "skin");
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--skin-dir")) {
      if (i + 1 >= argc) {
        usage(stderr);
        return 2;
      }
      skinDir = argv[i + 1];
    }
  }

  QApplication app(argc, argv);
  CLogUtils::instance().Install();
  auto services = makeDesktopServices();
  int rc = 0;
  {
    DlgUpg window(services);
    if (!window.create(QString::fromStdString(skinDir))) {
      LOG_ERROR("the main window's skin cannot be loaded from %s", skinDir.c_str());
      services->messageBox("The window skin cannot be loaded: " + window.skinError().toStdString(), "option");
      rc = 1;
    } else {
      window.show();
      if (QScreen* screen = QGuiApplication::primaryScreen()) {
        window.move(screen->availableGeometry().center() - window.rect().center());
      }
      app.exec();
    }
  }
  // Workers and sessions are never stopped; end without running static destructors under them.
  std::fflush(nullptr);
  std::_Exit(rc);
}
