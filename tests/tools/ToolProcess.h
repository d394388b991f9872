// Runs one of the helper programs from the build tree for a test and reads
// its standard output line by line with generous time limits.
#pragma once

#include <QProcess>
#include <QStringList>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

class ToolProcess {
public:
    explicit ToolProcess(const QString& tool)
        : program_(QStringLiteral(KELVOX_BINARY_DIR "/tools/") + tool) {
        process_.setProcessChannelMode(QProcess::SeparateChannels);
    }
    ~ToolProcess() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }

    bool Start(const QStringList& arguments) {
        process_.start(program_, arguments);
        return process_.waitForStarted(10000);
    }

    // The next whole line of standard output without its line end, or
    // nothing when none came within the limit.
    std::optional<std::string>
    ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!process_.canReadLine()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (process_.state() == QProcess::NotRunning) {
                if (process_.bytesAvailable() == 0)
                    return std::nullopt;
                break; // a last line without its line end
            }
            if (left.count() <= 0)
                return std::nullopt;
            process_.waitForReadyRead(static_cast<int>(std::min<long>(left.count(), 200)));
        }
        std::string line = process_.readLine().toStdString();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        return line;
    }

    // Waits for the end; returns the exit code, or -1 when it did not end
    // normally within the limit.
    int WaitForExit(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        if (!process_.waitForFinished(static_cast<int>(limit.count())))
            return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    void Signal(int signal) const { ::kill(static_cast<pid_t>(process_.processId()), signal); }
    QProcess& Process() { return process_; }

private:
    QString program_;
    QProcess process_;
};
