#include "memory.h"
#include "nebulo.h"

#include <QApplication>
#include <QFont>

int main(int argc, char* argv[])
{
    memory::keepLargeBuffers();
    QApplication app(argc, argv);
    // The form's fixed geometry was laid out for a small dialog font; at the desktop's usual size the
    // labels of the left column are cut off.
    QFont font = QApplication::font();
    if (font.pointSizeF() > 8.0) {
        font.setPointSizeF(8.0);
        QApplication::setFont(font);
    }
    Nebulo window;
    window.show();
    return app.exec();
}
