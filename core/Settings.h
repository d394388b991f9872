// The settings model: one table of every key of kelvox.ini (section, name,
// type, default) and the live values of the running program. Loaded from
// the file at start (and at a reload); the windows and the headless program
// read and change the values here, never their own copies. A save writes
// only the keys whose value this run changed since they were read, in one
// replacement of the file, so a key edited by hand meanwhile keeps the edit.
//
// Main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <limits>
#include <optional>

namespace platform {
class IniFile;
struct AppPaths;
} // namespace platform

// Decimal: a number of °C or a factor, written with '.'; empty where the
// table's default is empty (a limit that is off).
enum class SettingType { Integer, Text, Check, Decimal };

enum class Setting {
    MainTop,
    MainLeft,
    MainHeight,
    TargetURL,
    COM,
    Period,
    AutoConnect,
    AlwaysOnTop,
    GeneTemp,
    AutoReconnect,
    HistoryLeft,
    HistoryTop,
    HistoryWidth,
    HistoryHeight,
    MqttBroker,
    MqttUser,
    MqttPassword,
    MqttTopic,
    MqttDiscovery,
    MqttDiscoveryPrefix,
    AlarmHigh,
    AlarmLow,
    AlarmHysteresis,
    AlarmDelay,
    AlarmClearDelay,
    AlarmStale,
    AlarmCommand,
    DataOffset,
    DataGain,
    TimeSeriesURL,
    TimeSeriesToken,
    TimeSeriesMeasurement,
    TimeSeriesSpoolLimitMB,
};
inline constexpr std::size_t kSettingCount = 33;

struct SettingDef {
    Setting Id;
    const char* Section;
    const char* Key;
    SettingType Type;
    // The value when the file has none; Integer keys whose default depends
    // on the screen (the window's place) have none and read as unset.
    std::optional<int> DefaultInt;
    const char* DefaultText;
    // Written by a save that finds the file without it (so that the file
    // shows the setting); optional sections stay out until they are set.
    bool FillIn = true;
    // Integer keys: the range the program keeps the value in (the options
    // dialog's field allows no other); a value outside is clamped, and the
    // check of the file says so.
    int Min = std::numeric_limits<int>::min();
    int Max = std::numeric_limits<int>::max();
};

// The table, in the order of the enum. A section is owned by the program
// when the table names it (or it is [Ports]): a key there that the table
// does not list is reported as unknown by the check of the file.
const std::array<SettingDef, kSettingCount>& SettingTable();
const SettingDef& DefOf(Setting id);

// Something in the file that the program cannot use as written, with its
// place and what the program does instead: "kelvox.ini line 7, [Data]
// Period: '500' is out of range (0 to 100); 100 is used instead".
struct SettingProblem {
    QString Text;
    // The file cannot be taken at all (a start stops, a reload changes
    // nothing); otherwise the rest of the file is used, as the text says.
    bool Refused = false;
};

// True when one of the problems keeps the file from being used.
bool AnyRefused(const QList<SettingProblem>& problems);

class TSettingsModel : public QObject {
    Q_OBJECT
public:
    explicit TSettingsModel(QObject* parent = nullptr);

    // Reads every key of the table from `ini` and returns Check's problems.
    // A refused one leaves the model as it was (all or nothing); otherwise
    // the model now holds the file's values (with what the problems say is
    // used instead) and takes them as the "read" state that later saves
    // compare with.
    QList<SettingProblem> Load(const platform::IniFile& ini);
    // The one check of a settings file, shared by the start, a reload,
    // `--check` and the dialogs (through the same value checks): every value
    // that cannot be used as written, and what the program would silently
    // pass over (a key it does not know in a section it owns, a section or
    // key given twice, text after a section's ']', a line outside any
    // section), each with its line and what is used instead.
    static QList<SettingProblem> Check(const platform::IniFile& ini);
    // The same checks for values a dialog is about to set (the others as
    // the model holds them): "[Alarm] High: 'x' is not a number; it is off".
    QStringList CheckValues(const QList<std::pair<Setting, QString>>& given) const;

    bool Has(Setting id) const { return Values_[index(id)].has_value(); }
    int Integer(Setting id) const;
    QString Text(Setting id) const;
    // A Decimal key's number; none when it is empty.
    std::optional<double> Decimal(Setting id) const;
    bool Check(Setting id) const { return Integer(id) != 0; }
    // True when a value that must stay private (a password) is set: the
    // file is then written readable by its owner only.
    bool HoldsSecret() const {
        return !Text(Setting::MqttPassword).isEmpty() || !Text(Setting::TimeSeriesToken).isEmpty();
    }

    // Changes a live value; emits Changed when it differs.
    void SetInteger(Setting id, int value);
    void SetText(Setting id, const QString& value);
    void SetCheck(Setting id, bool value) { SetInteger(id, value ? -1 : 0); }

    // Writes the keys changed since the last Load or Save into `ini` (read
    // afresh by the caller) with one replacement of the file, and the keys
    // the file lacked then and still lacks. A key that was also changed on
    // disk meanwhile gets the program's value; its name is returned so that
    // the caller can say so. Throws std::runtime_error when
    // the file cannot be written (nothing counts as saved then).
    QStringList Save(platform::IniFile& ini);

    // Without windows a save adds none of their keys (the window's place,
    // "Always on top") to a file that lacks them; those it read are kept.
    void SetWindowless(bool on) { Windowless_ = on; }

    // "[Data] AutoConnect" for messages.
    static QString NameOf(Setting id);

signals:
    void Changed(Setting id);

private:
    static std::size_t index(Setting id) { return static_cast<std::size_t>(id); }
    std::array<std::optional<QString>, kSettingCount> Values_;
    std::array<std::optional<QString>, kSettingCount> Read_; // as loaded or last saved
    // Keys the file did not have when it was read: a save fills them in
    // while the file still lacks them, so that the file shows every setting.
    std::array<bool, kSettingCount> Missing_{};
    bool Windowless_ = false;
};

// kelvox --check: the settings file of the application directory `paths`
// read as a start reads it, stricter where a start would quietly take a
// default. Every problem, one line each, or nothing when the file is fine;
// a missing file is a problem here, naming where it was looked for.
// Creates nothing. Any thread.
QStringList CheckSettingsFile(const platform::AppPaths& paths);
