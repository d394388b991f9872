#include "core/Spool.h"

#include "platform/FileStore.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// CRC-32 (the polynomial of zlib and Ethernet), without a library for it.
constexpr std::array<quint32, 256> kCrcTable = [] {
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}();

quint32 crc32(const uchar* data, std::size_t size) {
    quint32 c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void encode(const SpoolRecord& record, uchar* out) {
    qToLittleEndian<qint64>(record.TimeMs, out);
    quint64 bits = 0;
    std::memcpy(&bits, &record.Value, sizeof bits);
    qToLittleEndian<quint64>(bits, out + 8);
    qToLittleEndian<quint32>(crc32(out, 16), out + 16);
}

std::optional<SpoolRecord> decode(const uchar* in) {
    if (qFromLittleEndian<quint32>(in + 16) != crc32(in, 16))
        return std::nullopt;
    SpoolRecord record;
    record.TimeMs = qFromLittleEndian<qint64>(in);
    const quint64 bits = qFromLittleEndian<quint64>(in + 8);
    std::memcpy(&record.Value, &bits, sizeof bits);
    return record;
}

// A new file's name reaches the device only with its directory.
void syncDirectory(const QString& dir) {
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

QString SpoolTimeText(qint64 timeMs) {
    return QDateTime::fromMSecsSinceEpoch(timeMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

TSpool::TSpool(QString dir, QString name, qint64 limitBytes,
               std::function<void(const QString&)> log)
    : Dir_(std::move(dir)), Name_(std::move(name)), Limit_(limitBytes), Log_(std::move(log)) {}

TSpool::~TSpool() {
    Sync();
}

QString TSpool::SegmentPath(qint64 number) const {
    return QStringLiteral("%1/%2-%3.spool").arg(Dir_, Name_).arg(number, 8, 10, QLatin1Char('0'));
}

QString TSpool::HeadPath() const {
    return QStringLiteral("%1/%2.head").arg(Dir_, Name_);
}

// Eight segments to the limit, so that the oldest readings go an eighth at
// a time; a whole number of records each.
qint64 TSpool::SegmentLimit() const {
    const qint64 bytes = std::clamp<qint64>(Limit_ / 8, 64 * 1024, 8 * 1024 * 1024);
    return bytes - bytes % RecordBytes;
}

void TSpool::Open() {
    const QRegularExpression pattern(
        QStringLiteral("^%1-(\\d{8})\\.spool$").arg(QRegularExpression::escape(Name_)));
    const QStringList names =
        QDir(Dir_).entryList({Name_ + QStringLiteral("-*.spool")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        Segments_.push_back({match.captured(1).toLongLong(), QFileInfo(Dir_ + u'/' + name).size()});
    }
    if (Segments_.empty()) {
        QFile::remove(HeadPath());
        return;
    }
    // Only the last record written can be torn: cut it off, so that new
    // records follow whole ones.
    Segment& last = Segments_.back();
    qint64 whole = last.Bytes - last.Bytes % RecordBytes;
    if (whole >= RecordBytes) {
        QFile file(SegmentPath(last.Number));
        if (file.open(QIODevice::ReadOnly) && file.seek(whole - RecordBytes)) {
            const QByteArray bytes = file.read(RecordBytes);
            if (bytes.size() == RecordBytes &&
                !decode(reinterpret_cast<const uchar*>(bytes.constData())))
                whole -= RecordBytes;
        }
    }
    if (whole != last.Bytes) {
        QFile file(SegmentPath(last.Number));
        if (file.resize(whole)) {
            Log_(QStringLiteral("ERR  Backlog %1: a torn last record (%2 bytes, a write cut "
                                "short) was skipped; the rest is kept.")
                     .arg(Name_)
                     .arg(last.Bytes - whole));
            last.Bytes = whole;
        }
    }
    // Where the last run's deliveries got to, when it is still valid.
    const platform::FileContent head = platform::ReadWholeFile(HeadPath(), 100);
    const QStringList parts = QString::fromLatin1(head.Data).split(u' ', Qt::SkipEmptyParts);
    if (parts.size() == 2) {
        const qint64 number = parts[0].toLongLong();
        const qint64 offset = parts[1].toLongLong();
        while (!Segments_.empty() && Segments_.front().Number < number) {
            QFile::remove(SegmentPath(Segments_.front().Number));
            Segments_.pop_front();
        }
        if (!Segments_.empty() && Segments_.front().Number == number && offset >= 0 &&
            offset % RecordBytes == 0 && offset <= Segments_.front().Bytes)
            HeadOffset_ = offset;
    }
    Count_ = -HeadOffset_ / RecordBytes;
    for (const Segment& segment : Segments_)
        Count_ += segment.Bytes / RecordBytes;
    if (Count_ == 0)
        RemoveAll();
}

bool TSpool::OpenTail(QString* error) {
    if (Tail_)
        return true;
    if (!QDir().mkpath(Dir_)) {
        *error = QStringLiteral("cannot create %1").arg(Dir_);
        return false;
    }
    if (Segments_.empty() || Segments_.back().Bytes >= SegmentLimit()) {
        const qint64 number = Segments_.empty() ? 1 : Segments_.back().Number + 1;
        Segments_.push_back({number, 0});
    }
    auto file = std::make_unique<QFile>(SegmentPath(Segments_.back().Number));
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = file->errorString();
        if (Segments_.back().Bytes == 0)
            Segments_.pop_back();
        return false;
    }
    if (Segments_.back().Bytes == 0)
        syncDirectory(Dir_);
    Tail_ = std::move(file);
    return true;
}

bool TSpool::Append(const std::vector<SpoolRecord>& records, QString* error) {
    std::size_t done = 0;
    while (done < records.size()) {
        if (Tail_ && Segments_.back().Bytes >= SegmentLimit()) {
            Sync();
            Tail_.reset();
        }
        // Room for the next segment's worth first: the oldest go.
        while (!Segments_.empty() && Segments_.size() > 1 && [this] {
            qint64 total = 0;
            for (const Segment& s : Segments_)
                total += s.Bytes;
            return total + RecordBytes > Limit_;
        }())
            DropOldest();
        if (!OpenTail(error))
            return false;
        Segment& tail = Segments_.back();
        const std::size_t room =
            static_cast<std::size_t>((SegmentLimit() - tail.Bytes) / RecordBytes);
        const std::size_t n = std::min(std::max<std::size_t>(room, 1), records.size() - done);
        QByteArray bytes(static_cast<qsizetype>(n * RecordBytes), Qt::Uninitialized);
        for (std::size_t i = 0; i < n; ++i)
            encode(records[done + i], reinterpret_cast<uchar*>(bytes.data()) + i * RecordBytes);
        const qint64 written = Tail_->write(bytes);
        if (written != bytes.size()) {
            *error = Tail_->errorString();
            // Whole records only: a fragment would tear the next one.
            const qint64 kept = std::max<qint64>(written, 0) / RecordBytes;
            Tail_->resize(tail.Bytes + kept * RecordBytes);
            tail.Bytes += kept * RecordBytes;
            Count_ += kept;
            Tail_.reset();
            return false;
        }
        tail.Bytes += bytes.size();
        Count_ += static_cast<qint64>(n);
        Unsynced_ = true;
        done += n;
    }
    if (!Oldest_ && Count_ == static_cast<qint64>(records.size()) && !records.empty())
        Oldest_ = records.front().TimeMs;
    return true;
}

void TSpool::DropOldest() {
    const Segment oldest = Segments_.front();
    qint64 ignored = 0;
    const std::vector<SpoolRecord> first = ReadSegment(oldest, HeadOffset_, 1, &ignored);
    const std::vector<SpoolRecord> last =
        ReadSegment(oldest, std::max(HeadOffset_, oldest.Bytes - RecordBytes), 1, &ignored);
    const qint64 dropped = (oldest.Bytes - HeadOffset_) / RecordBytes;
    QFile::remove(SegmentPath(oldest.Number));
    Segments_.pop_front();
    HeadOffset_ = 0;
    Count_ -= dropped;
    Oldest_.reset();
    PeekSlots_ = 0; // what was handed out may be gone: sent again rather than lost
    SaveHead();
    QString span;
    if (!first.empty() && !last.empty())
        span = QStringLiteral(", from %1 to %2")
                   .arg(SpoolTimeText(first.front().TimeMs), SpoolTimeText(last.front().TimeMs));
    Log_(QStringLiteral("ERR  Backlog %1 over its limit of %2 MB: the %3 oldest readings were "
                        "dropped%4.")
             .arg(Name_)
             .arg(static_cast<double>(Limit_) / (1024 * 1024), 0, 'g', 4)
             .arg(dropped)
             .arg(span));
}

std::vector<SpoolRecord> TSpool::ReadSegment(const Segment& segment, qint64 offset, std::size_t max,
                                             qint64* bytesRead) {
    std::vector<SpoolRecord> records;
    *bytesRead = 0;
    QFile file(SegmentPath(segment.Number));
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return records;
    const qint64 want =
        std::min<qint64>(static_cast<qint64>(max) * RecordBytes, segment.Bytes - offset);
    const QByteArray bytes = file.read(want);
    const qint64 whole = bytes.size() - bytes.size() % RecordBytes;
    records.reserve(static_cast<std::size_t>(whole / RecordBytes));
    qint64 damaged = 0;
    for (qint64 at = 0; at < whole; at += RecordBytes) {
        if (const std::optional<SpoolRecord> record =
                decode(reinterpret_cast<const uchar*>(bytes.constData()) + at))
            records.push_back(*record);
        else
            ++damaged;
    }
    *bytesRead = whole;
    if (damaged > 0)
        Log_(QStringLiteral("ERR  Backlog %1: %2 damaged records in %3 were skipped.")
                 .arg(Name_)
                 .arg(damaged)
                 .arg(QFileInfo(file).fileName()));
    return records;
}

std::vector<SpoolRecord> TSpool::Peek(std::size_t max) {
    std::vector<SpoolRecord> records;
    PeekSlots_ = 0;
    qint64 offset = HeadOffset_;
    for (const Segment& segment : Segments_) {
        const qint64 want = static_cast<qint64>(max) - PeekSlots_;
        if (want <= 0)
            break;
        qint64 bytes = 0;
        const std::vector<SpoolRecord> part =
            ReadSegment(segment, offset, static_cast<std::size_t>(want), &bytes);
        records.insert(records.end(), part.begin(), part.end());
        PeekSlots_ += bytes / RecordBytes;
        const qint64 available = segment.Bytes - offset;
        offset = 0;
        if (bytes < std::min(want * RecordBytes, available))
            break; // a segment that cannot be read: what came before it goes first
    }
    return records;
}

void TSpool::Consume() {
    // Everything Peek looked at, damaged records included.
    qint64 covered = std::min(PeekSlots_, Count_);
    PeekSlots_ = 0;
    Count_ -= covered;
    Oldest_.reset();
    while (covered > 0 && !Segments_.empty()) {
        Segment& head = Segments_.front();
        const qint64 left = (head.Bytes - HeadOffset_) / RecordBytes;
        const qint64 step = std::min(left, covered);
        HeadOffset_ += step * RecordBytes;
        covered -= step;
        const bool isTail = Segments_.size() == 1;
        if (HeadOffset_ >= head.Bytes && !isTail) {
            QFile::remove(SegmentPath(head.Number));
            Segments_.pop_front();
            HeadOffset_ = 0;
        } else if (HeadOffset_ >= head.Bytes) {
            break;
        }
    }
    if (Count_ <= 0)
        RemoveAll();
    else
        SaveHead();
}

void TSpool::SaveHead() {
    if (Segments_.empty()) {
        QFile::remove(HeadPath());
        return;
    }
    QString ignored;
    platform::ReplaceFile(
        HeadPath(),
        QStringLiteral("%1 %2\n").arg(Segments_.front().Number).arg(HeadOffset_).toLatin1(),
        &ignored);
}

void TSpool::RemoveAll() {
    Tail_.reset();
    for (const Segment& segment : Segments_)
        QFile::remove(SegmentPath(segment.Number));
    Segments_.clear();
    QFile::remove(HeadPath());
    HeadOffset_ = 0;
    Count_ = 0;
    Unsynced_ = false;
    Oldest_.reset();
}

void TSpool::Sync() {
    if (Tail_ && Unsynced_)
        ::fdatasync(Tail_->handle());
    Unsynced_ = false;
}

std::optional<qint64> TSpool::OldestMs() {
    if (Count_ == 0)
        return std::nullopt;
    if (!Oldest_) {
        qint64 offset = HeadOffset_;
        for (const Segment& segment : Segments_) {
            qint64 bytes = 0;
            const std::vector<SpoolRecord> first = ReadSegment(segment, offset, 1, &bytes);
            offset = 0;
            if (!first.empty()) {
                Oldest_ = first.front().TimeMs;
                break;
            }
        }
    }
    return Oldest_;
}
