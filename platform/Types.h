#pragma once
#include <QObject>
#include <functional>

using TNotifyEvent = std::function<void(QObject* Sender)>;
