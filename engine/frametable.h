#pragma once
// The engine's list of frames: one record and one path per image of the sequence, addressed by index.
// An index outside the table reads as all flags false, position 0 and quality 0 (or an empty path),
// and writes through it are dropped.

#include <QString>
#include <QStringList>
#include <vector>

struct FrameRecord {
    bool isReference = false;
    bool aligned = false;
    bool stacked = false;
    bool valid = true;
    bool refined = false;
    bool refineOk = false;
    int x = 0;
    int y = 0;
    float quality = 0.0f;
    // Sub-pixel alignment (planet, surface): the exact position, of which x and y are the whole-pixel
    // part (rounded down). Unset after feature alignment, whose positions are whole pixels.
    bool subPixel = false;
    double subX = 0.0, subY = 0.0;
    // The planet's disk reached the frame edge (its centre comes from the disk's symmetric part).
    bool edgeCut = false;
};

class FrameTable {
public:
    int count() const { return int(records_.size()); }
    bool contains(int index) const { return index >= 0 && index < count(); }

    // Appends a record for the path; returns its index.
    int addFrame(const QString& path);

    QString path(int index) const { return contains(index) ? paths_.at(index) : QString(); }
    const QStringList& paths() const { return paths_; }

    // A copy of the record; for an index outside the table every flag is false (even valid, which a
    // new record starts with), the position 0 and the quality 0.
    FrameRecord record(int index) const
    {
        if (contains(index))
            return records_[std::size_t(index)];
        FrameRecord none;
        none.valid = false;
        return none;
    }

    // Applies fn to the record when the index lies inside the table.
    template <class Fn>
    void update(int index, Fn fn)
    {
        if (contains(index))
            fn(records_[std::size_t(index)]);
    }

    // Index of the reference frame; -1 until a reference has been chosen.
    int referenceIndex = -1;

private:
    std::vector<FrameRecord> records_;
    QStringList paths_;
};
