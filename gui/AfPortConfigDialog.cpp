#include "gui/AfPortConfigDialog.h"

#include "platform/BaudRates.h"
#include "platform/MessageBox.h"
#include "serial/AfComSettings.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <array>

namespace {

constexpr auto StandardRates = platform::KnownRatesWith<15, &platform::KnownRate::Offered>();
constexpr win::DWORD MaxRate = std::end(platform::kKnownRates)[-1].Rate;

// The flow-control list, in TAfFlowControl order (its DCB bits are
// AfFlowControlMask's).
constexpr std::array<const char*, AfFlowControlMask.size()> FlowTexts = {
    "None", "Xon / Xoff", "Hardware (RTS/CTS)", "Hardware (DTR/DSR)"};
constexpr win::DWORD AllFlowBits = win::fOutX | win::fInX | win::fOutxCtsFlow | win::fOutxDsrFlow |
                                   win::fRtsControlMask | win::fDtrControlMask;

// Selects the entry whose data equals value; returns false when none does.
bool selectData(QComboBox* box, int value) {
    const int i = box->findData(value);
    if (i < 0)
        return false;
    box->setCurrentIndex(i);
    return true;
}

} // namespace

TAfPortConfigDialog::TAfPortConfigDialog(const QString& PortName, const win::COMMCONFIG& Config,
                                         QWidget* Parent)
    : QDialog(Parent), Config_(Config) {
    setObjectName(QStringLiteral("AfPortConfigDialog"));
    setWindowTitle(QStringLiteral("%1 Properties").arg(PortName));
    const win::DCB& dcb = Config_.dcb;

    cbBaudRate = new QComboBox(this);
    cbBaudRate->setObjectName(QStringLiteral("cbBaudRate"));
    cbBaudRate->setEditable(true);
    cbBaudRate->setInsertPolicy(QComboBox::NoInsert);
    for (win::DWORD rate : StandardRates)
        cbBaudRate->addItem(QString::number(rate));
    cbBaudRate->lineEdit()->setValidator(
        new QIntValidator(1, static_cast<int>(MaxRate), cbBaudRate));
    cbBaudRate->setEditText(QString::number(dcb.BaudRate));

    cbDataBits = new QComboBox(this);
    cbDataBits->setObjectName(QStringLiteral("cbDataBits"));
    for (int bits = 5; bits <= 8; ++bits)
        cbDataBits->addItem(QString::number(bits), bits);
    if (!selectData(cbDataBits, dcb.ByteSize))
        selectData(cbDataBits, 8);

    cbParity = new QComboBox(this);
    cbParity->setObjectName(QStringLiteral("cbParity"));
    cbParity->addItem(QStringLiteral("None"), win::NOPARITY);
    cbParity->addItem(QStringLiteral("Odd"), win::ODDPARITY);
    cbParity->addItem(QStringLiteral("Even"), win::EVENPARITY);
    cbParity->addItem(QStringLiteral("Mark"), win::MARKPARITY);
    cbParity->addItem(QStringLiteral("Space"), win::SPACEPARITY);
    if (!selectData(cbParity, dcb.Parity))
        selectData(cbParity, win::NOPARITY);

    cbStopBits = new QComboBox(this);
    cbStopBits->setObjectName(QStringLiteral("cbStopBits"));
    cbStopBits->addItem(QStringLiteral("1"), win::ONESTOPBIT);
    cbStopBits->addItem(QStringLiteral("1.5"), win::ONE5STOPBITS);
    cbStopBits->addItem(QStringLiteral("2"), win::TWOSTOPBITS);
    if (!selectData(cbStopBits, dcb.StopBits))
        selectData(cbStopBits, win::ONESTOPBIT);

    cbFlowControl = new QComboBox(this);
    cbFlowControl->setObjectName(QStringLiteral("cbFlowControl"));
    for (const char* text : FlowTexts)
        cbFlowControl->addItem(QString::fromLatin1(text));
    cbFlowControl->setCurrentIndex(FlowIndexOf(dcb.Flags));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Bits per second:"), cbBaudRate);
    form->addRow(QStringLiteral("&Data bits:"), cbDataBits);
    form->addRow(QStringLiteral("&Parity:"), cbParity);
    form->addRow(QStringLiteral("&Stop bits:"), cbStopBits);
    form->addRow(QStringLiteral("&Flow control:"), cbFlowControl);

    ButtonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(ButtonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(ButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(cbBaudRate, &QComboBox::editTextChanged, this,
            [this] { ButtonBox->button(QDialogButtonBox::Ok)->setEnabled(RateValid()); });
    ButtonBox->button(QDialogButtonBox::Ok)->setEnabled(RateValid());

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(ButtonBox);
}

bool TAfPortConfigDialog::RateValid() const {
    bool ok = false;
    const qulonglong rate = cbBaudRate->currentText().trimmed().toULongLong(&ok);
    return ok && rate >= 1 && rate <= MaxRate;
}

int TAfPortConfigDialog::FlowIndexOf(win::DWORD Flags) {
    for (int i = static_cast<int>(AfFlowControlMask.size()) - 1; i > 0; --i) {
        const win::DWORD mask = AfFlowControlMask[static_cast<size_t>(i)];
        if ((Flags & mask) == mask)
            return i;
    }
    return 0;
}

win::COMMCONFIG TAfPortConfigDialog::Result() const {
    win::COMMCONFIG cc = Config_;
    win::DCB& dcb = cc.dcb;
    if (RateValid())
        dcb.BaudRate = static_cast<win::DWORD>(cbBaudRate->currentText().trimmed().toULong());
    dcb.ByteSize = static_cast<win::BYTE>(cbDataBits->currentData().toInt());
    dcb.Parity = static_cast<win::BYTE>(cbParity->currentData().toInt());
    dcb.StopBits = static_cast<win::BYTE>(cbStopBits->currentData().toInt());
    // Flow control replaces every handshake bit; a line that is not used for
    // handshaking is simply switched on, as the system's dialog does.
    const int flow = cbFlowControl->currentIndex() < 0 ? 0 : cbFlowControl->currentIndex();
    const win::DWORD mask = AfFlowControlMask[static_cast<size_t>(flow)];
    win::DWORD flags = (dcb.Flags & ~AllFlowBits) | mask;
    if ((mask & win::fDtrControlMask) == 0)
        flags |= win::dtrControlBits(win::DTR_CONTROL_ENABLE);
    if ((mask & win::fRtsControlMask) == 0)
        flags |= win::rtsControlBits(win::RTS_CONTROL_ENABLE);
    dcb.Flags = flags;
    return cc;
}

namespace af {

bool CommConfigDialog(const QString& Name, QWidget* Parent, win::COMMCONFIG& Config) {
    if (platform::IsHeadless())
        return false;
    TAfPortConfigDialog dialog(Name, Config, Parent);
    const bool confirmed = dialog.exec() == QDialog::Accepted;
    if (confirmed)
        Config = dialog.Result();
    return confirmed;
}

} // namespace af
