// greenlark's whole process, from the single-instance guard to the exit, as a
// function: main is this alone, and the tests run it in a child process with
// nothing but the ending of processes replaced.
#pragma once

int greenlarkMain(int &argc, char **argv);
