// A durable backlog of readings (time and value) that a receiver has not
// acknowledged yet: append-only segment files in one directory, read back
// as a stream from the oldest record on, so that memory does not grow with
// the backlog.
//
// Each record is 20 bytes: the time in UTC milliseconds, the value (both
// little-endian) and a CRC-32 of the two. A record cut short by a power cut
// or a crash in the middle of a write, or one whose checksum does not match,
// is skipped with one line on the log; the rest is kept. Appends go to the
// kernel at once (a kill -9 loses nothing that Append accepted); Sync puts
// them on the device.
//
// Bounded: past the limit the oldest segment goes, with one log line saying
// how many readings and from when to when. The records handed out by Peek
// stay until Consume; where Consume got to is kept in a small file beside
// the segments (a lost one only means records sent again, which the
// receiver keeps once).
//
// Main thread only (no shared state; one object per directory and name).
#pragma once

#include <QFile>
#include <QString>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct SpoolRecord {
    qint64 TimeMs = 0; // UTC milliseconds since the epoch
    double Value = 0;
    bool operator==(const SpoolRecord&) const = default;
};

class TSpool {
public:
    static constexpr qint64 RecordBytes = 20;

    // The segments are dir/<name>-<number>.spool, the read position
    // dir/<name>.head. limitBytes bounds the segments' bytes on disk. log
    // takes the lines for the event log.
    TSpool(QString dir, QString name, qint64 limitBytes, std::function<void(const QString&)> log);
    ~TSpool();
    TSpool(const TSpool&) = delete;
    TSpool& operator=(const TSpool&) = delete;

    // Takes what an earlier run left: the segments, the read position, and
    // a torn last record, which is cut off. Called once, before the rest.
    void Open();
    // Appends the records in order, each whole or not at all. False with
    // the system's reason when the file cannot be written (nothing of the
    // failed record counts then).
    bool Append(const std::vector<SpoolRecord>& records, QString* error);
    // Up to max of the oldest records not consumed yet, in order.
    std::vector<SpoolRecord> Peek(std::size_t max);
    // The records the last Peek returned were delivered: they go (damaged
    // ones it skipped with them). Fully delivered segments are removed; an
    // empty spool leaves no file behind. Nothing when the oldest readings
    // were dropped since that Peek.
    void Consume();
    // Puts what was appended on the device (fdatasync).
    void Sync();
    // A new limit (applied at the next append).
    void SetLimit(qint64 limitBytes) { Limit_ = limitBytes; }

    qint64 Count() const { return Count_; }
    bool Empty() const { return Count_ == 0; }
    // The time of the oldest record not consumed, when there is one.
    std::optional<qint64> OldestMs();

private:
    struct Segment {
        qint64 Number = 0;
        qint64 Bytes = 0;
    };
    QString SegmentPath(qint64 number) const;
    QString HeadPath() const;
    qint64 SegmentLimit() const;
    void DropOldest();
    void SaveHead();
    void RemoveAll();
    bool OpenTail(QString* error);
    // Reads the records of one segment from offset on (at most max).
    std::vector<SpoolRecord> ReadSegment(const Segment& segment, qint64 offset, std::size_t max,
                                         qint64* bytesRead);

    QString Dir_;
    QString Name_;
    qint64 Limit_;
    std::function<void(const QString&)> Log_;
    std::deque<Segment> Segments_; // oldest first
    qint64 HeadOffset_ = 0;        // within Segments_.front()
    qint64 Count_ = 0;             // records not consumed (damaged ones included)
    std::unique_ptr<QFile> Tail_;  // the newest segment, open for appending
    bool Unsynced_ = false;
    qint64 PeekSlots_ = 0; // records the last Peek covered
    std::optional<qint64> Oldest_;
};

// The time as the event log and the status line show it: "2026-12-08 10:15:00".
QString SpoolTimeText(qint64 timeMs);
