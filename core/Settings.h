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
#include <optional>

namespace platform {
class IniFile;
}

enum class SettingType { Integer, Text, Check };

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
};
inline constexpr std::size_t kSettingCount = 20;

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
};

// The table, in the order of the enum.
const std::array<SettingDef, kSettingCount>& SettingTable();
const SettingDef& DefOf(Setting id);

// A value of the file that cannot be used, with its place:
// "kelvox.ini line 7, [Data] AutoConnect: 'maybe' is not a valid boolean value".
struct SettingProblem {
    QString Text;
};

class TSettingsModel : public QObject {
    Q_OBJECT
public:
    explicit TSettingsModel(QObject* parent = nullptr);

    // Reads every key of the table from `ini`. Values that cannot be used are
    // listed and leave the model as it was (all or nothing); an empty list
    // means the model now holds the file's values and takes them as the
    // "read" state that later saves compare with.
    QList<SettingProblem> Load(const platform::IniFile& ini);
    // Checks `ini` as Load would, without changing anything; with `strict`
    // also values that a start would silently replace by their default
    // (an integer that is no integer).
    static QList<SettingProblem> Check(const platform::IniFile& ini, bool strict = false);

    bool Has(Setting id) const { return Values_[index(id)].has_value(); }
    int Integer(Setting id) const;
    QString Text(Setting id) const;
    bool Check(Setting id) const { return Integer(id) != 0; }
    // True when a value that must stay private (a password) is set: the
    // file is then written readable by its owner only.
    bool HoldsSecret() const { return !Text(Setting::MqttPassword).isEmpty(); }

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
};
