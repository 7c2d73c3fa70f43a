#include "imagesave.h"

#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>

namespace imagesave {

bool save(const QImage& image, const QString& path, QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (path.isEmpty())
        return fail(QStringLiteral("No file name given."));
    if (image.isNull())
        return fail(QStringLiteral("There is no image to save."));
    const QByteArray format = QFileInfo(path).suffix().toLower().toLatin1();
    if (format.isEmpty())
        return fail(QStringLiteral("The file name has no suffix naming an image format."));
    if (!QImageWriter::supportedImageFormats().contains(format))
        return fail(QStringLiteral("Unsupported image format \"%1\".").arg(QString::fromLatin1(format)));

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
    QImageWriter writer(&file, format);
    // PNG: the writer's default effort costs twice the time of the next lower one for files about
    // 3-5 % smaller (bench_output measures both).
    if (format == "png")
        writer.setCompression(60);
    if (!writer.write(image)) {
        const QString why = writer.errorString();
        file.cancelWriting();
        return fail(QStringLiteral("Cannot write %1: %2").arg(path, why));
    }
    if (!file.commit())
        return fail(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
    return true;
}

} // namespace imagesave
