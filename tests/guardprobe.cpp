// A process that carries only the single-instance guard: the first copy stays
// up and logs what later copies hand over; a later copy leaves at once.
#include "app/myapplication.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    MyApplication app(argc, argv);
    if (app.isRunning())
        return 0;
    std::fputs("guard ready\n", stdout);
    std::fflush(stdout);
    return app.exec();
}
