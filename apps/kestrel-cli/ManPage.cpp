#include <sstream>
#include <string>

#include "Cli.h"
#include "utils/TextEscape.h"

namespace cli {

namespace {

std::string optionItem(const OptionSpec& o) {
  std::string out = ".TP\n\\fB\\-\\-" + roffEscape(o.name) + "\\fR";
  if (o.value) out += " \\fI" + roffEscape(o.value) + "\\fR";
  return out + "\n" + roffEscape(o.help) + "\n";
}

// The exit-status lines of the help ("  3  no device reached ...") as a list.
std::string exitStatusItems() {
  std::istringstream in(exitStatusHelp());
  std::string out;
  for (std::string line; std::getline(in, line);) {
    const size_t code = line.find_first_not_of(' ');
    if (code == std::string::npos || line[code] < '0' || line[code] > '9') continue;
    const size_t text = line.find_first_not_of(' ', line.find(' ', code));
    if (text == std::string::npos) continue;
    out += ".TP\n.B " + line.substr(code, line.find(' ', code) - code) + "\n" + roffEscape(line.substr(text)) + "\n";
  }
  return out;
}

}  // namespace

std::string manPage() {
  std::string out = ".TH KESTREL\\-CLI 1 \"\" \"kestrel\\-cli " + roffEscape(programVersion()) +
                    "\" \"User Commands\"\n"
                    ".SH NAME\nkestrel\\-cli \\- find, read and upgrade the pass\\-thru device from a terminal\n"
                    ".SH SYNOPSIS\n.B kestrel\\-cli\n\\fICOMMAND\\fR [\\fIoptions\\fR]\n.br\n"
                    ".B kestrel\\-cli\nhelp [\\fICOMMAND\\fR] | \\-\\-version | completion bash\n"
                    ".SH DESCRIPTION\nFinds, reads and upgrades the pass\\-thru device, and sets its Wi\\-Fi. "
                    "Results go to standard output; progress, hints and errors to standard error.\n"
                    ".SH COMMANDS\n";
  for (const CommandSpec& c : commands()) {
    out += ".SS \"" + roffEscape(c.name) + " " + roffEscape(c.synopsis) + "\"\n" + roffEscape(c.summary) + ".\n";
    if (c.details && *c.details) out += ".PP\n.nf\n" + roffEscape(c.details) + ".fi\n";
    for (const OptionSpec& o : c.options) out += optionItem(o);
  }
  out += ".SS \"help [COMMAND]\"\nShows the options of one command, or this list.\n"
         ".SS \"completion bash\"\nPrints a bash completion script.\n"
         ".SH OPTIONS\nEvery command takes these, before or after its name.\n";
  for (const OptionSpec& o : globalOptions()) out += optionItem(o);
  out += ".TP\n.B \\-\\-version\nprint the program's and the pass\\-thru library's versions\n"
         ".SH EXIT STATUS\n" +
         exitStatusItems() +
         ".SH FILES\n"
         ".TP\n.I /etc/kestrel/services.ini\n"
         "the web services' endpoints when neither \\fBKESTREL_SERVICES\\fR names a file nor the working root "
         "holds \\fIconfig/services.ini\\fR\n"
         ".TP\n.I /usr/lib/udev/rules.d/70\\-kestrel.rules\n"
         "gives the device's serial port to the logged\\-in user\n"
         ".SH ENVIRONMENT\n.TP\n.B TARNFIELD_HOME\n"
         "the working root: settings in \\fIconfig/\\fR, logs in \\fIlog/\\fR "
         "(default \\fI${XDG_DATA_HOME:\\-$HOME/.local/share}/Tarnfield\\fR)\n"
         ".TP\n.B KESTREL_LOOPBACK_ONLY=1\nrefuse every connection outside 127.0.0.0/8\n"
         ".SH SEE ALSO\n.BR kestrel (1)\n";
  return out;
}

}  // namespace cli
