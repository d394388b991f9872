// The backlog's files: what a later run finds after a torn write, after a
// partial delivery, and past the limit.
#include "core/Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

std::vector<SpoolRecord> Records(qint64 from, qint64 count) {
    std::vector<SpoolRecord> out;
    for (qint64 i = from; i < from + count; ++i)
        out.push_back({1'780'000'000'000 + i * 1000, 20.0 + static_cast<double>(i) / 10});
    return out;
}

class SpoolTest : public ::testing::Test {
protected:
    std::unique_ptr<TSpool> Open(qint64 limit = 50 * 1024 * 1024) {
        auto spool = std::make_unique<TSpool>(Dir.path(), QStringLiteral("ts"), limit,
                                              [this](const QString& l) { Lines << l; });
        spool->Open();
        return spool;
    }
    QStringList Files() const { return QDir(Dir.path()).entryList(QDir::Files, QDir::Name); }
    QTemporaryDir Dir;
    QStringList Lines;
};

TEST_F(SpoolTest, ATornLastRecordIsSkippedOnceAndTheRestKept) {
    QString error;
    ASSERT_TRUE(Open()->Append(Records(0, 10), &error)) << error.toStdString();
    ASSERT_EQ(Files().size(), 1);
    QFile torn(Dir.path() + u'/' + Files()[0]); // cut in the middle of the eleventh record
    ASSERT_TRUE(torn.open(QIODevice::Append) && torn.write(QByteArray(7, '\x5a')) == 7);
    torn.close();
    auto spool = Open();
    EXPECT_EQ(spool->Count(), 10);
    ASSERT_EQ(Lines.size(), 1);
    EXPECT_TRUE(Lines[0].contains("torn last record (7 bytes")) << Lines[0].toStdString();
    // New records follow whole ones.
    ASSERT_TRUE(spool->Append(Records(10, 2), &error));
    EXPECT_EQ(spool->Peek(100), Records(0, 12));

    // A last record of full length whose bytes are not what was written.
    spool.reset();
    {
        QFile segment(Dir.path() + u'/' + Files()[0]);
        ASSERT_TRUE(segment.open(QIODevice::ReadWrite));
        segment.seek(segment.size() - 3);
        segment.write("xyz");
    }
    spool = Open();
    EXPECT_EQ(spool->Peek(100), Records(0, 11));
    EXPECT_EQ(Lines.size(), 2);
}

TEST_F(SpoolTest, DeliveredRecordsStayDeliveredAcrossARestart) {
    QString error;
    {
        auto spool = Open(1024 * 1024); // segments of 64 KiB: 3276 records
        ASSERT_TRUE(spool->Append(Records(0, 12000), &error));
        EXPECT_EQ(spool->OldestMs(), Records(0, 1)[0].TimeMs);
        ASSERT_EQ(spool->Peek(5000), Records(0, 5000));
        spool->Consume();
        EXPECT_EQ(spool->Count(), 7000);
        EXPECT_EQ(spool->OldestMs(), Records(5000, 1)[0].TimeMs);
        // Handed out, not delivered: still there after a restart.
        ASSERT_EQ(spool->Peek(5000), Records(5000, 5000));
    }
    auto spool = Open(1024 * 1024);
    EXPECT_EQ(spool->Count(), 7000);
    EXPECT_EQ(spool->Peek(5000), Records(5000, 5000));
    spool->Consume();
    EXPECT_EQ(spool->Peek(5000), Records(10000, 2000));
    spool->Consume();
    EXPECT_TRUE(spool->Empty());
    EXPECT_TRUE(Files().isEmpty()) << Files().join(',').toStdString();
    EXPECT_TRUE(Lines.isEmpty());
}

TEST_F(SpoolTest, PastTheLimitTheOldestGoWithOneLineEach) {
    QString error;
    const qint64 limit = 1024 * 1024;
    auto spool = Open(limit);
    // 1.5 times what fits, one reading at a time as in an outage.
    const qint64 total = limit / TSpool::RecordBytes * 3 / 2;
    for (const SpoolRecord& r : Records(0, total))
        ASSERT_TRUE(spool->Append({r}, &error));
    qint64 bytes = 0;
    for (const QString& f : Files())
        bytes += QFileInfo(Dir.path() + u'/' + f).size();
    EXPECT_LE(bytes, limit);
    ASSERT_FALSE(Lines.isEmpty());
    // Each line: how many, from when to when; together they are the gap.
    qint64 dropped = 0;
    for (const QString& line : Lines) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("the (\\d+) oldest readings were dropped, from "
                                              "(\\S+ \\S+) to (\\S+ \\S+)\\."))
                .match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        EXPECT_EQ(m.captured(2), SpoolTimeText(Records(dropped, 1)[0].TimeMs));
        dropped += m.captured(1).toLongLong();
        EXPECT_EQ(m.captured(3), SpoolTimeText(Records(dropped - 1, 1)[0].TimeMs));
    }
    EXPECT_EQ(spool->Count(), total - dropped);
    EXPECT_EQ(spool->Peek(10), Records(dropped, 10));
}

} // namespace
