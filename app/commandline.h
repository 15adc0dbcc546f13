// greenlark's command line. It answers --help, --help-all and --version and
// refuses an option it does not know before any copy is asked and before
// anything of the user's is read: asking never takes the system proxy over.
// Whatever else it holds, its last argument is the word a later start hands
// to the copy that runs.
#pragma once

class QStringList;

namespace commandline {

// Before any application object, so that no display is needed: -1 when no
// question was asked, else the exit status of the answer.
int answerQuestions(int &argc, char **argv);

// Once Qt has taken its own options (-platform, -style ...) out of them: false,
// with the error and the usage on standard error, when an option is not
// greenlark's.
bool accepted(const QStringList &arguments);

} // namespace commandline
