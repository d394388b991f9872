#include "core/AlarmCommand.h"

#include <QFileInfo>
#include <QProcessEnvironment>
#include <cmath>

namespace {

QString PointDecimal(double value) {
    return std::isfinite(value) ? QString::number(value, 'f', 1) : QString();
}

} // namespace

std::optional<QStringList> SplitCommandLine(const QString& command, QString* error) {
    QStringList words;
    QString word;
    bool inWord = false;
    enum { Plain, Single, Double } quote = Plain;
    for (qsizetype i = 0; i < command.size(); ++i) {
        const QChar c = command[i];
        if (quote == Single) {
            if (c == u'\'')
                quote = Plain;
            else
                word += c;
        } else if (quote == Double) {
            if (c == u'"')
                quote = Plain;
            else if (c == u'\\' && i + 1 < command.size() &&
                     QStringView(u"\"\\$`").contains(command[i + 1]))
                word += command[++i];
            else
                word += c;
        } else if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            inWord = true;
            if (c == u'\'')
                quote = Single;
            else if (c == u'"')
                quote = Double;
            else if (c == u'\\' && i + 1 < command.size())
                word += command[++i];
            else
                word += c;
        }
    }
    if (quote != Plain) {
        *error = QStringLiteral("a quote is not closed");
        return std::nullopt;
    }
    if (inWord)
        words << word;
    return words;
}

TAlarmCommand::TAlarmCommand(QObject* parent) : QObject(parent) {
    Limit_.setSingleShot(true);
    connect(&Limit_, &QTimer::timeout, this, [this] {
        if (!Process_)
            return;
        emit LogLine(QStringLiteral("ERR  Alarm command %1 still running after %2 s; ended")
                         .arg(Program_)
                         .arg(TimeLimitMs / 1000));
        Process_->kill();
    });
}

TAlarmCommand::~TAlarmCommand() {
    if (Process_) {
        // Its reports would reach a half-destroyed object.
        Process_->disconnect(this);
        Process_->kill();
        Process_->waitForFinished(1000);
    }
}

void TAlarmCommand::Run(const AlarmChange& change) {
    if (Command_.trimmed().isEmpty())
        return;
    if (Process_) {
        Next_ = change; // the latest state wins
        return;
    }
    Start(change);
}

void TAlarmCommand::Start(const AlarmChange& change) {
    QString error;
    std::optional<QStringList> words = SplitCommandLine(Command_, &error);
    if (!words || words->isEmpty()) {
        emit LogLine(QStringLiteral("ERR  Alarm command cannot be started (%1)")
                         .arg(words ? QStringLiteral("no program") : error));
        return;
    }
    QStringList args = *words;
    const QString program = args.takeFirst();
    Program_ = QFileInfo(program).fileName();
    Partial_.clear();
    Lines_ = Dropped_ = 0;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The alarm that began; after an end, the state left (ok when none is).
    env.insert(QStringLiteral("KELVOX_ALARM"),
               AlarmWord(change.Active ? change.Kind : change.State));
    env.insert(QStringLiteral("KELVOX_TEMPERATURE"), PointDecimal(change.Temperature));
    env.insert(QStringLiteral("KELVOX_LIMIT"), change.Kind == AlarmKind::Stale
                                                   ? QString::number(qint64(change.Limit))
                                                   : PointDecimal(change.Limit));
    env.insert(QStringLiteral("KELVOX_SINCE"), change.Since.toUTC().toString(Qt::ISODate));

    Process_ = new QProcess(this);
    Process_->setProcessEnvironment(env);
    Process_->setProcessChannelMode(QProcess::MergedChannels);
    Process_->setStandardInputFile(QProcess::nullDevice());
    connect(Process_, &QProcess::readyReadStandardOutput, this, &TAlarmCommand::Output);
    connect(Process_, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        Output();
        if (!Partial_.isEmpty()) {
            Partial_ += '\n';
            Output();
        }
        if (status == QProcess::CrashExit)
            emit LogLine(QStringLiteral("ERR  Alarm command %1 ended abnormally").arg(Program_));
        else if (code != 0)
            emit LogLine(QStringLiteral("ERR  Alarm command %1 ended with exit code %2")
                             .arg(Program_)
                             .arg(code));
        Done();
    });
    connect(Process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return; // the end comes through finished
        emit LogLine(QStringLiteral("ERR  Alarm command %1 cannot be started (%2)")
                         .arg(Program_, Process_->errorString()));
        Done();
    });
    Limit_.start(TimeLimitMs);
    Process_->start(program, args);
}

void TAlarmCommand::Output() {
    if (!Process_)
        return;
    Partial_ += Process_->readAllStandardOutput();
    qsizetype end;
    while ((end = Partial_.indexOf('\n')) >= 0 || Partial_.size() > MaxLineChars) {
        const qsizetype take = end >= 0 ? std::min<qsizetype>(end, MaxLineChars) : MaxLineChars;
        const QString line = QString::fromLocal8Bit(Partial_.left(take)).trimmed();
        // The rest of an overlong line goes unread.
        Partial_.remove(0, end >= 0 ? end + 1 : Partial_.size());
        if (line.isEmpty())
            continue;
        if (Lines_ < MaxLines) {
            ++Lines_;
            emit LogLine(QStringLiteral("OK  Alarm command %1: %2").arg(Program_, line));
        } else {
            ++Dropped_;
        }
    }
}

void TAlarmCommand::Done() {
    Limit_.stop();
    if (Dropped_ > 0)
        emit LogLine(QStringLiteral("OK  Alarm command %1: %2 more lines not logged")
                         .arg(Program_)
                         .arg(Dropped_));
    Process_->deleteLater();
    Process_ = nullptr;
    emit Finished();
    if (Next_) {
        const AlarmChange next = *Next_;
        Next_.reset();
        Start(next);
    }
}
