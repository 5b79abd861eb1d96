// ManPage.cpp: korvane(1) in roff, from the command line's definitions.
#include "app/ManPage.h"

#include <sstream>

namespace korvane::app {

namespace {

// Text made safe for roff: backslashes and hyphens escaped, and a line that
// would start with a control character ("." or "'") guarded.
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else out += c;
    lineStart = c == '\n';
  }
  return out;
}

// "INT:INT in [0 - 65535]" is shown as "INT"; the check is in the description.
std::string ValueName(const CLI::Option& option) {
  std::string type = option.get_type_name();
  if (auto colon = type.find(':'); colon != std::string::npos) type.erase(colon);
  return type;
}

void Command(std::ostringstream& out, const CLI::App& command, const std::string& path) {
  const auto visible = [](const CLI::Option* o) { return !o->get_group().empty() && o->get_name() != "--help"; };
  std::string usage = path;
  for (const CLI::Option* o : command.get_options(visible))
    if (o->get_positional()) usage += o->get_required() ? " " + o->get_name(true) : " [" + o->get_name(true) + "]";
  const auto subcommands = command.get_subcommands([](const CLI::App*) { return true; });
  if (!subcommands.empty()) usage += " COMMAND";

  out << ".SS \"" << Roff(usage) << "\"\n" << Roff(command.get_description()) << "\n";
  for (const CLI::Option* o : command.get_options(visible)) {
    out << ".TP\n";
    if (o->get_positional()) {
      out << ".I " << Roff(o->get_name(true)) << "\n";
    } else {
      out << "\\fB" << Roff(o->get_name(false, true)) << "\\fR";
      if (o->get_items_expected_max() > 0) out << " \\fI" << Roff(ValueName(*o)) << "\\fR";
      out << "\n";
    }
    out << Roff(o->get_description()) << "\n";
  }
  for (const CLI::App* sub : subcommands) Command(out, *sub, path + " " + sub->get_name());
}

}  // namespace

std::string ManPage(const CLI::App& app) {
  std::ostringstream out;
  out << ".\\\" korvane(1), generated from the commands of korvane " KORVANE_VERSION "\n"
      << ".TH KORVANE 1 \"\" \"Korvane " KORVANE_VERSION "\" \"User Commands\"\n"
      << R"(.SH NAME
korvane \- define, run and analyse instance\-based models of repeated decision making
.SH SYNOPSIS
.B korvane
.RI [ MODEL.mdb ]
.br
.B korvane
.I COMMAND
.RI [ ARGUMENTS ]
.br
.B korvane \-\-version
.br
.B korvane \-\-help
.SH DESCRIPTION
Korvane defines, runs and analyses instance\-based learning models of repeated
decision making. A model lives in one file (extension
.IR .mdb ,
an SQLite database). An experiment program, the task, connects to Korvane over
TCP, sends the cues of each trial and the feedback, and receives the model's
decisions; every run works on a copy of the model, the experiment database,
whose trace can be exported to CSV.
.PP
Without arguments
.B korvane
opens the main window; with the path of a model file, the main window on that
model. With a command it works without a window, for scripts
and machines without a display. Every command takes
.B \-\-help
for its own arguments and options.
.PP
The user manual, installed as
.IR share/doc/korvane/user\-manual.html ,
describes the screens, the formula language and the task protocol.
.SH COMMANDS
)";
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    Command(out, *sub, "korvane " + sub->get_name());
  out << R"(.SH EXIT STATUS
.TP
.B 0
Success.
.TP
.B 1
The command failed: a file that cannot be found or opened, a value that is
refused, a formula that fails while it runs, a task that fails.
.TP
.B 2
A usage error: an unknown command or option, a missing or malformed argument.
.B check
also returns 2 for a model that cannot run the instance type.
.TP
.B 130
.B export
was interrupted (Ctrl+C); no file is left behind.
.PP
Results go to standard output, messages and errors to standard error.
.SH ENVIRONMENT
.TP
.B KORVANE_DATA_DIR
The data folder: demo files, exports, and (in its
.I logs
folder) the log files. Overrides the two variables below.
.TP
.B XDG_DATA_HOME
The data folder is
.IR $XDG_DATA_HOME/Korvane ;
by default
.IR ~/.local/share/Korvane .
.TP
.B XDG_STATE_HOME
Log files go to
.IR $XDG_STATE_HOME/korvane/logs ;
by default
.IR ~/.local/state/korvane/logs .
.TP
.B KORVANE_RESOURCE_DIR
A folder holding
.I resources/
(the grammar table and the help pages) to use instead of the installed ones.
.TP
.B QT_QPA_PLATFORM
Set to
.B offscreen
to run the main window, or draw plots, without a display.
.SH FILES
.TP
.I share/korvane/Formula\-v6.cgt
The grammar table of the formula language, looked up beside the program's
folder
.RI ( ../share/korvane ),
so that an installed tree may be moved as a whole.
.TP
.I share/korvane/help/
The help pages of the screens.
.TP
.I share/doc/korvane/
The user manual and the example task.
.TP
.I ~/.config/Korvane/Korvane.conf
The recent files and the last folder of the file dialogs.
.SH EXAMPLES
Try a formula:
.PP
.RS
.nf
korvane formula run "X = 2 ** 3" Y=1
.fi
.RE
.PP
Build the example model, serve it and run the sample task against it:
.PP
.RS
.nf
korvane demo \-\-subjects 10 \-\-trials 50
.fi
.RE
.PP
Serve a model of your own to a task on port 4258, then export the trace of
instance type I1:
.PP
.RS
.nf
korvane serve model.mdb \-\-port 4258
korvane export model\-20260101\-1.mdb \-\-type I1
.fi
.RE
.SH SEE ALSO
The user manual,
.IR share/doc/korvane/user\-manual.html .
)";
  return out.str();
}

}  // namespace korvane::app
