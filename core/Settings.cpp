#include "core/Settings.h"

#include "platform/FormatSettings.h"
#include "platform/IniFile.h"

#include <QFileInfo>
#include <algorithm>
#include <stdexcept>

namespace {

constexpr std::array<SettingDef, kSettingCount> kTable{{
    {Setting::MainTop, "Main", "Top", SettingType::Integer, std::nullopt, ""},
    {Setting::MainLeft, "Main", "Left", SettingType::Integer, std::nullopt, ""},
    {Setting::MainHeight, "Main", "Height", SettingType::Integer, 310, ""},
    {Setting::TargetURL, "Data", "TargetURL", SettingType::Text, std::nullopt, ""},
    {Setting::COM, "Data", "COM", SettingType::Integer, 1, ""},
    {Setting::Period, "Data", "Period", SettingType::Integer, 1, ""},
    {Setting::AutoConnect, "Data", "AutoConnect", SettingType::Check, 0, ""},
    {Setting::AlwaysOnTop, "Data", "AlwaysOnTop", SettingType::Check, 0, ""},
    {Setting::GeneTemp, "Data", "GeneTemp", SettingType::Check, 0, ""},
    {Setting::AutoReconnect, "Data", "AutoReconnect", SettingType::Check, 0, ""},
    {Setting::HistoryLeft, "History", "Left", SettingType::Integer, std::nullopt, ""},
    {Setting::HistoryTop, "History", "Top", SettingType::Integer, std::nullopt, ""},
    {Setting::HistoryWidth, "History", "Width", SettingType::Integer, std::nullopt, ""},
    {Setting::HistoryHeight, "History", "Height", SettingType::Integer, std::nullopt, ""},
    {Setting::MqttBroker, "MQTT", "Broker", SettingType::Text, std::nullopt, "", false},
    {Setting::MqttUser, "MQTT", "User", SettingType::Text, std::nullopt, "", false},
    {Setting::MqttPassword, "MQTT", "Password", SettingType::Text, std::nullopt, "", false},
    {Setting::MqttTopic, "MQTT", "Topic", SettingType::Text, std::nullopt, "", false},
    {Setting::MqttDiscovery, "MQTT", "Discovery", SettingType::Check, -1, "", false},
    {Setting::MqttDiscoveryPrefix, "MQTT", "DiscoveryPrefix", SettingType::Text, std::nullopt, "",
     false},
}};

// Keys whose value the program keeps within a range (the options dialog's
// field allows no other).
int bounded(Setting id, int value) {
    switch (id) {
    case Setting::Period:
        return std::clamp(value, 0, 100);
    case Setting::COM:
        return static_cast<std::uint16_t>(value); // a 16-bit number
    default:
        return value;
    }
}

// A check state as text: any number (non-zero is checked) or True/False in
// any letter case. Nothing when it is neither.
std::optional<bool> textToBool(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QStringLiteral("false"), Qt::CaseInsensitive) == 0)
        return false;
    int whole = 0;
    if (platform::ParseIniInteger(t, whole))
        return whole != 0;
    const std::string bytes = t.toStdString();
    long double number = 0;
    platform::FormatSettings pointFormat; // '.' as decimal separator
    if (platform::FormatSettings::Current().TextToFloat(bytes, number) ||
        pointFormat.TextToFloat(bytes, number))
        return number != 0;
    return std::nullopt;
}

// The value of one key in `ini` as the model keeps it, or the problem.
std::optional<QString> readValue(const platform::IniFile& ini, const SettingDef& def,
                                 QString* problem) {
    const QString section = QString::fromLatin1(def.Section);
    const QString key = QString::fromLatin1(def.Key);
    switch (def.Type) {
    case SettingType::Text:
        return ini.ReadString(section, key, QString::fromLatin1(def.DefaultText));
    case SettingType::Integer: {
        int value = 0;
        if (platform::ParseIniInteger(ini.ReadString(section, key, QString()), value))
            return QString::number(bounded(def.Id, value));
        if (!def.DefaultInt)
            return std::nullopt;
        return QString::number(*def.DefaultInt);
    }
    case SettingType::Check: {
        // A key the file lacks takes the table's default.
        const QString text = ini.ReadString(section, key,
                                            def.DefaultInt.value_or(0) != 0 ? QStringLiteral("-1")
                                                                            : QStringLiteral("0"));
        const std::optional<bool> on = textToBool(text);
        if (!on) {
            const int line = ini.LineOf(section, key);
            *problem = QStringLiteral("%1 line %2, [%3] %4: '%5' is not a valid boolean value")
                           .arg(QFileInfo(ini.FileName()).fileName())
                           .arg(line)
                           .arg(section, key, text);
            return std::nullopt;
        }
        return *on ? QStringLiteral("-1") : QStringLiteral("0");
    }
    }
    return std::nullopt;
}

// The key's text as the file holds it, or its normalised value when the file
// has none (what a save compares with: a value the program normalised, a
// clamped period or "True" become "-1", counts as changed).
std::optional<QString> fileText(const platform::IniFile& ini, const SettingDef& def,
                                const std::optional<QString>& value) {
    const QString section = QString::fromLatin1(def.Section);
    const QString key = QString::fromLatin1(def.Key);
    if (ini.LineOf(section, key) == 0)
        return value;
    return ini.ReadString(section, key, QString());
}

} // namespace

const std::array<SettingDef, kSettingCount>& SettingTable() {
    return kTable;
}

const SettingDef& DefOf(Setting id) {
    return kTable[static_cast<std::size_t>(id)];
}

TSettingsModel::TSettingsModel(QObject* parent) : QObject(parent) {
    for (const SettingDef& def : kTable) {
        std::optional<QString> value;
        if (def.Type == SettingType::Text)
            value = QString::fromLatin1(def.DefaultText);
        else if (def.DefaultInt)
            value = QString::number(*def.DefaultInt);
        Values_[index(def.Id)] = value;
        Read_[index(def.Id)] = value;
    }
}

QString TSettingsModel::NameOf(Setting id) {
    const SettingDef& def = DefOf(id);
    return QStringLiteral("[%1] %2").arg(QLatin1String(def.Section), QLatin1String(def.Key));
}

QList<SettingProblem> TSettingsModel::Check(const platform::IniFile& ini, bool strict) {
    QList<SettingProblem> problems;
    for (const SettingDef& def : kTable) {
        QString problem;
        readValue(ini, def, &problem);
        const QString section = QString::fromLatin1(def.Section);
        const QString key = QString::fromLatin1(def.Key);
        int ignored = 0;
        if (strict && problem.isEmpty() && def.Type == SettingType::Integer &&
            ini.LineOf(section, key) != 0 &&
            !platform::ParseIniInteger(ini.ReadString(section, key, QString()), ignored))
            problem = QStringLiteral("%1 line %2, [%3] %4: '%5' is not a valid integer value")
                          .arg(QFileInfo(ini.FileName()).fileName())
                          .arg(ini.LineOf(section, key))
                          .arg(section, key, ini.ReadString(section, key, QString()));
        if (!problem.isEmpty())
            problems.append({problem});
    }
    return problems;
}

QList<SettingProblem> TSettingsModel::Load(const platform::IniFile& ini) {
    QList<SettingProblem> problems;
    std::array<std::optional<QString>, kSettingCount> values, read;
    for (const SettingDef& def : kTable) {
        QString problem;
        values[index(def.Id)] = readValue(ini, def, &problem);
        read[index(def.Id)] = fileText(ini, def, values[index(def.Id)]);
        if (!problem.isEmpty())
            problems.append({problem});
    }
    if (!problems.isEmpty())
        return problems;
    Read_ = read;
    for (const SettingDef& def : kTable)
        Missing_[index(def.Id)] =
            ini.LineOf(QString::fromLatin1(def.Section), QString::fromLatin1(def.Key)) == 0;
    for (const SettingDef& def : kTable) {
        const bool changed = Values_[index(def.Id)] != values[index(def.Id)];
        Values_[index(def.Id)] = values[index(def.Id)];
        if (changed)
            emit Changed(def.Id);
    }
    return problems;
}

int TSettingsModel::Integer(Setting id) const {
    const std::optional<QString>& value = Values_[index(id)];
    return value ? value->toInt() : 0;
}

QString TSettingsModel::Text(Setting id) const {
    return Values_[index(id)].value_or(QString());
}

void TSettingsModel::SetInteger(Setting id, int value) {
    if (DefOf(id).Type == SettingType::Check)
        value = value != 0 ? -1 : 0;
    const QString text = QString::number(bounded(id, value));
    if (Values_[index(id)] == text)
        return;
    Values_[index(id)] = text;
    emit Changed(id);
}

void TSettingsModel::SetText(Setting id, const QString& value) {
    if (Values_[index(id)] == value)
        return;
    Values_[index(id)] = value;
    emit Changed(id);
}

QStringList TSettingsModel::Save(platform::IniFile& ini) {
    QStringList overwritten;
    ini.BeginUpdate();
    for (const SettingDef& def : kTable) {
        const std::optional<QString>& value = Values_[index(def.Id)];
        if (!value)
            continue;
        const QString section = QString::fromLatin1(def.Section);
        const QString key = QString::fromLatin1(def.Key);
        const bool onDiskNow = ini.LineOf(section, key) != 0;
        if (value == Read_[index(def.Id)]) {
            if (!Missing_[index(def.Id)] || onDiskNow || !def.FillIn)
                continue; // unchanged here: whatever the file says stays
        } else {
            // Changed here; said when the file's text changed too, to another value.
            const std::optional<QString> wasOnDisk =
                Missing_[index(def.Id)] ? std::nullopt : Read_[index(def.Id)];
            const std::optional<QString> isOnDisk =
                onDiskNow ? std::optional<QString>(ini.ReadString(section, key, {})) : std::nullopt;
            if (isOnDisk != wasOnDisk && isOnDisk != value)
                overwritten << NameOf(def.Id);
        }
        ini.WriteString(section, key, *value);
    }
    ini.SetPrivate(HoldsSecret());
    ini.Commit();
    for (const SettingDef& def : kTable)
        if (Values_[index(def.Id)]) {
            Read_[index(def.Id)] = Values_[index(def.Id)];
            Missing_[index(def.Id)] = false;
        }
    return overwritten;
}
