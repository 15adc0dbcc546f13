#include "app/greenlarkmain.h"

int main(int argc, char *argv[])
{
    return greenlarkMain(argc, argv);
}
