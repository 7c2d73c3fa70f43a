#include "memory.h"
#include "nebulo.h"

#include <QApplication>

#include <cstdio>

namespace {

// Without a display server and without a platform chosen, the toolkit would abort with a message
// about plug-ins; say what is missing instead.
bool graphicalSessionAvailable()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
        || qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

} // namespace

int main(int argc, char* argv[])
{
    if (!graphicalSessionAvailable()) {
        std::fputs("nebulo: no graphical session (DISPLAY is not set); start it on a desktop, or under a virtual "
                   "display: xvfb-run -s \"-screen 0 1600x1000x24\" ./run.sh (the batch command nebulo-cli needs "
                   "no display)\n",
                   stderr);
        return 1;
    }
    memory::keepLargeBuffers();
    QApplication app(argc, argv);
    Nebulo window;
    window.show();
    return app.exec();
}
