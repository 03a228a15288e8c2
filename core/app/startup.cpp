#include "startup.h"

#include <QApplication>

int RunQuorvel(int argc, char *argv[])
{
    QApplication app(argc, argv);
    return 0;
}
