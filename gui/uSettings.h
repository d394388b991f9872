// The options dialog: a view and editor of the core's settings model
// (core/Settings.h) and of its serial link. Each control shows its key's
// live value and changes it at once (the upload reads the target URL at the
// moment it sends, the period restarts the upload timer); "Save and close"
// writes the changed keys to the settings file. The handlers keep their
// names and forward to the core. One instance, `fSettings`, created right
// after fMain and kept until exit. Main thread only.
#pragma once

#include "core/PortSearch.h"
#include "gui/AfPortControls.h"
#include "gui/StateShape.h"
#include "gui/uIntEdit.h"
#include "platform/Types.h"

#include <QDialog>
#include <cstdint>
#include <vector>

class QScrollArea;

class QCheckBox;
class TKelvoxCore;
enum class Setting;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

class TfSettings : public QDialog {
    Q_OBJECT
public:
    explicit TfSettings(TKelvoxCore& core, QWidget* parent = nullptr);
    ~TfSettings() override;

    QScrollArea* Scroll5 = nullptr; // holds Panel5
    QFrame* Panel5 = nullptr;
    QFrame* Panel3 = nullptr;
    QFrame* Panel4 = nullptr;
    QFrame* Panel6 = nullptr;
    QFrame* Panel7 = nullptr;
    QFrame* Panel8 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* edTarget = nullptr;
    QPushButton* bSend = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label6 = nullptr;
    TIntEdit* IntEdit1 = nullptr; // upload period in minutes, 0..100
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label2 = nullptr;
    // Lists the existing ports among COM 1-255; a pick sets the program's
    // port to that number and opens it. ItemIndex() -1: no port chosen.
    TAfPortComboBox* AfPortComboBox1 = nullptr;
    // "Find": listens on the free ports for the thermometer without holding
    // up the window ("Searching..." meanwhile), then picks the one found.
    QPushButton* bFind = nullptr;
    // How Find searches (the time limit, where names that survive
    // replugging are found); the decimal separator is the locale's.
    PortSearchOptions FindOptions;
    TStateShape* shState = nullptr;
    QPushButton* bConn = nullptr;
    QCheckBox* CheckBox1 = nullptr; // "Automatic" connect after start
    // "Reconnect automatically": a port lost by a hang-up, a line error, the
    // watchdog or a failed open is reopened every 5 s.
    QCheckBox* chbAutoReconnect = nullptr;
    QLabel* Label7 = nullptr;
    QCheckBox* chbAlwaysOnTop = nullptr;
    QCheckBox* chbGeneTempLOG = nullptr;
    // "Start with the desktop session": shows and sets whether the session's
    // autostart entry exists (platform/Autostart.h); no settings key.
    QCheckBox* chbAutostart = nullptr;
    // "MQTT...": the broker, its topic and discovery (gui/MqttDialog.h).
    QPushButton* bMqtt = nullptr;
    // "Time series...": the output to a time-series database
    // (gui/TimeSeriesDialog.h).
    QPushButton* bTimeSeries = nullptr;
    QFrame* Panel2 = nullptr;
    QLabel* Label8 = nullptr; // link to the project's home page
    QFrame* Panel1 = nullptr;
    QPushButton* Button1 = nullptr; // "Close": hide without saving
    QPushButton* bAlarm = nullptr;  // "Alarm...": the alarm and calibration dialog
    QPushButton* bClose = nullptr;  // "Save and close"

    // Handlers.
    void bSendClick(QObject* Sender);
    // The connect toggle (TLink::Toggle): the user's press when it comes
    // from bConn, the program's otherwise.
    void bConnClick(QObject* Sender);
    void IntEdit1Change(QObject* Sender);
    void chbAlwaysOnTopClick(QObject* Sender);
    void Button1Click(QObject* Sender);
    // The save routine: writes the changed settings to the settings file,
    // then closes the dialog. Throws std::runtime_error when the file cannot
    // be written (the dialog then stays as it was).
    void bCloseClick(QObject* Sender);
    void Label8Click(QObject* Sender);
    void chbAutostartClick(QObject* Sender);
    void bMqttClick(QObject* Sender);
    void bTimeSeriesClick(QObject* Sender);
    void bAlarmClick(QObject* Sender);
    void bFindClick(QObject* Sender);

    // Places the controls: each keeps its designed place and size unless its
    // caption (in the font and resolution in effect) needs more; it then
    // grows, what follows in its row moves right (the row moves left when it
    // would stick out, as far as the room before each control allows), the
    // rows below move down, and the panels and the dialog grow with them.
    // Run at construction, at every show and when a control asks for room.
    void FitCaptions();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Centres the dialog on the screen each time it is shown.
    void showEvent(QShowEvent* event) override;

private:
    // The construction, in order: the window, the controls at their designed
    // places (the upload's, the port's, the other options, and the bands of
    // the home page and the buttons), the rows FitCaptions arranges, the
    // handlers, the settings the controls edit and show, and the serial
    // link the lamp, the toggle and the chooser follow.
    void BuildWindow();
    void BuildUploadControls();
    void BuildPortControls();
    void BuildOtherControls();
    void BuildBottomBands();
    void ArrangeRows();
    void ConnectHandlers();
    void ConnectSettings();
    void ConnectLink();

    // Puts the upload timer in line with a period accepted without a change
    // of the shown text (typing 5 over 5 is no change, but typing 5 over 1
    // is only seen by OnChange while Value is still 1).
    void IntEdit1Exit(QObject* Sender);
    // Shows the model's value of `id` in its control.
    void ShowSetting(Setting id);
    // The port list afresh, then ShowLinkPort.
    void RefillPortList();
    // Selects the link's own port in the chooser, so that it always shows
    // the port a connect will open: an absent one is added as
    // "COM n (not present)" unless no port is listed at all.
    void ShowLinkPort();
    // The end of Find: the port found is picked as a user's pick would,
    // and a USB port is offered to be remembered by its stable name.
    void FindFinished(const PortSearchResult& result);

    TKelvoxCore& Core_;
    TPortSearch* FSearch = nullptr;
    bool FUserConnPress = false; // inside the user's press of bConn

    // One control of a row, as designed.
    struct Placed {
        QWidget* Control;
        QRect Designed;
        // > 0: the right edge stays this far from the panel's right edge.
        int StretchMargin = 0;
    };
    // The inner panel's rows, top to bottom; a control added to the dialog
    // goes into the row it stands in.
    std::vector<std::vector<Placed>> FRows;
    void AddRow(std::vector<Placed> Row) { FRows.push_back(std::move(Row)); }
    bool FFitting = false;
    int MaxHeight_ = 0; // the screen's room for the dialog without its frame
    // FitCaptions' steps. One row's rectangles for a width of the inner
    // panel and a shift down, and in `grown` how far the row's bottom passed
    // its designed bottom.
    std::vector<QRect> PlaceRow(const std::vector<Placed>& row, int panelWidth, int dy,
                                int& grown) const;
    // Places the rows and the inner panel; returns the panel's width.
    int FitRows();
    // Places the outer panel, the home page's band and the buttons below an
    // inner panel this wide, and sizes the dialog.
    void FitBands(int panelWidth);
};

extern TfSettings* fSettings;
