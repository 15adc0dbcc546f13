// greenlark's whole process, from the single-instance guard to the exit, as a
// function: main is this alone, and the tests run it in a child process with
// nothing but the ending of processes replaced.
#pragma once

class CMainWindow;
class ExitSignals;
class MyApplication;

int greenlarkMain(int &argc, char **argv);

// What reaches the window from outside: a signal that ends the process leaves
// the way the tray's quit does; a later start brings the window up.
void connectWindow(MyApplication &app, ExitSignals &exitSignals, CMainWindow &window);
