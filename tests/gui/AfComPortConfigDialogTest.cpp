// The port settings dialog and the component's ShowConfigDialog.
#include "gui/AfPortConfigDialog.h"
#include "platform/MessageBox.h"
#include "serial/AfComPort.h"
#include "serial/AfUiHooks.h"
#include "support/FakeCommDevice.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {

win::COMMCONFIG ConfigWith(const win::DCB& dcb) {
    win::COMMCONFIG cc;
    cc.dcb = dcb;
    return cc;
}

QPushButton* OkButton(TAfPortConfigDialog& d) {
    return d.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
}

// Answers the component's settings dialog, for the lifetime of the object,
// as the windows' UiHooks::ConfigDialog would: `answer` gets the built
// dialog, may change its controls and says whether it was confirmed.
class DialogHook {
public:
    explicit DialogHook(std::function<bool(TAfPortConfigDialog&)> answer) : Saved_(af::Ui()) {
        af::UiHooks hooks = Saved_;
        hooks.ConfigDialog = [answer](const QString& name, win::COMMCONFIG& config) {
            TAfPortConfigDialog dialog(name, config);
            const bool confirmed = answer(dialog);
            if (confirmed)
                config = dialog.Result();
            return confirmed;
        };
        af::SetUiHooks(std::move(hooks));
    }
    ~DialogHook() { af::SetUiHooks(Saved_); }

private:
    const af::UiHooks Saved_;
};

} // namespace

TEST(PortConfigDialog, ShowsTheRecordAndReturnsTheChoicesKeepingTheRest) {
    win::DCB dcb;
    dcb.BaudRate = 31250; // not in the list: shown as typed text
    dcb.ByteSize = 7;
    dcb.Parity = win::ODDPARITY;
    dcb.StopBits = win::TWOSTOPBITS;
    dcb.Flags = win::fBinary | win::fParity | win::fOutxCtsFlow |
                win::rtsControlBits(win::RTS_CONTROL_HANDSHAKE) |
                win::dtrControlBits(win::DTR_CONTROL_ENABLE);
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    TAfPortConfigDialog d(QStringLiteral("COM3"), ConfigWith(dcb));
    EXPECT_EQ(d.windowTitle(), QStringLiteral("COM3 Properties"));
    EXPECT_EQ(d.BaudRateBox()->currentText(), QStringLiteral("31250"));
    EXPECT_EQ(d.DataBitsBox()->currentText(), QStringLiteral("7"));
    EXPECT_EQ(d.ParityBox()->currentText(), QStringLiteral("Odd"));
    EXPECT_EQ(d.StopBitsBox()->currentText(), QStringLiteral("2"));
    EXPECT_EQ(d.FlowControlBox()->currentIndex(), 2);

    // Unchanged controls give the record back as it came.
    const win::COMMCONFIG same = d.Result();
    EXPECT_EQ(same.dcb.BaudRate, 31250u);
    EXPECT_EQ(same.dcb.Flags, dcb.Flags);

    d.BaudRateBox()->setEditText(QStringLiteral("19200"));
    d.ParityBox()->setCurrentIndex(d.ParityBox()->findText(QStringLiteral("Even")));
    d.DataBitsBox()->setCurrentIndex(d.DataBitsBox()->findText(QStringLiteral("8")));
    d.StopBitsBox()->setCurrentIndex(0);
    d.FlowControlBox()->setCurrentIndex(1); // Xon / Xoff
    const win::DCB out = d.Result().dcb;
    EXPECT_EQ(out.DCBlength, 28u);
    EXPECT_EQ(out.BaudRate, 19200u);
    EXPECT_EQ(out.ByteSize, 8);
    EXPECT_EQ(out.Parity, win::EVENPARITY);
    EXPECT_EQ(out.StopBits, win::ONESTOPBIT);
    EXPECT_EQ(out.Flags & (win::fOutX | win::fInX), win::fOutX | win::fInX);
    EXPECT_EQ(out.Flags & win::fOutxCtsFlow, 0u) << "the old handshake must go";
    EXPECT_EQ(win::rtsControlOf(out.Flags), win::RTS_CONTROL_ENABLE);
    EXPECT_EQ(win::dtrControlOf(out.Flags), win::DTR_CONTROL_ENABLE);
    EXPECT_TRUE(out.Flags & win::fParity) << "an option the dialog does not show was lost";
    EXPECT_EQ(out.XonLim, 100);
    EXPECT_EQ(out.XoffChar, 0x13);
}

TEST(PortConfigDialog, RefusesUnusableRatesAndPicksFlowLikeTheSettings) {
    TAfPortConfigDialog d(QStringLiteral("COM1"), ConfigWith(platform::DefaultDcb()));
    EXPECT_TRUE(OkButton(d)->isEnabled());
    d.BaudRateBox()->setEditText(QStringLiteral("0"));
    EXPECT_FALSE(OkButton(d)->isEnabled());
    d.BaudRateBox()->setEditText(QString());
    EXPECT_FALSE(OkButton(d)->isEnabled());
    d.BaudRateBox()->setEditText(QStringLiteral("115200"));
    EXPECT_TRUE(OkButton(d)->isEnabled());

    const win::DWORD xon = win::fOutX | win::fInX;
    const win::DWORD rtscts = win::fOutxCtsFlow | win::rtsControlBits(win::RTS_CONTROL_HANDSHAKE);
    const win::DWORD dtrdsr = win::fOutxDsrFlow | win::dtrControlBits(win::DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(TAfPortConfigDialog::FlowIndexOf(0), 0);
    EXPECT_EQ(TAfPortConfigDialog::FlowIndexOf(xon), 1);
    EXPECT_EQ(TAfPortConfigDialog::FlowIndexOf(xon | rtscts), 2);
    EXPECT_EQ(TAfPortConfigDialog::FlowIndexOf(dtrdsr | rtscts), 3);
    EXPECT_EQ(TAfPortConfigDialog::FlowIndexOf(win::fOutX), 0) << "half of Xon/Xoff is none";
}

TEST(PortConfigDialog, ComponentTakesOverConfirmedSettingsAndIgnoresCancel) {
    FakeCommPorts ports;
    auto port = ports.Add(3);
    TAfComPort com;
    com.setObjectName(QStringLiteral("AfComPort1"));
    com.SetComNumber(3);
    com.SetBaudRate(br4800);
    QString shownRate;
    {
        DialogHook hook([&](TAfPortConfigDialog& d) {
            shownRate = d.BaudRateBox()->currentText();
            d.BaudRateBox()->setEditText(QStringLiteral("19200"));
            d.ParityBox()->setCurrentIndex(d.ParityBox()->findText(QStringLiteral("Even")));
            return true;
        });
        EXPECT_TRUE(com.ShowConfigDialog());
    }
    EXPECT_EQ(shownRate, QStringLiteral("4800")) << "the dialog must start from the settings";
    EXPECT_EQ(com.BaudRate(), br19200);
    EXPECT_EQ(com.Parity(), paEven);
    EXPECT_EQ(com.DcbImage().BaudRate, 19200u);
    EXPECT_EQ(com.DcbImage().Parity, win::EVENPARITY);

    {
        DialogHook hook([&](TAfPortConfigDialog& d) {
            d.BaudRateBox()->setEditText(QStringLiteral("300"));
            return false; // cancelled
        });
        EXPECT_FALSE(com.ShowConfigDialog());
    }
    EXPECT_EQ(com.BaudRate(), br19200);

    // An open port gets confirmed settings at once.
    com.Open();
    {
        DialogHook hook([&](TAfPortConfigDialog& d) {
            d.BaudRateBox()->setEditText(QStringLiteral("31250"));
            return true;
        });
        EXPECT_TRUE(com.ShowConfigDialog());
    }
    EXPECT_EQ(com.BaudRate(), brUser);
    EXPECT_EQ(com.UserBaudRate(), 31250);
    ASSERT_FALSE(port->AppliedDcbs().empty());
    EXPECT_EQ(port->AppliedDcbs().back().BaudRate, 31250u);
}

TEST(PortConfigDialog, NoDialogForAnAbsentPortOrWithNobodyToAnswer) {
    FakeCommPorts ports; // COM7 is never added
    TAfComPort com;
    com.SetComNumber(7);
    int shown = 0;
    {
        DialogHook hook([&](TAfPortConfigDialog&) {
            ++shown;
            return true;
        });
        // With a test factory every positive number counts as existing for
        // the default configuration, so use number 0 for an absent port.
        com.SetComNumber(0);
        EXPECT_FALSE(com.ShowConfigDialog());
    }
    EXPECT_EQ(shown, 0);
    ports.Add(7);
    com.SetComNumber(7);
    platform::SetHeadless(true);
    EXPECT_FALSE(com.ShowConfigDialog()) << "a modal dialog nobody can answer";
    platform::SetHeadless(false);
}
