// The component base of the serial port: a non-visual component that can
// send data and be opened and closed. Main thread only.
#pragma once

#include <QObject>
#include <cstdint>

class TAfDataDispConnComponent : public QObject {
    Q_OBJECT
public:
    explicit TAfDataDispConnComponent(QObject* AOwner = nullptr);
    ~TAfDataDispConnComponent() override;

    // Queues Count bytes from Buffer for sending.
    virtual void WriteData(const void* Buffer, int32_t Count) = 0;
    // The base steps do nothing; a derived Close calls this near its start
    // and a derived Open at its end.
    virtual void Close();
    virtual void Open();
};
