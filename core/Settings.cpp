#include "core/Settings.h"

#include "core/AlarmCommand.h"
#include "core/MqttPublisher.h"
#include "core/TimeSeries.h"
#include "platform/AppPaths.h"
#include "platform/FormatSettings.h"
#include "platform/IniFile.h"

#include <QFileInfo>
#include <QHash>
#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// Every key of kelvox.ini. A new section is declared here: its keys as rows
// (in the order of the enum), its range where a number has one, and, when
// its values depend on each other, a check in kGroupChecks below. The check
// of the file then knows the section as the program's own.
constexpr std::array<SettingDef, kSettingCount> kTable{{
    {Setting::MainTop, "Main", "Top", SettingType::Integer, std::nullopt, ""},
    {Setting::MainLeft, "Main", "Left", SettingType::Integer, std::nullopt, ""},
    {Setting::MainHeight, "Main", "Height", SettingType::Integer, 310, ""},
    {Setting::TargetURL, "Data", "TargetURL", SettingType::Text, std::nullopt, ""},
    // A 16-bit number: a larger one wraps (see bounded()).
    {.Id = Setting::COM,
     .Section = "Data",
     .Key = "COM",
     .Type = SettingType::Integer,
     .DefaultInt = 1,
     .DefaultText = "",
     .Min = 0,
     .Max = 65535},
    {.Id = Setting::Period,
     .Section = "Data",
     .Key = "Period",
     .Type = SettingType::Integer,
     .DefaultInt = 1,
     .DefaultText = "",
     .Min = 0,
     .Max = 100},
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
    // Limits in °C; empty: off. Their range is decimalRange's.
    {Setting::AlarmHigh, "Alarm", "High", SettingType::Decimal, std::nullopt, "", false},
    {Setting::AlarmLow, "Alarm", "Low", SettingType::Decimal, std::nullopt, "", false},
    {Setting::AlarmHysteresis, "Alarm", "Hysteresis", SettingType::Decimal, std::nullopt, "0.5",
     false},
    {.Id = Setting::AlarmDelay,
     .Section = "Alarm",
     .Key = "Delay",
     .Type = SettingType::Integer,
     .DefaultInt = 60,
     .DefaultText = "",
     .FillIn = false,
     .Min = 0,
     .Max = 86400},
    // None: the same as Delay.
    {.Id = Setting::AlarmClearDelay,
     .Section = "Alarm",
     .Key = "ClearDelay",
     .Type = SettingType::Integer,
     .DefaultInt = std::nullopt,
     .DefaultText = "",
     .FillIn = false,
     .Min = 0,
     .Max = 86400},
    {.Id = Setting::AlarmStale,
     .Section = "Alarm",
     .Key = "Stale",
     .Type = SettingType::Integer,
     .DefaultInt = 0,
     .DefaultText = "",
     .FillIn = false,
     .Min = 0,
     .Max = 604800},
    {Setting::AlarmCommand, "Alarm", "Command", SettingType::Text, std::nullopt, "", false},
    {Setting::DataOffset, "Data", "Offset", SettingType::Decimal, std::nullopt, "0", false},
    {Setting::DataGain, "Data", "Gain", SettingType::Decimal, std::nullopt, "1", false},
    {Setting::TimeSeriesURL, "TimeSeries", "URL", SettingType::Text, std::nullopt, "", false},
    {Setting::TimeSeriesToken, "TimeSeries", "Token", SettingType::Text, std::nullopt, "", false},
    {Setting::TimeSeriesMeasurement, "TimeSeries", "Measurement", SettingType::Text, std::nullopt,
     "temperature", false},
    {.Id = Setting::TimeSeriesSpoolLimitMB,
     .Section = "TimeSeries",
     .Key = "SpoolLimitMB",
     .Type = SettingType::Integer,
     .DefaultInt = 50,
     .DefaultText = "",
     .FillIn = false,
     .Min = 1,
     .Max = 1024 * 1024},
}};

// The numbers a Decimal key takes.
struct DecimalRange {
    double Min, Max;
};
DecimalRange decimalRange(Setting id) {
    switch (id) {
    case Setting::AlarmHysteresis:
        return {0, 100};
    case Setting::DataOffset:
        return {-100, 100};
    case Setting::DataGain:
        return {0.1, 10};
    default: // the limits: any temperature a thermometer could show
        return {-273.15, 10000};
    }
}

// A Decimal key's text as a number ('.' or ','); none when it is no number.
std::optional<double> parseDecimal(const QString& text) {
    QString t = text.trimmed();
    t.replace(u',', u'.');
    bool ok = false;
    const double value = t.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// The section the program reads besides the table: COM<n> = device path
// (platform/PortNames.h).
const QString kPorts = QStringLiteral("Ports");

using Values = std::array<std::optional<QString>, kSettingCount>;

QString textOf(const Values& values, Setting id) {
    return values[static_cast<std::size_t>(id)].value_or(QString());
}

// A problem of one key: its text after "[Section] Key: ".
struct KeyProblem {
    Setting Id;
    QString Text;
};

// Values that are wrong only together: MQTT's topic and prefix make one
// topic that must stay within MQTT's limits. Such a setting does not stop
// the start; MQTT stays off until it is mended.
QList<KeyProblem> mqttProblems(const Values& values) {
    MqttSettings mqtt;
    mqtt.Broker = textOf(values, Setting::MqttBroker);
    mqtt.Topic = textOf(values, Setting::MqttTopic);
    mqtt.DiscoveryPrefix = textOf(values, Setting::MqttDiscoveryPrefix);
    QList<KeyProblem> problems;
    // Each problem is led by its key's name ("Topic: ...").
    for (const QString& problem : MqttSettingsProblems(mqtt)) {
        const QString key = problem.section(u':', 0, 0);
        for (const SettingDef& def : kTable)
            if (QLatin1String(def.Section) == QLatin1String("MQTT") &&
                QLatin1String(def.Key) == key)
                problems.append({def.Id, problem.section(u':', 1).trimmed() +
                                             QStringLiteral("; MQTT stays off")});
    }
    return problems;
}

// A low limit must lie below the high one; otherwise it is left off.
// The command must split into words.
QList<KeyProblem> alarmProblems(const Values& values) {
    QList<KeyProblem> problems;
    const std::optional<double> high = parseDecimal(textOf(values, Setting::AlarmHigh));
    const std::optional<double> low = parseDecimal(textOf(values, Setting::AlarmLow));
    if (high && low && *low >= *high)
        problems.append(
            {Setting::AlarmLow,
             QStringLiteral("%1 is not below High (%2); the low limit is off")
                 .arg(textOf(values, Setting::AlarmLow), textOf(values, Setting::AlarmHigh))});
    QString error;
    if (!SplitCommandLine(textOf(values, Setting::AlarmCommand), &error))
        problems.append({Setting::AlarmCommand, error + QStringLiteral("; it is not run")});
    return problems;
}

// The time-series output's address, token and measurement, checked as its
// dialog checks them; the output stays off until they are mended.
QList<KeyProblem> timeSeriesProblems(const Values& values) {
    TimeSeriesSettings series;
    series.Url = textOf(values, Setting::TimeSeriesURL);
    series.Token = textOf(values, Setting::TimeSeriesToken);
    series.Measurement = textOf(values, Setting::TimeSeriesMeasurement);
    QList<KeyProblem> problems;
    for (const QString& problem : TimeSeriesSettingsProblems(series)) {
        const QString key = problem.section(u':', 0, 0);
        for (const SettingDef& def : kTable)
            if (QLatin1String(def.Section) == QLatin1String("TimeSeries") &&
                QLatin1String(def.Key) == key)
                problems.append({def.Id, problem.section(u':', 1).trimmed() +
                                             QStringLiteral("; the time-series output stays off")});
    }
    return problems;
}

// Checks of several keys together, each section's after its own rows.
constexpr std::array kGroupChecks{&mqttProblems, &alarmProblems, &timeSeriesProblems};

// Keys only the windows use: a run without them does not write them.
bool windowKey(Setting id) {
    switch (id) {
    case Setting::MainTop:
    case Setting::MainLeft:
    case Setting::MainHeight:
    case Setting::AlwaysOnTop:
    case Setting::HistoryLeft:
    case Setting::HistoryTop:
    case Setting::HistoryWidth:
    case Setting::HistoryHeight:
        return true;
    default:
        return false;
    }
}

// The value the program keeps for an integer of the file.
int bounded(const SettingDef& def, int value) {
    if (def.Id == Setting::COM)
        return static_cast<std::uint16_t>(value); // as the port number always was
    return std::clamp(value, def.Min, def.Max);
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

// The value of one key in `ini` as the model keeps it, and what is wrong
// with the file's text (after "[Section] Key: "), if anything.
struct ReadResult {
    std::optional<QString> Value;
    QString Problem = {};
    bool Refused = false;
};

// The value of one key whose text is `text` (present: the file has the key).
ReadResult valueOf(const SettingDef& def, bool present, const QString& text) {
    switch (def.Type) {
    case SettingType::Text:
        return {present ? text : QString::fromLatin1(def.DefaultText)};
    case SettingType::Integer: {
        const std::optional<QString> fallback =
            def.DefaultInt ? std::optional<QString>(QString::number(*def.DefaultInt))
                           : std::nullopt;
        if (!present)
            return {fallback};
        int value = 0;
        if (!platform::ParseIniInteger(text, value))
            return {fallback,
                    QStringLiteral("'%1' is not a whole number; %2")
                        .arg(text, fallback ? *fallback + QStringLiteral(" is used instead")
                                            : QStringLiteral("it is ignored"))};
        const int used = bounded(def, value);
        if (used != value)
            return {QString::number(used),
                    QStringLiteral("'%1' is out of range (%2 to %3); %4 is used instead")
                        .arg(text)
                        .arg(def.Min)
                        .arg(def.Max)
                        .arg(used)};
        return {QString::number(value)};
    }
    case SettingType::Check: {
        // A key the file lacks takes the table's default.
        if (!present)
            return {def.DefaultInt.value_or(0) != 0 ? QStringLiteral("-1") : QStringLiteral("0")};
        const std::optional<bool> on = textToBool(text);
        if (!on)
            return {std::nullopt, QStringLiteral("'%1' is not a valid boolean value").arg(text),
                    true};
        return {*on ? QStringLiteral("-1") : QStringLiteral("0")};
    }
    case SettingType::Decimal: {
        const QString fallback = QString::fromLatin1(def.DefaultText);
        if (!present || (text.trimmed().isEmpty() && fallback.isEmpty()))
            return {fallback};
        const std::optional<double> value = parseDecimal(text);
        const DecimalRange range = decimalRange(def.Id);
        const QString instead = fallback.isEmpty() ? QStringLiteral("it is off")
                                                   : fallback + QStringLiteral(" is used instead");
        if (!value)
            return {fallback, QStringLiteral("'%1' is not a number; %2").arg(text, instead)};
        if (*value < range.Min || *value > range.Max)
            return {fallback, QStringLiteral("'%1' is out of range (%2 to %3); %4")
                                  .arg(text)
                                  .arg(range.Min)
                                  .arg(range.Max)
                                  .arg(instead)};
        return {text.trimmed()}; // as written: a save leaves it alone
    }
    }
    return {};
}

ReadResult readValue(const platform::IniFile& ini, const SettingDef& def) {
    const QString section = QString::fromLatin1(def.Section);
    const QString key = QString::fromLatin1(def.Key);
    return valueOf(def, ini.LineOf(section, key) != 0, ini.ReadString(section, key, QString()));
}

bool ownedSection(const QString& name) {
    if (name.compare(kPorts, Qt::CaseInsensitive) == 0)
        return true;
    return std::any_of(kTable.begin(), kTable.end(), [&](const SettingDef& def) {
        return name.compare(QLatin1String(def.Section), Qt::CaseInsensitive) == 0;
    });
}

// Whether the program reads `key` in `section` (an owned one).
bool knownKey(const QString& section, const QString& key) {
    if (section.compare(kPorts, Qt::CaseInsensitive) == 0) {
        // As platform::ReadMappedPorts takes them: COM and a number 1-65535.
        bool ok = false;
        const int number = key.mid(3).toInt(&ok, 10);
        return key.startsWith(QStringLiteral("COM"), Qt::CaseInsensitive) && key.size() > 3 &&
               key.at(3).isDigit() && ok && number >= 1 && number <= 65535;
    }
    return std::any_of(kTable.begin(), kTable.end(), [&](const SettingDef& def) {
        return section.compare(QLatin1String(def.Section), Qt::CaseInsensitive) == 0 &&
               key.compare(QLatin1String(def.Key), Qt::CaseInsensitive) == 0;
    });
}

// What the reader passes over in silence: each problem with its line.
QList<std::pair<int, QString>> layoutProblems(const platform::IniFile& ini) {
    using Kind = platform::IniFile::Line::Kind;
    QList<std::pair<int, QString>> problems;
    QHash<QString, int> sections; // case-folded name: line of the one read
    QHash<QString, int> keys;     // of the current section
    QString section;
    bool inSection = false, read = false; // in a section whose keys the program reads
    const QList<platform::IniFile::Line> layout = ini.Layout();
    for (qsizetype i = 0; i < layout.size(); ++i) {
        const platform::IniFile::Line& line = layout[i];
        const int number = static_cast<int>(i) + 1;
        if (line.Type == Kind::Section) {
            section = line.Name;
            inSection = true;
            keys.clear();
            if (!line.Value.isEmpty())
                problems.append({number, QStringLiteral("the line opens section [%1]; the text "
                                                        "after its ']' ('%2') is ignored")
                                             .arg(section, line.Value)});
            const QString folded = section.toCaseFolded();
            if (sections.contains(folded)) {
                read = false;
                if (ownedSection(section))
                    problems.append(
                        {number, QStringLiteral("section [%1] is given again (first on line %2); "
                                                "only the one on line %2 is read, the keys below "
                                                "line %3 are ignored")
                                     .arg(section)
                                     .arg(sections.value(folded))
                                     .arg(number)});
            } else {
                sections.insert(folded, number);
                read = ownedSection(section);
            }
        } else if (line.Type == Kind::Key || line.Type == Kind::Other) {
            if (!inSection) {
                problems.append(
                    {number, QStringLiteral("'%1' stands before any section; it is "
                                            "ignored")
                                 .arg(line.Type == Kind::Key ? line.Name + u'=' + line.Value
                                                             : line.Value)});
            } else if (read && line.Type == Kind::Other) {
                problems.append({number, QStringLiteral("'%1' in [%2] is not a key line "
                                                        "(Key=value); it is ignored")
                                             .arg(line.Value, section)});
            } else if (read) {
                const QString folded = line.Name.toCaseFolded();
                if (keys.contains(folded))
                    problems.append(
                        {number, QStringLiteral("[%1] %2 is given again (first on line %3); the "
                                                "value on line %3 is used")
                                     .arg(section, line.Name)
                                     .arg(keys.value(folded))});
                else if (!knownKey(section, line.Name))
                    problems.append(
                        {number, (section.compare(kPorts, Qt::CaseInsensitive) == 0
                                      ? QStringLiteral("[%1] %2 is not a port entry (COM1 to "
                                                       "COM65535); it is ignored")
                                      : QStringLiteral("[%1] %2 is not a key of this program; "
                                                       "it is ignored"))
                                     .arg(section, line.Name)});
                if (!keys.contains(folded))
                    keys.insert(folded, number);
            }
        }
    }
    return problems;
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

// Reads every key of the table: the values the model would hold (and the
// file's text of each, for a later save) and every problem, in line order.
QList<SettingProblem> readAll(const platform::IniFile& ini, Values& values, Values* read) {
    const QString file = QFileInfo(ini.FileName()).fileName();
    QList<std::pair<int, SettingProblem>> found;
    auto keyProblem = [&](const SettingDef& def, const QString& text, bool refused) {
        const int line = ini.LineOf(QString::fromLatin1(def.Section), QString::fromLatin1(def.Key));
        const QString place = line > 0 ? QStringLiteral("%1 line %2, ").arg(file).arg(line)
                                       : file + QStringLiteral(", ");
        found.append(
            {line,
             {place + TSettingsModel::NameOf(def.Id) + QStringLiteral(": ") + text, refused}});
    };
    for (const SettingDef& def : kTable) {
        const ReadResult result = readValue(ini, def);
        values[static_cast<std::size_t>(def.Id)] = result.Value;
        if (read)
            (*read)[static_cast<std::size_t>(def.Id)] = fileText(ini, def, result.Value);
        if (!result.Problem.isEmpty())
            keyProblem(def, result.Problem, result.Refused);
    }
    for (const auto& check : kGroupChecks)
        for (const KeyProblem& problem : check(values))
            keyProblem(DefOf(problem.Id), problem.Text, false);
    for (const auto& [line, text] : layoutProblems(ini))
        found.append({line, {QStringLiteral("%1 line %2: ").arg(file).arg(line) + text}});
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QList<SettingProblem> problems;
    for (const auto& entry : found)
        problems.append(entry.second);
    return problems;
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
        if (def.Type == SettingType::Text || def.Type == SettingType::Decimal)
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

bool AnyRefused(const QList<SettingProblem>& problems) {
    return std::any_of(problems.begin(), problems.end(),
                       [](const SettingProblem& problem) { return problem.Refused; });
}

QStringList TSettingsModel::CheckValues(const QList<std::pair<Setting, QString>>& given) const {
    QStringList problems;
    Values values = Values_;
    for (const auto& [id, text] : given) {
        const ReadResult result = valueOf(DefOf(id), true, text);
        values[index(id)] = result.Value;
        if (!result.Problem.isEmpty())
            problems << NameOf(id) + QStringLiteral(": ") + result.Problem;
    }
    for (const auto& check : kGroupChecks)
        for (const KeyProblem& problem : check(values))
            if (std::any_of(given.begin(), given.end(),
                            [&](const auto& g) { return g.first == problem.Id; }))
                problems << NameOf(problem.Id) + QStringLiteral(": ") + problem.Text;
    return problems;
}

QList<SettingProblem> TSettingsModel::Check(const platform::IniFile& ini) {
    Values values;
    return readAll(ini, values, nullptr);
}

QList<SettingProblem> TSettingsModel::Load(const platform::IniFile& ini) {
    Values values, read;
    const QList<SettingProblem> problems = readAll(ini, values, &read);
    if (AnyRefused(problems))
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

std::optional<double> TSettingsModel::Decimal(Setting id) const {
    const QString text = Text(id);
    if (text.isEmpty())
        return std::nullopt;
    return parseDecimal(text);
}

QString TSettingsModel::Text(Setting id) const {
    return Values_[index(id)].value_or(QString());
}

void TSettingsModel::SetInteger(Setting id, int value) {
    if (DefOf(id).Type == SettingType::Check)
        value = value != 0 ? -1 : 0;
    const QString text = QString::number(bounded(DefOf(id), value));
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
            if (!Missing_[index(def.Id)] || onDiskNow || !def.FillIn ||
                (Windowless_ && windowKey(def.Id)))
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

QStringList CheckSettingsFile(const platform::AppPaths& paths) {
    const QString path = paths.IniPath();
    const platform::IniFile ini(path);
    if (!ini.ReadError().isEmpty())
        return {ini.ReadError()};
    if (!QFileInfo::exists(path))
        return {QStringLiteral("%1: not found in %2; a start would use the default settings")
                    .arg(QFileInfo(path).fileName(), paths.Dir)};
    QStringList problems;
    for (const SettingProblem& problem : TSettingsModel::Check(ini))
        problems << problem.Text;
    return problems;
}
