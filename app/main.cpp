#include "memory.h"
#include "nebulo.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    memory::keepLargeBuffers();
    QApplication app(argc, argv);
    Nebulo window;
    window.show();
    return app.exec();
}
