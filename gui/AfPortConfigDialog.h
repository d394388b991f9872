// The port settings dialog: rate, data bits, parity, stop bits and flow
// control of one port, edited on a copy of its configuration record. It
// stands in for the system's own comm configuration dialog. Main thread only.
#pragma once

#include "platform/WinTypes.h"

#include <QDialog>
#include <QString>
#include <functional>

class QComboBox;
class QDialogButtonBox;

class TAfPortConfigDialog : public QDialog {
    Q_OBJECT
public:
    // Shows the settings of Config.dcb; PortName ("COM3") titles the dialog.
    TAfPortConfigDialog(const QString& PortName, const win::COMMCONFIG& Config,
                        QWidget* Parent = nullptr);

    // The record with the choices of the controls put into its dcb member.
    // Everything the dialog does not show (options, characters, limits) is
    // kept as it came in.
    win::COMMCONFIG Result() const;

    // The controls, named for tests: cbBaudRate (editable: any rate from 1
    // to 4000000), cbDataBits, cbParity, cbStopBits, cbFlowControl.
    QComboBox* BaudRateBox() const { return cbBaudRate; }
    QComboBox* DataBitsBox() const { return cbDataBits; }
    QComboBox* ParityBox() const { return cbParity; }
    QComboBox* StopBitsBox() const { return cbStopBits; }
    QComboBox* FlowControlBox() const { return cbFlowControl; }

    // Index of the flow-control entry for a DCB flags word: the first of
    // DTR/DSR, RTS/CTS, Xon/Xoff whose flags are all set, else None.
    static int FlowIndexOf(win::DWORD Flags);

private:
    // Whether the rate field holds a usable rate; OK is enabled only then.
    bool RateValid() const;

    win::COMMCONFIG Config_;
    QComboBox* cbBaudRate = nullptr;
    QComboBox* cbDataBits = nullptr;
    QComboBox* cbParity = nullptr;
    QComboBox* cbStopBits = nullptr;
    QComboBox* cbFlowControl = nullptr;
    QDialogButtonBox* ButtonBox = nullptr;
};

namespace af {

// Shows the dialog modally for the port named Name (no "\\.\" prefix) with
// the settings of Config, owned by Parent. Returns true when the user
// confirmed it; Config then holds the choices. Config is unchanged
// otherwise. Headless (no one to answer) it shows nothing and returns false.
bool CommConfigDialog(const QString& Name, QWidget* Parent, win::COMMCONFIG& Config);

} // namespace af
