// greenlark as it ships, but ending processes by name is only reported on
// stdout: the tests run it as a child, and nothing real may be ended.
#include "app/greenlarkmain.h"
#include "platform/win32.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    platform::setProcessEnder([](const QString &name) {
        std::printf("ended %s\n", qPrintable(name));
        std::fflush(stdout);
    });
    return greenlarkMain(argc, argv);
}
