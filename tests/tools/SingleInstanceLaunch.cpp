// A later launch of the app for the single-instance tests:
//   talvex_single_instance_launch <lock folder> [arguments to hand over…]
// Exits 0 when the running instance took the arguments, 1 when that failed
// (the reason on standard error). When it becomes the running instance
// itself, it prints "PRIMARY" and runs until it is killed.
#include <QCoreApplication>
#include <cstdio>

#include "platform/SingleInstance.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.isEmpty())
        return 2;
    SingleInstance guard(arguments.first());
    switch (guard.start(arguments.mid(1))) {
    case SingleInstance::Outcome::forwarded:
        return 0;
    case SingleInstance::Outcome::failed:
        std::fprintf(stderr, "%s\n", qPrintable(guard.errorString()));
        return 1;
    case SingleInstance::Outcome::primary:
        std::puts("PRIMARY");
        std::fflush(stdout);
        return app.exec();
    }
    return 2;
}
