#include "frametable.h"

int FrameTable::addFrame(const QString& path)
{
    paths_.append(path);
    records_.emplace_back();
    return count() - 1;
}
