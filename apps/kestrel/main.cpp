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
#include "utils/TextEscape.h"

namespace {

struct Option {
  const char* synopsis;
  const char* help;
};

// Written once: the usage text and the manual page are both made from these.
constexpr const char* kSummary = "The desktop program: finds the device, shows its versions and upgrades it.";
constexpr Option kOptions[] = {
    {"--skin-dir DIR", "folder of the skin files (default: skin/ beside the program, else /usr/share/kestrel/skin)"},
    {"-h, --help", "this text"},
};
constexpr const char* kNotes[] = {
    "Qt's own options (-platform offscreen, -style ...) are passed on.",
    "The device's endpoints and the simulated USB and WLAN lists come from the "
    "KESTREL_* environment variables that kestrel-sim prints (see kestrel-cli(1)).",
};

void usage(FILE* out) {
  std::fprintf(out, "usage: kestrel [--skin-dir DIR] [Qt options]\n%s\n", kSummary);
  for (const Option& o : kOptions) std::fprintf(out, "  %-15s %s\n", o.synopsis, o.help);
  for (const char* note : kNotes) std::fprintf(out, "%s\n", note);
}

void manPage() {
  std::printf(".TH KESTREL 1 \"\" \"kestrel\" \"User Commands\"\n.SH NAME\nkestrel \\- pass\\-thru device manager\n"
              ".SH SYNOPSIS\n.B kestrel\n[\\fB\\-\\-skin\\-dir\\fR \\fIDIR\\fR] [\\fIQt options\\fR]\n"
              ".SH DESCRIPTION\n%s\n.SH OPTIONS\n",
              roffEscape(kSummary).c_str());
  for (const Option& o : kOptions) std::printf(".TP\n.B %s\n%s\n", roffEscape(o.synopsis).c_str(), roffEscape(o.help).c_str());
  std::printf(".SH NOTES\n");
  for (const char* note : kNotes) std::printf(".PP\n%s\n", roffEscape(note).c_str());
  std::printf(".SH SEE ALSO\n.BR kestrel\\-cli (1)\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string skinDir = platform::programDataPath("skin");
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      usage(stdout);
      return 0;
    }
    // Hidden: the build writes the manual page with it.
    if (!std::strcmp(argv[i], "--man")) {
      manPage();
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
  QApplication::setApplicationVersion(QStringLiteral(KESTREL_VERSION));
  // Lets the desktop match the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("kestrel"));
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
