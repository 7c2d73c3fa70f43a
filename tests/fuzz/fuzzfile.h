#pragma once
// The input of a file-reading fuzz target as a file: written to a folder of the target's own (in
// memory where /dev/shm exists), under the name given.

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace fuzzfile {

// The target's folder, made at the first call (target names it, e.g. "fuzz_ser").
inline QTemporaryDir* folder(const char* target)
{
    static QTemporaryDir* dir = new QTemporaryDir(QFile::exists(QStringLiteral("/dev/shm"))
                                                      ? QStringLiteral("/dev/shm/%1-XXXXXX").arg(QLatin1String(target))
                                                      : QString());
    return dir;
}

// The bytes written to name in the folder; an empty path when the file cannot be written.
inline QString write(QTemporaryDir* dir, const QString& name, const uint8_t* data, std::size_t size)
{
    const QString path = dir->filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    f.write(reinterpret_cast<const char*>(data), qint64(size));
    return path;
}

} // namespace fuzzfile
