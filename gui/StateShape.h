// The status lamp of the options and MQTT dialogs: a circle filled with a
// brush colour given as a 0x00BBGGRR value (in the options dialog red
// 0x0000FF while the port is closed, green 0x008000 while open). Main thread
// only.
#pragma once

#include <QWidget>
#include <cstdint>

class TStateShape : public QWidget {
    Q_OBJECT
public:
    explicit TStateShape(QWidget* parent = nullptr);
    std::uint32_t BrushColor() const { return BrushColor_; }
    void SetBrushColor(std::uint32_t bgr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::uint32_t BrushColor_ = 0x0000FF;
};
