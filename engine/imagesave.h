#pragma once
// Saving an image without ever leaving a truncated file behind.

#include <QImage>
#include <QString>

namespace imagesave {

// Writes the image in the format named by the path's suffix. The data go to a temporary file in the
// same folder, which replaces the target only once it is complete; an existing file at the path is
// untouched when anything fails. On failure *error (when given) says why.
bool save(const QImage& image, const QString& path, QString* error = nullptr);

} // namespace imagesave
