#include "monitor/Monitor.h"

#include <QTimer>

TMonitor* Monitor = nullptr;

TMonitor::TMonitor(QObject* parent) : QObject(parent) {
    ReconnectTimer = new QTimer(this);
    ReconnectTimer->setObjectName(QStringLiteral("ReconnectTimer"));
    ReconnectTimer->setInterval(ReconnectMs);
}

TMonitor::~TMonitor() {
    if (Monitor == this)
        Monitor = nullptr;
}

void TMonitor::Log(const QString& text) {
    if (AddLog)
        AddLog(text);
}

void TMonitor::LinkOpened() {
    Temperature = NoReading;
    SilenceCount = 0;
    BlinkPhase = 0;
    StopReconnect();
    emit LinkChanged(true);
}

void TMonitor::LinkClosed() {
    Temperature = NoReading;
    emit LinkChanged(false);
}

void TMonitor::ReadingConverted(long double value, const QDateTime& when) {
    Temperature = value;
    SilenceCount = 0;
    emit Reading(value, when);
}

void TMonitor::PortLost(bool failureLogged) {
    if (!AutoReconnectOn || !AutoReconnectOn())
        return;
    if (ReconnectTimer->isActive()) {
        ReconnectFailureLogged = ReconnectFailureLogged || failureLogged;
        return;
    }
    ReconnectFailureLogged = failureLogged;
    ReconnectTimer->start();
}

void TMonitor::StopReconnect() {
    ReconnectTimer->stop();
    ReconnectFailureLogged = false;
}
