// A port the user may not open: the event log and the error message say
// which device it is and how to get the permission.
#include "serial/AfComPort.h"
#include "support/CoreFixture.h"

#include <cerrno>

namespace {
class PortPermission : public CoreFixture {};
} // namespace

TEST_F(PortPermission, ARefusedOpenNamesTheDeviceAndTheDialoutGroup) {
    UseFakePorts()->SetOpenError(platform::CommOpenError::CannotOpen, EACCES);
    Start();
    Connect();
    const QString hint = QStringLiteral(
        "No permission to open /dev/fakeCOM1: join the 'dialout' group (sudo usermod -aG "
        "dialout $USER, then log in again).");
    EXPECT_EQ(Log(), (QStringList{kCantOpen, QStringLiteral("ERR  ") + hint}));
    EXPECT_EQ(LinkStateWord(Link().State()), "denied"); // what MQTT and the tooltip say
    try {
        Link().Port()->Open();
        ADD_FAILURE() << "opened";
    } catch (const std::exception& e) {
        EXPECT_EQ(QString::fromStdString(e.what()),
                  QStringLiteral("Can't open device COM1\n") + hint)
            << "the text of the error box";
    }
}
